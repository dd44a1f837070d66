#pragma once
// Shared pieces of the socket tests: an event recorder and a loopback
// listener that adopts each connection into a TWSocket.

#include "net/WSocket.h"
#include "platform/MessageLoop.h"

#include <algorithm>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace qordex::test {

inline const char* StateName(TSocketState s) {
    static const char* const names[] = {"InvalidState", "Opened",    "Bound",
                                        "Connecting",   "SocksConn", "Connected",
                                        "Accepting",    "Listening", "Closed"};
    return names[int(s)];
}

// Records the events of one socket as short texts, in order.  A data event
// reads what waits and is recorded as "Data" (bytes read) or "Data(none)";
// repeated "Data" entries are folded into one, since how many reads the
// bytes take is up to the system.
struct Recorder {
    std::vector<std::string> events;
    std::string data;
    bool readData = true;

    void Add(const std::string& e) {
        if (e == "Data" && !events.empty() && events.back() == "Data")
            return;
        events.push_back(e);
    }

    void Attach(TCustomWSocket& s) {
        s.OnChangeState = [this](TCustomWSocket*, TSocketState o, TSocketState n) {
            Add(std::string("ChangeState(") + StateName(o) + "->" + StateName(n) + ")");
        };
        s.OnSessionConnected = [this](TCustomWSocket*, std::uint16_t e) {
            Add("SessionConnected(" + std::to_string(e) + ")");
        };
        s.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t e) {
            Add("SessionClosed(" + std::to_string(e) + ")");
        };
        s.OnDataSent = [this](TCustomWSocket*, std::uint16_t e) {
            Add("DataSent(" + std::to_string(e) + ")");
        };
        s.OnDnsLookupDone = [this](TCustomWSocket*, std::uint16_t e) {
            Add("DnsLookupDone(" + std::to_string(e) + ")");
        };
        s.OnDataAvailable = [this](TCustomWSocket* snd, std::uint16_t) {
            if (!readData) {
                Add("Data(unread)");
                return;
            }
            char buf[4096];
            int n = snd->Receive(buf, sizeof buf);
            if (n > 0) {
                data.append(buf, std::size_t(n));
                Add("Data");
            } else {
                Add("Data(none)");
            }
        };
    }
};

// A TCP listener on 127.0.0.1, port 0; each connection is adopted by a new
// TWSocket, handed to `onAccept`.
struct LoopbackServer {
    TWSocket listener;
    std::vector<std::unique_ptr<TWSocket>> clients;
    std::function<void(TWSocket&)> onAccept;

    LoopbackServer() {
        listener.SetProto("tcp");
        listener.SetAddr("127.0.0.1");
        listener.SetPort("0");
        listener.OnSessionAvailable = [this](TCustomWSocket*, std::uint16_t err) {
            if (err)
                return;
            TSocket h = listener.Accept();
            auto c = std::make_unique<TWSocket>();
            TWSocket& ref = *c;
            clients.push_back(std::move(c));
            if (onAccept)
                onAccept(ref); // assigns handlers before the handle is adopted
            ref.Dup(h);
        };
        listener.Listen();
    }
    std::string Port() { return listener.GetBoundPort(); }
};

// Makes an accepted peer keep everything it receives, read in pieces of at most
// `piece` bytes, and note the end of the session in `closed` when given.
inline void CollectInto(TWSocket& peer, std::string& received, bool* closed = nullptr,
                        std::size_t piece = 65536) {
    peer.OnDataAvailable = [&received, piece](TCustomWSocket* s, std::uint16_t) {
        std::vector<char> buf(piece);
        int n = s->Receive(buf.data(), int(buf.size()));
        if (n > 0)
            received.append(buf.data(), std::size_t(n));
    };
    if (closed)
        peer.OnSessionClosed = [closed](TCustomWSocket*, std::uint16_t) { *closed = true; };
}

inline bool Pump(const std::function<bool()>& done, int timeoutMs = 10000) {
    return PumpUntil(done, timeoutMs);
}

// Points a socket at 127.0.0.1:port.
inline void Target(TCustomWSocket& s, const std::string& port, const std::string& proto = "tcp") {
    s.SetProto(proto);
    s.SetAddr("127.0.0.1");
    s.SetPort(port);
}

// Connects to the server and waits for the first OnDataSent, which says the
// connection can take data.
inline void ConnectAndWait(TWSocket& c, LoopbackServer& srv, Recorder& rec) {
    Target(c, srv.Port());
    c.Connect();
    ASSERT_TRUE(Pump([&] {
        return std::find(rec.events.begin(), rec.events.end(), "DataSent(0)") != rec.events.end();
    }));
}

// A client connected to a loopback server whose side of the connection
// (`peer`) keeps what it receives; the client's events go to `rec`.
struct ConnectedPair {
    LoopbackServer srv;
    TWSocket* peer = nullptr;
    std::string received;
    bool peerClosed = false;
    TWSocket client;
    Recorder rec;

    ConnectedPair() {
        srv.onAccept = [this](TWSocket& p) {
            peer = &p;
            CollectInto(p, received, &peerClosed);
        };
        rec.Attach(client);
        ConnectAndWait(client, srv, rec);
        EXPECT_TRUE(Pump([this] { return peer && peer->State() == wsConnected; }));
    }
};

// A plain TCP listener on 127.0.0.1 with a port of its own: the system
// completes connections to it, but nothing accepts or reads them unless
// the test does.
struct RawListener {
    int fd = -1;
    int port = 0;

    explicit RawListener(int backlog = 16) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
        EXPECT_EQ(::listen(fd, backlog), 0);
        EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len), 0);
        port = ntohs(sa.sin_port);
    }
    ~RawListener() { Close(); }
    RawListener(const RawListener&) = delete;
    RawListener& operator=(const RawListener&) = delete;

    // Waits for a connection and accepts it (blocking descriptor); -1 when
    // none came in time.
    int Accept(int timeoutMs) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) != 1)
            return -1;
        return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    }
    void Close() {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    std::string Port() const { return std::to_string(port); }
};

// A UDP socket listening on 127.0.0.1 that keeps every datagram it reads.
struct UdpSink {
    TWSocket socket;
    std::vector<std::string> got;
    UdpSink() {
        socket.SetProto("udp");
        socket.SetAddr("127.0.0.1");
        socket.SetPort("0");
        socket.OnDataAvailable = [this](TCustomWSocket* s, std::uint16_t) { ReadOne(s); };
        socket.Listen();
    }
    void ReadOne(TCustomWSocket* s) {
        char buf[65536];
        TSockAddrIn from{};
        int len = sizeof from;
        int n = s->ReceiveFrom(buf, sizeof buf, from, len);
        if (n >= 0)
            got.emplace_back(buf, std::size_t(n));
    }
    std::string Port() { return socket.GetBoundPort(); }
};

} // namespace qordex::test
