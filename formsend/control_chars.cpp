#include "control_chars.h"

ControlChar findControlChar(const char *apText)
{
    for (size_t i = 0; apText[i] != '\0'; ++i) {
        unsigned char byte = static_cast<unsigned char>(apText[i]);
        if (byte < 0x20 || byte == 0x7f)
            return {i + 1, apText[i]};
    }
    return {0, '\0'};
}
