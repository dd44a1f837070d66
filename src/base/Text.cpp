#include "base/Text.h"

#include <climits>

namespace qordex {

bool IsAsciiSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

std::string_view TrimView(std::string_view text) {
    std::size_t b = 0, e = text.size();
    while (b < e && IsAsciiSpace(text[b]))
        ++b;
    while (e > b && IsAsciiSpace(text[e - 1]))
        --e;
    return text.substr(b, e - b);
}

std::string Trim(std::string_view text) {
    return std::string(TrimView(text));
}

std::string TrimControls(std::string_view text) {
    auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    std::size_t b = 0, e = text.size();
    while (b < e && blank(text[b]))
        ++b;
    while (e > b && blank(text[e - 1]))
        --e;
    return std::string(text.substr(b, e - b));
}

char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

std::string AsciiLower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = AsciiLower(c);
    return out;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && StartsWithIgnoreCase(a, b);
}

bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (AsciiLower(text[i]) != AsciiLower(prefix[i]))
            return false;
    return true;
}

std::optional<long long> ParseDecimal(std::string_view text, long long lo, long long hi) {
    std::size_t i = 0;
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        i = 1;
    }
    if (i == text.size())
        return std::nullopt;
    // The magnitude is gathered unsigned, so that the most negative value
    // still fits and an overflow is seen before it happens.
    constexpr unsigned long long kLimit = 1ull + static_cast<unsigned long long>(LLONG_MAX);
    unsigned long long magnitude = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9')
            return std::nullopt;
        const unsigned digit = unsigned(c - '0');
        if (magnitude > (kLimit - digit) / 10)
            return std::nullopt;
        magnitude = magnitude * 10 + digit;
    }
    long long value;
    if (negative)
        value = magnitude == kLimit ? LLONG_MIN : -static_cast<long long>(magnitude);
    else if (magnitude == kLimit)
        return std::nullopt;
    else
        value = static_cast<long long>(magnitude);
    if (value < lo || value > hi)
        return std::nullopt;
    return value;
}

std::string NotAnIntegerMessage(std::string_view text) {
    return "'" + std::string(text) + "' is not a valid integer value";
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace qordex
