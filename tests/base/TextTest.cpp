#include "base/Text.h"

#include <climits>
#include <gtest/gtest.h>

using namespace qordex;

TEST(Text, TrimTakesAsciiWhiteSpaceOnly) {
    struct Case {
        std::string text, trimmed, controlsTrimmed;
    } cases[] = {
        {"", "", ""},
        {" \t\r\n\v\f", "", ""},
        {"  a b  ", "a b", "a b"},
        {"\ta\n", "a", "a"},
        // Other control characters are text to Trim and blanks to TrimControls.
        {std::string("\x01x\x1f", 3), std::string("\x01x\x1f", 3), "x"},
        {std::string("\0x\0", 3), std::string("\0x\0", 3), "x"},
        // A byte above 127 is never a blank, whatever the locale says.
        {"\xa0x\xa0", "\xa0x\xa0", "\xa0x\xa0"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Trim(c.text), c.trimmed);
        EXPECT_EQ(TrimView(c.text), c.trimmed);
        EXPECT_EQ(TrimControls(c.text), c.controlsTrimmed);
    }
}

TEST(Text, AsciiLetterCase) {
    EXPECT_EQ(AsciiLower("MiXeD-Case 09 \xc4\xd6"), "mixed-case 09 \xc4\xd6");
    EXPECT_TRUE(EqualsIgnoreCase("Content-Type", "content-TYPE"));
    EXPECT_FALSE(EqualsIgnoreCase("Content-Type", "Content-Typ"));
    EXPECT_TRUE(StartsWithIgnoreCase("UTF-8", "utf"));
    EXPECT_FALSE(StartsWithIgnoreCase("UT", "utf"));
    EXPECT_FALSE(StartsWithIgnoreCase("[", "{")) << "only letters fold";
}

TEST(Text, ParseDecimalReadsWholeNumbersInRange) {
    struct Case {
        const char* text;
        long long lo, hi;
        std::optional<long long> value;
    } cases[] = {
        {"0", INT_MIN, INT_MAX, 0},
        {"42", INT_MIN, INT_MAX, 42},
        {"+42", INT_MIN, INT_MAX, 42},
        {"-42", INT_MIN, INT_MAX, -42},
        {"0007", 0, 10, 7},
        {"2147483647", INT_MIN, INT_MAX, INT_MAX},
        {"-2147483648", INT_MIN, INT_MAX, INT_MIN},
        {"2147483648", INT_MIN, INT_MAX, std::nullopt},
        {"9223372036854775807", LLONG_MIN, LLONG_MAX, LLONG_MAX},
        {"-9223372036854775808", LLONG_MIN, LLONG_MAX, LLONG_MIN},
        {"9223372036854775808", LLONG_MIN, LLONG_MAX, std::nullopt},
        {"-9223372036854775809", LLONG_MIN, LLONG_MAX, std::nullopt},
        {"99999999999999999999999", LLONG_MIN, LLONG_MAX, std::nullopt},
        {"11", 1, 10, std::nullopt},
        {"0", 1, 10, std::nullopt},
        {"", INT_MIN, INT_MAX, std::nullopt},
        {"+", INT_MIN, INT_MAX, std::nullopt},
        {"-", INT_MIN, INT_MAX, std::nullopt},
        {"--1", INT_MIN, INT_MAX, std::nullopt},
        {" 1", INT_MIN, INT_MAX, std::nullopt},
        {"1 ", INT_MIN, INT_MAX, std::nullopt},
        {"1e3", INT_MIN, INT_MAX, std::nullopt},
        {"0x10", INT_MIN, INT_MAX, std::nullopt},
        {"12abc", INT_MIN, INT_MAX, std::nullopt},
        {"\xd9\xa3", INT_MIN, INT_MAX, std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ParseDecimal(c.text, c.lo, c.hi), c.value) << '"' << c.text << '"';
}

TEST(Text, MessagesAndHexDigits) {
    EXPECT_EQ(NotAnIntegerMessage(" abc"), "' abc' is not a valid integer value");
    const std::string digits = "0123456789abcdefABCDEF";
    for (std::size_t i = 0; i < digits.size(); ++i)
        EXPECT_EQ(HexDigitValue(digits[i]), i < 16 ? int(i) : int(i) - 6) << digits[i];
    for (char c : {'g', 'G', ' ', '/', ':', '@', '`', '\0', '\xff'})
        EXPECT_EQ(HexDigitValue(c), -1) << int(c);
}
