// The socket core against real peers on loopback: socat and Python scripts.

#include "SocketTestUtil.h"
#include "crypto/Digest.h"
#include "support/Process.h"
#include "support/TestData.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <random>

using namespace qordex;
using namespace qordex::test;

namespace {

// Starts a Python peer and reads the port it listens on (its first line).
int StartPython(std::unique_ptr<Background>& peer, const std::string& script) {
    peer = std::make_unique<Background>(std::vector<std::string>{"python3", "-u", "-c", script});
    return peer->FirstLineNumber();
}

// A Python peer that listens on a port of its own, prints it, accepts one
// connection as `c` (modules socket and struct imported) and runs `script`.
int StartPythonServer(std::unique_ptr<Background>& peer, const std::string& script) {
    return StartPython(peer, "import socket, struct\n"
                             "s = socket.socket()\n"
                             "s.bind((\"127.0.0.1\", 0))\n"
                             "s.listen(1)\n"
                             "print(s.getsockname()[1], flush=True)\n"
                             "c, _ = s.accept()\n" +
                                 script);
}

} // namespace

TEST(WSocketInterop, SocatEchoReturnsEveryByte) {
    if (!HasProgram("socat"))
        GTEST_SKIP() << "socat is not installed";
    int port = FreeTcpPort();
    Background socat({"socat",
                      "TCP4-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr,fork",
                      "PIPE"});
    ASSERT_TRUE(WaitForTcpPort(port));
    TWSocket c;
    std::string payload = RandomBytes(2u << 20, 21);
    std::string echoed;
    bool connected = false;
    int closeErr = -1;
    c.OnSessionConnected = [&](TCustomWSocket* s, std::uint16_t e) {
        ASSERT_EQ(e, 0);
        connected = true;
        s->SendText(payload);
    };
    c.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
        char buf[700];
        int n = s->Receive(buf, sizeof buf);
        if (n > 0)
            echoed.append(buf, std::size_t(n));
    };
    c.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t e) { closeErr = e; };
    c.SetProto("tcp");
    c.SetAddr("127.0.0.1");
    c.SetPort(std::to_string(port));
    c.Connect();
    ASSERT_TRUE(Pump([&] { return connected || c.State() == wsClosed; }));
    ASSERT_TRUE(connected);
    ASSERT_TRUE(
        Pump([&] { return echoed.size() >= payload.size() || c.State() == wsClosed; }, 30000));
    EXPECT_TRUE(echoed == payload);
    c.Close();
    EXPECT_EQ(closeErr, 0);
}

TEST(WSocketInterop, PeerResetGivesSessionClosed10054) {
    std::unique_ptr<Background> peer;
    int port = StartPythonServer(peer, R"(
c.recv(1)
c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
c.close()
)");
    ASSERT_GT(port, 0);
    TWSocket c;
    Recorder rec;
    rec.Attach(c);
    c.OnSessionConnected = [&](TCustomWSocket* s, std::uint16_t e) {
        rec.Add("SessionConnected(" + std::to_string(e) + ")");
        s->SendText("x"); // the peer resets once it has this byte
    };
    c.SetProto("tcp");
    c.SetAddr("127.0.0.1");
    c.SetPort(std::to_string(port));
    c.Connect();
    ASSERT_TRUE(Pump([&] { return c.State() == wsClosed; }));
    std::vector<std::string> want = {"ChangeState(Closed->Opened)",
                                     "ChangeState(Opened->Connecting)",
                                     "ChangeState(Connecting->Connected)",
                                     "SessionConnected(0)",
                                     "DataSent(0)",
                                     "DataSent(0)",
                                     "Data(none)",
                                     "SessionClosed(10054)",
                                     "ChangeState(Connected->Closed)"};
    EXPECT_EQ(rec.events, want);
}

TEST(WSocketInterop, SendingIntoAResetConnectionReportsItOnce) {
    std::unique_ptr<Background> peer;
    int port = StartPythonServer(peer, R"(
c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
c.recv(1)
c.close()
)");
    ASSERT_GT(port, 0);
    TWSocket c;
    int closed = 0, closeErr = -1;
    std::string chunk(256 * 1024, 'k');
    c.OnSessionConnected = [&](TCustomWSocket* s, std::uint16_t) { s->SendText(chunk); };
    c.OnDataSent = [&](TCustomWSocket* s, std::uint16_t) {
        if (s->State() == wsConnected)
            s->SendText(chunk);
    };
    c.OnSessionClosed = [&](TCustomWSocket* s, std::uint16_t e) {
        ++closed;
        closeErr = e;
        s->Close(); // closing again from the close event is harmless
    };
    c.SetProto("tcp");
    c.SetAddr("127.0.0.1");
    c.SetPort(std::to_string(port));
    c.Connect();
    ASSERT_TRUE(Pump([&] { return c.State() == wsClosed; }, 20000));
    Pump([] { return false; }, 50);
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(closeErr, 10054);
}

TEST(WSocketInterop, ServerThatSendsAndClosesAtOnceDeliversEverything) {
    // A Python client sends a request our server never reads, and reads the
    // 1 MiB answer to the end of the stream.
    LoopbackServer srv;
    std::string payload = RandomBytes(1u << 20, 33);
    srv.onAccept = [&](TWSocket& p) {
        p.OnDataSent = [&](TCustomWSocket* s, std::uint16_t) {
            if (s->State() == wsConnected) {
                s->SendText(payload);
                s->Close();
            }
        };
    };
    Background client({"python3", "-c",
                       "import socket, hashlib, sys\n"
                       "c = socket.create_connection(('127.0.0.1', " +
                           srv.Port() +
                           "))\n"
                           "c.sendall(b'GET / HTTP/1.0\\r\\n' * 100)\n"
                           "h = hashlib.sha256(); n = 0\n"
                           "while True:\n"
                           "    d = c.recv(4096)\n"
                           "    if not d: break\n"
                           "    h.update(d); n += len(d)\n"
                           "print(n, h.hexdigest())\n"});
    int status = -2;
    ASSERT_TRUE(Pump([&] { return !client.Running(); }, 30000));
    status = client.Wait(1000);
    EXPECT_EQ(status, 0);
    std::string out = client.Output();
    EXPECT_EQ(out,
              std::to_string(payload.size()) + " " + crypto::ToHex(crypto::Sha256(payload)) + "\n");
}

TEST(WSocketInterop, UdpEchoThroughSocat) {
    if (!HasProgram("socat"))
        GTEST_SKIP() << "socat is not installed";
    int port = FreeUdpPort();
    Background socat(
        {"socat", "UDP4-RECVFROM:" + std::to_string(port) + ",bind=127.0.0.1,fork", "PIPE"});
    TWSocket u;
    std::vector<std::string> replies;
    u.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
        char buf[2048];
        int n = s->Receive(buf, sizeof buf);
        if (n > 0)
            replies.emplace_back(buf, std::size_t(n));
    };
    u.SetProto("udp");
    u.SetAddr("127.0.0.1");
    u.SetPort(std::to_string(port));
    u.Connect();
    // socat needs a moment to bind: resend until the echo comes back.
    for (int i = 0; i < 50 && replies.empty(); ++i) {
        u.SendText("ping");
        Pump([&] { return !replies.empty(); }, 100);
    }
    ASSERT_FALSE(replies.empty());
    EXPECT_EQ(replies[0], "ping");
}

TEST(WSocketInterop, BytesQueuedWhenTheProgramEndsStillArrive) {
    // The peer program sends 16 MiB, closes and returns from main at once;
    // most of it is still queued then, and must arrive all the same.
    RawListener listener(1);
    const std::size_t size = 16u << 20;
    Background peer({BinPath("net_close_at_exit_peer"), listener.Port(), std::to_string(size)});
    int fd = listener.Accept(10000);
    listener.Close();
    ASSERT_GE(fd, 0) << "the peer never connected";
    std::string received;
    char buf[65536];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20000) != 1)
            break;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        received.append(buf, std::size_t(n));
    }
    close(fd);
    EXPECT_EQ(peer.Wait(20000), 0);
    std::string want(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        want[i] = char(i * 7 + i / 251);
    ASSERT_EQ(received.size(), size);
    EXPECT_TRUE(received == want);
}

TEST(WSocketInterop, AResetMetByTheHandlersOwnReceiveIsCarriedByTheClose) {
    // The peer sends 200 KB and resets.  The handler reads until Receive
    // fails, so it meets the reset itself: the session's end must still say
    // 10054, or a cut transfer would pass as complete.
    std::unique_ptr<Background> peer;
    int port = StartPythonServer(peer, R"(
c.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4 << 20)
c.sendall(b"r" * 200000)
# Reset only once the client holds every byte: a reset sent past bytes it has
# not taken in is out of its window and dropped, so it would never arrive.
import fcntl, termios, time
for _ in range(2000):
    if struct.unpack("i", fcntl.ioctl(c, termios.TIOCOUTQ, b"\0" * 4))[0] == 0:
        break
    time.sleep(0.005)
c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
c.close()
print("reset", flush=True)
)");
    ASSERT_GT(port, 0);
    TWSocket c;
    long long got = 0;
    int metInReceive = 0, closeErr = -1;
    bool connected = false;
    c.OnSessionConnected = [&](TCustomWSocket* s, std::uint16_t) {
        connected = true;
        s->Pause(); // read nothing until the reset is there too
    };
    c.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
        char buf[4096];
        for (;;) {
            int n = s->Receive(buf, sizeof buf);
            if (n > 0) {
                got += n;
                continue;
            }
            if (n < 0 && s->LastError() != 10035)
                metInReceive = s->LastError();
            break;
        }
    };
    c.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t e) { closeErr = e; };
    c.SetProto("tcp");
    c.SetAddr("127.0.0.1");
    c.SetPort(std::to_string(port));
    c.Connect();
    // Room for the whole 200 KB while the handler is paused.
    int rcvbuf = 4 << 20;
    setsockopt(c.HSocket(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    ASSERT_TRUE(Pump([&] { return connected; }));
    ASSERT_TRUE(Pump([&] { return peer->Output().find("reset") != std::string::npos; }));
    ASSERT_TRUE(Pump([&] {
        pollfd p{c.HSocket(), POLLIN, 0};
        return poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP));
    })) << "the reset never arrived";
    c.Resume();
    ASSERT_TRUE(Pump([&] { return c.State() == wsClosed; }));
    EXPECT_GT(got, 0);
    ASSERT_EQ(metInReceive, 10054) << "the handler did not meet the reset itself";
    EXPECT_EQ(closeErr, 10054);
}

TEST(WSocketInterop, ProgramEndWaitsOnceForAllStuckCloses) {
    // A program closes three sockets whose peers never read and returns from
    // main: it ends within one close deadline (5 s), not one per close.
    RawListener deaf; // completes connections, never accepts or reads them
    Background peer(
        {BinPath("net_close_at_exit_peer"), deaf.Port(), std::to_string(8u << 20), "3"});
    ASSERT_TRUE(Pump([&] { return peer.Output().find("leaving") != std::string::npos; }, 20000));
    EXPECT_EQ(peer.Wait(6000), 0) << "still running 6 s after leaving main";
}
