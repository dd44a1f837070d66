// The ping summary and the lines of a request, without any network.

#include "diag/PingStats.h"

#include <cfenv>
#include <gtest/gtest.h>
#include <vector>

using namespace qordex::diag;

namespace {

struct Outcome {
    bool success;
    std::uint32_t rtt;
};

std::vector<Outcome> Replies(int replies, std::uint32_t rtt, int lost) {
    std::vector<Outcome> v(std::size_t(replies), Outcome{true, rtt});
    v.insert(v.end(), std::size_t(lost), Outcome{false, 0});
    return v;
}

} // namespace

TEST(PingSummary, TableOfRuns) {
    struct Case {
        const char* name;
        std::vector<Outcome> outcomes;
        const char* packets;
        const char* times;
    } cases[] = {
        {"three replies and a timeout",
         {{true, 10}, {true, 20}, {true, 31}, {false, 0}},
         "Packets sent: 4  received: 3  lost: 1 [25%]",
         "Time min: 10ms  max: 31ms  ave: 20ms"},
        {"1 lost in 8: 12.5 goes to 12", Replies(7, 5, 1),
         "Packets sent: 8  received: 7  lost: 1 [12%]", "Time min: 5ms  max: 5ms  ave: 5ms"},
        {"3 lost in 8: 37.5 goes to 38", Replies(5, 5, 3),
         "Packets sent: 8  received: 5  lost: 3 [38%]", "Time min: 5ms  max: 5ms  ave: 5ms"},
        {"average 20.5 goes to 20",
         {{true, 20}, {true, 21}},
         "Packets sent: 2  received: 2  lost: 0 [0%]",
         "Time min: 20ms  max: 21ms  ave: 20ms"},
        {"average 21.5 goes to 22",
         {{true, 21}, {true, 22}},
         "Packets sent: 2  received: 2  lost: 0 [0%]",
         "Time min: 21ms  max: 22ms  ave: 22ms"},
        {"23 lost in 40: exactly 57.5, goes to 58", Replies(17, 5, 23),
         "Packets sent: 40  received: 17  lost: 23 [58%]", "Time min: 5ms  max: 5ms  ave: 5ms"},
        {"109 lost in 200: exactly 54.5, goes to 54", Replies(91, 5, 109),
         "Packets sent: 200  received: 91  lost: 109 [54%]", "Time min: 5ms  max: 5ms  ave: 5ms"},
        {"no reply at all", Replies(0, 0, 3), "Packets sent: 3  received: 0  lost: 3 [100%]",
         "Time min: 65535ms  max: 0ms  ave: 0ms"},
        {"nothing sent",
         {},
         "Packets sent: 0  received: 0  lost: 0 [0%]",
         "Time min: 65535ms  max: 0ms  ave: 0ms"},
        {"a zero round trip is a minimum",
         {{true, 0}, {true, 4}},
         "Packets sent: 2  received: 2  lost: 0 [0%]",
         "Time min: 0ms  max: 4ms  ave: 2ms"},
    };
    for (const auto& c : cases) {
        PingStats s;
        for (const auto& o : c.outcomes)
            s.Add(o.success, o.rtt);
        EXPECT_EQ(s.PacketLine(), c.packets) << c.name;
        EXPECT_EQ(s.TimeLine(), c.times) << c.name;
    }
}

TEST(PingSummary, ResetStartsOver) {
    PingStats s;
    s.Add(true, 7);
    s.Add(false, 0);
    s.Reset();
    EXPECT_EQ(s.Sent(), 0u);
    EXPECT_EQ(s.Received(), 0u);
    EXPECT_EQ(s.Min(), 65535u);
    EXPECT_EQ(s.Max(), 0u);
    EXPECT_EQ(s.Total(), 0u);
}

TEST(PingSummary, HalvesGoToTheEvenNeighbourWhateverTheRoundingMode) {
    struct Case {
        double value;
        long long expected;
    } cases[] = {{0.5, 0},      {1.5, 2},      {2.5, 2},    {12.5, 12}, {37.5, 38},
                 {20.4999, 20}, {20.5001, 21}, {99.9, 100}, {0, 0}};
    for (int mode : {FE_TONEAREST, FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
        std::fesetround(mode);
        for (const auto& c : cases)
            EXPECT_EQ(PingStats::RoundHalfEven(c.value), c.expected) << c.value << " mode " << mode;
    }
    std::fesetround(FE_TONEAREST);
}

TEST(PingLines, TextsOfARequest) {
    EXPECT_EQ(PingSendingLine(56, "127.0.0.1"), "Sending 56 bytes to 127.0.0.1");
    EXPECT_EQ(PingReceivedLine(56, "10.0.0.1", 3), "Received 56 bytes from 10.0.0.1 in 3 ms");
    EXPECT_EQ(PingFailedLine("10.0.0.9", "Request timed out"),
              "Cannot ping host (10.0.0.9) : Request timed out");
    EXPECT_EQ(PingUnknownHostLine("nowhere.invalid"), "Unknown host 'nowhere.invalid'");
    EXPECT_EQ(qordex::NotAnIntegerMessage("4x"), "'4x' is not a valid integer value");
}

TEST(PingLines, IntegerFields) {
    struct Case {
        const char* text;
        std::optional<int> value;
    } cases[] = {
        {"40", 40},
        {" 1000 ", 1000},
        {"-5", -5},
        {"+7", 7},
        {"0", 0},
        {"", std::nullopt},
        {"  ", std::nullopt},
        {"abc", std::nullopt},
        {"4x", std::nullopt},
        {"1 2", std::nullopt},
        {"-", std::nullopt},
        {"99999999999", std::nullopt},
        {"0x10", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParsePingInteger(c.text), c.value) << "'" << c.text << "'";
}
