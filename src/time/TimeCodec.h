#pragma once
// The Time (RFC 868) and Daytime (RFC 867) answers as bytes, and the
// date-times the time tools show: day counts with a fraction, day 0 being
// 1899-12-30 00:00 UTC (so 1900-01-01 00:00 is 2.0).

#include "platform/Clock.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace qordex {

constexpr std::uint16_t kTimePort = 37;    // RFC 868
constexpr std::uint16_t kDayTimePort = 13; // RFC 867

// Seconds from 1900-01-01 to 1970-01-01, both 00:00:00 UTC.
constexpr std::int64_t kSecondsFrom1900To1970 = 2208988800LL;

// The seconds since 1900 that a 32-bit Time answer stands for.  The count
// wraps on 2036-02-07 06:28:16 UTC: a value with its top bit clear belongs
// to the next era, 2036 to 2104 (RFC 4330 section 3), one with it set to
// 1968 to 2036.
std::int64_t TimeAnswerSeconds(std::uint32_t value);

// The first 4 bytes of `answer`, big-endian; `answer` holds at least 4.
std::uint32_t ReadTimeAnswer(std::string_view answer);

// The 4 answer bytes for a moment: whole seconds (truncated) since 1900,
// modulo 2^32, big-endian.
std::array<unsigned char, 4> EncodeTimeAnswer(const TUtcTime& now);

// Day count of the seconds since 1900, and back to a UTC time (rounded to
// the nearest second, which is all a Time answer carries).
double DateTimeFromSeconds1900(std::int64_t seconds);
TUtcTime UtcFromDateTime(double dateTime);

// "yyyy-MM-dd HH:mm:ss" of a day count, in UTC.
std::string FormatDateTimeIso(double dateTime);

// A Daytime answer as text: its bytes up to the first zero byte.
std::string DayTimeText(std::string_view answer);

// Skips leading spaces, then reads decimal digits up to the first other
// character: their value, 0 when there are none, INT_MAX when larger.
int ParseLeadingInt(std::string_view text);

// A request counter's next caption: ParseLeadingInt of the caption plus 1.
std::string NextCounterText(std::string_view caption);

} // namespace qordex
