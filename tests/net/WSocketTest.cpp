// The socket core on loopback: event orders, error numbers and texts, and
// handlers that close, abort, send or free their socket.

#include "SocketTestUtil.h"
#include "crypto/Digest.h"
#include "support/Drain.h"
#include "support/Process.h"
#include "support/TestData.h"

#include <QDeadlineTimer>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <random>
#include <sys/socket.h>

using namespace qordex;
using namespace qordex::test;
using Events = std::vector<std::string>;

namespace {

int OpenFdCount() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n;
}

std::string CaughtText(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const ESocketException& e) {
        return e.what();
    }
    return "(no exception)";
}

// One row of the event-order table: what the test does, then the events the
// client socket must raise, in order.
struct Scenario {
    const char* name;
    std::function<void(TWSocket& client, LoopbackServer& server, Recorder& rec)> run;
    Events expected;
};

} // namespace

TEST(WSocketEvents, OrderTable) {
    const Events connected = {"ChangeState(Closed->Opened)", "ChangeState(Opened->Connecting)",
                              "ChangeState(Connecting->Connected)", "SessionConnected(0)",
                              "DataSent(0)"};
    auto with = [&](Events tail) {
        Events e = connected;
        e.insert(e.end(), tail.begin(), tail.end());
        return e;
    };
    std::vector<Scenario> table = {
        {"connect ok",
         [](TWSocket& c, LoopbackServer& srv, Recorder& rec) { ConnectAndWait(c, srv, rec); },
         connected},
        {"connect refused",
         [](TWSocket& c, LoopbackServer&, Recorder& rec) {
             Target(c, std::to_string(FreeTcpPort()));
             TSocketState seenInHandler = wsInvalidState;
             auto record = c.OnSessionConnected;
             c.OnSessionConnected = [&, record](TCustomWSocket* s, std::uint16_t e) {
                 seenInHandler = s->State();
                 record(s, e);
             };
             c.Connect();
             ASSERT_TRUE(Pump([&] { return c.State() == wsClosed; }));
             EXPECT_EQ(seenInHandler, wsConnected)
                 << "a failed attempt is still reported connected";
             (void)rec;
         },
         {"ChangeState(Closed->Opened)", "ChangeState(Opened->Connecting)",
          "ChangeState(Connecting->Connected)", "SessionConnected(10061)",
          "ChangeState(Connected->Closed)", "SessionClosed(0)"}},
        {"peer closes after data",
         [](TWSocket& c, LoopbackServer& srv, Recorder& rec) {
             srv.onAccept = [](TWSocket& peer) {
                 peer.OnDataSent = [](TCustomWSocket* s, std::uint16_t) {
                     if (s->State() == wsConnected) {
                         s->SendText("hello");
                         s->Close();
                     }
                 };
             };
             ConnectAndWait(c, srv, rec);
             ASSERT_TRUE(Pump([&] { return c.State() == wsClosed; }));
             EXPECT_EQ(rec.data, "hello");
         },
         with({"Data", "Data(none)", "SessionClosed(0)", "ChangeState(Connected->Closed)"})},
        {"local close",
         [](TWSocket& c, LoopbackServer& srv, Recorder& rec) {
             ConnectAndWait(c, srv, rec);
             c.Close();
             EXPECT_EQ(rec.events.back(), "SessionClosed(0)") << "raised before Close returns";
             c.Close(); // closed already: nothing
         },
         with({"ChangeState(Connected->Closed)", "SessionClosed(0)"})},
        {"close during connect",
         [](TWSocket& c, LoopbackServer& srv, Recorder&) {
             Target(c, srv.Port());
             c.Connect();
             c.Close();
             Pump([] { return false; }, 100); // a stale connect notification must not arrive
         },
         {"ChangeState(Closed->Opened)", "ChangeState(Opened->Connecting)",
          "ChangeState(Connecting->Closed)", "SessionClosed(0)"}},
        {"zero-length send",
         [](TWSocket& c, LoopbackServer& srv, Recorder& rec) {
             ConnectAndWait(c, srv, rec);
             EXPECT_EQ(c.Send(nullptr, 0), 0);
             EXPECT_EQ(rec.events.back(), "DataSent(0)") << "nothing during Send";
             EXPECT_EQ(rec.events.size(), 5u);
             Pump([&] { return rec.events.size() > 5; });
         },
         with({"DataSent(0)"})},
        {"send then data sent",
         [](TWSocket& c, LoopbackServer& srv, Recorder& rec) {
             ConnectAndWait(c, srv, rec);
             EXPECT_EQ(c.SendText("abc"), 3);
             Pump([&] { return rec.events.size() > 5; });
         },
         with({"DataSent(0)"})},
        {"abort",
         [](TWSocket& c, LoopbackServer& srv, Recorder& rec) {
             ConnectAndWait(c, srv, rec);
             c.Abort();
         },
         with({"ChangeState(Connected->Closed)", "SessionClosed(0)"})},
        {"close later",
         [](TWSocket& c, LoopbackServer& srv, Recorder& rec) {
             ConnectAndWait(c, srv, rec);
             c.CloseLater();
             EXPECT_EQ(c.State(), wsConnected) << "only from the loop";
             ASSERT_TRUE(Pump([&] { return c.State() == wsClosed; }));
         },
         with({"ChangeState(Connected->Closed)", "SessionClosed(0)"})},
        {"numeric dns lookup",
         [](TWSocket& c, LoopbackServer&, Recorder& rec) {
             c.DnsLookup("10.0.0.1");
             EXPECT_EQ(rec.events.size(), 1u) << "completes before DnsLookup returns";
             EXPECT_EQ(c.DnsResult(), "10.0.0.1");
         },
         {"DnsLookupDone(0)"}},
        {"exception in a handler",
         [](TWSocket& c, LoopbackServer& srv, Recorder& rec) {
             auto record = c.OnSessionConnected;
             c.OnSessionConnected = [record](TCustomWSocket* s, std::uint16_t e) {
                 record(s, e);
                 throw std::runtime_error("boom");
             };
             c.OnBgException = [&rec](TCustomWSocket*, const std::exception& e, bool& canClose) {
                 rec.Add(std::string("BgException(") + e.what() + ")");
                 EXPECT_TRUE(canClose);
             };
             Target(c, srv.Port());
             c.Connect();
             ASSERT_TRUE(Pump([&] { return c.State() == wsClosed; }));
         },
         {"ChangeState(Closed->Opened)", "ChangeState(Opened->Connecting)",
          "ChangeState(Connecting->Connected)", "SessionConnected(0)", "BgException(boom)",
          "ChangeState(Connected->Closed)", "SessionClosed(0)"}},
    };
    for (const Scenario& sc : table) {
        SCOPED_TRACE(sc.name);
        LoopbackServer srv;
        TWSocket c;
        Recorder rec;
        rec.Attach(c);
        sc.run(c, srv, rec);
        EXPECT_EQ(rec.events, sc.expected);
    }
}

TEST(WSocketEvents, BgExceptionCanKeepTheSocketOpen) {
    LoopbackServer srv;
    TWSocket c;
    Recorder rec;
    rec.Attach(c);
    c.OnSessionConnected = [](TCustomWSocket*, std::uint16_t) { throw std::runtime_error("x"); };
    int bg = 0;
    c.OnBgException = [&](TCustomWSocket*, const std::exception&, bool& canClose) {
        ++bg;
        canClose = false;
    };
    Target(c, srv.Port());
    c.Connect();
    ASSERT_TRUE(Pump([&] { return bg == 1; }));
    Pump([] { return false; }, 50);
    EXPECT_EQ(c.State(), wsConnected);
}

TEST(WSocketEdges, SendWhileClosedReportsTheExactText) {
    TWSocket s;
    EXPECT_EQ(CaughtText([&] { s.Send("x", 1); }),
              "Error 10057 in function Send\r\nSocket is not connected");
    int errors = 0;
    s.OnError = [&](TCustomWSocket*) { ++errors; };
    EXPECT_EQ(s.Send("x", 1), -1);
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(s.LastError(), 10057);
}

TEST(WSocketEdges, PropertyRulesAndConnectChecks) {
    LoopbackServer srv;
    TWSocket c;
    Recorder rec;
    rec.Attach(c);
    ConnectAndWait(c, srv, rec);
    EXPECT_EQ(CaughtText([&] { c.Connect(); }), "Connect: Socket already in use");
    EXPECT_EQ(CaughtText([&] { c.SetAddr("127.0.0.2"); }), "Cannot change Addr if not closed");
    EXPECT_EQ(CaughtText([&] { c.SetAddr(" 127.0.0.1 "); }), "(no exception)")
        << "the same text is no change";
    EXPECT_EQ(CaughtText([&] { c.SetPort("1"); }), "Cannot change Port if not closed");
    EXPECT_EQ(CaughtText([&] { c.SetProto("udp"); }), "Cannot change Proto if not closed");
    EXPECT_EQ(CaughtText([&] { c.SetLocalPort("1"); }), "Cannot change LocalPort if not closed");
    EXPECT_EQ(CaughtText([&] { c.SetLocalAddr("1.1.1.1"); }),
              "Cannot change LocalAddr if not closed");
    EXPECT_EQ(c.PeerAddr(), "127.0.0.1");
    EXPECT_EQ(c.PeerPort(), srv.Port());
    EXPECT_EQ(c.GetBoundAddr(), "127.0.0.1");
    std::string port = c.Port();
    c.Close();
    EXPECT_EQ(c.PeerAddr(), "error");
    EXPECT_EQ(c.GetBoundPort(), "error");
    // After a close the texts stay but must be assigned again.
    EXPECT_EQ(c.Port(), port);
    EXPECT_EQ(CaughtText([&] { c.Connect(); }), "Connect: No Port Specified");
    c.SetPort(port);
    EXPECT_EQ(CaughtText([&] { c.Connect(); }), "Connect: No IP Address Specified");
    EXPECT_EQ(c.Proto(), "tcp");
    EXPECT_EQ(c.LocalAddr(), "0.0.0.0");
    EXPECT_EQ(c.LocalPort(), "0");
    EXPECT_EQ(c.LingerOnOff(), wsLingerOn);
}

TEST(WSocketEdges, PortAboveTheRangeIsRefusedByConnect) {
    TWSocket c;
    Target(c, "70000");
    EXPECT_EQ(CaughtText([&] { c.Connect(); }), "connect: WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(c.State(), wsClosed);
}

TEST(WSocketEdges, DnsLookupErrorsAndAsyncCompletion) {
    TWSocket s;
    Recorder rec;
    rec.Attach(s);
    s.OnError = [&](TCustomWSocket*) { rec.Add("Error"); };
    s.DnsLookup("");
    EXPECT_EQ(rec.events, (Events{"Error", "DnsLookupDone(10022)"}));
    rec.events.clear();
    s.ReverseDnsLookup("");
    EXPECT_EQ(rec.events, (Events{"Error", "DnsLookupDone(10022)"}));
    rec.events.clear();

    // A name is looked up in the background and never completes in the call.
    s.DnsLookup("localhost");
    EXPECT_TRUE(rec.events.empty());
    ASSERT_TRUE(Pump([&] { return !rec.events.empty(); }));
    EXPECT_EQ(rec.events, (Events{"DnsLookupDone(0)"}));
    EXPECT_EQ(s.DnsResult(), "127.0.0.1");
    rec.events.clear();

    // Reverse: the name of the address.
    s.ReverseDnsLookup("127.0.0.1");
    EXPECT_TRUE(rec.events.empty());
    ASSERT_TRUE(Pump([&] { return !rec.events.empty(); }));
    EXPECT_EQ(rec.events, (Events{"DnsLookupDone(0)"}));
    EXPECT_FALSE(s.DnsResult().empty());
    ASSERT_FALSE(s.DnsResultList().empty());
    EXPECT_EQ(s.DnsResultList()[0], s.DnsResult());
    rec.events.clear();

    // A cancelled lookup reports 10004 and its late result is ignored.
    s.DnsLookup("localhost");
    s.CancelLookup();
    EXPECT_EQ(rec.events, (Events{"DnsLookupDone(10004)"}));
    ASSERT_TRUE(DrainLookups()); // the late result has come and gone
    EXPECT_EQ(rec.events, (Events{"DnsLookupDone(10004)"}));
    EXPECT_EQ(s.DnsResult(), "");
}

TEST(WSocketEdges, UdpBroadcastOnlyForTheLimitedBroadcastAddress) {
    struct Case {
        const char* addr;
        int broadcast;
    } cases[] = {{"255.255.255.255", 1}, {"192.168.1.255", 0}};
    for (const Case& cs : cases) {
        TWSocket u;
        Recorder rec;
        rec.Attach(u);
        u.SetProto("udp");
        u.SetAddr(cs.addr);
        u.SetPort("9");
        u.Connect();
        // No connect call: connected at once, OnSessionConnected before Connect returns.
        EXPECT_EQ(rec.events, (Events{"ChangeState(Closed->Opened)",
                                      "ChangeState(Opened->Connected)", "SessionConnected(0)"}));
        int v = -1;
        socklen_t len = sizeof v;
        ASSERT_EQ(getsockopt(u.HSocket(), SOL_SOCKET, SO_BROADCAST, &v, &len), 0);
        EXPECT_EQ(v, cs.broadcast) << cs.addr;
        u.Close();
    }
}

TEST(WSocketEdges, DataWithoutAHandlerIsDiscardedAndTheCloseStillReported) {
    LoopbackServer srv;
    srv.onAccept = [](TWSocket& peer) {
        peer.OnDataSent = [](TCustomWSocket* s, std::uint16_t) {
            if (s->State() == wsConnected) {
                std::string big(100000, 'z');
                s->SendText(big);
                s->Close();
            }
        };
    };
    TWSocket c;
    Recorder rec;
    rec.Attach(c);
    c.OnDataAvailable = nullptr;
    ConnectAndWait(c, srv, rec);
    ASSERT_TRUE(Pump([&] { return c.State() == wsClosed; }));
    EXPECT_EQ(rec.events.back(), "ChangeState(Connected->Closed)");
    EXPECT_EQ(rec.events[rec.events.size() - 2], "SessionClosed(0)");
}

TEST(WSocketEdges, NoReceiveLoopGivesOneEventPerNotificationAndTheCloseDeliversAll) {
    LoopbackServer srv;
    TWSocket* peer = nullptr;
    srv.onAccept = [&](TWSocket& p) { peer = &p; };
    TWSocket c;
    c.SetComponentOptions(wsoNoReceiveLoop);
    std::string got;
    int events = 0;
    bool connected = false;
    c.OnSessionConnected = [&](TCustomWSocket*, std::uint16_t) { connected = true; };
    c.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
        ++events;
        char buf[10];
        int n = s->Receive(buf, sizeof buf); // small reads: several rounds needed
        if (n > 0)
            got.append(buf, std::size_t(n));
    };
    Target(c, srv.Port());
    c.Connect();
    ASSERT_TRUE(Pump([&] { return connected && peer && peer->State() == wsConnected; }));
    std::string msg(100, 'q');
    peer->SendText(msg);
    ASSERT_TRUE(Pump([&] { return got.size() == msg.size(); }));
    EXPECT_GE(events, 10);
    // Data followed at once by the close: everything still arrives.
    got.clear();
    peer->SendText(msg);
    peer->Close();
    ASSERT_TRUE(Pump([&] { return c.State() == wsClosed; }));
    EXPECT_EQ(got, msg);
}

TEST(WSocketFaults, AHandlerThatReadsNothingDoesNotSpin) {
    LoopbackServer srv;
    TWSocket* peer = nullptr;
    srv.onAccept = [&](TWSocket& p) { peer = &p; };
    TWSocket c;
    int calls = 0;
    bool read = false;
    std::string got;
    bool connected = false;
    int closed = -1;
    c.OnSessionConnected = [&](TCustomWSocket*, std::uint16_t) { connected = true; };
    c.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t e) { closed = e; };
    c.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
        ++calls;
        if (read)
            got += s->ReceiveText();
    };
    Target(c, srv.Port());
    c.Connect();
    ASSERT_TRUE(Pump([&] { return connected && peer && peer->State() == wsConnected; }));
    peer->SendText("waiting bytes");
    // The window stays responsive and the same unread bytes are not offered
    // again and again: a timer fires, and the handler ran once.
    bool timer = false;
    QTimer::singleShot(150, [&] { timer = true; });
    ASSERT_TRUE(Pump([&] { return timer; }, 5000));
    EXPECT_EQ(calls, 1);
    // More bytes are the next notification.
    peer->SendText("more");
    ASSERT_TRUE(Pump([&] { return calls == 2; }));
    read = true;
    peer->SendText("!");
    ASSERT_TRUE(Pump([&] { return got == "waiting bytesmore!"; }));
    // And so is the peer's close, even with bytes left unread.
    read = false;
    peer->SendText("unread");
    ASSERT_TRUE(Pump([&] { return calls >= 4; }));
    peer->Close();
    ASSERT_TRUE(Pump([&] { return c.State() == wsClosed; }));
    EXPECT_EQ(closed, 0);
}

TEST(WSocketFaults, AReadOutsideTheEventRearmsTheNotification) {
    LoopbackServer srv;
    TWSocket* peer = nullptr;
    srv.onAccept = [&](TWSocket& p) { peer = &p; };
    TWSocket c;
    int calls = 0;
    bool connected = false;
    c.OnSessionConnected = [&](TCustomWSocket*, std::uint16_t) { connected = true; };
    c.OnDataAvailable = [&](TCustomWSocket*, std::uint16_t) { ++calls; };
    Target(c, srv.Port());
    c.Connect();
    ASSERT_TRUE(Pump([&] { return connected && peer && peer->State() == wsConnected; }));
    peer->SendText("abc");
    ASSERT_TRUE(Pump([&] { return calls == 1; }));
    // Read later, from outside any event (a timer, say): new data is announced.
    EXPECT_EQ(c.ReceiveText(), "abc");
    peer->SendText("def");
    ASSERT_TRUE(Pump([&] { return calls == 2; }));
    EXPECT_EQ(c.ReceiveText(), "def");
}

TEST(WSocketFaults, HandlersOfOnSendDataMayAbortCloseOrSend) {
    enum Action { kAbort, kClose, kSend, kFree };
    for (Action action : {kAbort, kClose, kSend, kFree}) {
        SCOPED_TRACE(int(action));
        LoopbackServer srv;
        std::string received;
        bool peerClosed = false;
        srv.onAccept = [&](TWSocket& p) { CollectInto(p, received, &peerClosed); };
        auto c = std::make_unique<TWSocket>();
        Recorder rec;
        rec.Attach(*c);
        ConnectAndWait(*c, srv, rec);
        std::string payload = RandomBytes(200000, 7);
        std::string extra = "tail";
        int pieces = 0;
        c->OnSendData = [&](TCustomWSocket* s, int n) {
            EXPECT_GT(n, 0);
            ++pieces;
            if (pieces != 3)
                return;
            switch (action) {
            case kAbort:
                s->Abort();
                break;
            case kClose:
                s->Close();
                break;
            case kSend:
                s->SendText(extra);
                break;
            case kFree:
                c.reset();
                break;
            }
        };
        c->SendText(payload);
        if (action == kSend || action == kClose) {
            // Nothing lost, nothing reordered.
            std::string want = payload + (action == kSend ? extra : "");
            ASSERT_TRUE(Pump([&] { return received.size() >= want.size(); }, 20000));
            EXPECT_TRUE(received == want);
        }
        if (action != kSend) {
            ASSERT_TRUE(Pump([&] { return peerClosed; }));
        }
        if (c) {
            EXPECT_EQ(c->State(), action == kSend ? wsConnected : wsClosed);
        }
    }
}

TEST(WSocketFaults, HandlersMayFreeTheSocketInEveryEvent) {
    // The socket is freed inside each of its events in turn; nothing may touch
    // it afterwards (the sanitizer build watches this).
    const char* which[] = {"ChangeState", "SessionConnected", "DataSent", "Data", "SessionClosed"};
    for (const char* ev : which) {
        SCOPED_TRACE(ev);
        LoopbackServer srv;
        srv.onAccept = [](TWSocket& p) {
            p.OnDataSent = [](TCustomWSocket* s, std::uint16_t) {
                if (s->State() == wsConnected) {
                    s->SendText("bye");
                    s->Close();
                }
            };
        };
        auto c = std::make_unique<TWSocket>();
        bool freed = false;
        std::string e = ev;
        auto kill = [&](const std::string& name) {
            if (name == e && c) {
                c.reset();
                freed = true;
            }
        };
        c->OnChangeState = [&](TCustomWSocket*, TSocketState, TSocketState n) {
            if (n == wsConnected)
                kill("ChangeState");
        };
        c->OnSessionConnected = [&](TCustomWSocket*, std::uint16_t) { kill("SessionConnected"); };
        c->OnDataSent = [&](TCustomWSocket*, std::uint16_t) { kill("DataSent"); };
        c->OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
            s->ReceiveText();
            kill("Data");
        };
        c->OnSessionClosed = [&](TCustomWSocket*, std::uint16_t) { kill("SessionClosed"); };
        Target(*c, srv.Port());
        c->Connect();
        ASSERT_TRUE(Pump([&] { return freed; }));
        Pump([] { return false; }, 50);
    }
    EXPECT_EQ(WSocketLiveCount(), 0);
}

TEST(WSocketFaults, FailedListenClosesTheSocket) {
    TWSocket first;
    Target(first, "0");
    first.Listen();
    std::string port = first.GetBoundPort();
    int fds = OpenFdCount();
    TWSocket second;
    Target(second, port);
    std::string text = CaughtText([&] { second.Listen(); });
    EXPECT_EQ(text, "Error 10048 in function Bind\r\nAddress already in use");
    EXPECT_EQ(second.HSocket(), INVALID_SOCKET);
    EXPECT_EQ(second.State(), wsClosed);
    EXPECT_EQ(OpenFdCount(), fds) << "the failed socket was left open";
}

TEST(WSocketFaults, ListenersReuseTheirAddress) {
    std::string port;
    {
        LoopbackServer srv;
        port = srv.Port();
        int v = 0;
        socklen_t len = sizeof v;
        ASSERT_EQ(getsockopt(srv.listener.HSocket(), SOL_SOCKET, SO_REUSEADDR, &v, &len), 0);
        EXPECT_NE(v, 0);
        // A connection that the server side closes first lingers in TIME_WAIT.
        TWSocket c;
        Recorder rec;
        rec.Attach(c);
        ConnectAndWait(c, srv, rec);
        ASSERT_TRUE(Pump([&] { return !srv.clients.empty(); }));
        srv.clients[0]->Close();
        ASSERT_TRUE(Pump([&] { return c.State() == wsClosed; }));
    }
    // The server restarts on its port at once.
    TWSocket again;
    Target(again, port);
    EXPECT_NO_THROW(again.Listen());
    EXPECT_EQ(again.State(), wsListening);
}

TEST(WSocketFaults, CloseIsGracefulAndDeliversQueuedData) {
    // The server sends 1 MiB and closes at once; the client gets every byte,
    // then the end of the stream (not a reset).
    LoopbackServer srv;
    std::string payload = RandomBytes(1 << 20, 3);
    srv.onAccept = [&](TWSocket& p) {
        p.OnDataSent = [&](TCustomWSocket* s, std::uint16_t) {
            if (s->State() == wsConnected) {
                s->SendText(payload);
                s->Close();
            }
        };
    };
    TWSocket c;
    Recorder rec;
    rec.Attach(c);
    int closeError = -1;
    c.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t e) { closeError = e; };
    ConnectAndWait(c, srv, rec);
    ASSERT_TRUE(Pump([&] { return c.State() == wsClosed; }, 20000));
    EXPECT_EQ(closeError, 0);
    EXPECT_EQ(rec.data.size(), payload.size());
    EXPECT_TRUE(rec.data == payload);
}

TEST(WSocketFaults, AbortIsAReset) {
    LoopbackServer srv;
    TWSocket* peer = nullptr;
    srv.onAccept = [&](TWSocket& p) { peer = &p; };
    TWSocket c;
    Recorder rec;
    rec.Attach(c);
    ConnectAndWait(c, srv, rec);
    ASSERT_TRUE(Pump([&] { return peer && peer->State() == wsConnected; }));
    int err = -1;
    peer->OnSessionClosed = [&](TCustomWSocket*, std::uint16_t e) { err = e; };
    c.Abort();
    ASSERT_TRUE(Pump([&] { return err != -1; }));
    EXPECT_EQ(err, 10054);
}

TEST(WSocketTransfer, PauseAndResume) {
    LoopbackServer srv;
    TWSocket* peer = nullptr;
    srv.onAccept = [&](TWSocket& p) { peer = &p; };
    TWSocket c;
    Recorder rec;
    rec.Attach(c);
    ConnectAndWait(c, srv, rec);
    ASSERT_TRUE(Pump([&] { return peer && peer->State() == wsConnected; }));
    c.Pause();
    peer->SendText("paused");
    Pump([] { return false; }, 100);
    EXPECT_EQ(rec.data, "");
    c.Resume();
    ASSERT_TRUE(Pump([&] { return rec.data == "paused"; }));
}

TEST(WSocketTransfer, UdpExchange) {
    TWSocket server;
    server.SetProto("udp");
    server.SetAddr("127.0.0.1");
    server.SetPort("0");
    Recorder srec;
    srec.Attach(server);
    server.Listen();
    EXPECT_EQ(srec.events, (Events{"ChangeState(Closed->Bound)", "ChangeState(Bound->Listening)",
                                   "ChangeState(Listening->Connected)", "SessionConnected(0)"}));
    std::string from;
    server.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
        char buf[2048];
        TSockAddrIn src{};
        int len = sizeof src;
        int n = s->ReceiveFrom(buf, sizeof buf, src, len);
        if (n <= 0)
            return;
        from = WSocket_inet_ntoa(src.sin_addr.s_addr);
        std::string reply = "echo:" + std::string(buf, std::size_t(n));
        s->SendTo(src, len, reply.data(), int(reply.size()));
    };
    TWSocket client;
    client.SetProto("udp");
    client.SetAddr("127.0.0.1");
    client.SetPort(server.GetBoundPort());
    std::vector<std::string> replies;
    client.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
        char buf[2048];
        int n = s->Receive(buf, sizeof buf);
        if (n > 0)
            replies.emplace_back(buf, std::size_t(n));
    };
    client.Connect();
    EXPECT_EQ(client.PeerAddr(), "127.0.0.1");
    client.SendText("one");
    ASSERT_TRUE(Pump([&] { return replies.size() == 1; }));
    client.SendText("two");
    ASSERT_TRUE(Pump([&] { return replies.size() == 2; }));
    EXPECT_EQ(replies, (std::vector<std::string>{"echo:one", "echo:two"}));
    EXPECT_EQ(from, "127.0.0.1");
    EXPECT_EQ(server.PeerAddr(), "error") << "a listening datagram socket has no peer";
}

TEST(WSocketTransfer, LargeTransferWithSmallReadsKeepsEveryByte) {
    const std::size_t total = 64u << 20;
    std::string payload = RandomBytes(total, 11);
    std::string want = crypto::Sha256(payload);
    LoopbackServer srv;
    std::string received;
    received.reserve(total);
    bool peerClosed = false;
    // Small pieces: many receive rounds per notification.
    srv.onAccept = [&](TWSocket& p) { CollectInto(p, received, &peerClosed, 1000); };
    TWSocket c;
    Recorder rec;
    rec.Attach(c);
    ConnectAndWait(c, srv, rec);
    long long pieces = 0, bytes = 0;
    int dataSent = 0;
    c.OnSendData = [&](TCustomWSocket*, int n) {
        EXPECT_LE(n, 1460) << "one piece per send block";
        ++pieces;
        bytes += n;
    };
    c.OnDataSent = [&](TCustomWSocket*, std::uint16_t) { ++dataSent; };
    // Sent in 4 MiB slices, the next one from OnDataSent.
    std::size_t off = 0;
    auto next = [&] {
        std::size_t n = std::min<std::size_t>(4u << 20, total - off);
        c.Send(payload.data() + off, int(n));
        off += n;
    };
    c.OnDataSent = [&](TCustomWSocket* s, std::uint16_t) {
        ++dataSent;
        if (off < total)
            next();
        else if (s->State() == wsConnected)
            s->Close();
    };
    next();
    ASSERT_TRUE(Pump([&] { return peerClosed; }, 120000));
    EXPECT_EQ(received.size(), total);
    EXPECT_EQ(crypto::ToHex(crypto::Sha256(received)), crypto::ToHex(want));
    EXPECT_EQ(bytes, (long long)total);
    EXPECT_GE(pieces, (long long)(total / 1460));
    EXPECT_EQ(dataSent, 16);
}

TEST(WSocketTransfer, FlushPumpsUntilTheBufferIsEmpty) {
    LoopbackServer srv;
    std::string received;
    srv.onAccept = [&](TWSocket& p) { CollectInto(p, received); };
    TWSocket c;
    Recorder rec;
    rec.Attach(c);
    ConnectAndWait(c, srv, rec);
    std::string payload = RandomBytes(8u << 20, 5);
    c.SendText(payload);
    c.Flush();
    EXPECT_TRUE(c.AllSent());
    EXPECT_EQ(c.BufferedBytes(), 0);
    ASSERT_TRUE(Pump([&] { return received.size() == payload.size(); }));
}

TEST(WSocketServer, AcceptAndDup) {
    LoopbackServer srv;
    Recorder peerRec;
    srv.onAccept = [&](TWSocket& p) { peerRec.Attach(p); };
    TWSocket c;
    Recorder rec;
    rec.Attach(c);
    ConnectAndWait(c, srv, rec);
    ASSERT_TRUE(Pump([&] { return peerRec.events.size() >= 2; }));
    // Adopting a handle: connected at once, then one write notification.
    EXPECT_EQ(peerRec.events, (Events{"ChangeState(Closed->Connected)", "DataSent(0)"}));
    EXPECT_EQ(srv.clients[0]->PeerAddr(), "127.0.0.1");
    EXPECT_EQ(srv.clients[0]->PeerPort(), c.GetBoundPort());
    TWSocket notListening;
    EXPECT_EQ(CaughtText([&] { notListening.Accept(); }),
              "Error 10022 in function not a listening socket\r\nInvalid argument");
    EXPECT_EQ(CaughtText([&] { notListening.Dup(INVALID_SOCKET); }),
              "Error 10022 in function Dup\r\nInvalid argument");
}

TEST(WSocketTransfer, SendPiecesFollowTheSendBlocks) {
    // Whether the system takes the bytes at once or they wait in the send
    // buffer, every OnSendData piece lies inside one 1460-byte block and the
    // pieces add up to what was sent; OnDataSent comes once, after the drain.
    ConnectedPair pair;
    TWSocket& c = pair.client;
    pair.peer->Pause(); // the system's buffers fill up and the rest waits with us
    std::vector<int> pieces;
    int dataSent = 0;
    c.OnSendData = [&](TCustomWSocket*, int n) { pieces.push_back(n); };
    c.OnDataSent = [&](TCustomWSocket*, std::uint16_t) { ++dataSent; };
    std::string payload = RandomBytes(16u << 20, 9);
    c.SendText(payload);
    EXPECT_GT(c.BufferedBytes(), 0) << "the peer does not read: something must wait";
    Pump([] { return false; }, 50);
    EXPECT_EQ(dataSent, 0);
    pair.peer->Resume();
    ASSERT_TRUE(Pump([&] { return dataSent == 1; }, 30000));
    ASSERT_TRUE(Pump([&] { return pair.received.size() == payload.size(); }, 30000));
    EXPECT_TRUE(pair.received == payload);
    long long off = 0;
    for (int n : pieces) {
        ASSERT_GT(n, 0);
        ASSERT_EQ(off / 1460, (off + n - 1) / 1460) << "piece at " << off << " crosses a block";
        off += n;
    }
    EXPECT_EQ(off, (long long)payload.size());
    EXPECT_EQ(dataSent, 1);
}

TEST(WSocketFaults, CloseWithDataStillQueuedDeliversItAll) {
    // The reader is paused, so most of the 16 MiB still waits in our send
    // buffer when the sender is closed, or destroyed; it still arrives,
    // followed by the end of the stream.
    for (bool destroy : {false, true}) {
        SCOPED_TRACE(destroy ? "destroyed" : "closed");
        LoopbackServer srv;
        TWSocket* peer = nullptr;
        srv.onAccept = [&](TWSocket& p) { peer = &p; };
        TWSocket c;
        Recorder rec;
        rec.Attach(c);
        int closeError = -1;
        c.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t e) { closeError = e; };
        ConnectAndWait(c, srv, rec);
        ASSERT_TRUE(Pump([&] { return peer && peer->State() == wsConnected; }));
        c.Pause();
        std::string payload = RandomBytes(16u << 20, 17);
        peer->SendText(payload);
        EXPECT_GT(peer->BufferedBytes(), 0);
        if (destroy) {
            srv.clients.clear();
        } else {
            peer->Close();
            EXPECT_EQ(peer->State(), wsClosed);
        }
        c.Resume();
        ASSERT_TRUE(Pump([&] { return c.State() == wsClosed; }, 30000));
        EXPECT_EQ(closeError, 0);
        EXPECT_EQ(rec.data.size(), payload.size());
        EXPECT_TRUE(rec.data == payload);
    }
}

namespace {
struct TaggedSocket : TWSocket {
    using TCustomWSocket::Tag;
};
} // namespace

TEST(WSocketFaults, ANotificationForAnEarlierLifeOfTheDescriptorIsIgnored) {
    LoopbackServer srv;
    TaggedSocket c;
    Recorder rec;
    rec.Attach(c);
    ConnectAndWait(c, srv, rec);
    SocketTag first = c.Tag();
    c.Abort(); // the descriptor is released at once
    rec.events.clear();
    ConnectAndWait(c, srv, rec);
    SocketTag second = c.Tag();
    ASSERT_EQ(SocketTagFd(first), SocketTagFd(second)) << "the system reused the number";
    ASSERT_NE(first, second);
    rec.events.clear();
    // A close notification queued for the first connection must not end the second.
    c.Window()->Post(WM_ASYNCSELECT, first, WSAMakeSelectReply(FD_CLOSE, 10054));
    ASSERT_TRUE(DrainQueue());
    EXPECT_TRUE(rec.events.empty());
    EXPECT_EQ(c.State(), wsConnected);
    // The same notification for the current one is handled.
    c.Window()->Post(WM_ASYNCSELECT, second, WSAMakeSelectReply(FD_CLOSE, 10054));
    ASSERT_TRUE(Pump([&] { return c.State() == wsClosed; }));
    EXPECT_NE(std::find(rec.events.begin(), rec.events.end(), "SessionClosed(10054)"),
              rec.events.end());
}

TEST(WSocketThreads, FlushOnAWorkerThreadPumpsOnlyThatThread) {
    // A message waits for the main thread while a worker's socket flushes;
    // the worker's wait must not run it.
    std::atomic<QThread*> ranOn{nullptr};
    HiddenWindow mainWindow([&](unsigned, WPARAM, LPARAM) { ranOn = QThread::currentThread(); });
    mainWindow.Post(WM_USER + 9);
    std::atomic<bool> flushed{false};
    std::atomic<long long> got{0};
    QThread* worker = QThread::create([&] {
        LoopbackServer srv;
        long long received = 0;
        srv.onAccept = [&](TWSocket& p) {
            p.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
                char buf[65536];
                int n = s->Receive(buf, sizeof buf);
                if (n > 0)
                    received += n;
            };
        };
        TWSocket c;
        c.SetMultiThreaded(true);
        bool connected = false;
        c.OnSessionConnected = [&](TCustomWSocket*, std::uint16_t) { connected = true; };
        Target(c, srv.Port());
        c.Connect();
        PumpUntil([&] { return connected; }, 10000);
        std::string payload(8u << 20, 'w');
        c.SendText(payload);
        c.Flush();
        flushed = c.AllSent();
        PumpUntil([&] { return received == (long long)payload.size(); }, 10000);
        got = received;
    });
    worker->start();
    worker->wait();
    delete worker;
    EXPECT_TRUE(flushed);
    EXPECT_EQ(got.load(), 8LL << 20);
    EXPECT_EQ(ranOn.load(), nullptr) << "the worker ran the main thread's message";
    PumpUntil([&] { return ranOn.load() != nullptr; }, 2000);
    EXPECT_EQ(ranOn.load(), QThread::currentThread());
}

TEST(WSocketEvents, StateSeenInsideTheEvents) {
    // Handlers decide by State: a failed connect is still "connected", a
    // peer's close is reported before the state changes, a local one after.
    struct Row {
        const char* name;
        std::function<void(TWSocket& c, LoopbackServer& srv, Recorder& rec)> run;
        std::string connectedIn, closedIn;
    };
    auto stateOf = [](TCustomWSocket* s) { return std::string(StateName(s->State())); };
    std::vector<Row> rows = {
        {"connect ok",
         [](TWSocket& c, LoopbackServer& srv, Recorder& rec) { ConnectAndWait(c, srv, rec); },
         "Connected", ""},
        {"connect refused",
         [](TWSocket& c, LoopbackServer&, Recorder&) {
             Target(c, std::to_string(FreeTcpPort()));
             c.Connect();
             ASSERT_TRUE(Pump([&] { return c.State() == wsClosed; }));
         },
         "Connected", "Closed"},
        {"peer close",
         [](TWSocket& c, LoopbackServer& srv, Recorder& rec) {
             ConnectAndWait(c, srv, rec);
             ASSERT_TRUE(Pump([&] { return !srv.clients.empty(); }));
             srv.clients[0]->Close();
             ASSERT_TRUE(Pump([&] { return c.State() == wsClosed; }));
         },
         "Connected", "Connected"},
        {"local close",
         [](TWSocket& c, LoopbackServer& srv, Recorder& rec) {
             ConnectAndWait(c, srv, rec);
             c.Close();
         },
         "Connected", "Closed"},
        {"send before the connect ended",
         [](TWSocket& c, LoopbackServer& srv, Recorder&) {
             Target(c, srv.Port());
             c.Connect();
             EXPECT_EQ(CaughtText([&] { c.Send("x", 1); }),
                       "Error 10057 in function Send\r\nSocket is not connected");
             EXPECT_EQ(c.State(), wsClosed);
             EXPECT_EQ(c.HSocket(), INVALID_SOCKET);
         },
         "", "Connecting"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        LoopbackServer srv;
        TWSocket c;
        Recorder rec;
        rec.Attach(c);
        std::string connectedIn, closedIn;
        auto onConnected = c.OnSessionConnected;
        c.OnSessionConnected = [&, onConnected](TCustomWSocket* s, std::uint16_t e) {
            connectedIn = stateOf(s);
            onConnected(s, e);
        };
        auto onClosed = c.OnSessionClosed;
        c.OnSessionClosed = [&, onClosed](TCustomWSocket* s, std::uint16_t e) {
            closedIn = stateOf(s);
            onClosed(s, e);
        };
        row.run(c, srv, rec);
        EXPECT_EQ(connectedIn, row.connectedIn);
        EXPECT_EQ(closedIn, row.closedIn);
    }
}

TEST(WSocketEvents, AFailedCallWith10057ClosesBeforeItReports) {
    // The session ends first (closed event, then the state change), then the
    // error is reported.
    LoopbackServer srv;
    TWSocket c;
    Recorder rec;
    rec.Attach(c);
    c.OnError = [&](TCustomWSocket* s) {
        rec.Add("Error(" + std::to_string(s->LastError()) + ")");
    };
    Target(c, srv.Port());
    c.Connect();
    EXPECT_EQ(c.Send("x", 1), -1);
    EXPECT_EQ(rec.events,
              (Events{"ChangeState(Closed->Opened)", "ChangeState(Opened->Connecting)",
                      "SessionClosed(10057)", "ChangeState(Connecting->Closed)", "Error(10057)"}));
    ASSERT_TRUE(DrainQueue()); // nothing follows from the closed attempt
    EXPECT_EQ(rec.events.size(), 5u);
}

TEST(WSocketEdges, ListenChecksItsSettings) {
    struct Case {
        const char* port;
        const char* addr;
        const char* want;
    } cases[] = {
        {"", "127.0.0.1", "Error 10022 in function listen: port not assigned\r\nInvalid argument"},
        {"0", "", "Error 10022 in function listen: address not assigned\r\nInvalid argument"},
        {"70000", "127.0.0.1", "listen: WSocketResolvePort: Invalid Port."},
    };
    for (const Case& cs : cases) {
        TWSocket s;
        s.SetPort(cs.port);
        s.SetAddr(cs.addr);
        EXPECT_EQ(CaughtText([&] { s.Listen(); }), cs.want);
        EXPECT_EQ(s.State(), wsClosed);
        EXPECT_EQ(s.HSocket(), INVALID_SOCKET);
    }
}

TEST(WSocketEdges, LingerAndKeepAliveReachTheSystem) {
    // By default a close is graceful (no linger); an explicit time is handed
    // over as it is; keep-alive is on unless switched off.
    struct Case {
        TSocketLingerOnOff linger;
        int timeout;
        TSocketKeepAliveOnOff keepAlive;
        int wantOnOff, wantSeconds, wantKeepAlive;
    } cases[] = {
        {wsLingerOn, 0, wsKeepAliveOnSystem, 0, 0, 1},
        {wsLingerOn, 7, wsKeepAliveOff, 1, 7, 0},
        {wsLingerOff, 0, wsKeepAliveOnCustom, 0, 0, 1},
        {wsLingerNoSet, 3, wsKeepAliveOnSystem, 0, 0, 1},
    };
    for (const Case& cs : cases) {
        SCOPED_TRACE(int(cs.linger) * 100 + cs.timeout);
        LoopbackServer srv;
        TWSocket c;
        Recorder rec;
        rec.Attach(c);
        c.SetLingerOnOff(cs.linger);
        c.SetLingerTimeout(cs.timeout);
        c.SetKeepAliveOnOff(cs.keepAlive);
        ConnectAndWait(c, srv, rec);
        linger l{-1, -1};
        socklen_t len = sizeof l;
        ASSERT_EQ(getsockopt(c.HSocket(), SOL_SOCKET, SO_LINGER, &l, &len), 0);
        EXPECT_EQ(l.l_onoff != 0, cs.wantOnOff != 0);
        if (cs.wantOnOff) {
            EXPECT_EQ(l.l_linger, cs.wantSeconds);
        }
        int ka = -1;
        len = sizeof ka;
        ASSERT_EQ(getsockopt(c.HSocket(), SOL_SOCKET, SO_KEEPALIVE, &ka, &len), 0);
        EXPECT_EQ(ka != 0, cs.wantKeepAlive != 0);
        c.Close();
        EXPECT_EQ(c.LingerOnOff(), wsLingerOn) << "reset by the close";
        EXPECT_EQ(c.LingerTimeout(), 0);
        EXPECT_EQ(c.KeepAliveOnOff(), cs.keepAlive) << "kept across the close";
    }
}

TEST(WSocketEdges, ANewLookupReplacesTheRunningOne) {
    TWSocket s;
    Recorder rec;
    rec.Attach(s);
    s.DnsLookup("localhost");
    s.DnsLookup("10.1.2.3"); // numeric: done at once, the first is dropped silently
    EXPECT_EQ(rec.events, (Events{"DnsLookupDone(0)"}));
    ASSERT_TRUE(DrainLookups()); // the dropped lookup's result has come and gone
    EXPECT_EQ(rec.events, (Events{"DnsLookupDone(0)"}));
    EXPECT_EQ(s.DnsResult(), "10.1.2.3");
    EXPECT_EQ(s.DnsResultList(), (std::vector<std::string>{"10.1.2.3"}));
}

TEST(WSocketFaults, AbortWhileALookupRunsMayFreeTheSocketInTheCancelEvent) {
    // Abort cancels the lookup first; the cancel event may free the socket
    // (the sanitizer build watches that nothing touches it afterwards).
    auto s = std::make_unique<TWSocket>();
    int done = -1;
    s->OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t e) {
        done = e;
        s.reset();
    };
    s->DnsLookup("localhost");
    s->Abort();
    EXPECT_EQ(done, 10004);
    EXPECT_EQ(s, nullptr);
    ASSERT_TRUE(DrainLookups()); // the aborted lookup's late result finds nothing
}

TEST(WSocketTransfer, AUdpSendIsOneDatagram) {
    // One Send is one datagram, whatever its size against the send blocks.
    UdpSink server;
    std::vector<std::string>& got = server.got;
    TWSocket client;
    client.SetProto("udp");
    client.SetAddr("127.0.0.1");
    client.SetPort(server.Port());
    client.Connect();
    std::vector<int> pieces;
    client.OnSendData = [&](TCustomWSocket*, int n) { pieces.push_back(n); };
    std::string big = RandomBytes(4000, 23);
    EXPECT_EQ(client.SendText(big), 4000);
    EXPECT_EQ(client.SendText("small"), 5);
    ASSERT_TRUE(Pump([&] { return got.size() >= 2; }));
    Pump([] { return false; }, 50);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(got[0] == big);
    EXPECT_EQ(got[1], "small");
    EXPECT_EQ(pieces, (std::vector<int>{4000, 5}));
}

TEST(WSocketThreads, ClosingOnAWorkerThreadThatEndsLosesNothingAndLeaksNothing) {
    // A worker's socket sends 32 MiB, closes and the thread ends at once: the
    // graceful close must neither drop the bytes nor keep the descriptor.
    LoopbackServer srv;
    std::string received;
    bool peerClosed = false;
    srv.onAccept = [&](TWSocket& p) { CollectInto(p, received, &peerClosed); };
    std::string port = srv.Port();
    std::string payload = RandomBytes(32u << 20, 29);
    int fds = OpenFdCount();
    QThread* worker = QThread::create([&] {
        TWSocket c;
        bool connected = false;
        c.OnSessionConnected = [&](TCustomWSocket*, std::uint16_t) { connected = true; };
        Target(c, port);
        c.Connect();
        PumpUntil([&] { return connected; }, 10000);
        c.SendText(payload);
        c.Close();
    });
    worker->start();
    // Reading goes on here while the thread ends (isFinished is true
    // already while the thread is still finishing).
    ASSERT_TRUE(Pump([&] { return worker->wait(QDeadlineTimer(0)); }, 20000));
    delete worker;
    ASSERT_TRUE(Pump([&] { return peerClosed; }, 20000));
    EXPECT_EQ(received.size(), payload.size());
    EXPECT_TRUE(received == payload);
    srv.clients.clear();
    Pump([] { return false; }, 100);
    EXPECT_EQ(OpenFdCount(), fds) << "a descriptor outlived its thread";
}

TEST(WSocketTransfer, ACloseThatArrivesWhilePausedIsReportedAfterResume) {
    // The peer closes while a handler has paused the socket: nothing is
    // delivered while paused, and the close comes once the socket resumes.
    LoopbackServer srv;
    TWSocket c;
    Recorder rec;
    rec.Attach(c);
    ConnectAndWait(c, srv, rec);
    ASSERT_TRUE(Pump([&] { return !srv.clients.empty(); }));
    bool paused = false;
    c.OnDataSent = [&](TCustomWSocket* s, std::uint16_t) {
        s->Pause();
        paused = true;
    };
    srv.clients[0]->Close();
    c.SendText("x");
    ASSERT_TRUE(Pump([&] { return paused; }));
    Pump([] { return false; }, 100);
    EXPECT_EQ(c.State(), wsConnected) << "nothing is delivered while paused";
    c.Resume();
    ASSERT_TRUE(Pump([&] { return c.State() == wsClosed; }, 3000));
    EXPECT_EQ(std::count_if(rec.events.begin(), rec.events.end(),
                            [](const std::string& e) { return e.rfind("SessionClosed", 0) == 0; }),
              1);
}

TEST(WSocketFaults, HandlersMayCloseOrAbortTheSocketInEveryEvent) {
    // Whichever event closes or aborts its socket: the session ends once,
    // and nothing of the ended session is raised afterwards.
    const char* which[] = {"ChangeState", "SessionConnected", "DataSent", "Data", "SessionClosed"};
    for (bool abort : {false, true}) {
        for (const char* ev : which) {
            SCOPED_TRACE(std::string(ev) + (abort ? " abort" : " close"));
            LoopbackServer srv;
            srv.onAccept = [](TWSocket& p) {
                p.OnDataSent = [](TCustomWSocket* s, std::uint16_t) {
                    if (s->State() == wsConnected) {
                        s->SendText("bye");
                        s->Close();
                    }
                };
            };
            TWSocket c;
            Recorder rec;
            rec.Attach(c);
            std::string e = ev;
            bool acted = false;
            std::size_t actedAt = 0;
            auto act = [&](const std::string& name, TCustomWSocket* s) {
                if (name != e || acted)
                    return;
                acted = true;
                actedAt = rec.events.size();
                if (abort)
                    s->Abort();
                else
                    s->Close();
            };
            auto wrap = [&](auto& handler, const char* name) {
                auto inner = handler;
                handler = [inner, name, &act](TCustomWSocket* s, auto... args) {
                    inner(s, args...);
                    act(name, s);
                };
            };
            wrap(c.OnSessionConnected, "SessionConnected");
            wrap(c.OnDataSent, "DataSent");
            wrap(c.OnDataAvailable, "Data");
            wrap(c.OnSessionClosed, "SessionClosed");
            auto changeState = c.OnChangeState;
            c.OnChangeState = [&, changeState](TCustomWSocket* s, TSocketState o, TSocketState n) {
                changeState(s, o, n);
                if (n == wsConnected)
                    act("ChangeState", s);
            };
            Target(c, srv.Port());
            c.Connect();
            ASSERT_TRUE(Pump([&] { return acted && c.State() == wsClosed; }));
            Pump([] { return false; }, 100);
            EXPECT_EQ(c.State(), wsClosed);
            auto closes = std::count_if(rec.events.begin(), rec.events.end(),
                                        [](auto& x) { return x.rfind("SessionClosed", 0) == 0; });
            EXPECT_EQ(closes, 1);
            // After the action only the close itself may follow.
            for (std::size_t i = actedAt; i < rec.events.size(); ++i)
                EXPECT_TRUE(rec.events[i] == "ChangeState(Connected->Closed)" ||
                            rec.events[i].rfind("SessionClosed", 0) == 0)
                    << rec.events[i];
        }
    }
}

TEST(WSocketEvents, ASendIntoAResetConnectionClosesThenReports) {
    // The send path sees the reset first (the socket is paused, so the
    // close notification waits): the state changes, then the session ends
    // with the error, once, before Send returns.
    LoopbackServer srv;
    TWSocket c;
    Recorder rec;
    rec.Attach(c);
    ConnectAndWait(c, srv, rec);
    ASSERT_TRUE(Pump([&] { return !srv.clients.empty(); }));
    c.Pause();
    srv.clients[0]->Abort();
    Pump([] { return false; }, 50);
    rec.events.clear();
    EXPECT_EQ(c.SendText("x"), 1);
    EXPECT_EQ(rec.events, (Events{"ChangeState(Connected->Closed)", "SessionClosed(10054)"}));
    EXPECT_EQ(c.State(), wsClosed);
    ASSERT_TRUE(DrainQueue());
    EXPECT_EQ(rec.events.size(), 2u);
}

TEST(WSocketEdges, CloseLaterEndsOnlyTheSessionItWasMadeIn) {
    // A close request still queued when its session already ended must not
    // end the next session of the same socket.
    LoopbackServer srv;
    TWSocket c;
    Recorder rec;
    rec.Attach(c);
    ConnectAndWait(c, srv, rec);
    c.CloseLater();
    c.Abort();
    rec.events.clear();
    ConnectAndWait(c, srv, rec);
    Pump([] { return false; }, 100);
    EXPECT_EQ(c.State(), wsConnected);
    // A request made in this session is carried out.
    c.CloseLater();
    ASSERT_TRUE(Pump([&] { return c.State() == wsClosed; }));
}
