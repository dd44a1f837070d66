#pragma once
// Small text rules that every layer shares: trimming, ASCII letter case,
// decimal and hexadecimal digits.  All of them work on bytes and ignore the
// locale, so a field reads the same on every machine.

#include <optional>
#include <string>
#include <string_view>

namespace qordex {

// Space, tab, line feed, vertical tab, form feed and carriage return.
bool IsAsciiSpace(char c);

// The text without the ASCII white space at both ends.
std::string_view TrimView(std::string_view text);
std::string Trim(std::string_view text);
// The text without every byte up to and including the space (control
// characters too) at both ends, as mail headers are trimmed.
std::string TrimControls(std::string_view text);

// "A" to "Z" become "a" to "z"; every other byte stays.
char AsciiLower(char c);
std::string AsciiLower(std::string_view text);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix);

// A whole decimal number within [lo, hi]: an optional sign and at least one
// digit, nothing else (no blanks: trim first where a field allows them).
std::optional<long long> ParseDecimal(std::string_view text, long long lo, long long hi);

// "'x' is not a valid integer value": what a field that must hold a whole
// number says about the text it holds instead.
std::string NotAnIntegerMessage(std::string_view text);

// The value of a hexadecimal digit in either letter case; -1 for any other byte.
int HexDigitValue(char c);

} // namespace qordex
