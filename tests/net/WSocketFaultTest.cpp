// The socket as its users drive it in the patterns that went wrong before:
// pausing over a bandwidth allowance, datagrams that cannot be sent, a
// handler that skips a datagram, Flush from inside the send events, closes
// stuck on peers that never read, and the memory an idle socket keeps.

#include "SocketTestUtil.h"
#include "crypto/Digest.h"
#include "support/NetNs.h"
#include "support/TestData.h"

#include <QDeadlineTimer>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace qordex;
using namespace qordex::test;
using Events = std::vector<std::string>;

namespace {

bool Has(const Events& events, const std::string& e) {
    return std::find(events.begin(), events.end(), e) != events.end();
}

// Aborts a socket when a wait that should end at once does not: a Flush
// that never returned would otherwise hang the test.
struct Watchdog {
    bool fired = false;
    QTimer timer;
    Watchdog(TWSocket& s, int ms) {
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, [this, &s] {
            fired = true;
            s.Abort();
        });
        timer.start(ms);
    }
};

} // namespace

TEST(WSocketPause, ABandwidthLimitedUploadDeliversEveryByte) {
    // A limited upload: the next block goes out from OnDataSent, the socket
    // pauses once the period's allowance is used up, and a timer resumes it.
    ConnectedPair pair;
    TWSocket& c = pair.client;
    const std::string payload = RandomBytes(2u << 20, 61);
    const long long allowance = 256 * 1024;
    long long count = 0;
    bool paused = false;
    std::size_t off = 0;
    QTimer period;
    period.setInterval(100);
    QObject::connect(&period, &QTimer::timeout, [&] {
        if (paused) {
            count -= allowance;
            paused = false;
            c.Resume();
        }
    });
    auto sendNext = [&](TCustomWSocket* s) {
        if (off >= payload.size()) {
            if (s->State() == wsConnected)
                s->Close();
            return;
        }
        int n = int(std::min<std::size_t>(1460, payload.size() - off));
        s->Send(payload.data() + off, n);
        off += std::size_t(n);
        count += n;
        if (count > allowance && !paused) {
            s->Pause();
            paused = true;
        }
    };
    c.OnDataSent = [&](TCustomWSocket* s, std::uint16_t) { sendNext(s); };
    period.start();
    sendNext(&c);
    ASSERT_TRUE(Pump([&] { return pair.peerClosed; }, 30000))
        << "stalled after " << pair.received.size() << " of " << payload.size() << " bytes";
    EXPECT_EQ(pair.received.size(), payload.size());
    EXPECT_EQ(crypto::ToHex(crypto::Sha256(pair.received)), crypto::ToHex(crypto::Sha256(payload)));
}

TEST(WSocketPause, APauseWhileTheConnectCompletionIsQueuedLosesNothing) {
    LoopbackServer srv;
    TWSocket c;
    Recorder rec;
    rec.Attach(c);
    Target(c, srv.Port());
    c.Connect();
    ASSERT_EQ(c.State(), wsConnecting);
    // A second watcher of the descriptor runs right after the socket's own
    // one: the completion is queued by then, and the socket pauses before
    // it is handled.  A sentinel posted behind it says when it was dropped.
    QSocketNotifier watch(c.HSocket(), QSocketNotifier::Write);
    bool sentinel = false;
    QObject::connect(&watch, &QSocketNotifier::activated, [&] {
        watch.setEnabled(false);
        c.Pause();
        c.Window()->PostCall([&] { sentinel = true; });
    });
    ASSERT_TRUE(Pump([&] { return sentinel; }));
    EXPECT_EQ(c.State(), wsConnecting) << "nothing is delivered while paused";
    c.Resume();
    ASSERT_TRUE(Pump([&] { return Has(rec.events, "DataSent(0)"); }, 5000))
        << "the connect completion or the first write notification was lost";
    EXPECT_EQ(rec.events,
              (Events{"ChangeState(Closed->Opened)", "ChangeState(Opened->Connecting)",
                      "ChangeState(Connecting->Connected)", "SessionConnected(0)", "DataSent(0)"}));
}

TEST(WSocketDatagram, AnOversizedDatagramFailsOnceAndTheNextOneGoesOut) {
    UdpSink sink;
    TWSocket u;
    Target(u, sink.Port(), "udp");
    u.Connect();
    const std::string big(70000, 'x');
    // Without OnError the failure is an exception from Send...
    EXPECT_THROW(u.SendText(big), ESocketException);
    EXPECT_EQ(u.BufferedBytes(), 0) << "the failed datagram stays queued";
    // ... with it, the error is reported once per failed datagram.
    std::vector<int> errors;
    u.OnError = [&](TCustomWSocket* s) { errors.push_back(s->LastError()); };
    EXPECT_EQ(u.SendText(big), int(big.size()));
    EXPECT_EQ(errors, std::vector<int>{10040});
    EXPECT_EQ(u.BufferedBytes(), 0);
    {
        Watchdog watchdog(u, 10000);
        u.Flush(); // nothing is left to flush: returns at once
        ASSERT_FALSE(watchdog.fired) << "Flush kept retrying the failed datagram";
    }
    EXPECT_EQ(u.SendText("good"), 4);
    ASSERT_TRUE(Pump([&] { return !sink.got.empty(); }));
    EXPECT_EQ(sink.got, std::vector<std::string>{"good"});
    EXPECT_EQ(errors, std::vector<int>{10040}) << "the good datagram raised an error";
    EXPECT_EQ(u.State(), wsConnected);
}

TEST(WSocketDatagram, ASendWithoutARouteFailsAndTheNextGoesOutOnceThereIsOne) {
    // In a namespace with nothing but loopback, 10.9.0.1 has no route; then
    // the address is added and the same socket's next datagram arrives.
    NetNs ns;
    QORDEX_REQUIRE_NETNS(ns);
    std::vector<int> errors;
    std::vector<std::string> got;
    long long leftQueued = -1;
    bool entered = false, routed = false;
    QThread* worker = QThread::create([&] {
        entered = ns.EnterThisThread();
        if (!entered)
            return;
        TWSocket rx;
        rx.SetProto("udp");
        rx.SetAddr("0.0.0.0");
        rx.SetPort("0");
        rx.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
            got.push_back(s->ReceiveText());
        };
        rx.Listen();
        TWSocket tx;
        tx.OnError = [&](TCustomWSocket* s) { errors.push_back(s->LastError()); };
        tx.SetProto("udp");
        tx.SetAddr("10.9.0.1");
        tx.SetPort(rx.GetBoundPort());
        tx.Connect();
        tx.SendText("lost");
        leftQueued = tx.BufferedBytes();
        routed = ns.Exec("ip addr add 10.9.0.1/32 dev lo").status == 0;
        tx.SendText("found");
        PumpUntil([&] { return !got.empty(); }, 5000);
    });
    worker->start();
    ASSERT_TRUE(Pump([&] { return worker->wait(QDeadlineTimer(0)); }, 30000));
    delete worker;
    ASSERT_TRUE(entered) << "could not enter the namespace";
    ASSERT_TRUE(routed);
    EXPECT_EQ(errors, std::vector<int>{10051});
    EXPECT_EQ(leftQueued, 0);
    EXPECT_EQ(got, std::vector<std::string>{"found"}) << "the failed datagram went out later";
}

TEST(WSocketDatagram, AHandlerThatSkipsADatagramStillHearsTheNextOnes) {
    UdpSink sink;
    int calls = 0;
    sink.socket.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
        if (++calls > 1) // the first one is stale: left unread
            sink.ReadOne(s);
    };
    TWSocket u;
    Target(u, sink.Port(), "udp");
    u.Connect();
    u.SendText("stale");
    ASSERT_TRUE(Pump([&] { return calls == 1; }));
    const Events next = {"d1", "d2", "d3", "d4", "d5"};
    for (const auto& d : next)
        u.SendText(d);
    ASSERT_TRUE(Pump([&] { return sink.got.size() == 6; }, 5000))
        << "heard " << sink.got.size() << " of the 6 datagrams waiting";
    EXPECT_EQ(sink.got, (Events{"stale", "d1", "d2", "d3", "d4", "d5"}));
}

TEST(WSocketFlush, FlushFromOnSendDataReturns) {
    ConnectedPair pair;
    TWSocket& c = pair.client;
    const std::string payload = RandomBytes(32u << 20, 67);
    bool insideSend = false, flushed = false, flushing = false;
    c.OnSendData = [&](TCustomWSocket* s, int) {
        // The first piece handed over from the loop's send round, not from Send.
        if (insideSend || flushing || flushed)
            return;
        flushing = true;
        s->Flush();
        flushing = false;
        flushed = true;
    };
    Watchdog watchdog(c, 20000);
    insideSend = true;
    c.SendText(payload);
    insideSend = false;
    ASSERT_GT(c.BufferedBytes(), 0) << "everything went out at once; nothing to flush";
    ASSERT_TRUE(Pump([&] { return flushed; }, 30000));
    EXPECT_FALSE(watchdog.fired) << "Flush hung until the socket was aborted";
    ASSERT_TRUE(
        Pump([&] { return pair.received.size() == payload.size() || watchdog.fired; }, 30000));
    EXPECT_TRUE(pair.received == payload);
}

TEST(WSocketFlush, FlushReturnsWhenThePeerThatNeverReadsGoesAway) {
    ConnectedPair pair;
    TWSocket& c = pair.client;
    pair.peer->Pause(); // never reads
    c.SendText(RandomBytes(32u << 20, 71));
    ASSERT_GT(c.BufferedBytes(), 0);
    QTimer::singleShot(100, [&] { pair.peer->Abort(); });
    c.Flush();
    EXPECT_EQ(c.State(), wsClosed);
    EXPECT_TRUE(Has(pair.rec.events, "SessionClosed(10054)"));
}

TEST(WSocketMemory, AnIdleSocketKeepsLittleAfterALargeSend) {
    ConnectedPair pair;
    TWSocket& c = pair.client;
    pair.peer->Pause(); // most of the 16 MiB has to wait in our buffer
    const std::string payload = RandomBytes(16u << 20, 73);
    int drained = 0;
    c.OnDataSent = [&](TCustomWSocket*, std::uint16_t) { ++drained; };
    c.SendText(payload);
    ASSERT_GT(c.BufferedBytes(), 4 << 20);
    EXPECT_GE(c.SendBufferHeld(), std::size_t(c.BufferedBytes()));
    pair.peer->Resume();
    ASSERT_TRUE(Pump([&] { return drained == 1; }, 30000));
    EXPECT_EQ(c.BufferedBytes(), 0);
    EXPECT_LE(c.SendBufferHeld(), std::size_t(2 * 64 * 1024))
        << "bytes held by an idle socket after the send";
    ASSERT_TRUE(Pump([&] { return pair.received.size() == payload.size(); }, 30000));
    EXPECT_TRUE(pair.received == payload);
}

TEST(WSocketClose, AThreadWithStuckClosesEndsWithinOneDeadline) {
    // Three graceful closes on a worker thread, each stuck on a peer that
    // never reads: the thread's end waits once for all of them, not once each.
    RawListener deaf; // completes connections, never accepts or reads them
    const std::string port = deaf.Port();
    std::atomic<bool> ready{false};
    std::chrono::steady_clock::time_point returned;
    QThread* worker = QThread::create([&] {
        std::vector<std::unique_ptr<TWSocket>> sockets;
        int connected = 0;
        for (int i = 0; i < 3; ++i) {
            auto s = std::make_unique<TWSocket>();
            s->OnSessionConnected = [&](TCustomWSocket*, std::uint16_t e) { connected += e == 0; };
            Target(*s, port);
            s->Connect();
            sockets.push_back(std::move(s));
        }
        if (!PumpUntil([&] { return connected == 3; }, 10000))
            return;
        std::string block(8u << 20, 's');
        for (auto& s : sockets) {
            s->SendText(block);
            s->Close();
        }
        ready = true;
        returned = std::chrono::steady_clock::now();
    });
    worker->start();
    ASSERT_TRUE(Pump([&] { return worker->wait(QDeadlineTimer(0)); }, 60000));
    auto ended = std::chrono::steady_clock::now();
    delete worker;
    ASSERT_TRUE(ready);
    EXPECT_LT(ended - returned, std::chrono::seconds(6))
        << "the thread's end waited for each stuck close in turn";
}
