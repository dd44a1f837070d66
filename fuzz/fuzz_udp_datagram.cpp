// A received datagram as the UDP listener splits it: lines never hold a line
// end, are never empty, and together hold every byte other than CR and LF.
#include "tools/UdpDatagram.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::size_t kept = 0;
    for (const std::string& line : qordex::DatagramEntries(bytes, true)) {
        if (line.empty() || line.find_first_of("\r\n") != std::string::npos)
            std::abort();
        kept += line.size();
    }
    std::size_t expected = 0;
    for (char c : bytes)
        expected += c != '\r' && c != '\n';
    if (kept != expected)
        std::abort();
    const auto whole = qordex::DatagramEntries(bytes, false);
    if (whole.size() > 1 ||
        (whole.size() == 1 && (whole[0].empty() || whole[0].find('\0') != std::string::npos ||
                               bytes.substr(0, whole[0].size()) != whole[0])))
        std::abort();
    return 0;
}
