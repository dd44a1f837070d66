#include "time/TimeServ.h"

#include "platform/SocketErrors.h"
#include "time/TimeCodec.h"

#include <QTimer>
#include <algorithm>

namespace qordex {
namespace {
// What is read of a UDP request; its content does not matter.
constexpr int kRequestBufferSize = 1024;
// The TCP listener's queue: a burst of clients waits there instead of
// retrying its SYNs a second later.
constexpr int kListenBacklog = 128;
} // namespace

TTimeServ::TTimeServ(TClock& clock) : clock_(clock) {}

TTimeServ::~TTimeServ() {
    OnStart = nullptr;
    OnStop = nullptr;
    OnQuery = nullptr;
    OnQueryDone = nullptr;
    OnSessionConnected = nullptr;
    connections_.clear();
    ended_.clear();
}

void TTimeServ::Start() {
    if (running_)
        return;
    starting_ = true;
    try {
        for (TTimeProtocol p : {tpUDP, tpTCP}) {
            if (protocols_.Has(p))
                OpenListener(p);
            else
                CloseListener(p);
        }
    } catch (...) {
        CloseListener(tpUDP);
        CloseListener(tpTCP);
        starting_ = false;
        throw;
    }
    starting_ = false;
    if (!udp_ && !tcp_)
        return;
    running_ = true;
    if (OnStart)
        OnStart(this);
}

void TTimeServ::Stop() {
    connections_.clear();
    const bool was = running_ || udp_ || tcp_;
    CloseListener(tpUDP);
    CloseListener(tpTCP);
    if (was)
        ListenerClosed();
}

void TTimeServ::SetTimeProtocol(TTimeProtocols v) {
    protocols_ = v;
    if (!running_)
        return;
    for (TTimeProtocol p : {tpUDP, tpTCP}) {
        if (v.Has(p))
            OpenListener(p);
        else
            CloseListener(p);
    }
    if (!udp_ && !tcp_)
        ListenerClosed();
}

void TTimeServ::OpenListener(TTimeProtocol p) {
    std::unique_ptr<TWSocket>& slot = p == tpUDP ? udp_ : tcp_;
    if (slot)
        return;
    auto s = std::make_unique<TWSocket>();
    s->SetProto(p == tpUDP ? "udp" : "tcp");
    s->SetAddr(Addr);
    s->SetPort(Port);
    s->SetListenBacklog(kListenBacklog);
    s->OnSessionConnected = [this](TCustomWSocket*, std::uint16_t err) {
        if (OnSessionConnected)
            OnSessionConnected(this, err);
    };
    if (p == tpUDP)
        s->OnDataAvailable = [this](TCustomWSocket* sock, std::uint16_t) { UdpRequest(sock); };
    else
        s->OnSessionAvailable = [this](TCustomWSocket*, std::uint16_t) { TcpRequest(); };
    s->Listen(); // throws with the socket closed again
    slot = std::move(s);
}

void TTimeServ::CloseListener(TTimeProtocol p) {
    std::unique_ptr<TWSocket>& slot = p == tpUDP ? udp_ : tcp_;
    if (!slot)
        return;
    std::unique_ptr<TWSocket> s = std::move(slot);
    s->OnSessionConnected = nullptr;
    s->OnSessionClosed = nullptr;
    s->Close();
    if (p == tpTCP)
        connections_.clear();
}

void TTimeServ::ListenerClosed() {
    if (!running_ || udp_ || tcp_)
        return;
    running_ = false;
    if (OnStop)
        OnStop(this);
}

bool TTimeServ::Query(const TSockAddrIn& from, TTimeProtocol p) {
    bool go = true;
    if (OnQuery)
        OnQuery(this, from, p, go);
    if (!go && OnQueryDone)
        OnQueryDone(this, kQueryRefused);
    return go;
}

void TTimeServ::UdpRequest(TCustomWSocket* s) {
    char buf[kRequestBufferSize];
    TSockAddrIn from{};
    int fromLen = sizeof from;
    // An empty datagram is a request too, and reading it takes it away.
    if (s->ReceiveFrom(buf, sizeof buf, from, fromLen) < 0)
        return;
    if (!Query(from, tpUDP) || !udp_)
        return;
    const auto answer = EncodeTimeAnswer(clock_.NowUtc());
    std::uint16_t err = 0;
    if (udp_->SendTo(from, sizeof from, answer.data(), int(answer.size())) < 0)
        err = std::uint16_t(udp_->LastError());
    if (OnQueryDone)
        OnQueryDone(this, err);
}

void TTimeServ::TcpRequest() {
    TSocket fd = INVALID_SOCKET;
    try {
        fd = tcp_->Accept();
    } catch (const ESocketException&) {
        return; // a client gone before it was taken; the next one is served
    }
    if (fd == INVALID_SOCKET)
        return;
    connections_.push_back(std::make_unique<TWSocket>());
    TWSocket* conn = connections_.back().get();
    conn->Dup(fd);
    conn->OnDataSent = [this](TCustomWSocket* s, std::uint16_t err) {
        ConnectionEnded(static_cast<TWSocket*>(s), err);
    };
    conn->OnSessionClosed = [this](TCustomWSocket* s, std::uint16_t err) {
        // The client left (or reset) before its answer went out.
        ConnectionEnded(static_cast<TWSocket*>(s), err ? err : std::uint16_t(WSAECONNRESET));
    };
    TSockAddrIn peer{};
    conn->GetPeerSockAddr(peer, sizeof peer);
    if (!Query(peer, tpTCP)) {
        if (std::any_of(connections_.begin(), connections_.end(),
                        [conn](const auto& c) { return c.get() == conn; })) {
            conn->OnSessionClosed = nullptr;
            conn->OnDataSent = nullptr;
            conn->Close();
            Bury(conn);
        }
        return;
    }
    const auto answer = EncodeTimeAnswer(clock_.NowUtc());
    try {
        conn->Send(answer.data(), int(answer.size()));
    } catch (const ESocketException& e) {
        ConnectionEnded(conn, std::uint16_t(e.ErrorCode() ? e.ErrorCode() : WSAENOTCONN));
    }
}

void TTimeServ::ConnectionEnded(TWSocket* conn, std::uint16_t error) {
    const auto it = std::find_if(connections_.begin(), connections_.end(),
                                 [conn](const auto& c) { return c.get() == conn; });
    if (it == connections_.end())
        return;
    conn->OnDataSent = nullptr;
    conn->OnSessionClosed = nullptr;
    // Graceful: the 4 bytes reach the client before the end of stream.
    if (conn->State() != wsClosed)
        conn->Close();
    Bury(conn);
    if (OnQueryDone)
        OnQueryDone(this, error);
}

void TTimeServ::Bury(TWSocket* conn) {
    const auto it = std::find_if(connections_.begin(), connections_.end(),
                                 [conn](const auto& c) { return c.get() == conn; });
    if (it == connections_.end())
        return;
    const bool first = ended_.empty();
    ended_.splice(ended_.end(), connections_, it);
    if (first)
        QTimer::singleShot(0, &loopContext_, [this] { ended_.clear(); });
}

} // namespace qordex
