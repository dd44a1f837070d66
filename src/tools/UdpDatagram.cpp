#include "tools/UdpDatagram.h"

#include <arpa/inet.h>

namespace qordex {

std::string SenderLine(std::uint32_t addrNetOrder, std::uint16_t portNetOrder) {
    const std::uint32_t a = ntohl(addrNetOrder);
    return std::to_string(a >> 24) + '.' + std::to_string((a >> 16) & 0xFF) + '.' +
           std::to_string((a >> 8) & 0xFF) + '.' + std::to_string(a & 0xFF) + ':' +
           std::to_string(ntohs(portNetOrder));
}

std::vector<std::string> DatagramEntries(std::string_view bytes, bool lineEnd) {
    std::vector<std::string> entries;
    if (!lineEnd) {
        const std::string_view text = bytes.substr(0, bytes.find('\0'));
        if (!text.empty())
            entries.emplace_back(text);
        return entries;
    }
    // Every CR or LF ends the current line; since empty lines are never
    // shown, a CR LF or LF CR pair needs no special case.
    std::size_t start = 0;
    for (std::size_t i = 0; i <= bytes.size(); ++i) {
        if (i == bytes.size() || bytes[i] == '\r' || bytes[i] == '\n') {
            if (i > start)
                entries.emplace_back(bytes.substr(start, i - start));
            start = i + 1;
        }
    }
    return entries;
}

} // namespace qordex
