#include "tools/HexText.h"

#include <gtest/gtest.h>

using qordex::HexTextToInt;

TEST(HexTextToInt, ReadsLeadingHexDigits) {
    struct Case {
        const char* text;
        std::uint32_t value;
    } cases[] = {
        {"  1aF|", 0x1AF},          {"00A1B2C3| 127.0.0.1:5000", 0xA1B2C3},
        {"xyz", 0},                 {"", 0},
        {"   ", 0},                 {"FFFFFFFF", 0xFFFFFFFF},
        {"ffffffff1", 0xFFFFFFF1},  {"12 34", 0x12},
    };
    for (const Case& c : cases)
        EXPECT_EQ(HexTextToInt(c.text), c.value) << '"' << c.text << '"';
}
