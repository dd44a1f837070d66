#include "tools/FailureText.h"

#include "platform/SocketErrors.h"
#include "tools/UdpDatagram.h"

namespace qordex {

std::vector<std::string> FailureLines(const ESocketException& e, const std::string& port) {
    std::vector<std::string> lines = DatagramEntries(e.what(), true);
    int number = -1;
    try {
        number = WSocketResolvePort(port, "udp");
    } catch (const ESocketException&) {
    }
    if (e.ErrorCode() == WSAEACCES && number > 0 && number < 1024)
        lines.push_back("Ports below 1024 need root (or the capability cap_net_bind_service).");
    return lines;
}

} // namespace qordex
