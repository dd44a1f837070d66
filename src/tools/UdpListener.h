#pragma once
// The UDP listener without its window: one datagram socket bound to all
// local addresses on a port, an optional sender filter, and the lines the
// window (and qordex-cli udp-listen) show for each accepted datagram.

#include "net/WSocket.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qordex {

// Which senders the listener accepts.
class SenderFilter {
public:
    enum Kind {
        AnySender,   // no filter
        OneAddress,  // exactly one sender address
        ThisMachine, // any address of this machine
    };

    // From the address field: 0.0.0.0 accepts anyone.  127.0.0.1 stands for
    // this machine; on Linux the host name often maps to 127.0.1.1 rather
    // than to the address the datagrams come from, so it accepts every
    // loopback address and every address of the machine's interfaces, as
    // they are when the filter is made.  Names are resolved (blocking).
    // Throws ESocketException when the text is no address.
    static SenderFilter FromText(const std::string& text);

    Kind Type() const { return kind_; }
    bool Accepts(std::uint32_t addrNetOrder) const;

private:
    Kind kind_ = AnySender;
    std::uint32_t addr_ = 0;           // OneAddress, network order
    std::vector<std::uint32_t> local_; // ThisMachine, network order
};

class TUdpListener {
public:
    TUdpListener();
    TUdpListener(const TUdpListener&) = delete;
    TUdpListener& operator=(const TUdpListener&) = delete;

    // The socket: Proto "udp", Addr "0.0.0.0", Port "600", no OnError.
    TWSocket WSocket;

    // Split datagrams into lines (the "Use line-end" box); read per datagram.
    bool LineEnd = true;

    // The socket is listening ("Server started"); raised during Start.
    std::function<void()> OnStarted;
    // The session ended ("Server closed."), after Stop or a socket failure.
    std::function<void()> OnClosed;
    // An accepted datagram: its sender line and its data entries (possibly
    // none).  The handler may Stop the listener.
    std::function<void(const std::string& sender, const std::vector<std::string>& entries)>
        OnDatagram;

    // Makes the sender filter from `filterText`, then listens on `port`
    // (number or service name).  A failure throws ESocketException and
    // leaves no socket open, so the next Start begins clean.
    void Start(const std::string& port, const std::string& filterText);
    // Closes the socket; OnClosed follows before it returns.
    void Stop();
    bool Listening() const { return WSocket.State() != wsClosed; }
    const SenderFilter& Filter() const { return filter_; }

private:
    void DataAvailable(TCustomWSocket* sender);

    SenderFilter filter_;
};

} // namespace qordex
