#pragma once
// How the UDP listener turns one received datagram into the lines it shows:
// the sender line and the data entries.  Plain functions over bytes.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qordex {

// The listener reads each datagram into a buffer of this size; the rest of a
// longer datagram is dropped by the system.
constexpr int kDatagramBufferSize = 1024;

// "a.b.c.d:port" for an address and a port, both in network byte order.
std::string SenderLine(std::uint32_t addrNetOrder, std::uint16_t portNetOrder);

// The data entries of a datagram.  With `lineEnd`, the bytes are split at CR
// and LF (a CR LF or LF CR pair is one line end) and empty lines are left
// out.  Without it, the bytes before the first zero byte make one entry,
// when there are any.
std::vector<std::string> DatagramEntries(std::string_view bytes, bool lineEnd);

} // namespace qordex
