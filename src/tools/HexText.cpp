#include "tools/HexText.h"

namespace qordex {

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 0;
}

std::uint32_t HexTextToInt(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    std::uint32_t value = 0;
    for (; i < text.size() && IsHexDigit(text[i]); ++i)
        value = value * 16 + std::uint32_t(HexDigitValue(text[i]));
    return value;
}

} // namespace qordex
