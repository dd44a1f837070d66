// The time client against a scripted Python peer inside a network namespace
// (the ports are fixed): answers whole and in pieces, over TCP and UDP, the
// empty request datagram, Cancel, a change of server or protocol between
// requests, SOCKS 5 through microsocks, and setting a fake clock.

#include "time/TimeClientTool.h"

#include "time/TimeTestSupport.h"

#include <gtest/gtest.h>

using namespace qordex;
using namespace qordex::test;

namespace {

using Lines = std::vector<std::string>;

const Lines kTimeLog = {"Connecting to port 37", "Session connected", "Get Time OK",
                        "Session closed"};
const Lines kDayTimeLog = {"Connecting to port 13", "Session connected", "Get DayTime OK",
                           "Session closed"};

// A tool that records its log and answer field, asked inside the namespace.
struct Client {
    explicit Client(TClock& clock = SystemClock()) : tool(clock) {
        tool.LocaleFormat = false;
        tool.OnLog = [this](const std::string& l) { log.push_back(l); };
        tool.OnTimeEdit = [this](const std::string& t) { shown = t; };
        tool.OnIdle = [this] { ++idle; };
    }
    // Runs one request to its end.
    bool Ask(const std::string& server, bool udp, bool daytime, TSocks5Settings socks = {}) {
        log.clear();
        shown.clear();
        TTimeRequest r{server, udp, daytime, socks};
        if (!tool.Start(r))
            return false;
        return PumpUntil([this] { return !tool.Busy(); }, kWaitMs);
    }
    TTimeClientTool tool;
    Lines log;
    std::string shown;
    int idle = 0;
};

using TimeClientTest = InNamespaceTest;

TEST_F(TimeClientTest, AnswersWholeAndInPieces) {
    const struct {
        std::vector<std::string> peer;
        bool udp, daytime;
        std::string shown;
    } cases[] = {
        {{}, false, false, "2024-01-01 00:00:00"},
        {{}, true, false, "2024-01-01 00:00:00"},
        {{"--time", "e93c8a80"}, false, false, "2024-01-01 00:49:04"},
        {{"--time", "e93c8a80"}, true, false, "2024-01-01 00:49:04"},
        // The 4 bytes one at a time over TCP, and further bytes ignored.
        {{"--split", "1", "--delay", "0.15"}, false, false, "2024-01-01 00:00:00"},
        {{"--time", "e93c7f00ffff"}, true, false, "2024-01-01 00:00:00"},
        // 2036 and after: the count has wrapped.
        {{"--time", "00000000"}, false, false, "2036-02-07 06:28:16"},
        // An empty datagram before the answer is not the answer.
        {{"--empty-first"}, true, false, "2024-01-01 00:00:00"},
        // Daytime lasts until the server closes; its line end is kept.
        {{"--split", "3"}, false, true, "Mon Jan  1 00:00:00 2024\r\n"},
        {{}, true, true, "Mon Jan  1 00:00:00 2024\r\n"},
        {{"--daytime", "one\\0two"}, true, true, "one"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.peer) + (c.udp ? " udp" : " tcp") +
                     (c.daytime ? " daytime" : " time"));
        auto peer = StartTimePeer(ns_, c.peer);
        ASSERT_TRUE(peer);
        Client client;
        ASSERT_TRUE(client.Ask("127.0.0.1", c.udp, c.daytime));
        EXPECT_EQ(client.log, c.daytime ? kDayTimeLog : kTimeLog);
        EXPECT_EQ(client.shown, c.shown);
        EXPECT_TRUE(client.tool.Answered());
    }
}

TEST_F(TimeClientTest, TheUdpRequestIsAnEmptyDatagram) {
    auto peer = StartTimePeer(ns_, {});
    ASSERT_TRUE(peer);
    Client client;
    ASSERT_TRUE(client.Ask("127.0.0.1", true, false));
    ASSERT_TRUE(WaitForOutput(*peer, "udp 37", kWaitMs));
    EXPECT_NE(peer->Output().find("udp 37 0\n"), std::string::npos) << peer->Output();
}

TEST_F(TimeClientTest, CancelWithoutAnswer) {
    for (bool udp : {true, false}) {
        SCOPED_TRACE(udp ? "udp" : "tcp");
        auto peer = StartTimePeer(ns_, {"--silent"});
        ASSERT_TRUE(peer);
        Client client;
        ASSERT_TRUE(client.tool.Start({"127.0.0.1", udp, false, {}}));
        // The peer may accept before our connect event has been handled: wait for both.
        ASSERT_TRUE(PumpUntil(
            [&] {
                return peer->Output().find(udp ? "udp 37" : "tcp 37") != std::string::npos &&
                       client.log.size() >= 2;
            },
            kWaitMs));
        // An unanswered UDP request keeps waiting: nothing ends it but Cancel.
        PumpMessages();
        EXPECT_TRUE(client.tool.Busy());
        client.tool.Cancel();
        EXPECT_FALSE(client.tool.Busy());
        EXPECT_EQ(client.log, (Lines{"Connecting to port 37", "Session connected",
                                     "Session closed"}));
        EXPECT_EQ(client.shown, "aborted");
        EXPECT_FALSE(client.tool.Answered());
        // The socket is ready for the next request at once.
        peer.reset();
        auto answering = StartTimePeer(ns_, {});
        ASSERT_TRUE(answering);
        ASSERT_TRUE(client.Ask("127.0.0.1", udp, false));
        EXPECT_EQ(client.shown, "2024-01-01 00:00:00");
    }
}

TEST_F(TimeClientTest, EachRequestReachesItsOwnServerAndPort) {
    ASSERT_EQ(ns_.Exec("ip addr add 127.0.0.2/8 dev lo").status, 0);
    auto a = StartTimePeer(ns_, {"--bind", "127.0.0.1", "--time", "e93c7f00", "--daytime", "A"});
    auto b = StartTimePeer(ns_, {"--bind", "127.0.0.2", "--time", "e93c8a80", "--daytime", "B"});
    ASSERT_TRUE(a && b);
    Client client;
    const struct {
        const char* server;
        bool udp, daytime;
        const char* shown;
    } steps[] = {
        {"127.0.0.1", true, false, "2024-01-01 00:00:00"},
        {"127.0.0.2", true, false, "2024-01-01 00:49:04"},
        {"127.0.0.2", true, true, "B"},
        {"127.0.0.1", true, true, "A"},
        {"127.0.0.1", false, false, "2024-01-01 00:00:00"},
        {"127.0.0.2", false, true, "B"},
        {"127.0.0.1", true, false, "2024-01-01 00:00:00"},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(std::string(s.server) + (s.udp ? " udp" : " tcp") +
                     (s.daytime ? " daytime" : " time"));
        ASSERT_TRUE(client.Ask(s.server, s.udp, s.daytime));
        EXPECT_EQ(client.shown, s.shown);
        EXPECT_EQ(client.log, s.daytime ? kDayTimeLog : kTimeLog);
    }
}

TEST_F(TimeClientTest, FailuresEndTheRequest) {
    // Nobody listens: TCP is refused (an unanswered UDP request waits for
    // Cancel, see above).
    for (bool daytime : {false, true}) {
        SCOPED_TRACE(daytime ? "daytime" : "time");
        Client client;
        ASSERT_TRUE(client.Ask("127.0.0.1", false, daytime));
        EXPECT_FALSE(client.tool.Answered());
        EXPECT_NE(std::find(client.log.begin(), client.log.end(), "Error"), client.log.end())
            << testing::PrintToString(client.log);
        EXPECT_EQ(std::count(client.log.begin(), client.log.end(), "Session connected"), 0);
        EXPECT_EQ(client.log.back(), "Session closed");
    }
    // No address at all: refused at once, the buttons come back.
    Client client;
    client.tool.Start({"", false, false, {}});
    EXPECT_FALSE(client.tool.Busy());
    EXPECT_GE(client.idle, 1);
    EXPECT_EQ(client.log, (Lines{"Connecting to port 37", "Error"}));
}

TEST_F(TimeClientTest, ThroughSocks5) {
    if (!HasProgram("microsocks"))
        GTEST_SKIP() << "microsocks is not installed";
    auto peer = StartTimePeer(ns_, {});
    ASSERT_TRUE(peer);
    const struct {
        std::vector<std::string> args;
        bool authenticate;
    } cases[] = {
        {{"microsocks", "-i", "127.0.0.1", "-p", "1080"}, false},
        {{"microsocks", "-i", "127.0.0.1", "-p", "1081", "-u", "tim", "-P", "s3cret"}, true},
    };
    for (const auto& c : cases) {
        Background socks(ns_.Wrap(c.args));
        const std::string port = c.args[4];
        ASSERT_TRUE(PumpUntil(
            [&] { return ns_.Exec("ss -ltn | grep -q ':" + port + " '").status == 0; }, kWaitMs));
        for (bool daytime : {false, true}) {
            Client client;
            TSocks5Settings s{true, c.authenticate, "127.0.0.1", port, "tim", "s3cret"};
            ASSERT_TRUE(client.Ask("127.0.0.1", false, daytime, s));
            EXPECT_EQ(client.log, daytime ? kDayTimeLog : kTimeLog);
            EXPECT_EQ(client.shown,
                      daytime ? "Mon Jan  1 00:00:00 2024\r\n" : "2024-01-01 00:00:00");
        }
        // A wrong password is a SOCKS failure, not an answer.
        if (c.authenticate) {
            Client client;
            TSocks5Settings s{true, true, "127.0.0.1", port, "tim", "wrong"};
            ASSERT_TRUE(client.Ask("127.0.0.1", false, false, s));
            EXPECT_FALSE(client.tool.Answered());
            EXPECT_EQ(std::count(client.log.begin(), client.log.end(), "Socks error"), 1)
                << testing::PrintToString(client.log);
        }
    }
}

TEST_F(TimeClientTest, SynchronizeSetsTheClockOrSaysWhyNot) {
    auto peer = StartTimePeer(ns_, {"--time", "00000000"});
    ASSERT_TRUE(peer);
    {
        FakeClock clock(0);
        Client client(clock);
        client.tool.Sync = true;
        ASSERT_TRUE(client.Ask("127.0.0.1", true, false));
        EXPECT_EQ(client.log, kTimeLog);
        EXPECT_TRUE(client.tool.ClockSet());
        // Set as received (the clock keeps UTC), in the era after the wrap.
        EXPECT_EQ(clock.NowUtc().seconds, 2085978496);
    }
    {
        FakeClock clock(0, EPERM);
        Client client(clock);
        client.tool.Sync = true;
        ASSERT_TRUE(client.Ask("127.0.0.1", false, false));
        EXPECT_EQ(client.log, (Lines{"Connecting to port 37", "Session connected",
                                     "Clock not set, error #1", "Get Time OK",
                                     "Session closed"}));
        EXPECT_TRUE(client.tool.Answered());
        EXPECT_FALSE(client.tool.ClockSet());
    }
    {
        // Without Sync the clock is left alone.
        FakeClock clock(0);
        Client client(clock);
        ASSERT_TRUE(client.Ask("127.0.0.1", false, false));
        EXPECT_EQ(clock.sets, 0);
    }
}

} // namespace
