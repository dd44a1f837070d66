#include "time/WSocketExt.h"

#include "base/Text.h"
#include "platform/SocketErrors.h"

#include <arpa/inet.h>
#include <vector>

namespace qordex {

TWSocketExt::TWSocketExt() {
    // Bytes a SOCKS proxy sent along with its reply come through the plain
    // event; they are read the same way as the system's.
    OnDataAvailable = [this](TCustomWSocket*, std::uint16_t) { ReadArrival(); };
}

std::uint16_t TWSocketExt::PortNumber() const {
    const auto v = ParseDecimal(Trim(Port()), 0, 65535);
    return v ? std::uint16_t(*v) : 0;
}

void TWSocketExt::SetPortNumber(std::uint16_t v) {
    SetPort(std::to_string(v));
}

bool TWSocketExt::IsDatagram() const {
    const std::string p = AsciiLower(Trim(Proto()));
    return p == "udp" || p == "17";
}

bool TWSocketExt::TriggerDataAvailable(int error) {
    if (SocksNegotiating() || SocksLeftover() > 0)
        return TWSocket::TriggerDataAvailable(error);
    return ReadArrival();
}

bool TWSocketExt::ReadArrival() {
    const int count = RcvdCount();
    if (count < 0)
        return true;
    std::vector<char> buf(std::size_t(count) + 1);
    if (IsDatagram()) {
        // A datagram is taken even when it is empty: it leaves nothing to
        // count, yet the socket would stay readable until it is read.
        TSockAddrIn from{};
        int fromLen = sizeof from;
        const int n = ReceiveFrom(buf.data(), count, from, fromLen);
        if (n < 0) {
            const int err = LastError();
            if (err != WSAEWOULDBLOCK) {
                // An ICMP refusal of an earlier datagram: the request failed.
                TriggerError();
                if (State() != wsClosed)
                    InternalClose(false, err);
            }
            return true;
        }
        TriggerReceiveBuffer(buf.data(), n, WSocket_inet_ntoa(from.sin_addr.s_addr),
                             ntohs(from.sin_port));
        return true;
    }
    if (count == 0) {
        TriggerReceiveBuffer(nullptr, 0, {}, 0);
        return true;
    }
    const int n = Receive(buf.data(), count);
    if (n <= 0)
        return true;
    TSockAddrIn peer{};
    const bool known = GetPeerSockAddr(peer, sizeof peer) == 0;
    TriggerReceiveBuffer(buf.data(), n, known ? WSocket_inet_ntoa(peer.sin_addr.s_addr) : "",
                         known ? ntohs(peer.sin_port) : 0);
    return true;
}

void TWSocketExt::TriggerReceiveBuffer(const char* buf, int count, const std::string& fromAddr,
                                       std::uint16_t fromPort) {
    if (OnReceiveBuffer)
        OnReceiveBuffer(this, buf, count, fromAddr, fromPort);
}

int TWSocketExt::SendBufferTo(const void* Data, int Len, const std::string& ToAddr,
                              std::uint16_t ToPort) {
    if (!IsDatagram())
        return Send(Data, Len);
    TSockAddrIn dest{};
    dest.sin_family = AF_INET;
    // A connected datagram socket already knows its peer: no new lookup.
    if (ToAddr.empty() && ToPort == 0 && GetPeerSockAddr(dest, sizeof dest) == 0)
        return SendTo(dest, sizeof dest, Data, Len);
    try {
        dest.sin_addr.s_addr = WSocketResolveHost(ToAddr.empty() ? Addr() : ToAddr);
    } catch (const ESocketException&) {
        SetLastError(WSAEINVAL);
        return -1;
    }
    dest.sin_port = htons(ToAddr.empty() && ToPort == 0 ? PortNumber() : ToPort);
    return SendTo(dest, sizeof dest, Data, Len);
}

void TWSocketExt::ResetDefaults() {
    if (!preserveSettings_) {
        TWSocket::ResetDefaults();
        return;
    }
    const std::string proto = Proto(), addr = Addr(), port = Port();
    TWSocket::ResetDefaults();
    SetProto(proto);
    if (!addr.empty())
        SetAddr(addr);
    if (!port.empty())
        SetPort(port);
}

} // namespace qordex
