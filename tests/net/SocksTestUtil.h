#pragma once
// Shared pieces of the SOCKS tests: recording the SOCKS events next to the
// socket's own, and an echo server on loopback to reach through a proxy.

#include "SocketTestUtil.h"

#include <string>

namespace qordex::test {

inline void RecordSocks(TWSocket& s, Recorder& rec) {
    s.OnSocksConnected = [&rec](TCustomWSocket*, std::uint16_t e) {
        rec.Add("SocksConnected(" + std::to_string(e) + ")");
    };
    s.OnSocksAuthState = [&rec](TCustomWSocket*, TSocksAuthState st) {
        static const char* const names[] = {"Start", "Success", "Failure", "NotRequired"};
        rec.Add(std::string("SocksAuth(") + names[int(st)] + ")");
    };
    s.OnSocksError = [&rec](TCustomWSocket*, int e, const std::string& msg) {
        rec.Add("SocksError(" + std::to_string(e) + "," + msg + ")");
    };
}

// The events without the state changes and OnDataSent, which the SOCKS
// tests do not look at.
inline std::vector<std::string> SocksEvents(const Recorder& rec) {
    std::vector<std::string> out;
    for (const std::string& e : rec.events)
        if (e.rfind("ChangeState(", 0) != 0 && e != "DataSent(0)")
            out.push_back(e);
    return out;
}

// Sends back whatever each connection receives.
struct EchoServer {
    LoopbackServer server;
    EchoServer() {
        server.onAccept = [](TWSocket& c) {
            c.OnDataAvailable = [](TCustomWSocket* s, std::uint16_t) {
                char buf[65536];
                for (int n; (n = s->Receive(buf, sizeof buf)) > 0;)
                    s->Send(buf, n);
            };
        };
    }
    std::string Port() { return server.Port(); }
};

} // namespace qordex::test
