#pragma once
// The broadcast sender without its window: each message is one datagram on
// a fresh socket session (connect, send, close once it went out).

#include "net/WSocket.h"

#include <functional>
#include <string>

namespace qordex {

class TBroadcastSender {
public:
    TBroadcastSender();
    TBroadcastSender(const TBroadcastSender&) = delete;
    TBroadcastSender& operator=(const TBroadcastSender&) = delete;

    // The socket: Proto "udp", LocalAddr "0.0.0.0", LocalPort "0"; only
    // OnDataSent is assigned.
    TWSocket WSocket;

    // The datagram went out and the socket is closed again; from the loop.
    std::function<void()> OnSent;

    // Sends `message` as one datagram, without terminator, from `localPort`
    // ("0": chosen by the system) to `addr`:`port`.  An empty message sends
    // nothing and returns false.  Broadcasting is allowed for any
    // destination, so that a directed broadcast address works as well as
    // 255.255.255.255.  A failure throws ESocketException after aborting
    // the socket, so the next Send starts clean.
    bool Send(const std::string& addr, const std::string& port, const std::string& localPort,
              const std::string& message);

    // A datagram is on its way: the socket is not closed yet.
    bool Busy() const { return WSocket.State() != wsClosed; }
};

} // namespace qordex
