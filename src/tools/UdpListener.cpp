#include "tools/UdpListener.h"

#include "platform/IpHelper.h"
#include "tools/UdpDatagram.h"

#include <algorithm>
#include <arpa/inet.h>

namespace qordex {

SenderFilter SenderFilter::FromText(const std::string& text) {
    SenderFilter f;
    const std::uint32_t addr = WSocketResolveHost(text);
    if (addr == 0)
        return f;
    if (addr != htonl(INADDR_LOOPBACK)) {
        f.kind_ = OneAddress;
        f.addr_ = addr;
        return f;
    }
    f.kind_ = ThisMachine;
    try {
        for (const ipsys::Addr4& a : ipsys::Addresses4())
            f.local_.push_back(a.local);
    } catch (const ipsys::IpSysError&) {
        // Without the interface list the loopback range still counts.
    }
    return f;
}

bool SenderFilter::Accepts(std::uint32_t addrNetOrder) const {
    switch (kind_) {
    case AnySender:
        return true;
    case OneAddress:
        return addrNetOrder == addr_;
    case ThisMachine:
        return (ntohl(addrNetOrder) >> 24) == 127 ||
               std::find(local_.begin(), local_.end(), addrNetOrder) != local_.end();
    }
    return false;
}

TUdpListener::TUdpListener() {
    WSocket.SetProto("udp");
    WSocket.SetAddr("0.0.0.0");
    WSocket.SetPort("600");
    WSocket.OnSessionConnected = [this](TCustomWSocket*, std::uint16_t) {
        if (OnStarted)
            OnStarted();
    };
    WSocket.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t) {
        if (OnClosed)
            OnClosed();
    };
    WSocket.OnDataAvailable = [this](TCustomWSocket* s, std::uint16_t) { DataAvailable(s); };
}

void TUdpListener::Start(const std::string& port, const std::string& filterText) {
    filter_ = SenderFilter::FromText(filterText);
    try {
        WSocket.SetProto("udp");
        WSocket.SetAddr("0.0.0.0");
        WSocket.SetPort(port);
        WSocket.Listen();
    } catch (const ESocketException&) {
        // Whatever step failed, the next Start must find the socket closed.
        if (WSocket.State() != wsClosed || WSocket.HSocket() != INVALID_SOCKET)
            WSocket.Abort();
        throw;
    }
}

void TUdpListener::Stop() {
    WSocket.Close();
}

void TUdpListener::DataAvailable(TCustomWSocket* sender) {
    char buf[kDatagramBufferSize];
    TSockAddrIn from{};
    int fromLen = sizeof from;
    const int n = sender->ReceiveFrom(buf, sizeof buf, from, fromLen);
    if (n < 0 || !filter_.Accepts(from.sin_addr.s_addr))
        return;
    const std::string line = SenderLine(from.sin_addr.s_addr, from.sin_port);
    const std::vector<std::string> entries = DatagramEntries({buf, std::size_t(n)}, LineEnd);
    if (OnDatagram)
        OnDatagram(line, entries);
}

} // namespace qordex
