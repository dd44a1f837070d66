#include "tools/BroadcastSender.h"

#include "platform/SocketErrors.h"

#include <cerrno>
#include <sys/socket.h>

namespace qordex {

TBroadcastSender::TBroadcastSender() {
    WSocket.SetProto("udp");
    WSocket.SetLocalAddr("0.0.0.0");
    WSocket.SetLocalPort("0");
    WSocket.OnDataSent = [this](TCustomWSocket* s, std::uint16_t) {
        s->Close();
        if (OnSent)
            OnSent();
    };
}

bool TBroadcastSender::Send(const std::string& addr, const std::string& port,
                            const std::string& localPort, const std::string& message) {
    // A datagram still waiting for its data-sent event goes out all the same:
    // closing is graceful.
    if (Busy())
        WSocket.Close();
    if (message.empty())
        return false;
    try {
        WSocket.SetProto("udp");
        WSocket.SetAddr(addr);
        WSocket.SetPort(port);
        WSocket.SetLocalPort(localPort);
        WSocket.Connect();
        // The socket switches broadcasting on for 255.255.255.255 only; a
        // directed broadcast address needs it as well, and a single host
        // is not affected by it.
        int one = 1;
        if (::setsockopt(WSocket.HSocket(), SOL_SOCKET, SO_BROADCAST, &one, sizeof one) < 0) {
            const int err = ErrnoToWsa(errno);
            throw ESocketException("Error " + std::to_string(err) +
                                       " in function setsockopt(SO_BROADCAST)\r\n" +
                                       WSocketErrorText(err),
                                   err);
        }
        WSocket.SendText(message);
    } catch (const ESocketException&) {
        WSocket.Abort();
        throw;
    }
    return true;
}

} // namespace qordex
