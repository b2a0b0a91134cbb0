#include "line_breaks.h"

#include <string.h>

LineBreak findLineBreak(const char *apText)
{
    size_t index = strcspn(apText, "\r\n");
    if (apText[index] == '\0')
        return {0, '\0'};
    return {index + 1, apText[index]};
}
