// The Time answer in both directions, the day counts the tools show, and the
// counters' reading of their captions.

#include "time/TimeCodec.h"

#include <QDate>
#include <QDateTime>
#include <climits>
#include <gtest/gtest.h>

using namespace qordex;

namespace {

std::string Iso(std::uint32_t answer) {
    return FormatDateTimeIso(DateTimeFromSeconds1900(TimeAnswerSeconds(answer)));
}

TEST(TimeAnswer, ErasAroundTheWrap) {
    const struct {
        std::uint32_t value;
        const char* utc;
    } cases[] = {
        {0xE93C7F00u, "2024-01-01 00:00:00"},
        {0xE93C8A80u, "2024-01-01 00:49:04"},
        {0x80000000u, "1968-01-20 03:14:08"}, // oldest of the first era
        {0xFFFFFFFFu, "2036-02-07 06:28:15"},
        {0x00000000u, "2036-02-07 06:28:16"}, // the wrap: next era, not 1900
        {0x00000001u, "2036-02-07 06:28:17"},
        {0x7FFFFFFFu, "2104-02-26 09:42:23"}, // newest of the next era
        {0x83AA7E80u, "1970-01-01 00:00:00"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Iso(c.value), c.utc) << std::hex << c.value;
}

TEST(TimeAnswer, EncodesTheClockModulo2To32) {
    const struct {
        std::int64_t unix;
        std::array<unsigned char, 4> bytes;
    } cases[] = {
        {1704067200, {0xE9, 0x3C, 0x7F, 0x00}}, // 2024-01-01 00:00:00
        {1704070144, {0xE9, 0x3C, 0x8A, 0x80}},
        {0, {0x83, 0xAA, 0x7E, 0x80}},
        {2085978495, {0xFF, 0xFF, 0xFF, 0xFF}}, // 2036-02-07 06:28:15
        {2085978496, {0x00, 0x00, 0x00, 0x00}}, // 2036-02-07 06:28:16
        {2085978497, {0x00, 0x00, 0x00, 0x01}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EncodeTimeAnswer({c.unix, 999999999}), c.bytes) << c.unix;
        // And back: what is sent reads as the same second.
        const std::string wire(reinterpret_cast<const char*>(c.bytes.data()), 4);
        EXPECT_EQ(UtcFromDateTime(DateTimeFromSeconds1900(
                                      TimeAnswerSeconds(ReadTimeAnswer(wire))))
                      .seconds,
                  c.unix);
    }
}

TEST(DayCount, MatchesCivilDates) {
    // Day 0 is 1899-12-30; whole days land on midnight.
    const struct {
        int y, m, d;
        double days;
    } cases[] = {
        {1899, 12, 30, 0}, {1900, 1, 1, 2},      {1900, 3, 1, 61},
        {1970, 1, 1, 25569}, {2000, 2, 29, 36585}, {2024, 1, 1, 45292},
        {2036, 2, 7, 49712}, {2104, 2, 26, 74567},
    };
    for (const auto& c : cases) {
        const QDateTime civil(QDate(c.y, c.m, c.d), QTime(0, 0), Qt::UTC);
        const std::int64_t since1900 = civil.toSecsSinceEpoch() + kSecondsFrom1900To1970;
        EXPECT_DOUBLE_EQ(DateTimeFromSeconds1900(since1900), c.days) << c.y << "-" << c.m;
    }
    // A fraction of a day is the time of day.
    EXPECT_DOUBLE_EQ(DateTimeFromSeconds1900(86400 + 43200), 3.5);
}

TEST(DayTimeText, StopsAtTheFirstZeroByte) {
    EXPECT_EQ(DayTimeText("Mon Jan  1 00:00:00 2024\r\n"), "Mon Jan  1 00:00:00 2024\r\n");
    EXPECT_EQ(DayTimeText(std::string_view("abc\0def", 7)), "abc");
    EXPECT_EQ(DayTimeText(std::string_view("\0x", 2)), "");
}

TEST(ParseLeadingInt, Table) {
    const struct {
        const char* text;
        int value;
    } cases[] = {
        {"0", 0},
        {"17", 17},
        {"   42", 42},
        {"12abc", 12},
        {"abc", 0},
        {"", 0},
        {"-5", 0}, // no sign
        {"+5", 0},
        {"\t5", 0}, // only spaces are skipped
        {"2147483647", INT_MAX},
        {"2147483648", INT_MAX}, // saturates instead of overflowing
        {"99999999999999999999999", INT_MAX},
        {"007", 7},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseLeadingInt(c.text), c.value) << "'" << c.text << "'";
}

TEST(NextCounterText, CountsOnFromTheCaption) {
    EXPECT_EQ(NextCounterText("0"), "1");
    EXPECT_EQ(NextCounterText("41"), "42");
    EXPECT_EQ(NextCounterText("x"), "1");
    EXPECT_EQ(NextCounterText("2147483647"), "2147483648");
}

} // namespace
