#include "tools/HexText.h"

#include "base/Text.h"

namespace qordex {

std::uint32_t HexTextToInt(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    std::uint32_t value = 0;
    for (int digit; i < text.size() && (digit = HexDigitValue(text[i])) >= 0; ++i)
        value = value * 16 + std::uint32_t(digit);
    return value;
}

} // namespace qordex
