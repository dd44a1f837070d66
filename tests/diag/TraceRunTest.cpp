// The traceroute's rounds and rows, on probes that answer from a model of
// the network instead of the wire: the hops, a router that never answers,
// a hop without a name, Cancel, and the workers let go.

#include "diag/Trace.h"
#include "platform/MessageLoop.h"

#include <QCoreApplication>
#include <atomic>
#include <condition_variable>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <set>

using namespace qordex::diag;
using qordex::PumpUntil;

namespace {

constexpr const char* kTarget = "10.9.0.1";

// A target `distance` hops away behind routers 10.0.0.N; some routers stay
// silent, some have no name.  Probes may be held at a gate.
struct Network {
    int distance = 5;
    std::set<int> silent;
    std::set<std::string> nameless;
    bool known = true;

    std::mutex mutex;
    std::condition_variable cv;
    bool gateClosed = false;
    int gateRound = 1;             // the gate holds a hop's probes from this one on
    int held = 0;                  // probes waiting at the gate
    std::map<int, int> probesByTtl; // probes sent per TTL
    int reverses = 0;

    TraceProbes Probes() {
        TraceProbes p;
        p.resolve = [this](const std::string& host) -> std::optional<std::string> {
            if (!known || host != "target.test")
                return std::nullopt;
            return kTarget;
        };
        p.probe = [this](const std::string& target, int ttl, int, int) {
            std::unique_lock lock(mutex);
            if (++probesByTtl[ttl] >= gateRound && gateClosed) {
                ++held;
                cv.notify_all();
                cv.wait(lock, [this] { return !gateClosed; });
                --held;
            }
            TraceProbeResult r;
            if (silent.count(ttl))
                return r;
            r.success = true;
            r.roundTrip = std::uint32_t(ttl);
            r.address = ttl >= distance ? target : "10.0.0." + std::to_string(ttl);
            return r;
        };
        p.reverse = [this](const std::string& address) -> std::optional<std::string> {
            std::lock_guard lock(mutex);
            ++reverses;
            if (nameless.count(address))
                return std::nullopt;
            return address == kTarget ? std::string("target.test") : "r" + address + ".test";
        };
        return p;
    }
    void CloseGate() {
        std::lock_guard lock(mutex);
        gateClosed = true;
    }
    void OpenGate() {
        std::lock_guard lock(mutex);
        gateClosed = false;
        cv.notify_all();
    }
    int Held() {
        std::lock_guard lock(mutex);
        return held;
    }
    int ProbesSent() {
        std::lock_guard lock(mutex);
        int n = 0;
        for (auto& [ttl, count] : probesByTtl)
            n += count;
        return n;
    }
};

TraceSettings Settings(int hops, int tries) {
    TraceSettings s;
    s.hops = hops;
    s.tries = tries;
    return s;
}

// Runs a trace to its end, recording every state each hop's result took.
struct Traced {
    std::map<int, std::vector<std::string>> results;
    std::vector<std::string> labels;
    bool done = false;
};

void Watch(TTraceRun& run, Traced& t) {
    run.OnRow = [&run, &t](int i) {
        const TraceRow& row = run.Rows()[std::size_t(i)];
        auto& seen = t.results[row.hop];
        if (seen.empty() || seen.back() != row.result)
            seen.push_back(row.result);
    };
    run.OnLabel = [&t](const std::string& label) { t.labels.push_back(label); };
    run.OnDone = [&t] { t.done = true; };
}

bool WaitDone(TTraceRun& run) {
    return PumpUntil([&run] { return !run.Running(); }, 60000);
}

bool WaitWorkersFreed() {
    return PumpUntil([] { return TTraceThread::LiveCount() == 0; }, 60000);
}

TEST(TraceRun, AHostFiveHopsAwayIsCutAfterItsFirstCompleteRow) {
    Network net;
    TTraceRun run(net.Probes());
    Traced t;
    Watch(run, t);
    ASSERT_TRUE(run.Start("target.test", Settings(40, 4)));
    ASSERT_TRUE(WaitDone(run));
    EXPECT_TRUE(t.done);
    EXPECT_EQ(t.labels, (std::vector<std::string>{"looking up . . .", kTarget}));
    ASSERT_EQ(run.Rows().size(), 5u);
    for (int hop = 1; hop <= 4; ++hop) {
        const TraceRow& row = run.Rows()[std::size_t(hop - 1)];
        EXPECT_EQ(row.address, "10.0.0." + std::to_string(hop));
        EXPECT_EQ(row.result, "next");
        EXPECT_EQ(row.time, std::to_string(hop));
        EXPECT_EQ(row.hostName, "r10.0.0." + std::to_string(hop) + ".test");
    }
    EXPECT_EQ(run.Rows()[4].result, "complete");
    EXPECT_EQ(run.Rows()[4].hostName, "target.test");
    // Before the cut every hop from 5 on had reached the target, in round 1.
    for (int hop = 5; hop <= 40; ++hop)
        EXPECT_EQ(t.results[hop], (std::vector<std::string>{"..1", "complete"})) << hop;
    EXPECT_EQ(net.ProbesSent(), 40) << "one round: every hop answered";
    EXPECT_EQ(net.reverses, 5) << "one lookup per row left";
    EXPECT_TRUE(run.Complete());
    EXPECT_EQ(run.WorkerCount(), 0);
    EXPECT_TRUE(WaitWorkersFreed());
}

TEST(TraceRun, ASilentRouterIsProbedEveryRoundAndTimesOut) {
    Network net;
    net.silent = {2};
    net.nameless = {"10.0.0.3"};
    TTraceRun run(net.Probes());
    Traced t;
    Watch(run, t);
    ASSERT_TRUE(run.Start("target.test", Settings(10, 4)));
    ASSERT_TRUE(WaitDone(run));
    ASSERT_EQ(run.Rows().size(), 5u);
    EXPECT_EQ(t.results[2],
              (std::vector<std::string>{"..1", "..2", "..3", "..4", "time out"}));
    const TraceRow& silent = run.Rows()[1];
    EXPECT_EQ(silent.address, "Unknown");
    EXPECT_EQ(silent.time, "");
    EXPECT_EQ(silent.hostName, "Unknown");
    EXPECT_EQ(net.probesByTtl[2], 4);
    EXPECT_EQ(net.probesByTtl[1], 1) << "answered rows are not probed again";
    EXPECT_EQ(run.Rows()[2].hostName, "10.0.0.3") << "a hop without a name shows its address";
    EXPECT_EQ(net.reverses, 4) << "no lookup for the Unknown row";
}

TEST(TraceRun, EdgeSettings) {
    struct {
        const char* name;
        int hops, tries;
        std::size_t rows;
        const char* result;
        int probes;
    } cases[] = {
        {"Tries 0 sends nothing and keeps every row as it was made", 6, 0, 6, "..1", 0},
        {"Hops 0 makes no rows and ends after the target lookup", 0, 4, 0, "", 0},
        {"a negative Tries counts as 0", 3, -2, 3, "..1", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Network net;
        TTraceRun run(net.Probes());
        Traced t;
        Watch(run, t);
        ASSERT_TRUE(run.Start("target.test", Settings(c.hops, c.tries)));
        ASSERT_TRUE(WaitDone(run));
        EXPECT_TRUE(t.done);
        ASSERT_EQ(run.Rows().size(), c.rows);
        for (const TraceRow& row : run.Rows()) {
            EXPECT_EQ(row.result, c.result);
            EXPECT_EQ(row.address, "");
            EXPECT_EQ(row.time, "");
            EXPECT_EQ(row.hostName, "");
        }
        EXPECT_EQ(net.ProbesSent(), c.probes);
        EXPECT_EQ(run.LookupLabel(), kTarget);
        EXPECT_FALSE(run.Complete());
    }
}

TEST(TraceRun, AnUnknownHostEmptiesTheTable) {
    Network net;
    net.known = false;
    TTraceRun run(net.Probes());
    Traced t;
    Watch(run, t);
    ASSERT_TRUE(run.Start("nowhere.test", Settings(40, 4)));
    ASSERT_TRUE(WaitDone(run));
    EXPECT_TRUE(run.Rows().empty());
    EXPECT_EQ(run.LookupLabel(), "ERROR unknown address.");
    EXPECT_EQ(net.ProbesSent(), 0);
    EXPECT_TRUE(t.done);
}

TEST(TraceRun, CancelInRoundTwoLeavesThePendingRowsAtTwo) {
    Network net;
    net.silent = {2, 3};
    TTraceRun run(net.Probes());
    Traced t;
    Watch(run, t);
    // Round 1 runs freely; round 2's two probes are held at the gate.
    net.gateRound = 2;
    net.CloseGate();
    ASSERT_TRUE(run.Start("target.test", Settings(8, 4)));
    ASSERT_TRUE(PumpUntil([&] { return run.Round() == 2 && net.Held() == 2; }, 60000));
    EXPECT_TRUE(run.Start("target.test", Settings(8, 4)) == false) << "one trace at a time";
    run.Cancel();
    EXPECT_TRUE(t.done);
    EXPECT_FALSE(run.Running());
    EXPECT_EQ(run.WorkerCount(), 0);
    ASSERT_EQ(run.Rows().size(), 8u) << "no cut: the rounds did not end";
    EXPECT_EQ(run.Rows()[1].result, "..2");
    EXPECT_EQ(run.Rows()[2].result, "..2");
    EXPECT_EQ(run.Rows()[0].result, "next");
    const std::vector<TraceRow> shown = run.Rows();
    net.OpenGate();
    ASSERT_TRUE(WaitWorkersFreed());
    EXPECT_EQ(run.Rows()[1].result, shown[1].result) << "a worker let go changed the table";
    EXPECT_EQ(run.Rows()[2].address, shown[2].address);
}

TEST(TraceRun, WorkersOutliveTheRunWithoutTouchingIt) {
    Network net;
    net.CloseGate();
    auto run = std::make_unique<TTraceRun>(net.Probes());
    bool touched = false;
    run->OnRow = [&touched](int) { touched = true; };
    ASSERT_TRUE(run->Start("target.test", Settings(40, 4)));
    ASSERT_TRUE(PumpUntil([&] { return net.Held() == 40; }, 60000)) << "40 probes at once";
    run.reset();
    touched = false;
    net.OpenGate();
    ASSERT_TRUE(WaitWorkersFreed());
    EXPECT_FALSE(touched);
}

TEST(TraceSettingsRead, FieldsAreCheckedBeforeAnythingStarts) {
    struct {
        const char *hops, *tries, *timeout, *size;
        const char* error; // empty: accepted
        int wantHops, wantTries, wantTimeout, wantSize;
    } cases[] = {
        {"40", "4", "1000", "56", "", 40, 4, 1000, 56},
        {" 7 ", "1", "0", "0", "", 7, 1, 0, 0},
        {"0", "0", "1", "65500", "", 0, 0, 1, 65500},
        {"255", "-3", "-50", "1", "", 255, 0, 0, 1},
        {"x", "4", "1000", "56", "'x' is not a valid integer value", 0, 0, 0, 0},
        {"40", "4", "1s", "56", "'1s' is not a valid integer value", 0, 0, 0, 0},
        {"40", "", "1000", "56", "'' is not a valid integer value", 0, 0, 0, 0},
        {"256", "4", "1000", "56", "Hops must be from 0 to 255 ('256')", 0, 0, 0, 0},
        {"-1", "4", "1000", "56", "Hops must be from 0 to 255 ('-1')", 0, 0, 0, 0},
        {"40", "4", "1000", "65501", "Packet size must be from 0 to 65500 ('65501')", 0, 0, 0, 0},
        {"99999999999", "4", "1000", "56", "'99999999999' is not a valid integer value", 0, 0, 0,
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.hops) + "/" + c.tries + "/" + c.timeout + "/" + c.size);
        const auto read = ReadTraceSettings(c.hops, c.tries, c.timeout, c.size);
        if (*c.error) {
            ASSERT_TRUE(std::holds_alternative<std::string>(read));
            EXPECT_EQ(std::get<std::string>(read), c.error);
            continue;
        }
        ASSERT_TRUE(std::holds_alternative<TraceSettings>(read)) << std::get<std::string>(read);
        const auto& s = std::get<TraceSettings>(read);
        EXPECT_EQ(s.hops, c.wantHops);
        EXPECT_EQ(s.tries, c.wantTries);
        EXPECT_EQ(s.timeout, c.wantTimeout);
        EXPECT_EQ(s.size, c.wantSize);
    }
}

TEST(TraceReport, SaveLinesHaveTheirColumns) {
    std::vector<TraceRow> rows = {
        {1, "10.0.0.1", "0", "r1.test", "next"},
        {2, "Unknown", "", "Unknown", "time out"},
        {10, "192.168.100.200", "12345", "a.very.long.name.test", "complete"},
    };
    EXPECT_EQ(TraceReportLines("t.test", "10.9.0.1", rows),
              (std::vector<std::string>{
                  "Traceroute to t.test at 10.9.0.1",
                  "",
                  " Hop       IP address   Time  Host name",
                  "",
                  "   1         10.0.0.1      0  r1.test",
                  "   2          Unknown         Unknown",
                  "  10  192.168.100.200  12345  a.very.long.name.test",
              }));
}

} // namespace
