// Hex conversion for the tests, written apart from the library's own so
// that neither can hide a fault of the other.
#pragma once

#include <cstdio>
#include <stdexcept>
#include <string>

inline std::string fromHex(const std::string &hex)
{
    if (hex.size() % 2 != 0)
        throw std::invalid_argument("odd hex text: " + hex);
    std::string bytes;
    for (size_t i = 0; i < hex.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

inline std::string toHex(const std::string &bytes)
{
    std::string hex;
    char pair[3];
    for (unsigned char c : bytes) {
        snprintf(pair, sizeof pair, "%02x", c);
        hex += pair;
    }
    return hex;
}
