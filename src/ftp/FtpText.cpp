#include "ftp/FtpText.h"

#include "base/Text.h"

#include <cstdio>

namespace qordex::ftp {
namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Reads a number of at most three digits; false when none is there or it
// has more digits (so "1234" is not taken as 123).
bool ReadByte(std::string_view s, std::size_t& i, int& out) {
    int value = 0;
    std::size_t digits = 0;
    while (i < s.size() && IsDigit(s[i])) {
        if (++digits > 3)
            return false;
        value = value * 10 + (s[i] - '0');
        ++i;
    }
    out = value;
    return digits > 0;
}

void SkipBlanks(std::string_view s, std::size_t& i) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
        ++i;
}

} // namespace

std::optional<PasvAddress> ParsePasvReply(std::string_view reply) {
    // The code itself is not one of the numbers.
    std::size_t i =
        reply.size() >= 3 && IsDigit(reply[0]) && IsDigit(reply[1]) && IsDigit(reply[2]) ? 3 : 0;
    while (i < reply.size() && !IsDigit(reply[i]))
        ++i;
    int n[6];
    for (int k = 0; k < 6; ++k) {
        if (k > 0) {
            SkipBlanks(reply, i);
            if (i >= reply.size() || reply[i] != ',')
                return std::nullopt;
            ++i;
            SkipBlanks(reply, i);
        }
        if (!ReadByte(reply, i, n[k]) || n[k] > 255)
            return std::nullopt;
    }
    PasvAddress a;
    for (int k = 0; k < 4; ++k)
        a.host[k] = std::uint8_t(n[k]);
    a.port = std::uint16_t(n[4] * 256 + n[5]);
    return a;
}

std::string FormatPortCommand(std::uint32_t addrNetOrder, std::uint16_t port) {
    const auto* b = reinterpret_cast<const unsigned char*>(&addrNetOrder);
    char buf[64];
    std::snprintf(buf, sizeof buf, "PORT %d,%d,%d,%d,%d,%d", b[0], b[1], b[2], b[3], port >> 8,
                  port & 0xFF);
    return buf;
}

bool HasCommandBreak(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

std::optional<std::string> QuotedDirectory(std::string_view reply) {
    std::size_t i = reply.find('"', reply.size() >= 3 ? 3 : 0);
    if (i == std::string_view::npos)
        return std::nullopt;
    std::string dir;
    for (++i; i < reply.size(); ++i) {
        if (reply[i] == '"') {
            if (i + 1 < reply.size() && reply[i + 1] == '"') {
                dir += '"';
                ++i;
                continue;
            }
            break;
        }
        dir += reply[i];
    }
    return dir;
}

std::optional<long long> SizeFromReply(std::string_view reply) {
    std::size_t i = reply.size() >= 3 ? 3 : reply.size();
    SkipBlanks(reply, i);
    if (i >= reply.size() || !IsDigit(reply[i]))
        return std::nullopt;
    long long value = 0;
    for (; i < reply.size() && IsDigit(reply[i]); ++i) {
        if (value > (INT64_MAX - 9) / 10)
            return std::nullopt;
        value = value * 10 + (reply[i] - '0');
    }
    return value;
}

std::string ProxyUserCommand(const std::string& user, const std::string& host,
                             const std::string& port) {
    std::string cmd = "USER " + user + "@" + host;
    if (!EqualsIgnoreCase(port, "ftp") && port != "21")
        cmd += ":" + port;
    return cmd;
}

std::string TransferStatistics(std::int64_t bytes, std::int64_t elapsedMs, bool received) {
    std::string s = std::to_string(bytes) + (received ? " bytes received in " : " bytes sent in ");
    if (elapsedMs > 4999) {
        s += std::to_string(elapsedMs / 1000) + " seconds";
        // Large counts are divided first so that the product cannot overflow.
        const std::int64_t rate =
            bytes >= 32768 ? bytes / elapsedMs * 1000 : bytes * 1000 / elapsedMs;
        s += " (" + std::to_string(rate) + " Bytes/sec)";
    } else {
        s += std::to_string(elapsedMs) + " milliseconds";
    }
    return s;
}

} // namespace qordex::ftp
