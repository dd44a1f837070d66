// The SOCKS client against a scripted proxy on loopback: every reply and
// failure code, replies cut into single bytes, data in the same write as
// the reply, and handlers that close or free the socket mid-negotiation.

#include "SocksTestUtil.h"
#include "support/Process.h"

#include <gtest/gtest.h>

using namespace qordex;
using namespace qordex::test;
using Events = std::vector<std::string>;

namespace {

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

std::string Unhex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(char(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// A proxy process following `steps` (see scripted_socks_proxy.py).
struct ScriptedProxy {
    std::unique_ptr<Background> proc;
    int port = 0;

    explicit ScriptedProxy(const std::string& steps) {
        proc = std::make_unique<Background>(std::vector<std::string>{
            "/usr/bin/python3", "-u", QORDEX_SOURCE_DIR "/tests/net/scripted_socks_proxy.py",
            steps});
        port = proc->FirstLineNumber();
    }

    // Every byte the client sent, once the script has run to its end.
    std::string Got() {
        std::string out;
        PumpUntil(
            [&] {
                out = proc->Output();
                return out.find("GOT ") != std::string::npos && out.back() == '\n';
            },
            10000);
        std::size_t at = out.find("GOT ");
        if (at == std::string::npos)
            return "(no transcript)";
        return Unhex(out.substr(at + 4, out.find('\n', at) - at - 4));
    }
};

// A socket pointed at dest.example:80 through the proxy.
struct SocksClient {
    TWSocket s;
    Recorder rec;
    explicit SocksClient(int proxyPort, const std::string& level = "5") {
        rec.Attach(s);
        RecordSocks(s, rec);
        s.SetSocksServer("127.0.0.1");
        s.SetSocksPort(std::to_string(proxyPort));
        s.SetSocksLevel(level);
        s.SetAddr("dest.example");
        s.SetPort("80");
    }
    bool WaitClosed() {
        return Pump([&] { return s.State() == wsClosed; });
    }
};

std::string B(std::initializer_list<int> v) {
    std::string s;
    for (int b : v)
        s.push_back(char(b));
    return s;
}

const std::string kGreetingNone = B({5, 1, 0});
const std::string kGreetingUser = B({5, 1, 2});
std::string V5Request(const std::string& host, int port = 80) {
    return B({5, 1, 0, 3, int(host.size())}) + host + B({port >> 8, port & 255});
}
const std::string kReplyV4 = B({5, 0, 0, 1, 192, 0, 2, 1, 0x1F, 0x90});

std::string Steps(std::initializer_list<std::pair<const char*, std::string>> steps) {
    std::string json = "[";
    for (const auto& [kind, bytes] : steps) {
        if (json.size() > 1)
            json += ",";
        json += std::string("[\"") + kind + "\"";
        if (!bytes.empty())
            json += ",\"" + Hex(bytes) + "\"";
        json += "]";
    }
    return json + "]";
}

// Runs `change`, which must be refused with `text`.
void ExpectRefused(const std::function<void()>& change, const std::string& text) {
    try {
        change();
        ADD_FAILURE() << "accepted, where it should say: " << text;
    } catch (const ESocketException& e) {
        EXPECT_EQ(e.what(), text);
    }
}

} // namespace

TEST(SocksWSocket, Version5WithoutAuthenticationAndDataInTheSameWriteAsTheReply) {
    ScriptedProxy proxy(Steps({{"greeting", ""},
                               {"send", B({5, 0})},
                               {"v5request", ""},
                               {"send", kReplyV4 + "hello"},
                               {"echo", ""}}));
    SocksClient c(proxy.port);
    c.s.Connect();
    ASSERT_TRUE(Pump([&] { return c.rec.data == "hello"; }));
    EXPECT_EQ(SocksEvents(c.rec), (Events{"SocksConnected(0)", "SessionConnected(0)", "Data"}));
    c.s.SendText("ping");
    ASSERT_TRUE(Pump([&] { return c.rec.data == "helloping"; }));
    c.s.Close();
    EXPECT_EQ(Hex(proxy.Got()), Hex(kGreetingNone + V5Request("dest.example") + "ping"));
}

TEST(SocksWSocket, Version5WithUserAndPasswordAnsweredOneByteAtATime) {
    ScriptedProxy proxy(Steps({{"greeting", ""},
                               {"trickle", B({5, 2})},
                               {"auth", ""},
                               {"trickle", B({1, 0})},
                               {"v5request", ""},
                               {"trickle", B({5, 0, 0, 3, 15}) + "bound.name.here" + B({0, 80})},
                               {"echo", ""}}));
    SocksClient c(proxy.port);
    c.s.SetSocksAuthentication(socksAuthenticateUsercode);
    c.s.SetSocksUsercode("alice");
    c.s.SetSocksPassword("secret");
    c.s.OnSessionConnected = [&](TCustomWSocket* s, std::uint16_t e) {
        c.rec.Add("SessionConnected(" + std::to_string(e) + ")");
        if (e == 0)
            s->SendText("after");
    };
    c.s.Connect();
    ASSERT_TRUE(Pump([&] { return c.rec.data == "after" || c.s.State() == wsClosed; }));
    EXPECT_EQ(SocksEvents(c.rec),
              (Events{"SocksConnected(0)", "SocksAuth(Start)", "SocksAuth(Success)",
                      "SessionConnected(0)", "Data(none)", "Data"}));
    c.s.Close();
    EXPECT_EQ(Hex(proxy.Got()), Hex(kGreetingUser + B({1, 5}) + "alice" + B({6}) + "secret" +
                                    V5Request("dest.example") + "after"));
}

TEST(SocksWSocket, RepliesWithOtherBoundAddressesAndLongNames) {
    struct Case {
        const char* name;
        std::string reply;
        std::string host;
    };
    const std::vector<Case> cases = {
        {"bound IPv6 address", B({5, 0, 0, 4}) + std::string(16, '\x20') + B({0, 80}),
         "dest.example"},
        {"bound name of 200 bytes", B({5, 0, 0, 3, 200}) + std::string(200, 'b') + B({0, 80}),
         "dest.example"},
        {"destination name of 200 bytes", kReplyV4, std::string(196, 'd') + ".com"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        ScriptedProxy proxy(Steps({{"greeting", ""},
                                   {"send", B({5, 0})},
                                   {"v5request", ""},
                                   {"send", k.reply + "tail"},
                                   {"close", ""}}));
        SocksClient c(proxy.port);
        c.s.SetAddr(k.host);
        c.s.Connect();
        ASSERT_TRUE(Pump([&] { return c.rec.data == "tail" || c.s.State() == wsClosed; }));
        EXPECT_EQ(c.rec.data, "tail");
        EXPECT_EQ(SocksEvents(c.rec).at(1), "SessionConnected(0)");
        EXPECT_EQ(Hex(proxy.Got()), Hex(kGreetingNone + V5Request(k.host)));
    }
}

TEST(SocksWSocket, EveryFailureEndsWithItsCodeInTheConnectAndCloseEvents) {
    struct Case {
        const char* name;
        std::string level;
        std::string steps;
        int code;
        std::string text;
        bool auth = false;
    };
    std::vector<Case> cases = {
        {"method refused", "5", Steps({{"greeting", ""}, {"send", B({5, 255})}}), 20003,
         "authentification method not acceptable"},
        {"wrong version", "5", Steps({{"greeting", ""}, {"send", B({4, 0})}}), 20002,
         "socks version error"},
        {"credentials refused", "5",
         Steps({{"greeting", ""}, {"send", B({5, 2})}, {"auth", ""}, {"send", B({1, 1})}}), 20015,
         "socks authentication failed", true},
        {"v4 rejected", "4", Steps({{"v4request", ""}, {"send", B({0, 91, 0, 0, 0, 0, 0, 0})}}),
         20016, "request rejected or failed"},
        {"v4 no identd", "4", Steps({{"v4request", ""}, {"send", B({0, 92, 0, 0, 0, 0, 0, 0})}}),
         20008, "connection refused"},
        {"v4a identd mismatch", "4A",
         Steps({{"v4request", ""}, {"send", B({0, 93, 0, 0, 0, 0, 0, 0})}}), 20015,
         "authentification failed"},
        {"v4 unassigned", "4", Steps({{"v4request", ""}, {"send", B({0, 94, 0, 0, 0, 0, 0, 0})}}),
         20012, "unassigned error #94"},
    };
    const char* texts[] = {"general SOCKS server failure", "connection not allowed by ruleset",
                           "network unreachable",          "host unreachable",
                           "connection refused",           "time to live expired",
                           "command not supported",        "address type not supported",
                           "unassigned error #9"};
    for (int code = 1; code <= 9; ++code)
        cases.push_back({"v5 reply code", "5",
                         Steps({{"greeting", ""},
                                {"send", B({5, 0})},
                                {"v5request", ""},
                                {"send", B({5, code, 0, 1, 0, 0, 0, 0, 0, 0})}}),
                         code == 9 ? 20012 : 20003 + code, texts[code - 1]});
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name + std::string(" ") + k.text);
        ScriptedProxy proxy(k.steps);
        SocksClient c(proxy.port, k.level);
        c.s.SetAddr("192.0.2.7");
        if (k.auth)
            c.s.SetSocksAuthentication(socksAuthenticateUsercode);
        c.s.Connect();
        ASSERT_TRUE(c.WaitClosed());
        const std::string code = std::to_string(k.code);
        Events want{"SocksConnected(0)"};
        if (k.auth)
            want.push_back("SocksAuth(Start)");
        want.insert(want.end(), {"SocksError(" + code + "," + k.text + ")",
                                 "SessionConnected(" + code + ")", "SessionClosed(" + code + ")"});
        EXPECT_EQ(SocksEvents(c.rec), want);
        EXPECT_TRUE(c.s.SocksServer().empty());
    }
}

TEST(SocksWSocket, Version4And4ARequests) {
    for (const std::string level : {"4", "4A"}) {
        SCOPED_TRACE(level);
        ScriptedProxy proxy(Steps(
            {{"v4request", ""}, {"send", B({0, 90, 0, 80, 192, 0, 2, 7}) + "hi"}, {"echo", ""}}));
        SocksClient c(proxy.port, level);
        c.s.SetAddr(level == "4" ? "192.0.2.7" : "dest.example");
        c.s.SetSocksUsercode("bob");
        c.s.Connect();
        ASSERT_TRUE(Pump([&] { return c.rec.data == "hi"; }));
        EXPECT_EQ(SocksEvents(c.rec).at(1), "SessionConnected(0)");
        c.s.SendText("x");
        ASSERT_TRUE(Pump([&] { return c.rec.data == "hix"; }));
        c.s.Close();
        const std::string request =
            level == "4" ? B({4, 1, 0, 80, 192, 0, 2, 7}) + "bob" + B({0})
                         : B({4, 1, 0, 80, 0, 0, 0, 1}) + "bob" + B({0}) + "dest.example" + B({0});
        EXPECT_EQ(Hex(proxy.Got()), Hex(request + "x"));
    }
}

TEST(SocksWSocket, Version4WithoutAnAddressClosesWithoutConnectEvent) {
    ScriptedProxy proxy(Steps({{"v4request", ""}}));
    SocksClient c(proxy.port, "4");
    // A name the resolver refuses without asking the network.
    const std::string name(257, 'n');
    c.s.SetAddr(name);
    c.s.Connect();
    ASSERT_TRUE(c.WaitClosed());
    EXPECT_EQ(SocksEvents(c.rec),
              (Events{"SocksConnected(0)",
                      "SocksError(20017,ESocketException WSocketResolveHost: '" + name +
                          "' Invalid Hostname.)",
                      "SessionClosed(20017)"}));
}

TEST(SocksWSocket, OfferedCredentialsNotWantedGoOnWithout) {
    ScriptedProxy proxy(Steps({{"greeting", ""},
                               {"send", B({5, 0})},
                               {"v5request", ""},
                               {"send", kReplyV4},
                               {"close", ""}}));
    SocksClient c(proxy.port);
    c.s.SetSocksAuthentication(socksAuthenticateUsercode);
    c.s.Connect();
    ASSERT_TRUE(c.WaitClosed());
    Events seen = SocksEvents(c.rec);
    ASSERT_GE(seen.size(), 4u);
    EXPECT_EQ(Events(seen.begin(), seen.begin() + 3),
              (Events{"SocksConnected(0)", "SocksAuth(NotRequired)", "SessionConnected(0)"}));
    EXPECT_EQ(seen.back(), "SessionClosed(0)");
}

TEST(SocksWSocket, LinesThatCameWithTheReplyAreDeliveredAtOnce) {
    ScriptedProxy proxy(Steps({{"greeting", ""},
                               {"send", B({5, 0})},
                               {"v5request", ""},
                               {"send", kReplyV4 + "L1\r\nL2\r\npa"},
                               {"echo", ""}}));
    SocksClient c(proxy.port);
    Events lines;
    c.s.SetLineMode(true);
    c.s.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
        lines.push_back(s->ReceiveText());
    };
    c.s.Connect();
    ASSERT_TRUE(Pump([&] { return lines.size() == 2; }));
    EXPECT_EQ(lines, (Events{"L1\r\n", "L2\r\n"}));
    c.s.SendText("rt\r\n");
    ASSERT_TRUE(Pump([&] { return lines.size() == 3; }));
    EXPECT_EQ(lines.back(), "part\r\n");
}

TEST(SocksWSocket, HandlersMayCloseOrFreeTheSocketMidNegotiation) {
    struct Case {
        const char* name;
        bool free;
        int where; // 0 SocksConnected, 1 SocksAuthState(Start), 2 SocksError
    };
    for (const Case& k :
         {Case{"close on connected", false, 0}, Case{"free on connected", true, 0},
          Case{"close on auth start", false, 1}, Case{"free on auth start", true, 1},
          Case{"close on error", false, 2}, Case{"free on error", true, 2}}) {
        SCOPED_TRACE(k.name);
        ScriptedProxy proxy(
            Steps({{"greeting", ""}, {"send", B({5, 2})}, {"auth", ""}, {"send", B({1, 1})}}));
        auto s = std::make_unique<TWSocket>();
        int closed = 0;
        bool acted = false;
        auto act = [&](TCustomWSocket* sender) {
            acted = true;
            if (k.free)
                s.reset();
            else
                sender->Close();
        };
        s->OnSessionClosed = [&](TCustomWSocket*, std::uint16_t) { ++closed; };
        s->OnSocksConnected = [&](TCustomWSocket* snd, std::uint16_t) {
            if (k.where == 0)
                act(snd);
        };
        s->OnSocksAuthState = [&](TCustomWSocket* snd, TSocksAuthState st) {
            if (k.where == 1 && st == socksAuthStart)
                act(snd);
        };
        s->OnSocksError = [&](TCustomWSocket* snd, int, const std::string&) {
            if (k.where == 2)
                act(snd);
        };
        s->SetSocksServer("127.0.0.1");
        s->SetSocksPort(std::to_string(proxy.port));
        s->SetSocksAuthentication(socksAuthenticateUsercode);
        s->SetAddr("dest.example");
        s->SetPort("80");
        s->Connect();
        ASSERT_TRUE(Pump([&] { return acted; }));
        if (s) {
            ASSERT_TRUE(Pump([&] { return s->State() == wsClosed; }));
            EXPECT_EQ(closed, 1);
        } else {
            EXPECT_EQ(closed, 0);
        }
    }
}

TEST(SocksWSocket, SettingsAndWhatACloseResets) {
    TWSocket s;
    s.SetSocksLevel("4a");
    EXPECT_EQ(s.SocksLevel(), "4A");
    for (const char* bad : {" 5", "6", "4b", ""})
        ExpectRefused([&] { s.SetSocksLevel(bad); }, "Invalid socks level. Must be 4, 4A or 5.");
    EXPECT_EQ(s.SocksLevel(), "4A");

    s.SetSocksServer(" 127.0.0.1 ");
    EXPECT_EQ(s.SocksServer(), "127.0.0.1");
    s.SetAddr("0.0.0.0");
    s.SetPort("0");
    ExpectRefused([&] { s.Listen(); }, "Listening is not supported thru socks server");
    s.SetProto("udp");
    s.SetSocksPort("1080");
    ExpectRefused([&] { s.Connect(); }, "tcp is the only protocol supported thru socks server");
    // A name that no request could carry is refused before connecting,
    // never cut short.
    s.SetProto("tcp");
    s.SetSocksLevel("5");
    s.SetAddr(std::string(256, 'n'));
    ExpectRefused([&] { s.Connect(); }, "connect: socks host name longer than 255 bytes");
    EXPECT_EQ(s.State(), wsClosed);

    // While connected the proxy settings stay as they are; a close resets
    // them (the credentials stay), so the next Connect goes direct.
    EchoServer echo;
    ScriptedProxy proxy(
        Steps({{"greeting", ""}, {"send", B({5, 0})}, {"v5request", ""}, {"send", kReplyV4}}));
    Recorder rec;
    rec.Attach(s);
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort(std::to_string(proxy.port));
    s.SetSocksLevel("5");
    s.SetSocksUsercode("kept");
    s.SetSocksAuthentication(socksAuthenticateUsercode);
    s.SetAddr("dest.example");
    s.SetPort("80");
    s.Connect();
    ASSERT_TRUE(Pump([&] { return s.State() == wsConnected; }));
    ExpectRefused([&] { s.SetSocksServer("other"); }, "Can't change socks server if not closed");
    ExpectRefused([&] { s.SetSocksPort("1"); }, "Can't change socks port if not closed");
    ExpectRefused([&] { s.SetSocksLevel("4"); }, "Can't change socks level if not closed");
    s.Close();
    EXPECT_EQ(s.SocksServer(), "");
    EXPECT_EQ(s.SocksPort(), "");
    EXPECT_EQ(s.SocksLevel(), "5");
    EXPECT_EQ(s.SocksUsercode(), "kept");
    EXPECT_EQ(s.SocksAuthentication(), socksAuthenticateUsercode);
    rec.data.clear();
    Target(s, echo.Port());
    s.OnSessionConnected = [](TCustomWSocket* c, std::uint16_t) { c->SendText("direct"); };
    s.Connect();
    ASSERT_TRUE(Pump([&] { return rec.data == "direct"; }));
}

TEST(SocksWSocket, AProxyThatRefusesTheConnection) {
    const int port = FreeTcpPort(); // nothing listens there
    SocksClient c(port);
    c.s.Connect();
    ASSERT_TRUE(c.WaitClosed());
    EXPECT_EQ(SocksEvents(c.rec),
              (Events{"SocksConnected(10061)", "SessionConnected(10061)", "SessionClosed(0)"}));
}
