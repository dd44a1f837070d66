// qordex-cli trace through a chain of network namespaces made by the test:
// a source, three routers and a target, with one router silenced.  The hops
// it lists are compared with traceroute -I -n and mtr --report -n run in the
// same namespaces, on the datagram path and on the raw path.  Needs root.

#include "support/NetNs.h"
#include "support/Process.h"
#include "support/TestData.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <thread>
#include <sstream>
#include <string>
#include <vector>

using namespace qordex::test;

namespace {

// src 10.10.1.1 - r1 - 10.10.2.0/24 - r2 - 10.10.3.0/24 - r3 - dst 10.10.4.2.
// r2 forwards but its own ICMP is dropped; r3 has no name; r3 reports
// 10.10.99.0/24 unreachable.
struct Chain {
    NetNs src, r1, r2, r3, dst;
    std::string skip;

    Chain() {
        for (NetNs* ns : {&src, &r1, &r2, &r3, &dst})
            if (!ns->Available()) {
                skip = ns->SkipReason();
                return;
            }
        const struct {
            NetNs *a, *b;
            const char *aName, *bName, *aAddr, *bAddr;
        } links[] = {
            {&src, &r1, "s0", "r1a", "10.10.1.1/24", "10.10.1.2/24"},
            {&r1, &r2, "r1b", "r2a", "10.10.2.1/24", "10.10.2.2/24"},
            {&r2, &r3, "r2b", "r3a", "10.10.3.1/24", "10.10.3.2/24"},
            {&r3, &dst, "r3b", "d0", "10.10.4.1/24", "10.10.4.2/24"},
        };
        for (const auto& l : links) {
            auto r = l.a->Exec(std::string("ip link add ") + l.aName + " type veth peer name " +
                               l.bName + " netns " + l.b->Name());
            if (r.status != 0) {
                skip = "veth links are not available: " + r.err;
                return;
            }
            if (!Do(*l.a, std::string("ip addr add ") + l.aAddr + " dev " + l.aName +
                              " && ip link set " + l.aName + " up") ||
                !Do(*l.b, std::string("ip addr add ") + l.bAddr + " dev " + l.bName +
                              " && ip link set " + l.bName + " up"))
                return;
        }
        const std::string router = "sysctl -qw net.ipv4.ip_forward=1 net.ipv4.icmp_ratelimit=0 && ";
        if (!Do(src, "ip route add default via 10.10.1.2") ||
            !Do(r1, router + "ip route add default via 10.10.2.2") ||
            !Do(r2, router + "ip route add 10.10.1.0/24 via 10.10.2.1"
                             " && ip route add default via 10.10.3.2"
                             // What r2 itself sends goes nowhere; what it forwards still goes.
                             " && ip rule add iif lo lookup 100"
                             " && ip route add blackhole default table 100") ||
            !Do(r3, router + "ip route add default via 10.10.3.1"
                             " && ip route add unreachable 10.10.99.0/24") ||
            !Do(dst, "ip route add default via 10.10.4.1"))
            return;
        // Names come from the source's own hosts file; no lookup leaves it.
        if (!src.WriteEtcFile("hosts", "127.0.0.1 localhost\n"
                                       "10.10.1.2 r1.test\n"
                                       "10.10.2.2 r2.test\n"
                                       "10.10.4.2 dst.test\n") ||
            !src.WriteEtcFile("resolv.conf", "nameserver 127.0.0.1\n"))
            skip = "cannot write /etc/netns files";
    }

    bool Do(NetNs& ns, const std::string& command) {
        auto r = ns.Exec(command);
        if (r.status != 0)
            skip = "cannot set up the namespace chain: " + command + ": " + r.err;
        return r.status == 0;
    }

    // Datagram ICMP sockets allowed in the source, or refused so that the raw path is taken.
    bool UseDatagram(bool on) {
        return Do(src, on ? "sysctl -qw net.ipv4.ping_group_range='0 2147483647'"
                          : "sysctl -qw net.ipv4.ping_group_range='1 0'");
    }

    CommandResult Trace(std::vector<std::string> args) {
        args.insert(args.begin(), {BinPath("qordex-cli"), "trace"});
        return qordex::test::Run(src.Wrap(args), {}, 180000);
    }
};

#define REQUIRE_CHAIN(c)                                                                           \
    do {                                                                                           \
        if (!(c).skip.empty())                                                                     \
            GTEST_SKIP() << (c).skip;                                                              \
    } while (0)

struct Hop {
    std::string address, time, name;
};

// The rows of the table qordex-cli prints, after its four head lines.
std::vector<Hop> Rows(const std::string& out) {
    std::vector<Hop> rows;
    const auto lines = SplitLines(out);
    for (std::size_t i = 4; i < lines.size(); ++i) {
        const std::string& l = lines[i];
        // A row still waiting for its name ends after the time column.
        if (l.size() < 28) {
            ADD_FAILURE() << "short row: " << l;
            continue;
        }
        auto trim = [](std::string s) {
            s.erase(0, s.find_first_not_of(' '));
            return s;
        };
        rows.push_back(
            {trim(l.substr(6, 15)), trim(l.substr(23, 5)), l.size() > 30 ? l.substr(30) : ""});
    }
    return rows;
}

std::vector<std::string> Addresses(const std::vector<Hop>& rows) {
    std::vector<std::string> out;
    for (const Hop& h : rows)
        out.push_back(h.address);
    return out;
}

// The hops traceroute -I -n lists: its address, or "Unknown" for "*".
std::vector<std::string> TracerouteHops(const std::string& out) {
    std::vector<std::string> hops;
    for (const std::string& line : SplitLines(out)) {
        std::istringstream in(line);
        int n = 0;
        std::string addr;
        if (!(in >> n >> addr))
            continue;
        hops.push_back(addr == "*" ? "Unknown" : addr);
    }
    return hops;
}

// The hops mtr --report -n lists: "  2.|-- 10.10.2.2 ..." or "???".
std::vector<std::string> MtrHops(const std::string& out) {
    std::vector<std::string> hops;
    for (const std::string& line : SplitLines(out)) {
        const auto bar = line.find(".|-- ");
        if (bar == std::string::npos)
            continue;
        std::istringstream in(line.substr(bar + 5));
        std::string addr;
        in >> addr;
        hops.push_back(addr == "???" ? "Unknown" : addr);
    }
    return hops;
}

TEST(TraceChain, HopsAsTracerouteAndMtrSeeThem) {
    Chain c;
    REQUIRE_CHAIN(c);
    for (bool datagram : {true, false}) {
        SCOPED_TRACE(datagram ? "datagram ICMP sockets" : "raw ICMP sockets");
        ASSERT_TRUE(c.UseDatagram(datagram)) << c.skip;
        // 40 probes out at once: each row must get the answer to its own.
        const auto r = c.Trace({"--tries", "2", "--timeout", "700", "dst.test"});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        const auto lines = SplitLines(r.out);
        ASSERT_GE(lines.size(), 4u);
        // The signal may come while the target is still being looked up.
    EXPECT_TRUE(lines[0] == "Traceroute to dst.test at 10.10.4.2" ||
                lines[0] == "Traceroute to dst.test at looking up . . .")
        << lines[0];
        EXPECT_EQ(lines[2], " Hop       IP address   Time  Host name");
        const auto rows = Rows(r.out);
        ASSERT_EQ(Addresses(rows),
                  (std::vector<std::string>{"10.10.1.2", "Unknown", "10.10.3.2", "10.10.4.2"}))
            << r.out;
        EXPECT_EQ(rows[0].name, "r1.test");
        EXPECT_EQ(rows[1].name, "Unknown") << "the silent router";
        EXPECT_EQ(rows[1].time, "");
        EXPECT_EQ(rows[2].name, "10.10.3.2") << "a hop without a name shows its address";
        EXPECT_EQ(rows[3].name, "dst.test");
        EXPECT_NE(rows[0].time, "");
    }
    if (HasProgram("traceroute")) {
        const auto t = qordex::test::Run(c.src.Wrap({"traceroute", "-I", "-n", "-q", "1", "-w", "1", "-m", "10",
                                       "10.10.4.2"}),
                           {}, 120000);
        ASSERT_EQ(t.status, 0) << t.err;
        EXPECT_EQ(TracerouteHops(t.out),
                  (std::vector<std::string>{"10.10.1.2", "Unknown", "10.10.3.2", "10.10.4.2"}))
            << t.out;
    }
    if (HasProgram("mtr")) {
        const auto m =
            qordex::test::Run(c.src.Wrap({"mtr", "--report", "-n", "-c", "2", "10.10.4.2"}), {}, 120000);
        ASSERT_EQ(m.status, 0) << m.err;
        EXPECT_EQ(MtrHops(m.out),
                  (std::vector<std::string>{"10.10.1.2", "Unknown", "10.10.3.2", "10.10.4.2"}))
            << m.out;
    }
}

TEST(TraceChain, AnUnreachableRouteFillsEveryRowFromItsRouter) {
    Chain c;
    REQUIRE_CHAIN(c);
    ASSERT_TRUE(c.UseDatagram(true)) << c.skip;
    // A router answers at most five unreachable packets in a burst (and then one
    // a second, whatever icmp_ratelimit says): hops 3 to 7 are five.
    const auto r = c.Trace({"--hops", "7", "--tries", "2", "--timeout", "700", "10.10.99.1"});
    EXPECT_EQ(r.status, 1) << "no row reached the target";
    const auto rows = Rows(r.out);
    ASSERT_EQ(rows.size(), 7u) << "nothing is cut when no row has the target's address";
    EXPECT_EQ(rows[0].address, "10.10.1.2");
    EXPECT_EQ(rows[1].address, "Unknown");
    for (std::size_t i = 2; i < rows.size(); ++i)
        EXPECT_EQ(rows[i].address, "10.10.3.2") << "hop " << i + 1;
}

TEST(TraceChain, UnknownHostAndBadUsage) {
    Chain c;
    REQUIRE_CHAIN(c);
    auto r = c.Trace({"nowhere.invalid"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Traceroute to nowhere.invalid at ERROR unknown address.\n\n"
                     " Hop       IP address   Time  Host name\n\n");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--hops", "256", "dst.test"},
          std::vector<std::string>{"--tries", "x", "dst.test"},
          std::vector<std::string>{"--size", "65501", "dst.test"}, std::vector<std::string>{}}) {
        r = c.Trace(args);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

TEST(TraceChain, SigtermCancelsAndPrintsTheTable) {
    Chain c;
    REQUIRE_CHAIN(c);
    ASSERT_TRUE(c.UseDatagram(true)) << c.skip;
    auto args = c.src.Wrap({BinPath("qordex-cli"), "trace", "--hops", "4", "--tries", "100",
                            "--timeout", "400", "dst.test"});
    Background cli(args);
    // The silent router keeps the rounds going, a worker at a time.  Once one runs, the
    // command has long caught the signal (it does before it starts any).
    const std::string tasks = "/proc/" + std::to_string(cli.Pid()) + "/task";
    auto threads = [&tasks] {
        std::error_code ec;
        int n = 0;
        for (auto it = std::filesystem::directory_iterator(tasks, ec);
             !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
            ++n;
        return n;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (threads() < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_GE(threads(), 2) << "the trace never started its workers";
    cli.Signal(SIGTERM);
    // Round 1 reached the target before the signal came, most likely: exit 0 then.
    const int status = cli.Wait(60000);
    EXPECT_TRUE(status == 0 || status == 1) << status;
    const auto lines = SplitLines(cli.Output());
    ASSERT_EQ(lines.size(), 8u) << cli.Output();
    // The signal may come while the target is still being looked up.
    EXPECT_TRUE(lines[0] == "Traceroute to dst.test at 10.10.4.2" ||
                lines[0] == "Traceroute to dst.test at looking up . . .")
        << lines[0];
    EXPECT_EQ(lines[2], " Hop       IP address   Time  Host name");
    EXPECT_EQ(Rows(cli.Output()).size(), 4u) << "no cut before the rounds are over";
}

} // namespace
