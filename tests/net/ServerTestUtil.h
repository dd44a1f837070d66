#pragma once
// Pieces of the socket-server tests: a plain system socket playing the
// remote client, and a server on 127.0.0.1 that records what its clients do.

#include "SocketTestUtil.h"
#include "net/WSocketServer.h"

#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace qordex::test {

// A remote client made of a plain non-blocking socket, read from the pump's
// predicates so that the server under test keeps running meanwhile.
struct RawClient {
    int fd = -1;
    std::string got;
    bool eof = false;
    int error = 0; // errno of a failed read (ECONNRESET...)

    explicit RawClient(int port) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(std::uint16_t(port));
        // The system completes a connection to a listener before anybody
        // accepts it, so a blocking connect returns without the loop.
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    explicit RawClient(const std::string& port) : RawClient(std::stoi(port)) {}
    ~RawClient() { Close(); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    void Poll() {
        char buf[4096];
        while (fd >= 0 && !eof && !error) {
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0)
                got.append(buf, std::size_t(n));
            else if (n == 0)
                eof = true;
            else if (errno != EAGAIN && errno != EINTR)
                error = errno;
            else
                return;
        }
    }
    bool WaitFor(const std::string& text, int timeoutMs = 10000) {
        Pump(
            [&] {
                Poll();
                return got.find(text) != std::string::npos || eof || error;
            },
            timeoutMs);
        return got.find(text) != std::string::npos;
    }
    bool WaitEnd(int timeoutMs = 10000) {
        return Pump(
            [&] {
                Poll();
                return eof || error;
            },
            timeoutMs);
    }
    void Send(const std::string& s) {
        std::size_t off = 0;
        while (off < s.size()) {
            ssize_t n = ::write(fd, s.data() + off, s.size() - off);
            if (n > 0)
                off += std::size_t(n);
            else if (n < 0 && (errno == EAGAIN || errno == EINTR))
                PumpMessages(); // the server must read for us to go on
            else
                return;
        }
    }
    // Ends with a reset instead of a close.
    void Reset() {
        linger l{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        Close();
    }
    void Close() {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
};

// A server on 127.0.0.1, port 0, named "Srv", that writes down the events of
// the server and of its clients as short texts.
struct RecordingServer {
    TWSocketServer server;
    std::vector<std::string> events;
    std::vector<std::string> disconnected; // client names, in order
    std::vector<std::string> connectedPeers;

    explicit RecordingServer(bool listen = true) {
        server.SetName("Srv");
        server.SetProto("tcp");
        server.SetAddr("127.0.0.1");
        server.SetPort("0");
        server.OnSessionAvailable = [this](TCustomWSocket*, std::uint16_t e) {
            events.push_back("SessionAvailable(" + std::to_string(e) + ")");
        };
        server.OnClientCreate = [this](TCustomWSocket*, TWSocketClient* c) {
            events.push_back("ClientCreate");
            c->OnChangeState = [this](TCustomWSocket* s, TSocketState, TSocketState n) {
                events.push_back(static_cast<TWSocketClient*>(s)->Name() + ".ChangeState(" +
                                 StateName(n) + ")");
            };
        };
        server.OnClientConnect = [this](TCustomWSocket*, TWSocketClient* c, std::uint16_t e) {
            events.push_back("ClientConnect(" + c->Name() + "," + std::to_string(e) + ")");
            connectedPeers.push_back(c->PeerAddr());
            c->OnSessionClosed = [this](TCustomWSocket* s, std::uint16_t err) {
                events.push_back(static_cast<TWSocketClient*>(s)->Name() + ".SessionClosed(" +
                                 std::to_string(err) + ")");
            };
        };
        server.OnClientDisconnect = [this](TCustomWSocket*, TWSocketClient* c, std::uint16_t e) {
            events.push_back("ClientDisconnect(" + c->Name() + "," + std::to_string(e) + "," +
                             c->PeerAddr() + ")");
            disconnected.push_back(c->Name());
        };
        if (listen)
            server.Listen();
    }
    std::string Port() { return server.GetBoundPort(); }
    bool WaitDisconnects(std::size_t n, int timeoutMs = 15000) {
        return Pump([&] { return disconnected.size() >= n; }, timeoutMs);
    }
    bool WaitClients(int n, int timeoutMs = 15000) {
        return Pump([&] { return server.ClientCount() >= n; }, timeoutMs);
    }
};

} // namespace qordex::test
