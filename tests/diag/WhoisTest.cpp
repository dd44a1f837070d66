// The whois query against a whois server of our own on loopback (and
// through microsocks): the bytes asked, the lines shown, the status texts
// in order, failures, Cancel, and the command line.

#include "diag/Whois.h"
#include "net/WSocket.h"
#include "platform/MessageLoop.h"
#include "support/Process.h"
#include "support/TestData.h"
#include "diag/WhoisPeer.h"

#include <QCryptographicHash>
#include <csignal>
#include <gtest/gtest.h>
#include <optional>

using namespace qordex::diag;
using namespace qordex::test;
using qordex::PumpUntil;

namespace {

// A client with every event recorded.
struct Session {
    TWhoisClient client;
    std::vector<std::string> statuses, lines;
    std::optional<TWhoisEnd> end;

    Session() {
        client.OnStatus = [this](const std::string& s) { statuses.push_back(s); };
        client.OnLine = [this](const std::string& l) { lines.push_back(l); };
        client.OnDone = [this](TWhoisEnd e) { end = e; };
    }
    bool Ask(const std::string& server, const std::string& port, const std::string& query,
             const qordex::TSocks5Settings& socks = {}) {
        TWhoisClient::Request r;
        r.server = server;
        r.port = port;
        r.query = query;
        r.socks = socks;
        return client.Start(r);
    }
    bool Wait() {
        return PumpUntil([this] { return end.has_value(); }, 60000);
    }
};

TEST(Whois, AnAnswerLineByLineWithTheStatusTextsInOrder) {
    WhoisPeer peer("abc\r\nde\nf", {"--chunk", "1"});
    ASSERT_GT(peer.Port(), 0);
    Session s;
    ASSERT_TRUE(s.Ask("127.0.0.1", peer.PortText(), "example.test"));
    EXPECT_FALSE(s.Ask("127.0.0.1", peer.PortText(), "again")) << "one query at a time";
    ASSERT_TRUE(s.Wait());
    EXPECT_EQ(*s.end, TWhoisEnd::Closed);
    EXPECT_EQ(s.lines, (std::vector<std::string>{"abc", "de", "f"}));
    EXPECT_EQ(s.statuses, (std::vector<std::string>{"Connecting to 127.0.0.1",
                                                    "Requesting information for example.test",
                                                    "Connection closed"}));
    EXPECT_EQ(peer.Queries(), std::vector<std::string>{"example.test\r\n"});
    EXPECT_FALSE(s.client.Busy());
}

TEST(Whois, ANameIsLookedUpFirst) {
    WhoisPeer peer("x\r\n");
    Session s;
    ASSERT_TRUE(s.Ask("localhost", peer.PortText(), "q"));
    ASSERT_TRUE(s.Wait());
    EXPECT_EQ(*s.end, TWhoisEnd::Closed);
    EXPECT_EQ(s.lines, std::vector<std::string>{"x"});
    EXPECT_EQ(s.statuses.front(), "Connecting to localhost");
}

TEST(Whois, FailedConnectionsSendNothing) {
    const int closedPort = FreeTcpPort();
    struct {
        const char* name;
        std::string server, port;
    } cases[] = {
        {"refused", "127.0.0.1", std::to_string(closedPort)},
        {"unknown server name", "no-such-host.invalid", "43"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Session s;
        ASSERT_TRUE(s.Ask(c.server, c.port, "q"));
        ASSERT_TRUE(s.Wait());
        EXPECT_EQ(*s.end, TWhoisEnd::Error);
        EXPECT_EQ(s.statuses,
                  (std::vector<std::string>{"Connecting to " + c.server, "Connection error"}));
        EXPECT_TRUE(s.lines.empty());
        EXPECT_FALSE(s.client.Busy());
    }
}

TEST(Whois, CancelKeepsTheLinesAndThePartialLine) {
    WhoisPeer peer("first\r\nsecond\r\npart", {"--hold"});
    Session s;
    ASSERT_TRUE(s.Ask("127.0.0.1", peer.PortText(), "q"));
    ASSERT_TRUE(PumpUntil([&] { return s.lines.size() == 2; }, 60000));
    // The rest of the block arrives with the lines; give the partial line time to be read.
    ASSERT_TRUE(PumpUntil([&] { return s.client.Connected(); }, 60000));
    s.client.Cancel();
    ASSERT_TRUE(s.end.has_value());
    EXPECT_EQ(*s.end, TWhoisEnd::Cancelled);
    EXPECT_EQ(s.lines, (std::vector<std::string>{"first", "second", "part"}));
    EXPECT_EQ(s.statuses.back(), "Whois cancelled.");
    s.client.Cancel(); // nothing more when idle
    EXPECT_EQ(s.statuses.back(), "Whois cancelled.");
}

TEST(Whois, AReferralIsShownAndNothingElseIsAsked) {
    WhoisPeer second("never\r\n");
    WhoisPeer first("ReferralServer: whois://127.0.0.1:" + second.PortText() + "\r\nend\r\n");
    Session s;
    ASSERT_TRUE(s.Ask("127.0.0.1", first.PortText(), "AS64500"));
    ASSERT_TRUE(s.Wait());
    EXPECT_EQ(s.lines, (std::vector<std::string>{
                           "ReferralServer: whois://127.0.0.1:" + second.PortText(), "end"}));
    PumpUntil([] { return false; }, 200); // a referral, if followed, would connect now
    EXPECT_EQ(second.Connections(), 0u);
    EXPECT_EQ(first.Connections(), 1u);
}

TEST(Whois, DestroyingTheClientWhileConnectingOrReceivingIsQuiet) {
    WhoisPeer peer("line\r\n", {"--hold"});
    for (bool waitForData : {false, true}) {
        auto s = std::make_unique<Session>();
        ASSERT_TRUE(s->Ask("127.0.0.1", peer.PortText(), "q"));
        if (waitForData) {
            ASSERT_TRUE(PumpUntil([&] { return !s->lines.empty(); }, 60000));
        }
        s.reset();
        PumpUntil([] { return false; }, 100);
    }
}

// ---- through SOCKS 5 -----------------------------------------------------------

struct Proxy {
    std::unique_ptr<Background> proc;
    int port = FreeTcpPort();
    bool Start(std::vector<std::string> extra) {
        std::vector<std::string> argv = {"microsocks", "-i", "127.0.0.1", "-p",
                                         std::to_string(port)};
        argv.insert(argv.end(), extra.begin(), extra.end());
        proc = std::make_unique<Background>(argv);
        return WaitForTcpPort(port, 10000);
    }
};

TEST(WhoisSocks, ThroughMicrosocksWithAndWithoutPassword) {
    if (!HasProgram("microsocks"))
        GTEST_SKIP() << "microsocks is not installed (scripts/install-deps.sh installs it)";
    WhoisPeer peer("via proxy\r\n");
    struct {
        const char* name;
        std::vector<std::string> proxyArgs;
        bool authenticate;
        std::string password;
        TWhoisEnd end;
    } cases[] = {
        {"no authentication", {}, false, "", TWhoisEnd::Closed},
        {"user and password", {"-u", "alice", "-P", "s3cret"}, true, "s3cret", TWhoisEnd::Closed},
        {"a wrong password", {"-u", "alice", "-P", "s3cret"}, true, "guess", TWhoisEnd::Error},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Proxy proxy;
        ASSERT_TRUE(proxy.Start(c.proxyArgs));
        qordex::TSocks5Settings socks;
        socks.use = true;
        socks.address = "127.0.0.1";
        socks.port = std::to_string(proxy.port);
        socks.authenticate = c.authenticate;
        socks.user = "alice";
        socks.password = c.password;
        Session s;
        ASSERT_TRUE(s.Ask("127.0.0.1", peer.PortText(), "q", socks));
        ASSERT_TRUE(s.Wait());
        EXPECT_EQ(*s.end, c.end);
        if (c.end == TWhoisEnd::Closed) {
            EXPECT_EQ(s.lines, std::vector<std::string>{"via proxy"});
        } else {
            EXPECT_TRUE(s.lines.empty());
            EXPECT_EQ(s.statuses.back(), "Connection error");
        }
    }
    EXPECT_EQ(peer.Connections(), 2u);
}

// ---- the command line ------------------------------------------------------------

CommandResult Cli(std::vector<std::string> args) {
    args.insert(args.begin(), {BinPath("qordex-cli"), "whois"});
    return qordex::test::Run(args, {}, 120000);
}

TEST(WhoisCli, PrintsACannedAnswerLineForLine) {
    const std::string answer = "Domain Name: EXAMPLE.TEST\r\n\r\nR\xe9seaux\n\rlast";
    WhoisPeer peer(answer, {"--chunk", "3"});
    const auto r = Cli({"--server", "127.0.0.1", "--port", peer.PortText(), "x"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Domain Name: EXAMPLE.TEST\n\nR\xe9seaux\nlast\n");
    EXPECT_EQ(r.err, "Connecting to 127.0.0.1\nRequesting information for x\nConnection closed\n");
    EXPECT_EQ(peer.Queries(), std::vector<std::string>{"x\r\n"});
}

TEST(WhoisCli, A32MiBAnswerArrivesWhole) {
    WhoisPeer peer("", {"--big", std::to_string(32 << 20)});
    const auto r = Cli({"--server", "127.0.0.1", "--port", peer.PortText(), "big"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(WaitForOutput(peer.Process(), "SHA ", 60000));
    std::vector<std::string> sha = peer.Tagged("SHA");
    ASSERT_EQ(sha.size(), 1u);
    EXPECT_EQ(QCryptographicHash::hash(QByteArray::fromStdString(r.out),
                                       QCryptographicHash::Sha256)
                  .toHex()
                  .toStdString(),
              sha.front());
}

TEST(WhoisCli, ExitStatusAndUsage) {
    const int closedPort = FreeTcpPort();
    struct {
        std::vector<std::string> args;
        int status;
        const char* err; // a piece of standard error
    } cases[] = {
        {{"--server", "127.0.0.1", "--port", std::to_string(closedPort), "x"}, 1,
         "Connection error"},
        {{"--server", "127.0.0.1", "a\r\nb"}, 2, "CR or LF"},
        {{"--server", "127.0.0.1", "a\nb"}, 2, "CR or LF"},
        {{"--server", "127.0.0.1"}, 2, "no query"},
        {{"--socks", "nocolon", "x"}, 2, "HOST:PORT"},
        {{"--socks-user", "u", "x"}, 2, "go with --socks"},
        {{"--port", "no-such-service", "x"}, 2, "--port"},
        {{"--bogus", "x"}, 2, "unknown option"},
    };
    for (const auto& c : cases) {
        const auto r = Cli(c.args);
        EXPECT_EQ(r.status, c.status) << c.args.back() << "\n" << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
}

TEST(WhoisCli, SigtermCancelsAndShowsThePartialLine) {
    WhoisPeer peer("whole\r\npartial", {"--hold"});
    Background cli({BinPath("qordex-cli"), "whois", "--server", "127.0.0.1", "--port",
                    peer.PortText(), "q"});
    ASSERT_TRUE(WaitForOutput(cli, "whole\n", 60000));
    // Wait until the partial line is in: the peer sent everything in one block.
    ASSERT_TRUE(PumpUntil([&] { return peer.Queries().size() == 1; }, 60000));
    cli.Signal(SIGTERM);
    EXPECT_EQ(cli.Wait(60000), 1);
    EXPECT_EQ(cli.Output(), "whole\npartial\n");
}

TEST(WhoisCli, CountryCodes) {
    const auto r = Cli({"--codes"});
    ASSERT_EQ(r.status, 0);
    const auto lines = SplitLines(r.out);
    ASSERT_EQ(lines.size(), 261u);
    EXPECT_EQ(lines.front(), "AD\tAndorra");
    EXPECT_EQ(lines[74], "FX\t\"France, Metropolitan\"");
    EXPECT_EQ(lines.back(), "NATO\tNorth Atlantic Treaty Organization");
}

} // namespace
