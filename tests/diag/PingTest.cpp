// TPing's lookup and events, the worker thread, and qordex-cli ping, on
// loopback and in network namespaces made here.

#include "diag/Ping.h"
#include "RouterNs.h"
#include "diag/PingThread.h"
#include "platform/MessageLoop.h"
#include "support/Drain.h"
#include "support/NetNs.h"
#include "support/Process.h"

#include "diag/EchoTestSupport.h"
#include "support/TestData.h"
#include <QObject>
#include <csignal>
#include <gtest/gtest.h>
#include <sstream>

using namespace qordex;
using namespace qordex::diag;
using namespace qordex::test;

namespace {

int CountPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
    int n = 0;
    for (const auto& l : lines)
        n += l.rfind(prefix, 0) == 0;
    return n;
}

// "<prefix><digits><suffix>", with at least one digit.
bool MatchesNumber(const std::string& line, const std::string& prefix, const std::string& suffix) {
    if (line.size() <= prefix.size() + suffix.size() || line.rfind(prefix, 0) != 0 ||
        line.compare(line.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    const std::string digits =
        line.substr(prefix.size(), line.size() - prefix.size() - suffix.size());
    return digits.find_first_not_of("0123456789") == std::string::npos;
}

bool IsLoopbackReply(const std::string& line) {
    return MatchesNumber(line, "Received 56 bytes from 127.0.0.1 in ", " ms");
}

} // namespace

TEST(TPing, DottedLookupCompletesInsideTheCall) {
    REQUIRE_ECHO(); // a TPing opens its ICMP socket
    TPing ping;
    std::vector<int> results;
    ping.OnDnsLookupDone = [&](TPing* sender, std::uint16_t error) {
        EXPECT_EQ(sender, &ping);
        results.push_back(error);
    };
    ping.DnsLookup("127.0.0.1");
    EXPECT_EQ(results, std::vector<int>{0});
    EXPECT_EQ(ping.DnsResult(), "127.0.0.1");
}

TEST(TPing, NameLookupCompletesLaterFromTheLoop) {
    REQUIRE_ECHO(); // a TPing opens its ICMP socket
    TPing ping;
    std::vector<int> results;
    ping.OnDnsLookupDone = [&](TPing*, std::uint16_t error) { results.push_back(error); };
    ping.DnsLookup("localhost");
    EXPECT_TRUE(results.empty()) << "never inside the call";
    ASSERT_TRUE(PumpUntil([&] { return !results.empty(); }, 10000));
    EXPECT_EQ(results, std::vector<int>{0});
    EXPECT_EQ(ping.DnsResult(), "127.0.0.1");
}

TEST(TPing, NameThatDoesNotResolveReportsTheResolverError) {
    REQUIRE_ECHO(); // a TPing opens its ICMP socket
    TPing ping;
    std::vector<int> results;
    ping.OnDnsLookupDone = [&](TPing*, std::uint16_t error) { results.push_back(error); };
    ping.DnsLookup("no-such-host.invalid");
    ASSERT_TRUE(PumpUntil([&] { return !results.empty(); }, 20000));
    ASSERT_EQ(results.size(), 1u);
    EXPECT_NE(results[0], 0);
    EXPECT_EQ(ping.DnsResult(), "");
}

TEST(TPing, CancelAndDestructionEndAPendingLookupWith10004) {
    REQUIRE_ECHO(); // a TPing opens its ICMP socket
    std::vector<int> results;
    {
        TPing ping;
        ping.OnDnsLookupDone = [&](TPing*, std::uint16_t error) { results.push_back(error); };
        ping.CancelLookup(); // nothing pending: nothing happens
        EXPECT_TRUE(results.empty());
        ping.DnsLookup("localhost");
        ping.CancelLookup();
        EXPECT_EQ(results, std::vector<int>{10004});
        ping.DnsLookup("localhost");
    } // destroyed while pending
    EXPECT_EQ(results, (std::vector<int>{10004, 10004}));
    ASSERT_TRUE(DrainLookups()); // a stale completion must not arrive anywhere
    EXPECT_EQ(results.size(), 2u);
}

TEST(TPing, ANewLookupReplacesThePendingOneWithoutReport) {
    REQUIRE_ECHO(); // a TPing opens its ICMP socket
    TPing ping;
    std::vector<int> results;
    ping.OnDnsLookupDone = [&](TPing*, std::uint16_t error) { results.push_back(error); };
    ping.DnsLookup("localhost");
    ping.DnsLookup("127.0.0.2");
    EXPECT_EQ(results, std::vector<int>{0});
    ASSERT_TRUE(DrainLookups());
    EXPECT_EQ(results, std::vector<int>{0});
    EXPECT_EQ(ping.DnsResult(), "127.0.0.2");
}

TEST(TPing, ForwardsTheEngineEventsWithSenderAndEngine) {
    REQUIRE_ECHO();
    TPing ping;
    EXPECT_EQ(ping.Size(), 56);
    EXPECT_EQ(ping.Timeout(), 4000);
    EXPECT_EQ(ping.TTL(), 64);
    ping.SetAddress("127.0.0.1");
    std::vector<std::string> events;
    ping.OnEchoRequest = [&](TPing* s, TICMP* icmp) {
        EXPECT_EQ(s, &ping);
        EXPECT_EQ(icmp, ping.Icmp());
        events.push_back("request");
    };
    ping.OnEchoReply = [&](TPing* s, TICMP* icmp, int status) {
        EXPECT_EQ(s, &ping);
        EXPECT_EQ(icmp, ping.Icmp());
        events.push_back("reply " + std::to_string(status));
    };
    EXPECT_EQ(ping.Ping(), 1);
    EXPECT_EQ(events, (std::vector<std::string>{"request", "reply 1"}));
    EXPECT_EQ(ping.HostIP(), "127.0.0.1");
    EXPECT_EQ(ping.Reply().DataSize, 56);
    EXPECT_EQ(ping.ErrorString(), "No error");

    ping.SetAddress("bad.invalid");
    std::vector<std::string> shown;
    ping.OnDisplay = [&](TPing*, TICMP*, const std::string& m) { shown.push_back(m); };
    EXPECT_EQ(ping.Ping(), 0);
    EXPECT_EQ(shown,
              (std::vector<std::string>{"Unable to resolve bad.invalid", "Invalid host address"}));
}

namespace {

// Runs one worker to its end; the "Sending" lines arrive on this thread.
struct WorkerRun {
    std::vector<std::string> sending;
    std::string result;
    bool success = false;

    explicit WorkerRun(const std::string& host, int size = 56, int timeout = 1000) {
        QObject sink;
        auto relay = std::make_shared<PingLineRelay>(
            &sink, [this](const std::string& line) { sending.push_back(line); });
        TPingThread w(host, 64, timeout, size, relay);
        bool finished = false;
        QObject::connect(&w, &QThread::finished, &sink, [&] { finished = true; });
        w.start();
        EXPECT_TRUE(PumpUntil([&] { return finished; }, 30000));
        result = w.ResultLine();
        success = w.Success();
        relay->Detach();
    }
};

} // namespace

TEST(TPingThread, OneRequestToLoopback) {
    REQUIRE_ECHO();
    WorkerRun run("127.0.0.1");
    EXPECT_EQ(run.sending, std::vector<std::string>{"Sending 56 bytes to 127.0.0.1"});
    EXPECT_TRUE(IsLoopbackReply(run.result)) << run.result;
    EXPECT_TRUE(run.success);
}

TEST(TPingThread, FailuresGiveTheirLines) {
    REQUIRE_ECHO();
    struct Case {
        std::string host;
        int size;
        std::string result;
        bool sends;
    } cases[] = {
        {"no-such-host.invalid", 56, "Unknown host 'no-such-host.invalid'", false},
        {"255.255.255.255", 56, "Cannot ping host (255.255.255.255) : Bad Destination", false},
        {"127.0.0.1", 70000, "Cannot ping host (127.0.0.1) : Bad request", false},
    };
    for (const auto& c : cases) {
        WorkerRun run(c.host, c.size);
        EXPECT_EQ(run.result, c.result);
        EXPECT_FALSE(run.success);
        EXPECT_EQ(run.sending.empty(), !c.sends) << c.host;
    }
}

TEST(TPingThread, DetachedRelayNeverDeliversAndNeverHoldsTheWorker) {
    REQUIRE_ECHO();
    QObject sink;
    int delivered = 0;
    auto relay = std::make_shared<PingLineRelay>(&sink, [&](const std::string&) { ++delivered; });
    TPingThread w("127.0.0.1", 64, 1000, 56, relay);
    w.start();
    // This thread does not dispatch, so the worker sits waiting for its
    // "Sending" line to be appended, until the relay lets it go.
    relay->Detach();
    EXPECT_TRUE(w.wait(20000)) << "a detached relay must not keep the worker waiting";
    PumpMessages();
    EXPECT_EQ(delivered, 0);
    EXPECT_TRUE(IsLoopbackReply(w.ResultLine())) << w.ResultLine();
}

TEST(TPingThread, DetachedWorkerFreesItself) {
    REQUIRE_ECHO();
    const int before = TPingThread::LiveCount();
    for (int i = 0; i < 5; ++i) {
        auto* w = new TPingThread("127.0.0.1", 64, 1000, 56, nullptr);
        w->start();
        if (i % 2)
            w->wait(); // some have ended already when let go
        DetachPingThread(w);
    }
    EXPECT_TRUE(PumpUntil([&] { return TPingThread::LiveCount() == before; }, 20000));
}

// The command line.

TEST(PingCli, ThreeRequestsToLoopback) {
    REQUIRE_ECHO();
    auto r = qordex::test::Run({BinPath("qordex-cli"), "ping", "-c", "3", "-i", "50", "127.0.0.1"});
    EXPECT_EQ(r.status, 0) << r.err;
    auto lines = SplitLines(r.out);
    ASSERT_EQ(lines.size(), 6u) << r.out;
    EXPECT_EQ(lines[0], "Sending 56 bytes to 127.0.0.1");
    for (int i = 1; i <= 3; ++i)
        EXPECT_TRUE(IsLoopbackReply(lines[std::size_t(i)])) << lines[std::size_t(i)];
    EXPECT_EQ(lines[4], "Packets sent: 3  received: 3  lost: 0 [0%]");
    EXPECT_EQ(lines[5].rfind("Time min: ", 0), 0u) << lines[5];
}

TEST(PingCli, SendingLinesForTheFirstBatchOnly) {
    REQUIRE_ECHO();
    auto r = qordex::test::Run({BinPath("qordex-cli"), "ping", "-c", "3", "-b", "4", "-i", "20",
                                "-s", "100", "127.0.0.1"});
    EXPECT_EQ(r.status, 0) << r.err;
    auto lines = SplitLines(r.out);
    EXPECT_EQ(CountPrefix(lines, "Sending 100 bytes to 127.0.0.1"), 4) << r.out;
    EXPECT_EQ(CountPrefix(lines, "Received 100 bytes from 127.0.0.1 in "), 12) << r.out;
    EXPECT_EQ(CountPrefix(lines, "Packets sent: 12  received: 12  lost: 0 [0%]"), 1) << r.out;
}

TEST(PingCli, NoReplyExitsWithOne) {
    REQUIRE_ECHO();
    struct Case {
        const char* host;
        const char* line;
    } cases[] = {
        {"no-such-host.invalid", "Unknown host 'no-such-host.invalid'"},
        {"255.255.255.255", "Cannot ping host (255.255.255.255) : Bad Destination"},
    };
    for (const auto& c : cases) {
        auto r = qordex::test::Run({BinPath("qordex-cli"), "ping", "-c", "1", c.host});
        EXPECT_EQ(r.status, 1) << c.host;
        EXPECT_EQ(SplitLines(r.out),
                  (std::vector<std::string>{c.line, "Packets sent: 1  received: 0  lost: 1 [100%]",
                                            "Time min: 65535ms  max: 0ms  ave: 0ms"}));
    }
}

TEST(PingCli, BadUsageExitsWithTwo) {
    std::vector<std::vector<std::string>> cases = {
        {},
        {"-c", "0", "127.0.0.1"},
        {"-c", "abc", "127.0.0.1"},
        {"-t", "0", "127.0.0.1"},
        {"-t", "256", "127.0.0.1"},
        {"-s", "65501", "127.0.0.1"},
        {"-s", "-1", "127.0.0.1"},
        {"-b", "101", "127.0.0.1"},
        {"-b", "0", "127.0.0.1"},
        {"-W", "-5", "127.0.0.1"},
        {"-x", "127.0.0.1"},
        {"127.0.0.1", "127.0.0.2"},
        {"127.0.0.1", "-c"},
    };
    for (const auto& args : cases) {
        std::vector<std::string> argv = {BinPath("qordex-cli"), "ping"};
        argv.insert(argv.end(), args.begin(), args.end());
        auto r = qordex::test::Run(argv);
        std::string joined;
        for (const auto& a : args)
            joined += a + " ";
        EXPECT_EQ(r.status, 2) << joined;
        EXPECT_EQ(r.out, "") << joined;
        EXPECT_NE(r.err.find("qordex-cli ping: "), std::string::npos) << joined << r.err;
    }
}

TEST(PingCli, HelpDescribesTheOptions) {
    auto r = qordex::test::Run({BinPath("qordex-cli"), "ping", "--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* opt :
         {"-c COUNT", "-i INTERVAL_MS", "-t TTL", "-W TIMEOUT_MS", "-s SIZE", "-b BULK", "HOST"})
        EXPECT_NE(r.out.find(opt), std::string::npos) << opt;
    auto top = qordex::test::Run({BinPath("qordex-cli"), "--help"});
    EXPECT_EQ(top.status, 0);
    EXPECT_NE(top.out.find("ping"), std::string::npos);
}

// As other programs do, a result that could not be written is a failure.
TEST(PingCli, OutputThatCannotBeWrittenIsAFailure) {
    REQUIRE_ECHO();
    const std::string cli = BinPath("qordex-cli");
    for (const std::string& args :
         {std::string("ping -c 2 -i 0 127.0.0.1"), std::string("ping -c 1 255.255.255.255"),
          std::string("ping -h"), std::string("--help")}) {
        auto r = qordex::test::Shell("'" + cli + "' " + args + " > /dev/full");
        EXPECT_EQ(r.status, 1) << args;
        EXPECT_NE(r.err.find(": write error: No space left on device\n"), std::string::npos)
            << args << ": " << r.err;
    }
}

TEST(PingCli, InterruptPrintsTheSummary) {
    REQUIRE_ECHO();
    Background p({BinPath("qordex-cli"), "ping", "-c", "100000", "-i", "50", "127.0.0.1"});
    std::string out;
    ASSERT_TRUE(PumpUntil(
        [&] {
            out = p.Output();
            return CountPrefix(SplitLines(out), "Received ") >= 2;
        },
        20000))
        << out;
    ASSERT_TRUE(p.Signal(SIGINT));
    EXPECT_EQ(p.Wait(10000), 0);
    auto lines = SplitLines(p.Output());
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2].rfind("Packets sent: ", 0), 0u) << p.Output();
    EXPECT_EQ(lines.back().rfind("Time min: ", 0), 0u);
}

TEST(PingCliNamespace, DatagramSocketWithoutRawPrivilege) {
    NetNs ns;
    QORDEX_REQUIRE_NETNS(ns);
    ASSERT_EQ(ns.Exec("sysctl -w net.ipv4.ping_group_range='0 2147483647'").status, 0);
    std::vector<std::string> argv = {
        BinPath("qordex-cli"), "ping", "-c", "2", "-i", "20", "127.0.0.1"};
    // Without CAP_NET_RAW only the datagram socket can serve.
    if (HasProgram("setpriv"))
        argv.insert(argv.begin(),
                    {"setpriv", "--bounding-set", "-net_raw", "--inh-caps", "-net_raw", "--"});
    auto r = qordex::test::Run(ns.Wrap(argv));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    auto lines = SplitLines(r.out);
    EXPECT_EQ(CountPrefix(lines, "Received 56 bytes from 127.0.0.1"), 2) << r.out;
    EXPECT_EQ(CountPrefix(lines, "Packets sent: 2  received: 2  lost: 0 [0%]"), 1) << r.out;
}

TEST(PingCliNamespace, NoIcmpSocketAtAll) {
    if (!HasProgram("setpriv"))
        GTEST_SKIP() << "setpriv (util-linux) is needed to drop CAP_NET_RAW";
    NetNs ns; // a fresh namespace admits no group to the datagram socket
    QORDEX_REQUIRE_NETNS(ns);
    auto r = qordex::test::Run(
        ns.Wrap({"setpriv", "--bounding-set", "-net_raw", "--inh-caps", "-net_raw", "--",
                 BinPath("qordex-cli"), "ping", "-c", "1", "127.0.0.1"}));
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(SplitLines(r.out).at(0), "Unable to get ping handle") << r.out;
    EXPECT_NE(r.err.find("ping_group_range"), std::string::npos) << "says how to allow ping";
}

// A send the system refuses is a failure at once, not a timeout: nothing
// went out that an answer could come back to.
TEST(PingCliNamespace, RefusedSendFailsAtOnce) {
    NetNs ns;
    QORDEX_REQUIRE_NETNS(ns);
    ASSERT_EQ(ns.Exec("ip route add blackhole 10.99.0.0/16").status, 0);
    // The timeout is never waited for: Run gives up after 60 s.
    auto r = qordex::test::Run(ns.Wrap({BinPath("qordex-cli"), "ping", "-c", "2", "-i", "10", "-W",
                                        "600000", "10.99.0.1"}),
                               {}, 60000);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(SplitLines(r.out),
              (std::vector<std::string>{"Sending 56 bytes to 10.99.0.1",
                                        "Cannot ping host (10.99.0.1) : General failure",
                                        "Cannot ping host (10.99.0.1) : General failure",
                                        "Packets sent: 2  received: 0  lost: 2 [100%]",
                                        "Time min: 65535ms  max: 0ms  ave: 0ms"}));
}

// Ctrl-C while a request waits for its answer: the program does not wait for
// the timeout, prints the summary of what finished, and says no reply came.
TEST(PingCliNamespace, InterruptWhileARequestIsOutLeavesAtOnce) {
    NetNs ns;
    QORDEX_REQUIRE_NETNS(ns);
    // The request goes out and nothing answers it.
    ASSERT_EQ(ns.Exec("sysctl -w net.ipv4.icmp_echo_ignore_all=1").status, 0);
    Background p(ns.Wrap({BinPath("qordex-cli"), "ping", "-W", "600000", "127.0.0.1"}));
    ASSERT_TRUE(PumpUntil([&] { return p.Output().find('\n') != std::string::npos; }, 20000))
        << p.Output();
    ASSERT_TRUE(p.Signal(SIGINT));
    EXPECT_EQ(p.Wait(20000), 1);
    EXPECT_EQ(SplitLines(p.Output()),
              (std::vector<std::string>{"Sending 56 bytes to 127.0.0.1",
                                        "Packets sent: 0  received: 0  lost: 0 [0%]",
                                        "Time min: 65535ms  max: 0ms  ave: 0ms"}));
}

TEST(PingCliNamespace, ErrorReportsArePrintedAsFailures) {
    RouterNs net;
    QORDEX_REQUIRE_ROUTER(net);
    struct Case {
        std::vector<std::string> args;
        std::string line;
    } cases[] = {
        {{"-t", "1", "10.3.0.1"}, "Cannot ping host (10.3.0.1) : TTL expired in transit"},
        {{"10.4.0.1"}, "Cannot ping host (10.4.0.1) : Destination host unreachable"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {BinPath("qordex-cli"), "ping", "-c", "1", "-W", "3000"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto r = qordex::test::Run(net.host.Wrap(argv));
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        auto lines = SplitLines(r.out);
        ASSERT_EQ(lines.size(), 4u) << r.out;
        EXPECT_EQ(lines[1], c.line);
        EXPECT_EQ(lines[2], "Packets sent: 1  received: 0  lost: 1 [100%]");
    }
}

// Every raw ICMP socket gets a copy of every reply of the host: a bulk run of
// large requests must still give each worker its own reply.
TEST(PingCliNamespace, BulkOfLargeRequestsOverRawSocketsLosesNothing) {
    NetNs ns; // a fresh namespace admits no group to the datagram socket: raw it is
    QORDEX_REQUIRE_NETNS(ns);
    auto r = qordex::test::Run(ns.Wrap({BinPath("qordex-cli"), "ping", "-c", "2", "-i", "0", "-W",
                                        "20000", "-s", "65500", "-b", "100", "127.0.0.1"}));
    EXPECT_EQ(r.status, 0) << r.err;
    auto lines = SplitLines(r.out);
    EXPECT_EQ(CountPrefix(lines, "Received 65500 bytes from 127.0.0.1 in "), 200) << r.out;
    EXPECT_EQ(CountPrefix(lines, "Packets sent: 200  received: 200  lost: 0 [0%]"), 1) << r.out;
}
