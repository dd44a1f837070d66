#pragma once
// Shared pieces of the socket tests: an event recorder and a loopback
// listener that adopts each connection into a TWSocket.

#include "net/WSocket.h"
#include "platform/MessageLoop.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <memory>
#include <string>
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

} // namespace qordex::test
