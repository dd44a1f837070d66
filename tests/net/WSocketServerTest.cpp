// The socket server against real connections on loopback: greeting, the
// client limit, numbering, the order of events, clients closed from each of
// their events, peers that reset, pausing, and the server stopped or freed
// while clients are connected.

#include "ServerTestUtil.h"
#include "support/Process.h"

#include <QTimer>
#include <gtest/gtest.h>
#include <memory>
#include <stdexcept>

using namespace qordex;
using namespace qordex::test;

namespace {

int Count(const std::vector<std::string>& v, const std::string& prefix) {
    int n = 0;
    for (const auto& s : v)
        if (s.rfind(prefix, 0) == 0)
            ++n;
    return n;
}

// Makes every client of `srv` send back each line it receives.
void EchoLines(TWSocketServer& srv) {
    auto previous = srv.OnClientConnect;
    srv.OnClientConnect = [previous](TCustomWSocket* s, TWSocketClient* c, std::uint16_t e) {
        if (previous)
            previous(s, c, e);
        c->SetLineMode(true);
        c->OnDataAvailable = [](TCustomWSocket* cs, std::uint16_t) {
            std::string line = cs->ReceiveText();
            if (!line.empty())
                cs->SendText(line);
        };
    };
}

} // namespace

TEST(WSocketServer, GreetsNamesAndReportsEventsInOrder) {
    RecordingServer rs;
    {
        RawClient peer(rs.Port());
        ASSERT_TRUE(peer.WaitFor("Welcome to TcpSrv\r\n"));
        EXPECT_EQ(peer.got, "Welcome to TcpSrv\r\n");
        ASSERT_EQ(rs.server.ClientCount(), 1);
        TWSocketClient* c = rs.server.Client(0);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->Name(), "SrvClient1");
        EXPECT_EQ(c->Server(), &rs.server);
        EXPECT_EQ(c->PeerAddr(), "127.0.0.1");
        EXPECT_EQ(rs.server.Client(1), nullptr);
        EXPECT_EQ(rs.server.Client(-1), nullptr);
    }
    ASSERT_TRUE(rs.WaitDisconnects(1));
    EXPECT_EQ(rs.server.ClientCount(), 0);
    const std::vector<std::string> expected = {
        "SessionAvailable(0)",
        "ClientCreate",
        "SrvClient1.ChangeState(Connected)",
        "ClientConnect(SrvClient1,0)",
        "SrvClient1.SessionClosed(0)",
        "SrvClient1.ChangeState(Closed)",
        "ClientDisconnect(SrvClient1,0,127.0.0.1)",
    };
    EXPECT_EQ(rs.events, expected);
}

TEST(WSocketServer, NumbersClientsForTheLifeOfTheServer) {
    RecordingServer rs;
    for (int i = 1; i <= 3; ++i) {
        RawClient peer(rs.Port());
        ASSERT_TRUE(peer.WaitFor("\r\n"));
        peer.Close();
        ASSERT_TRUE(rs.WaitDisconnects(std::size_t(i)));
    }
    // Stopping and listening again keeps counting.
    rs.server.Close();
    rs.server.SetAddr("127.0.0.1");
    rs.server.SetPort("0");
    rs.server.Listen();
    RawClient peer(rs.Port());
    ASSERT_TRUE(peer.WaitFor("\r\n"));
    EXPECT_EQ(rs.server.Client(0)->Name(), "SrvClient4");
    EXPECT_EQ(rs.disconnected,
              (std::vector<std::string>{"SrvClient1", "SrvClient2", "SrvClient3"}));
}

TEST(WSocketServer, ServesManyRealClientsAtOnce) {
    if (!HasProgram("/usr/bin/python3"))
        GTEST_SKIP() << "python3 missing";
    RecordingServer rs;
    EchoLines(rs.server);
    const int n = 60;
    // All connections are opened before any is read, then each reads its
    // greeting, sends a line of its own and reads it back.
    const std::string script = R"(
import socket, sys
port, n = int(sys.argv[1]), int(sys.argv[2])
socks = [socket.create_connection(('127.0.0.1', port), timeout=60) for _ in range(n)]
files = [s.makefile('rb') for s in socks]
for f in files:
    assert f.readline() == b'Welcome to TcpSrv\r\n'
for i, s in enumerate(socks):
    s.sendall(b'line %d\r\n' % i)
for i, f in enumerate(files):
    got = f.readline()
    assert got == b'line %d\r\n' % i, got
for s in socks:
    s.close()
print('ok')
)";
    Background py({"/usr/bin/python3", "-c", script, rs.Port(), std::to_string(n)});
    ASSERT_TRUE(rs.WaitDisconnects(std::size_t(n), 60000)) << rs.disconnected.size();
    EXPECT_EQ(py.Wait(30000), 0);
    EXPECT_EQ(py.Output(), "ok\n");
    EXPECT_EQ(rs.server.ClientCount(), 0);
    std::vector<std::string> names = rs.disconnected;
    std::sort(names.begin(), names.end());
    EXPECT_EQ(std::unique(names.begin(), names.end()), names.end()) << "a name was reused";
    EXPECT_EQ(Count(rs.events, "ClientConnect("), n);
}

TEST(WSocketServer, RefusesTheClientOverTheLimitWithTheBusyBannerReadInFull) {
    struct Case {
        int maxClients;
        bool refusedSendsFirst; // the refused client writes before it reads
    };
    for (const Case& tc : {Case{1, false}, Case{2, false}, Case{2, true}}) {
        SCOPED_TRACE(tc.maxClients);
        RecordingServer rs;
        rs.server.SetMaxClients(tc.maxClients);
        std::vector<std::unique_ptr<RawClient>> served;
        for (int i = 0; i < tc.maxClients; ++i) {
            served.push_back(std::make_unique<RawClient>(rs.Port()));
            ASSERT_TRUE(served.back()->WaitFor("Welcome to TcpSrv\r\n"));
        }
        RawClient refused(rs.Port());
        if (tc.refusedSendsFirst)
            refused.Send(std::string(10000, 'x') + "\r\n");
        ASSERT_TRUE(refused.WaitEnd());
        EXPECT_EQ(refused.got, "Sorry, too many clients\r\n");
        EXPECT_EQ(refused.error, 0) << "reset instead of a close";
        EXPECT_TRUE(refused.eof);
        const std::string name = "SrvClient" + std::to_string(tc.maxClients + 1);
        ASSERT_TRUE(rs.WaitDisconnects(1));
        EXPECT_EQ(rs.disconnected.front(), name);
        EXPECT_EQ(Count(rs.events, "ClientConnect(" + name), 1);
        // The served clients are untouched, and one place frees up a slot.
        EXPECT_EQ(rs.server.ClientCount(), tc.maxClients);
        served.front()->Close();
        ASSERT_TRUE(rs.WaitDisconnects(2));
        RawClient next(rs.Port());
        EXPECT_TRUE(next.WaitFor("Welcome to TcpSrv\r\n"));
    }
}

TEST(WSocketServer, BannerRules) {
    struct Case {
        const char* name;
        std::function<void(TWSocketServer&)> setup;
        std::string expected; // what the peer reads before the server closes
    };
    const std::vector<Case> cases = {
        {"empty banner sends nothing",
         [](TWSocketServer& s) {
             s.SetBanner("");
             s.OnClientConnect = [](TCustomWSocket*, TWSocketClient* c, std::uint16_t) {
                 c->OnDataSent = [](TCustomWSocket* cs, std::uint16_t) { cs->Close(); };
             };
         },
         ""},
        {"banner changed in OnClientConnect",
         [](TWSocketServer& s) {
             s.OnClientConnect = [](TCustomWSocket*, TWSocketClient* c, std::uint16_t) {
                 c->SetBanner("220 ready");
                 c->OnDataSent = [](TCustomWSocket* cs, std::uint16_t) { cs->Close(); };
             };
         },
         "220 ready\r\n"},
        {"client line end follows the banner",
         [](TWSocketServer& s) {
             s.OnClientConnect = [](TCustomWSocket*, TWSocketClient* c, std::uint16_t) {
                 c->SetLineEnd("\n");
                 c->OnDataSent = [](TCustomWSocket* cs, std::uint16_t) { cs->Close(); };
             };
         },
         "Welcome to TcpSrv\n"},
        {"client closed in OnClientConnect gets no banner",
         [](TWSocketServer& s) {
             s.OnClientConnect = [](TCustomWSocket*, TWSocketClient* c, std::uint16_t) {
                 c->Close();
             };
         },
         ""},
        {"client aborted in OnClientCreate's state change",
         [](TWSocketServer& s) {
             s.OnClientCreate = [](TCustomWSocket*, TWSocketClient* c) {
                 c->OnChangeState = [](TCustomWSocket* cs, TSocketState, TSocketState n) {
                     if (n == wsConnected)
                         cs->Close();
                 };
             };
         },
         ""},
    };
    for (const Case& tc : cases) {
        SCOPED_TRACE(tc.name);
        TWSocketServer srv;
        srv.SetAddr("127.0.0.1");
        srv.SetPort("0");
        tc.setup(srv);
        int gone = 0;
        srv.OnClientDisconnect = [&](TCustomWSocket*, TWSocketClient*, std::uint16_t) { ++gone; };
        srv.Listen();
        RawClient peer(srv.GetBoundPort());
        ASSERT_TRUE(peer.WaitEnd());
        EXPECT_EQ(peer.got, tc.expected);
        EXPECT_EQ(peer.error, 0);
        ASSERT_TRUE(Pump([&] { return gone == 1; }));
        EXPECT_EQ(srv.ClientCount(), 0);
    }
}

// The server closes (or aborts, or closes later) its client from inside each
// of the client's events; the client must end once, be reported once and
// be freed, whatever the event.
TEST(WSocketServer, ClosesAClientFromEachOfItsEvents) {
    enum class How { Close, Abort, CloseLater };
    const char* const events[] = {"ClientConnect", "DataAvailable", "DataSent", "SendData",
                                  "SessionClosedOfPeer"};
    for (const char* event : events) {
        for (How how : {How::Close, How::Abort, How::CloseLater}) {
            SCOPED_TRACE(std::string(event) + " " + std::to_string(int(how)));
            TWSocketServer srv;
            srv.SetAddr("127.0.0.1");
            srv.SetPort("0");
            const std::string ev = event;
            auto end = [how](TCustomWSocket* s) {
                if (how == How::Close)
                    s->Close();
                else if (how == How::Abort)
                    s->Abort();
                else
                    s->CloseLater();
            };
            int disconnects = 0, sessionEnds = 0;
            srv.OnClientConnect = [&](TCustomWSocket*, TWSocketClient* c, std::uint16_t) {
                c->OnSessionClosed = [&](TCustomWSocket*, std::uint16_t) { ++sessionEnds; };
                c->OnDataAvailable = [&, end](TCustomWSocket* s, std::uint16_t) {
                    char buf[256];
                    s->Receive(buf, sizeof buf);
                    if (ev == "DataAvailable")
                        end(s);
                };
                c->OnDataSent = [&, end](TCustomWSocket* s, std::uint16_t) {
                    if (ev == "DataSent")
                        end(s);
                };
                c->OnSendData = [&, end](TCustomWSocket* s, int) {
                    if (ev == "SendData")
                        end(s);
                };
                if (ev == "ClientConnect")
                    end(c);
            };
            srv.OnClientDisconnect = [&](TCustomWSocket*, TWSocketClient* c, std::uint16_t) {
                ++disconnects;
                EXPECT_NE(c->State(), wsConnected);
            };
            srv.Listen();
            RawClient peer(srv.GetBoundPort());
            peer.Send("hello\r\n");
            if (ev == "SessionClosedOfPeer") {
                peer.Close();
            }
            ASSERT_TRUE(Pump([&] { return disconnects == 1; }));
            EXPECT_EQ(sessionEnds, 1);
            EXPECT_EQ(srv.ClientCount(), 0);
            // Nothing more is reported for that client later.
            RawClient second(srv.GetBoundPort());
            second.Close();
            ASSERT_TRUE(Pump([&] { return disconnects == 2; }));
            EXPECT_EQ(sessionEnds, 2);
        }
    }
}

TEST(WSocketServer, APeerThatResetsIsReportedWithItsError) {
    RecordingServer rs;
    RawClient peer(rs.Port());
    ASSERT_TRUE(peer.WaitFor("\r\n"));
    peer.Reset();
    ASSERT_TRUE(rs.WaitDisconnects(1));
    EXPECT_EQ(Count(rs.events, "SrvClient1.SessionClosed(10054)"), 1);
    EXPECT_EQ(Count(rs.events, "ClientDisconnect(SrvClient1,10054,127.0.0.1)"), 1);
}

TEST(WSocketServer, APausedClientGetsEverythingAfterResume) {
    TWSocketServer srv;
    srv.SetAddr("127.0.0.1");
    srv.SetPort("0");
    srv.SetBanner("");
    std::string got;
    bool ended = false;
    TWSocketClient* client = nullptr;
    srv.OnClientConnect = [&](TCustomWSocket*, TWSocketClient* c, std::uint16_t) {
        client = c;
        c->Pause();
        CollectInto(*c, got, &ended);
    };
    bool disconnected = false;
    srv.OnClientDisconnect = [&](TCustomWSocket*, TWSocketClient*, std::uint16_t) {
        disconnected = true;
    };
    srv.Listen();
    RawClient peer(srv.GetBoundPort());
    const std::string payload(300000, 'p');
    peer.Send(payload);
    peer.Close();
    ASSERT_TRUE(Pump([&] { return client != nullptr; }));
    // While paused nothing is read and the end is not reported.
    bool idle = false;
    QTimer::singleShot(200, [&] { idle = true; });
    ASSERT_TRUE(Pump([&] { return idle; }));
    EXPECT_TRUE(got.empty());
    EXPECT_FALSE(ended);
    client->Resume();
    ASSERT_TRUE(Pump([&] { return disconnected; }));
    EXPECT_EQ(got, payload);
}

TEST(WSocketServer, ClientsOutliveTheStoppedServerAndStillReportTheirEnd) {
    RecordingServer rs;
    const std::string port = rs.Port();
    RawClient a(port), b(port);
    ASSERT_TRUE(a.WaitFor("\r\n"));
    ASSERT_TRUE(b.WaitFor("\r\n"));
    rs.server.Close();
    EXPECT_EQ(rs.server.State(), wsClosed);
    EXPECT_EQ(rs.server.ClientCount(), 2);
    // Nobody listens any more.
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(std::uint16_t(std::stoi(port)));
    EXPECT_NE(::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ::close(fd);
    // The clients still talk and still end with their notice.
    rs.server.Client(0)->SendText("still here\r\n");
    EXPECT_TRUE(a.WaitFor("still here\r\n"));
    a.Close();
    rs.server.Client(1)->Close();
    ASSERT_TRUE(rs.WaitDisconnects(2));
    EXPECT_TRUE(b.WaitEnd());
    EXPECT_EQ(rs.server.ClientCount(), 0);
}

TEST(WSocketServer, FreeingTheServerFreesItsClientsWithoutNotices) {
    auto rs = std::make_unique<RecordingServer>();
    RawClient a(rs->Port()), b(rs->Port());
    ASSERT_TRUE(a.WaitFor("\r\n"));
    ASSERT_TRUE(b.WaitFor("\r\n"));
    // One client has ended and its notice is still queued when the server goes.
    rs->server.Client(0)->Close();
    int notices = 0;
    rs->server.OnClientDisconnect = [&](TCustomWSocket*, TWSocketClient*, std::uint16_t) {
        ++notices;
    };
    rs.reset();
    EXPECT_TRUE(a.WaitEnd());
    EXPECT_TRUE(b.WaitEnd());
    EXPECT_EQ(a.error, 0);
    EXPECT_EQ(b.error, 0);
    PumpMessages();
    EXPECT_EQ(notices, 0);
}

TEST(WSocketServer, ANoticeForAClientFreedMeanwhileIsIgnored) {
    RecordingServer rs;
    RawClient a(rs.Port());
    ASSERT_TRUE(a.WaitFor("\r\n"));
    TWSocketClient* c = rs.server.Client(0);
    c->Close(); // posts the notice
    delete c;   // and the client goes before the loop hands it on
    EXPECT_EQ(rs.server.ClientCount(), 0);
    // A new client, possibly at the same address, is not taken for it.
    RawClient b(rs.Port());
    ASSERT_TRUE(b.WaitFor("\r\n"));
    ASSERT_TRUE(rs.WaitClients(1));
    bool drained = false;
    rs.server.Window()->PostCall([&] { drained = true; });
    ASSERT_TRUE(Pump([&] { return drained; }));
    EXPECT_TRUE(rs.disconnected.empty());
    EXPECT_EQ(rs.server.ClientCount(), 1);
    EXPECT_EQ(rs.server.Client(0)->Name(), "SrvClient2");
}

TEST(WSocketServer, AnExceptionInOnClientDisconnectStillFreesTheClient) {
    RecordingServer rs;
    rs.server.OnClientDisconnect = [](TCustomWSocket*, TWSocketClient*, std::uint16_t) {
        throw std::runtime_error("handler failed");
    };
    std::string caught;
    rs.server.OnBgException = [&](TCustomWSocket*, const std::exception& e, bool& canClose) {
        caught = e.what();
        canClose = false;
    };
    {
        RawClient a(rs.Port());
        ASSERT_TRUE(a.WaitFor("\r\n"));
    }
    ASSERT_TRUE(Pump([&] { return !caught.empty(); }));
    EXPECT_EQ(caught, "handler failed");
    EXPECT_EQ(rs.server.ClientCount(), 0);
    EXPECT_EQ(rs.server.State(), wsListening);
    RawClient b(rs.Port());
    EXPECT_TRUE(b.WaitFor("Welcome to TcpSrv\r\n"));
}

namespace {

struct CountingClient : TWSocketClient {
    static inline int live = 0;
    std::string tag;
    CountingClient() { ++live; }
    ~CountingClient() override { --live; }
    void SendBanner() override { SendText("custom " + Name() + LineEnd()); }
};

} // namespace

TEST(WSocketServer, UsesTheClientClassAndFreesEveryObject) {
    CountingClient::live = 0;
    {
        RecordingServer rs(false);
        rs.server.SetClientClass<CountingClient>();
        rs.server.Listen();
        RawClient a(rs.Port());
        ASSERT_TRUE(a.WaitFor("custom SrvClient1\r\n"));
        RawClient b(rs.Port());
        ASSERT_TRUE(b.WaitFor("custom SrvClient2\r\n"));
        EXPECT_NE(dynamic_cast<CountingClient*>(rs.server.Client(1)), nullptr);
        EXPECT_EQ(CountingClient::live, 2);
        a.Close();
        ASSERT_TRUE(rs.WaitDisconnects(1));
        EXPECT_EQ(CountingClient::live, 1);
    }
    EXPECT_EQ(CountingClient::live, 0);
}

TEST(WSocketServer, AHandlerMayFreeTheServerFromEachServerEvent) {
    for (const char* event :
         {"SessionAvailable", "ClientCreate", "ClientConnect", "ClientDisconnect"}) {
        SCOPED_TRACE(event);
        const std::string ev = event;
        auto srv = std::make_unique<TWSocketServer>();
        srv->SetAddr("127.0.0.1");
        srv->SetPort("0");
        bool freed = false;
        auto free = [&] {
            srv.reset();
            freed = true;
        };
        srv->OnSessionAvailable = [&](TCustomWSocket*, std::uint16_t) {
            if (ev == "SessionAvailable")
                free();
        };
        srv->OnClientCreate = [&](TCustomWSocket*, TWSocketClient*) {
            if (ev == "ClientCreate")
                free();
        };
        srv->OnClientConnect = [&](TCustomWSocket*, TWSocketClient* c, std::uint16_t) {
            if (ev == "ClientConnect")
                free();
            else
                c->Close();
        };
        srv->OnClientDisconnect = [&](TCustomWSocket*, TWSocketClient*, std::uint16_t) {
            if (ev == "ClientDisconnect")
                free();
        };
        srv->Listen();
        RawClient peer(srv->GetBoundPort());
        ASSERT_TRUE(Pump([&] { return freed; }));
        EXPECT_TRUE(peer.WaitEnd());
    }
}
