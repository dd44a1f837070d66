// The UDP listener and the broadcast sender engines on loopback: what the
// listener reports per datagram, its filter, failed starts, and a sender
// that must never wedge.

#include "tools/UdpListener.h"
#include "net/WSocket.h"
#include "platform/MessageLoop.h"
#include "support/Process.h"
#include "tools/BroadcastSender.h"
#include "tools/UdpDatagram.h"
#include "tools/UdpTestUtil.h"

#include <QCoreApplication>
#include <gtest/gtest.h>
#include <memory>

using namespace qordex;
using qordex::test::PlainUdp;
using Lines = std::vector<std::string>;

namespace {

struct Datagram {
    std::string sender;
    Lines entries;
};

// A started listener on a free port of all local addresses, recording what it reports.
class Listener : public ::testing::Test {
protected:
    void SetUp() override { Attach(*listener); }
    void Attach(TUdpListener& l) {
        l.OnStarted = [this] { events.push_back("Server started"); };
        l.OnClosed = [this] { events.push_back("Server closed."); };
        l.OnDatagram = [this](const std::string& s, const Lines& e) {
            got.push_back({s, e});
            if (onDatagram)
                onDatagram();
        };
    }
    std::uint16_t Start(const std::string& filter = "0.0.0.0") {
        listener->Start("0", filter);
        return std::uint16_t(std::stoi(listener->WSocket.GetBoundPort()));
    }
    bool WaitFor(std::size_t n) {
        return PumpUntil([&] { return got.size() >= n; }, 10000);
    }
    static std::string From(const PlainUdp& s, const char* addr = "127.0.0.1") {
        return std::string(addr) + ":" + std::to_string(s.Port());
    }

    std::unique_ptr<TUdpListener> listener = std::make_unique<TUdpListener>();
    Lines events;
    std::vector<Datagram> got;
    std::function<void()> onDatagram;
};

} // namespace

TEST_F(Listener, SocketDefaults) {
    EXPECT_EQ(listener->WSocket.Proto(), "udp");
    EXPECT_EQ(listener->WSocket.Addr(), "0.0.0.0");
    EXPECT_EQ(listener->WSocket.Port(), "600");
    EXPECT_FALSE(listener->WSocket.OnError);
    EXPECT_FALSE(listener->Listening());
}

TEST_F(Listener, StartsOnAllAddressesAndShowsEachDatagram) {
    const std::uint16_t port = Start();
    EXPECT_EQ(events, Lines{"Server started"});
    EXPECT_TRUE(listener->Listening());
    EXPECT_EQ(listener->WSocket.GetBoundAddr(), "0.0.0.0");

    PlainUdp s;
    ASSERT_TRUE(s.Ok());
    struct Case {
        std::string bytes;
        Lines entries;
    } cases[] = {
        {"hello\r\nworld", {"hello", "world"}},
        {"\r\n", {}},
        {"", {}}, // an empty datagram still has a sender
        {"hi", {"hi"}},
    };
    for (const Case& c : cases)
        ASSERT_TRUE(s.SendTo(port, c.bytes));
    ASSERT_TRUE(WaitFor(std::size(cases)));
    ASSERT_EQ(got.size(), std::size(cases));
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].sender, From(s));
        EXPECT_EQ(got[i].entries, cases[i].entries) << testing::PrintToString(cases[i].bytes);
    }
}

TEST_F(Listener, LongDatagramsAreCutAtTheBuffer) {
    const std::uint16_t port = Start();
    PlainUdp s;
    std::string big(1500, 'a');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = char('a' + i % 26);
    const std::string full(kDatagramBufferSize, 'z');
    for (bool lineEnd : {true, false}) {
        got.clear();
        listener->LineEnd = lineEnd;
        ASSERT_TRUE(s.SendTo(port, big));
        ASSERT_TRUE(s.SendTo(port, full));
        ASSERT_TRUE(WaitFor(2));
        EXPECT_EQ(got[0].entries, Lines{big.substr(0, kDatagramBufferSize)});
        EXPECT_EQ(got[1].entries, Lines{full});
    }
}

TEST_F(Listener, WithoutLineEndOneEntryUpToAZero) {
    using namespace std::string_literals;
    const std::uint16_t port = Start();
    listener->LineEnd = false;
    PlainUdp s;
    ASSERT_TRUE(s.SendTo(port, "a\r\nb\0c"s));
    ASSERT_TRUE(WaitFor(1));
    EXPECT_EQ(got[0].entries, Lines{"a\r\nb"});
}

TEST_F(Listener, FilterDropsOtherSenders) {
    const std::uint16_t port = Start("127.0.0.2");
    EXPECT_EQ(listener->Filter().Type(), SenderFilter::OneAddress);
    PlainUdp elsewhere("127.0.0.1"), chosen("127.0.0.2");
    ASSERT_TRUE(elsewhere.Ok() && chosen.Ok());
    // Both wait in the socket in this order: once the second is shown, the
    // first has been read and dropped.
    ASSERT_TRUE(elsewhere.SendTo(port, "dropped"));
    ASSERT_TRUE(chosen.SendTo(port, "kept"));
    ASSERT_TRUE(elsewhere.SendTo(port, "dropped too"));
    ASSERT_TRUE(chosen.SendTo(port, "kept too"));
    ASSERT_TRUE(WaitFor(2));
    PumpMessages();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].sender, From(chosen, "127.0.0.2"));
    EXPECT_EQ(got[0].entries, Lines{"kept"});
    EXPECT_EQ(got[1].entries, Lines{"kept too"});
}

TEST_F(Listener, LoopbackFilterAcceptsEveryAddressOfThisMachine) {
    const std::uint16_t port = Start("127.0.0.1");
    PlainUdp a("127.0.0.1"), b("127.0.1.1");
    ASSERT_TRUE(a.Ok() && b.Ok());
    ASSERT_TRUE(a.SendTo(port, "one"));
    ASSERT_TRUE(b.SendTo(port, "two", "127.0.1.1"));
    ASSERT_TRUE(WaitFor(2));
    EXPECT_EQ(got[0].sender, From(a));
    EXPECT_EQ(got[1].sender, From(b, "127.0.1.1"));
}

TEST_F(Listener, StopClosesAndAllowsAnotherStart) {
    std::uint16_t port = Start();
    listener->Stop();
    EXPECT_EQ(events, (Lines{"Server started", "Server closed."}));
    EXPECT_FALSE(listener->Listening());
    EXPECT_EQ(listener->WSocket.HSocket(), INVALID_SOCKET);
    // Nobody listens there any more; a new start listens again.
    port = Start();
    PlainUdp s;
    ASSERT_TRUE(s.SendTo(port, "again"));
    ASSERT_TRUE(WaitFor(1));
    EXPECT_EQ(got[0].entries, Lines{"again"});
}

TEST_F(Listener, FailedStartsLeaveNoSocketOpen) {
    PlainUdp taken("0.0.0.0");
    ASSERT_TRUE(taken.Ok());
    struct Case {
        std::string port, filter;
        const char* message; // the start of the exception's text
    } cases[] = {
        {std::to_string(taken.Port()), "0.0.0.0", "Error 10048 in function Bind"},
        {"", "0.0.0.0", "Error 10022 in function listen: port not assigned"},
        {"no-such-service-name", "0.0.0.0", "listen: WSocketResolvePort: Cannot convert port"},
        {"70000", "0.0.0.0", "listen: WSocketResolvePort: Invalid Port."},
        {"0", "", "WSocketResolveHost: '' Invalid Hostname."},
        {"0", "999.1.1.1", "WSocketResolveHost: Cannot convert host address '999.1.1.1'"},
        {"0", "no-such-host.invalid", "WSocketResolveHost: Cannot convert host address"},
    };
    for (const Case& c : cases) {
        events.clear();
        try {
            listener->Start(c.port, c.filter);
            ADD_FAILURE() << "no failure for port '" << c.port << "' filter '" << c.filter << "'";
        } catch (const ESocketException& e) {
            EXPECT_EQ(std::string(e.what()).rfind(c.message, 0), 0u) << e.what();
        }
        EXPECT_EQ(listener->WSocket.State(), wsClosed) << c.port;
        EXPECT_EQ(listener->WSocket.HSocket(), INVALID_SOCKET) << c.port;
        EXPECT_FALSE(listener->Listening());
    }
    // The next start works.
    const std::uint16_t port = Start();
    PlainUdp s;
    ASSERT_TRUE(s.SendTo(port, "works"));
    ASSERT_TRUE(WaitFor(1));
}

TEST_F(Listener, HandlerMayStopOrFreeTheListenerWhileDatagramsWait) {
    for (bool free : {false, true}) {
        got.clear();
        if (!listener) {
            listener = std::make_unique<TUdpListener>();
            Attach(*listener);
        }
        const std::uint16_t port = Start();
        onDatagram = [&] {
            if (free)
                listener.reset();
            else
                listener->Stop();
        };
        PlainUdp s;
        for (int i = 0; i < 5; ++i)
            ASSERT_TRUE(s.SendTo(port, "d" + std::to_string(i)));
        ASSERT_TRUE(WaitFor(1));
        // A sentinel through the same loop: nothing more is reported.
        bool sentinel = false;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [&] { sentinel = true; }, Qt::QueuedConnection);
        ASSERT_TRUE(PumpUntil([&] { return sentinel; }, 10000));
        PumpMessages();
        EXPECT_EQ(got.size(), 1u) << "free=" << free;
        onDatagram = nullptr;
    }
}

// ---- the broadcast sender, aimed at a single host on loopback ----

namespace {

class Sender : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.Ok());
        sender.OnSent = [this] { ++sent; };
    }
    std::string PeerPort() const { return std::to_string(peer.Port()); }
    bool WaitIdle() {
        return PumpUntil([&] { return !sender.Busy(); }, 10000);
    }

    PlainUdp peer;
    TBroadcastSender sender;
    int sent = 0;
};

} // namespace

TEST_F(Sender, SocketDefaults) {
    EXPECT_EQ(sender.WSocket.Proto(), "udp");
    EXPECT_EQ(sender.WSocket.LocalAddr(), "0.0.0.0");
    EXPECT_EQ(sender.WSocket.LocalPort(), "0");
    EXPECT_FALSE(sender.WSocket.OnError);
    EXPECT_FALSE(sender.WSocket.OnDataAvailable);
    EXPECT_TRUE(sender.WSocket.OnDataSent);
}

TEST_F(Sender, EachMessageIsOneDatagramOnAFreshSession) {
    const std::uint16_t localPort = std::uint16_t(qordex::test::FreeUdpPort());
    struct Case {
        std::string message;
        std::string localPort; // "0": the system chooses
    } cases[] = {
        {"hi", "0"},
        {std::string(1500, 'x'), "0"},
        {"from a chosen port", std::to_string(localPort)},
        {"\r\nno terminator added", "0"},
    };
    for (const Case& c : cases) {
        const int before = sent;
        ASSERT_TRUE(sender.Send("127.0.0.1", PeerPort(), c.localPort, c.message));
        EXPECT_TRUE(sender.Busy());
        std::string bytes;
        sockaddr_in from{};
        ASSERT_TRUE(peer.Receive(bytes, from));
        EXPECT_EQ(bytes, c.message);
        if (c.localPort != "0") {
            EXPECT_EQ(ntohs(from.sin_port), localPort);
        }
        ASSERT_TRUE(WaitIdle());
        EXPECT_EQ(sent, before + 1);
        EXPECT_EQ(sender.WSocket.HSocket(), INVALID_SOCKET);
    }
}

TEST_F(Sender, EmptyMessageSendsNothingAndLeavesTheSocketClosed) {
    EXPECT_FALSE(sender.Send("127.0.0.1", PeerPort(), "0", ""));
    EXPECT_FALSE(sender.Busy());
    // What comes next is the next message, not an empty datagram.
    ASSERT_TRUE(sender.Send("127.0.0.1", PeerPort(), "0", "next"));
    std::string bytes;
    sockaddr_in from{};
    ASSERT_TRUE(peer.Receive(bytes, from));
    EXPECT_EQ(bytes, "next");
    ASSERT_TRUE(WaitIdle());
}

TEST_F(Sender, SendWhileThePreviousDatagramIsPendingSendsBoth) {
    // Two presses of Enter before the loop runs.
    ASSERT_TRUE(sender.Send("127.0.0.1", PeerPort(), "0", "first"));
    ASSERT_TRUE(sender.Send("127.0.0.1", PeerPort(), "0", "second"));
    for (const char* expected : {"first", "second"}) {
        std::string bytes;
        sockaddr_in from{};
        ASSERT_TRUE(peer.Receive(bytes, from));
        EXPECT_EQ(bytes, expected);
    }
    ASSERT_TRUE(WaitIdle());
}

TEST_F(Sender, AFailureNeverWedgesTheNextSend) {
    PlainUdp taken("0.0.0.0");
    ASSERT_TRUE(taken.Ok());
    struct Case {
        std::string addr, port, localPort, message;
        const char* error; // the start of the exception's text
    } cases[] = {
        {"127.0.0.1", PeerPort(), std::to_string(taken.Port()), "hi", "winsock.bind failed"},
        {"127.0.0.1", "", "0", "hi", "Connect: No Port Specified"},
        {"127.0.0.1", "no-such-service-name", "0", "hi", "connect: WSocketResolvePort"},
        {"127.0.0.1", PeerPort(), "", "hi", "connect: WSocketResolvePort: Invalid Port."},
        {"", PeerPort(), "0", "hi", "Connect: No IP Address Specified"},
        // Larger than any datagram: the system refuses it.
        {"127.0.0.1", PeerPort(), "0", std::string(70000, 'x'), "Error 10040"},
    };
    for (const Case& c : cases) {
        try {
            sender.Send(c.addr, c.port, c.localPort, c.message);
            ADD_FAILURE() << "no failure for " << c.error;
        } catch (const ESocketException& e) {
            EXPECT_EQ(std::string(e.what()).rfind(c.error, 0), 0u) << e.what();
        }
        EXPECT_EQ(sender.WSocket.State(), wsClosed) << c.error;
        EXPECT_EQ(sender.WSocket.HSocket(), INVALID_SOCKET) << c.error;
        // The next message goes out, alone.
        ASSERT_TRUE(sender.Send("127.0.0.1", PeerPort(), "0", "after"));
        std::string bytes;
        sockaddr_in from{};
        ASSERT_TRUE(peer.Receive(bytes, from)) << c.error;
        EXPECT_EQ(bytes, "after");
        ASSERT_TRUE(WaitIdle());
    }
    std::string extra;
    sockaddr_in from{};
    EXPECT_FALSE(peer.Receive(extra, from, 100)) << "unexpected datagram: " << extra.size();
}

TEST_F(Sender, ListenerShowsWhatTheSenderSent) {
    TUdpListener listener;
    std::vector<Datagram> got;
    listener.OnDatagram = [&](const std::string& s, const Lines& e) { got.push_back({s, e}); };
    listener.Start("0", "127.0.0.1");
    const std::string port = listener.WSocket.GetBoundPort();
    const std::string localPort = std::to_string(qordex::test::FreeUdpPort());
    ASSERT_TRUE(sender.Send("127.0.0.1", port, localPort, "hi"));
    ASSERT_TRUE(PumpUntil([&] { return !got.empty() && !sender.Busy(); }, 10000));
    EXPECT_EQ(got[0].sender, "127.0.0.1:" + localPort);
    EXPECT_EQ(got[0].entries, Lines{"hi"});
}
