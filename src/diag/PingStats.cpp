#include "diag/PingStats.h"

#include "base/Text.h"

#include <climits>
#include <cmath>

namespace qordex::diag {

void PingStats::Add(bool success, std::uint32_t roundTrip) {
    ++sent_;
    if (!success)
        return;
    ++received_;
    total_ += roundTrip;
    if (roundTrip > max_)
        max_ = roundTrip;
    if (roundTrip < min_)
        min_ = roundTrip;
}

long long PingStats::RoundHalfEven(double value) {
    // Explicit, so that a caller that changed the rounding mode cannot change the summary.
    const double floor = std::floor(value);
    const double diff = value - floor;
    double result = floor;
    if (diff > 0.5)
        result = floor + 1;
    else if (diff == 0.5)
        result = std::fmod(floor, 2.0) == 0 ? floor : floor + 1;
    return static_cast<long long>(result);
}

std::string PingStats::PacketLine() const {
    // One division of whole numbers: a true half (23 of 40 is 57.5 %) stays a
    // half, where dividing first and scaling after lands beside it (57.4999...).
    const double loss =
        sent_ ? double(std::uint64_t(sent_ - received_) * 100u) / double(sent_) : 0.0;
    return "Packets sent: " + std::to_string(sent_) + "  received: " + std::to_string(received_) +
           "  lost: " + std::to_string(sent_ - received_) + " [" +
           std::to_string(RoundHalfEven(loss)) + "%]";
}

std::string PingStats::TimeLine() const {
    const double average = received_ ? double(total_) / double(received_) : 0.0;
    return "Time min: " + std::to_string(min_) + "ms  max: " + std::to_string(max_) +
           "ms  ave: " + std::to_string(RoundHalfEven(average)) + "ms";
}

void PingStats::Reset() {
    *this = PingStats{};
}

std::string PingSendingLine(int size, const std::string& hostIP) {
    return "Sending " + std::to_string(size) + " bytes to " + hostIP;
}

std::string PingReceivedLine(std::uint16_t dataSize, const std::string& from,
                             std::uint32_t roundTrip) {
    return "Received " + std::to_string(dataSize) + " bytes from " + from + " in " +
           std::to_string(roundTrip) + " ms";
}

std::string PingFailedLine(const std::string& hostIP, const std::string& errorText) {
    return "Cannot ping host (" + hostIP + ") : " + errorText;
}

std::string PingUnknownHostLine(const std::string& host) {
    return "Unknown host '" + host + "'";
}

std::optional<int> ParsePingInteger(const std::string& text) {
    if (auto v = ParseDecimal(TrimView(text), INT_MIN, INT_MAX))
        return int(*v);
    return std::nullopt;
}

} // namespace qordex::diag
