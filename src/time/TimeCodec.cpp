#include "time/TimeCodec.h"

#include <QDateTime>
#include <climits>
#include <cmath>

namespace qordex {
namespace {
constexpr std::int64_t kEra = 1LL << 32;
constexpr double kSecondsPerDay = 86400.0;
// Day count of 1900-01-01 00:00.
constexpr double kDay1900 = 2.0;
} // namespace

std::int64_t TimeAnswerSeconds(std::uint32_t value) {
    return (value & 0x80000000u) ? std::int64_t(value) : std::int64_t(value) + kEra;
}

std::uint32_t ReadTimeAnswer(std::string_view answer) {
    const auto* p = reinterpret_cast<const unsigned char*>(answer.data());
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 |
           std::uint32_t(p[3]);
}

std::array<unsigned char, 4> EncodeTimeAnswer(const TUtcTime& now) {
    // 64 bits, so that the count wraps to 0 in 2036 instead of overflowing.
    const std::int64_t since1900 = now.seconds + kSecondsFrom1900To1970;
    const auto v = std::uint32_t(std::uint64_t(since1900) & 0xFFFFFFFFu);
    return {static_cast<unsigned char>(v >> 24), static_cast<unsigned char>(v >> 16),
            static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
}

double DateTimeFromSeconds1900(std::int64_t seconds) {
    return kDay1900 + double(seconds) / kSecondsPerDay;
}

TUtcTime UtcFromDateTime(double dateTime) {
    const double since1900 = (dateTime - kDay1900) * kSecondsPerDay;
    return {std::llround(since1900) - kSecondsFrom1900To1970, 0};
}

std::string FormatDateTimeIso(double dateTime) {
    const QDateTime t =
        QDateTime::fromSecsSinceEpoch(UtcFromDateTime(dateTime).seconds, Qt::UTC);
    return t.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toStdString();
}

std::string DayTimeText(std::string_view answer) {
    return std::string(answer.substr(0, answer.find('\0')));
}

int ParseLeadingInt(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    long long v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        v = v * 10 + (text[i] - '0');
        if (v > INT_MAX)
            return INT_MAX;
    }
    return int(v);
}

} // namespace qordex

namespace qordex {

std::string NextCounterText(std::string_view caption) {
    return std::to_string(static_cast<long long>(ParseLeadingInt(caption)) + 1);
}

} // namespace qordex
