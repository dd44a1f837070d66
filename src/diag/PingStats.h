#pragma once
// The counters of a ping run and its two-line summary, shared by the Ping
// window and `qordex-cli ping`.  No network, no threads: the owner feeds it
// one outcome per finished request.

#include "base/Text.h"

#include <cstdint>
#include <optional>
#include <string>

namespace qordex::diag {

class PingStats {
public:
    // Counts one finished request; `roundTrip` (ms) only when it got an answer.
    void Add(bool success, std::uint32_t roundTrip);

    std::uint32_t Sent() const { return sent_; }
    std::uint32_t Received() const { return received_; }
    std::uint32_t Min() const { return min_; }
    std::uint32_t Max() const { return max_; }
    std::uint64_t Total() const { return total_; }

    // "Packets sent: 4  received: 3  lost: 1 [25%]"
    std::string PacketLine() const;
    // "Time min: 10ms  max: 31ms  ave: 20ms"
    std::string TimeLine() const;
    // Back to the initial values (min 65535, the rest 0).
    void Reset();

    // Rounds to the nearest integer, halves to the even neighbour (12.5 -> 12).
    static long long RoundHalfEven(double value);

private:
    std::uint32_t min_ = 65535;
    std::uint32_t max_ = 0;
    std::uint64_t total_ = 0;
    std::uint32_t sent_ = 0;
    std::uint32_t received_ = 0;
};

// The lines a ping request prints.
std::string PingSendingLine(int size, const std::string& hostIP);
std::string PingReceivedLine(std::uint16_t dataSize, const std::string& from,
                             std::uint32_t roundTrip);
std::string PingFailedLine(const std::string& hostIP, const std::string& errorText);
std::string PingUnknownHostLine(const std::string& host);

// Reads a control's text as a decimal integer (surrounding blanks allowed);
// nullopt when it is not one (NotAnIntegerMessage says so).
std::optional<int> ParsePingInteger(const std::string& text);

// Requests one batch may start at once.
constexpr int kMaxBulk = 100;

} // namespace qordex::diag
