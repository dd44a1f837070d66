#pragma once
// The time server component: answers Time protocol requests (RFC 868) over
// UDP and TCP with the clock's current time as a 32-bit count of seconds
// since 1900.  Each accepted TCP connection gets a socket of its own, which
// is closed once its 4 bytes are sent.

#include "net/WSocket.h"
#include "platform/Clock.h"

#include <QObject>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>

namespace qordex {

enum TTimeProtocol { tpUDP, tpTCP };

// A set of TTimeProtocol.
struct TTimeProtocols {
    bool udp = true;
    bool tcp = true;
    bool Has(TTimeProtocol p) const { return p == tpUDP ? udp : tcp; }
    bool Empty() const { return !udp && !tcp; }
};

// OnQueryDone codes besides 0 and socket errors.
constexpr std::uint16_t kQueryRefused = 0xFFFE;  // OnQuery said no
constexpr std::uint16_t kQueryNoClock = 0xFFFF;  // kept for its number; the clock never fails

class TTimeServ {
public:
    explicit TTimeServ(TClock& clock = SystemClock());
    ~TTimeServ();
    TTimeServ(const TTimeServ&) = delete;
    TTimeServ& operator=(const TTimeServ&) = delete;

    // Protocols served; written while running, it opens or closes the
    // matching listener at once (a failure to open throws ESocketException).
    TTimeProtocols TimeProtocol() const { return protocols_; }
    void SetTimeProtocol(TTimeProtocols v);
    // Every chosen listener is open.
    bool IsRunning() const { return running_; }
    // The local address and port of both listeners: "0.0.0.0" and "37" (RFC
    // 868) unless a test moves them.
    std::string Addr = "0.0.0.0";
    std::string Port = "37";

    // Every chosen listener opened (raised by Start, at its end).
    std::function<void(TTimeServ* Sender)> OnStart;
    // Both listeners are closed.
    std::function<void(TTimeServ* Sender)> OnStop;
    // A request came from `SocketAddr`; setting Continue to false refuses it.
    std::function<void(TTimeServ* Sender, const TSockAddrIn& SocketAddr,
                       TTimeProtocol TimeProtocol, bool& Continue)>
        OnQuery;
    // A request ended: 0, kQueryRefused, or the socket error of a failed
    // send or of a connection the client reset.
    std::function<void(TTimeServ* Sender, std::uint16_t Error)> OnQueryDone;
    // Forwarded from the listeners.
    std::function<void(TTimeServ* Sender, std::uint16_t ErrCode)> OnSessionConnected;
    // Published for compatibility; never raised.
    std::function<void(TTimeServ* Sender, std::uint16_t ErrCode)> OnSessionClosed;

    // Opens every chosen listener, or none: when one fails, what opened is
    // closed again and the ESocketException is thrown, without OnStart.
    // Nothing happens while running.
    void Start();
    // Closes the listeners (OnStop) and every connection still served.
    void Stop();

    // TCP connections accepted and not yet closed.
    std::size_t Connections() const { return connections_.size(); }

private:
    void OpenListener(TTimeProtocol p);
    void CloseListener(TTimeProtocol p);
    void ListenerClosed();
    void UdpRequest(TCustomWSocket* s);
    void TcpRequest();
    void ConnectionEnded(TWSocket* conn, std::uint16_t error);
    void Bury(TWSocket* conn);
    bool Query(const TSockAddrIn& from, TTimeProtocol p);

    TClock& clock_;
    TTimeProtocols protocols_;
    bool running_ = false;
    bool starting_ = false;
    std::unique_ptr<TWSocket> udp_, tcp_;
    std::list<std::unique_ptr<TWSocket>> connections_;
    // Connections whose last event is still on the stack; freed from the loop.
    std::list<std::unique_ptr<TWSocket>> ended_;
    QObject loopContext_; // the posted freeing dies with the server
};

} // namespace qordex
