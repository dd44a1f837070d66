// qordex-cli time and time-server inside a network namespace (the ports are
// fixed): our server against rdate over TCP and UDP, our client against our
// server and against the scripted Python peer, the timeout, usage errors,
// and --sync where setting the clock cannot be allowed.

#include "time/TimeTestSupport.h"

#include <QDateTime>
#include <QString>
#include <csignal>
#include <ctime>
#include <gtest/gtest.h>

using namespace qordex::test;

namespace {

std::string Cli() {
    return BinPath("qordex-cli");
}

std::vector<std::string> SplitLines(const std::string& s) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < s.size()) {
        std::size_t end = s.find('\n', start);
        if (end == std::string::npos)
            end = s.size();
        out.push_back(s.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// Seconds between a printed UTC time and now.
long long Off(const QDateTime& t) {
    return std::llabs(t.toSecsSinceEpoch() - static_cast<long long>(std::time(nullptr)));
}

class TimeCliTest : public ::testing::Test {
protected:
    void SetUp() override { QORDEX_REQUIRE_NETNS(ns_); }
    CommandResult Time(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {Cli(), "time"};
        argv.insert(argv.end(), args.begin(), args.end());
        return qordex::test::Run(ns_.Wrap(argv));
    }
    NetNs ns_;
};

TEST_F(TimeCliTest, ServerAnswersRdateAndOurClient) {
    Background server(ns_.Wrap({Cli(), "time-server"}));
    ASSERT_TRUE(WaitForOutput(server, "Server started", kWaitMs)) << server.Output();
    EXPECT_EQ(server.Output(), "Waiting for socket\nServer started\n");

    if (HasProgram("rdate")) {
        for (const char* flags : {"-p", "-p -u"}) {
            SCOPED_TRACE(flags);
            const CommandResult r =
                ns_.Exec(std::string("TZ=UTC rdate ") + flags + " 127.0.0.1");
            ASSERT_EQ(r.status, 0) << r.err;
            // "Thu Dec 10 23:59:00 UTC 2026", possibly after a "rdate: [host]" tab
            QStringList words =
                QString::fromStdString(r.out).section('\t', -1).simplified().split(' ');
            if (words.size() == 6)
                words.removeAt(4); // the zone, UTC as asked
            const QDateTime t =
                QDateTime::fromString(words.join(' '), "ddd MMM d HH:mm:ss yyyy");
            ASSERT_TRUE(t.isValid()) << r.out;
            EXPECT_LE(Off(QDateTime(t.date(), t.time(), Qt::UTC)), 2) << r.out;
        }
    }
    for (bool udp : {false, true}) {
        SCOPED_TRACE(udp ? "udp" : "tcp");
        const CommandResult r =
            udp ? Time({"--udp", "127.0.0.1"}) : Time({"127.0.0.1"});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        const auto lines = SplitLines(r.out);
        ASSERT_EQ(lines.size(), 5u) << r.out;
        EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 4),
                  (std::vector<std::string>{"Connecting to port 37", "Session connected",
                                            "Get Time OK", "Session closed"}));
        const QDateTime t = QDateTime::fromString(QString::fromStdString(lines[4]),
                                                  "yyyy-MM-dd HH:mm:ss");
        ASSERT_TRUE(t.isValid()) << lines[4];
        EXPECT_LE(Off(QDateTime(t.date(), t.time(), Qt::UTC)), 2);
    }

    ASSERT_TRUE(server.Signal(SIGTERM));
    EXPECT_EQ(server.Wait(kWaitMs), 0);
    const std::string out = server.Output();
    for (const char* line : {"TCP requests: 1\n", "TCP requests: 2\n", "UDP requests: 1\n",
                             "UDP requests: 2\n"})
        EXPECT_NE(out.find(line), std::string::npos) << line << " in\n" << out;
    EXPECT_EQ(out.substr(out.size() - 15), "Server closed.\n");
}

TEST_F(TimeCliTest, ServerStartFailsWhenItsPortIsTaken) {
    auto peer = StartTimePeer(ns_, {}); // holds TCP and UDP 37
    ASSERT_TRUE(peer);
    for (const char* proto : {"--tcp", "--udp"}) {
        const CommandResult r = qordex::test::Run(ns_.Wrap({Cli(), "time-server", proto}));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "Waiting for socket\nError 10048 in function Bind\n");
    }
}

TEST_F(TimeCliTest, ClientAgainstThePythonPeer) {
    auto peer = StartTimePeer(ns_, {"--split", "2"});
    ASSERT_TRUE(peer);
    const struct {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{"127.0.0.1"},
         "Connecting to port 37\nSession connected\nGet Time OK\nSession closed\n"
         "2024-01-01 00:00:00\n"},
        {{"--udp", "127.0.0.1"},
         "Connecting to port 37\nSession connected\nGet Time OK\nSession closed\n"
         "2024-01-01 00:00:00\n"},
        {{"--daytime", "127.0.0.1"},
         "Connecting to port 13\nSession connected\nGet DayTime OK\nSession closed\n"
         "Mon Jan  1 00:00:00 2024\r\n"},
    };
    for (const auto& c : cases) {
        const CommandResult r = Time(c.args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, c.out);
    }
    // A Daytime text without a line end gets one.
    peer.reset();
    auto bare = StartTimePeer(ns_, {"--daytime", "bare"});
    ASSERT_TRUE(bare);
    const CommandResult r = Time({"--daytime", "--udp", "127.0.0.1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(r.out.size() - 20), "Session closed\nbare\n");
}

TEST_F(TimeCliTest, TimeoutActsAsCancel) {
    auto peer = StartTimePeer(ns_, {"--silent"});
    ASSERT_TRUE(peer);
    for (const char* proto : {"--udp", "--daytime"}) {
        const CommandResult r = Time({proto, "--timeout", "300", "127.0.0.1"});
        EXPECT_EQ(r.status, 1);
        const auto lines = SplitLines(r.out);
        ASSERT_GE(lines.size(), 2u) << r.out;
        EXPECT_EQ(lines[lines.size() - 2], "Session closed");
        EXPECT_EQ(lines.back(), "aborted");
    }
}

TEST_F(TimeCliTest, BadUsage) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"a", "b"},
        {"--timeout", "0", "127.0.0.1"},
        {"--timeout", "x", "127.0.0.1"},
        {"--socks", "nohostport", "127.0.0.1"},
        {"--socks-user", "u", "127.0.0.1"},
        {"--sync", "--daytime", "127.0.0.1"},
        {"--bogus", "127.0.0.1"},
    };
    for (const auto& args : cases) {
        const CommandResult r = Time(args);
        EXPECT_EQ(r.status, 2) << testing::PrintToString(args);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(qordex::test::Run({Cli(), "time-server", "--bogus"}).status, 2);
}

TEST(TimeCliSync, ReportsTheClockItMayNotSet) {
    // In a user namespace of its own, root holds no CAP_SYS_TIME over the
    // machine's clock; the shell makes sure it runs there before the client.
    if (!HasProgram("unshare"))
        GTEST_SKIP() << "unshare is missing";
    const std::string script =
        "grep -qE '^ *0 +0 +4294967295' /proc/self/uid_map && exit 77; "
        "ip link set lo up || exit 77; "
        "/usr/bin/python3 " + TimePeerScript() + " > peer.out 2>&1 & p=$!; "
        "for i in $(seq 100); do grep -q ready peer.out 2>/dev/null && break; sleep 0.1; done; " +
        Cli() + " time --sync 127.0.0.1; s=$?; kill $p; exit $s";
    const CommandResult probe = qordex::test::Run({"unshare", "-U", "-r", "-n", "true"});
    if (probe.status != 0)
        GTEST_SKIP() << "no user namespaces here: " << probe.err;
    char dir[] = "/tmp/qordex-sync-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const CommandResult r =
        qordex::test::Run({"unshare", "-U", "-r", "-n", "sh", "-c", "cd " + std::string(dir) + " && " + script});
    Shell(std::string("rm -rf ") + dir);
    if (r.status == 77)
        GTEST_SKIP() << "not in a user namespace of its own";
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.out, "Connecting to port 37\nSession connected\nClock not set, error #1\n"
                     "Get Time OK\nSession closed\n2024-01-01 00:00:00\n");
}

} // namespace
