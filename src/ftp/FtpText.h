#pragma once
// The texts the FTP client reads from replies and writes into commands:
// the 227 address, PORT arguments, quoted directory names, SIZE numbers,
// the transfer statistics note.  Plain functions over bytes.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qordex::ftp {

struct PasvAddress {
    std::uint8_t host[4] = {}; // the four address numbers, in order
    std::uint16_t port = 0;
};

// The six numbers of a 227 reply, "h1,h2,h3,h4,p1,p2", wherever they stand
// after the code, with or without parentheses (RFC 1123, 4.1.2.6: scan for
// the first digit).  Blanks around the commas are allowed.  Nothing when
// there are fewer than six numbers or one is outside 0..255.
std::optional<PasvAddress> ParsePasvReply(std::string_view reply);

// "PORT a,b,c,d,p1,p2" for an address in network order and a port.
std::string FormatPortCommand(std::uint32_t addrNetOrder, std::uint16_t port);

// True when the text holds CR, LF or NUL: put into a command it would end
// the command early and smuggle in another one.
bool HasCommandBreak(std::string_view text);

// The first double-quoted text after the code of a 257 or 250 reply, two
// double quotes inside standing for one (RFC 959, appendix II).  Nothing
// when there is no opening quote.
std::optional<std::string> QuotedDirectory(std::string_view reply);

// The number after the code of a 213 reply; nothing when there is none.
std::optional<long long> SizeFromReply(std::string_view reply);

// The USER command for a login through an FTP proxy: "USER user@host",
// with ":port" when the port is neither "ftp" nor "21".
std::string ProxyUserCommand(const std::string& user, const std::string& host,
                             const std::string& port);

// The note shown after a transfer: "<bytes> bytes received in 12 seconds
// (345 Bytes/sec)" or "... in 20 milliseconds".
std::string TransferStatistics(std::int64_t bytes, std::int64_t elapsedMs, bool received);

} // namespace qordex::ftp
