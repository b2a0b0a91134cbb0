// The IV generateIV must give in a given second, drawn here on its own: the
// first 8 characters of the decimal text of the first rand() after
// srand(second), zero bytes after a shorter text.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

inline std::string ivDrawnIn(time_t second)
{
    srand(static_cast<unsigned>(second));
    char text[16] = {};
    snprintf(text, sizeof text, "%d", rand());
    return std::string(text, 8);
}
