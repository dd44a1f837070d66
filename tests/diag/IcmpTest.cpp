// The ICMP echo engine against the kernel: loopback through the raw socket,
// and network namespaces made here for the datagram socket, silent routes,
// unreachable routes and a router that reports an expired TTL.

#include "diag/Icmp.h"
#include "RouterNs.h"
#include "support/NetNs.h"

#include "diag/EchoTestSupport.h"
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace qordex;
using namespace qordex::diag;
using qordex::test::HasProgram;
using qordex::test::NetNs;

namespace {

std::uint32_t Ip(const char* text) {
    return inet_addr(text);
}

// What a child in a namespace reports back through its exit status: the
// number of answers times 100 plus the status minus 11000.
int Outcome(int replies, std::uint32_t status) {
    return replies * 100 + (status ? int(status) - 11000 : 0);
}

int PingOnce(IcmpSocketKind kind, const char* host, int timeout, int ttl = 64) {
    try {
        TICMP icmp(kind);
        icmp.SetAddress(host);
        icmp.SetTimeout(timeout);
        icmp.SetTTL(ttl);
        int n = icmp.Ping();
        return Outcome(n, icmp.ErrorCode());
    } catch (const TICMPException&) {
        return 250;
    }
}

} // namespace

TEST(IcmpPayload, TextThenSpaces) {
    struct Case {
        int size;
        std::string expected;
    } cases[] = {
        {0, ""},
        {-3, ""},
        {10, std::string(kIcmpPayloadText, 10)},
        {45, kIcmpPayloadText},
        {100, std::string(kIcmpPayloadText) + std::string(55, ' ')},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TICMP::BuildPayload(c.size), c.expected) << "size " << c.size;
}

TEST(IcmpStatus, TextsOfTheStatusCodes) {
    struct Case {
        std::uint32_t code;
        const char* text;
    } cases[] = {
        {0, "No error"},
        {11001, "Buffer too small"},
        {11002, "Destination network unreachable"},
        {11003, "Destination host unreachable"},
        {11004, "Destination protocol unreachable"},
        {11005, "Destination port unreachable"},
        {11006, "No resources"},
        {11007, "Bad option"},
        {11008, "Hardware error"},
        {11009, "Packet too big"},
        {11010, "Request timed out"},
        {11011, "Bad request"},
        {11012, "Bad route"},
        {11013, "TTL expired in transit"},
        {11014, "TTL expired in reassembly"},
        {11015, "Parameter problem"},
        {11016, "Source quench"},
        {11017, "Option too big"},
        {11018, "Bad Destination"},
        {11019, "Address deleted"},
        {11020, "S"
                "pec MTU change"}, // two pieces, as in the engine
        {11021, "MTU change"},
        {11050, "General failure"},
        {11255, "Pending"},
        {11100, "ICMP error #11100"},
        {42, "ICMP error #42"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IcmpStatusText(c.code), c.text) << c.code;
}

TEST(IcmpStatus, ErrorReportsMapToTheirStatus) {
    struct Case {
        int type, code;
        std::uint32_t status;
    } cases[] = {
        {3, 0, 11002},  {3, 1, 11003},  {3, 2, 11004},  {3, 3, 11005},
        {3, 4, 11009},  {3, 5, 11012},  {3, 13, 11003}, {4, 0, 11016},
        {11, 0, 11013}, {11, 1, 11014}, {12, 0, 11015}, {5, 0, 11050},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IcmpErrorStatus(c.type, c.code), c.status) << c.type << "/" << c.code;
}

TEST(IcmpRaw, EchoesLoopback) {
    REQUIRE_RAW();
    TICMP icmp(IcmpSocketKind::Raw);
    EXPECT_EQ(icmp.SocketKind(), IcmpSocketKind::Raw);
    icmp.SetAddress("127.0.0.1");
    icmp.SetSize(100);
    int requests = 0, replyHook = -1;
    icmp.OnEchoRequest = [&] { ++requests; };
    icmp.OnEchoReply = [&](int n) { replyHook = n; };
    ASSERT_EQ(icmp.Ping(), 1) << icmp.ErrorString();
    EXPECT_EQ(requests, 1);
    EXPECT_EQ(replyHook, 1);
    EXPECT_EQ(icmp.ErrorCode(), 0u);
    EXPECT_EQ(icmp.HostIP(), "127.0.0.1");
    EXPECT_EQ(icmp.HostName(), "127.0.0.1");
    EXPECT_EQ(icmp.Reply().Address, Ip("127.0.0.1"));
    EXPECT_EQ(icmp.Reply().Status, 0u);
    EXPECT_EQ(icmp.Reply().DataSize, 100);
    EXPECT_EQ(icmp.Reply().Data, nullptr) << "the reply buffer is gone after the exchange";
    EXPECT_EQ(icmp.Reply().Options.Ttl, 64);
}

TEST(IcmpRaw, EdgeSizesAndTtlsThatAreAllowed) {
    REQUIRE_RAW();
    struct Case {
        int size, ttl;
    } cases[] = {{0, 64}, {1, 1}, {65500, 255}};
    for (const auto& c : cases) {
        TICMP icmp(IcmpSocketKind::Raw);
        icmp.SetAddress("127.0.0.1");
        icmp.SetSize(c.size);
        icmp.SetTTL(c.ttl);
        ASSERT_EQ(icmp.Ping(), 1) << c.size << "/" << c.ttl << ": " << icmp.ErrorString();
        EXPECT_EQ(icmp.Reply().DataSize, c.size);
    }
}

TEST(IcmpRaw, OutOfRangeSizeOrTtlIsRefusedWithoutSending) {
    REQUIRE_RAW();
    struct Case {
        int size, ttl;
    } cases[] = {{-1, 64}, {65501, 64}, {70000, 64}, {56, 0}, {56, 256}, {56, 300}, {56, -1}};
    for (const auto& c : cases) {
        TICMP icmp(IcmpSocketKind::Raw);
        icmp.SetAddress("127.0.0.1");
        icmp.SetSize(c.size);
        icmp.SetTTL(c.ttl);
        int requests = 0, replyHook = -1;
        icmp.OnEchoRequest = [&] { ++requests; };
        icmp.OnEchoReply = [&](int n) { replyHook = n; };
        EXPECT_EQ(icmp.Ping(), 0) << c.size << "/" << c.ttl;
        EXPECT_EQ(icmp.ErrorCode(), 11011u);
        EXPECT_EQ(icmp.ErrorString(), "Bad request");
        EXPECT_EQ(requests, 0) << "nothing is sent";
        EXPECT_EQ(replyHook, 0);
    }
}

TEST(IcmpRaw, NegativeTimeoutCountsAsZero) {
    REQUIRE_RAW();
    TICMP icmp(IcmpSocketKind::Raw);
    icmp.SetAddress("127.0.0.1");
    icmp.SetTimeout(-5000);
    int n = icmp.Ping();
    // Loopback may or may not answer within no time at all; either way it returns.
    if (n == 0)
        EXPECT_EQ(icmp.ErrorCode(), 11010u);
    else
        EXPECT_EQ(icmp.ErrorCode(), 0u);
}

TEST(IcmpRaw, ConcurrentEnginesTakeOnlyTheirOwnReplies) {
    REQUIRE_RAW();
    constexpr int kThreads = 8, kPings = 5;
    std::vector<int> good(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t, &good] {
            TICMP icmp(IcmpSocketKind::Raw);
            icmp.SetAddress("127.0.0.1");
            icmp.SetSize(10 + t); // a reply of another engine would show its size
            for (int i = 0; i < kPings; ++i)
                if (icmp.Ping() == 1 && icmp.Reply().DataSize == 10 + t)
                    ++good[t];
        });
    for (auto& th : threads)
        th.join();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(good[t], kPings) << "engine " << t;
}

TEST(IcmpRaw, SameAddressKeepsResolutionNewAddressResolvesAgain) {
    REQUIRE_RAW();
    TICMP icmp(IcmpSocketKind::Raw);
    icmp.SetAddress("127.0.0.1");
    ASSERT_EQ(icmp.Ping(), 1);
    icmp.SetAddress("127.0.0.1");
    ASSERT_EQ(icmp.Ping(), 1);
    EXPECT_EQ(icmp.HostIP(), "127.0.0.1");
    icmp.SetAddress("127.0.0.2");
    ASSERT_EQ(icmp.Ping(), 1);
    EXPECT_EQ(icmp.HostIP(), "127.0.0.2");
    EXPECT_EQ(icmp.Reply().Address, Ip("127.0.0.2"));
}

TEST(IcmpEngine, UnresolvableNameIsABadDestination) {
    REQUIRE_ECHO();
    TICMP icmp;
    icmp.SetAddress("no-such-host.invalid");
    std::vector<std::string> shown;
    int requests = 0, replyHook = -1;
    icmp.OnDisplay = [&](const std::string& m) { shown.push_back(m); };
    icmp.OnEchoRequest = [&] { ++requests; };
    icmp.OnEchoReply = [&](int n) { replyHook = n; };
    EXPECT_EQ(icmp.Ping(), 0);
    EXPECT_EQ(shown, (std::vector<std::string>{"Unable to resolve no-such-host.invalid",
                                               "Invalid host address"}));
    EXPECT_EQ(icmp.ErrorCode(), 11018u);
    EXPECT_EQ(icmp.ErrorString(), "Bad Destination");
    EXPECT_EQ(requests, 0);
    EXPECT_EQ(replyHook, 0);
    EXPECT_EQ(icmp.HostIP(), "");
}

TEST(IcmpEngine, LimitedBroadcastIsRefusedWithoutSending) {
    REQUIRE_ECHO();
    TICMP icmp;
    icmp.SetAddress("255.255.255.255");
    int requests = 0;
    icmp.OnEchoRequest = [&] { ++requests; };
    EXPECT_EQ(icmp.Ping(), 0);
    EXPECT_EQ(icmp.ErrorCode(), 11018u);
    EXPECT_EQ(icmp.ErrorString(), "Bad Destination");
    EXPECT_EQ(icmp.HostIP(), "255.255.255.255");
    EXPECT_EQ(requests, 0);
}

TEST(IcmpNamespace, DatagramSocketWhereThePingGroupRangeAllowsIt) {
    NetNs ns;
    QORDEX_REQUIRE_NETNS(ns);
    // A fresh namespace admits no group: only the raw socket would do, and
    // with the datagram socket alone there is no handle at all.
    EXPECT_EQ(ns.RunInside([] { return PingOnce(IcmpSocketKind::Datagram, "127.0.0.1", 1000); }),
              250);
    ASSERT_EQ(ns.Exec("sysctl -w net.ipv4.ping_group_range='0 2147483647'").status, 0);
    EXPECT_EQ(ns.RunInside([] {
        try {
            TICMP icmp; // Auto prefers the datagram socket once it is allowed
            if (icmp.SocketKind() != IcmpSocketKind::Datagram)
                return 1;
            icmp.SetAddress("127.0.0.1");
            icmp.SetSize(200);
            if (icmp.Ping() != 1)
                return 2;
            if (icmp.Reply().DataSize != 200 || icmp.Reply().Address != inet_addr("127.0.0.1"))
                return 3;
            return 0;
        } catch (const TICMPException&) {
            return 250;
        }
    }),
              0);
}

// A request the system refuses to send fails at once with the status that
// says so; only a request that went out waits for its answer.
TEST(IcmpNamespace, RoutesThatDropOrRefuse) {
    NetNs ns;
    QORDEX_REQUIRE_NETNS(ns);
    ASSERT_EQ(ns.Exec("sysctl -w net.ipv4.ping_group_range='0 2147483647'"
                      " && ip route add blackhole 10.99.0.0/16"
                      " && ip route add unreachable 10.98.0.0/16")
                  .status,
              0);
    // A link whose far end takes nothing: a real loss on the wire.
    bool veth = ns.Exec("ip link add qa type veth peer name qb && ip addr add 10.97.0.2/24 dev qa"
                        " && ip link set qa up && ip link set qb up"
                        " && ip neigh add 10.97.0.1 lladdr 02:00:00:00:00:01 dev qa")
                    .status == 0;
    // A firewall that refuses outgoing requests to one address (EPERM).
    bool firewall =
        HasProgram("nft") &&
        ns.Exec("nft add table ip q && nft add chain ip q out"
                " '{ type filter hook output priority 0; }'"
                " && nft add rule ip q out ip daddr 127.0.0.9 icmp type echo-request drop")
                .status == 0;
    // Refused sends get a timeout they must never wait for: the child would
    // be killed after 30 s and report -1.
    constexpr int kNeverWaited = 600000;
    struct Case {
        IcmpSocketKind kind;
        const char* host;
        int timeout;
        int expected;
        bool available;
    } cases[] = {
        {IcmpSocketKind::Raw, "10.99.0.1", kNeverWaited, Outcome(0, 11050), true},
        {IcmpSocketKind::Datagram, "10.99.0.1", kNeverWaited, Outcome(0, 11050), true},
        {IcmpSocketKind::Raw, "127.0.0.9", kNeverWaited, Outcome(0, 11050), firewall},
        {IcmpSocketKind::Datagram, "127.0.0.9", kNeverWaited, Outcome(0, 11050), firewall},
        {IcmpSocketKind::Raw, "10.98.0.1", kNeverWaited, Outcome(0, 11003), true},
        {IcmpSocketKind::Datagram, "10.98.0.1", kNeverWaited, Outcome(0, 11003), true},
        {IcmpSocketKind::Raw, "10.97.0.1", 300, Outcome(0, 11010), veth},
        {IcmpSocketKind::Datagram, "10.97.0.1", 300, Outcome(0, 11010), veth},
    };
    for (const auto& c : cases) {
        if (!c.available)
            continue;
        EXPECT_EQ(ns.RunInside([&] { return PingOnce(c.kind, c.host, c.timeout); }), c.expected)
            << c.host << (c.kind == IcmpSocketKind::Raw ? " raw" : " datagram");
    }
}

TEST(IcmpNamespace, ReportsFromARouterCountAsAnswers) {
    qordex::test::RouterNs net;
    QORDEX_REQUIRE_ROUTER(net);
    auto probe = [](IcmpSocketKind kind) {
        try {
            TICMP icmp(kind);
            icmp.SetAddress("10.3.0.1");
            icmp.SetTTL(1);
            icmp.SetTimeout(3000);
            if (icmp.Ping() != 1)
                return int(icmp.ErrorCode() - 11000);
            if (icmp.ErrorCode() != 11013 || icmp.Reply().Status != 11013)
                return 100;
            if (icmp.Reply().Address != inet_addr("10.1.0.2"))
                return 101;
            // The router's own report that it has no way there.
            icmp.SetAddress("10.4.0.1");
            icmp.SetTTL(64);
            if (icmp.Ping() != 1 || icmp.ErrorCode() != 11003)
                return 102;
            if (icmp.Reply().Address != inet_addr("10.1.0.2"))
                return 103;
            // The router itself answers an echo.
            icmp.SetAddress("10.1.0.2");
            if (icmp.Ping() != 1 || icmp.ErrorCode() != 0)
                return 104;
            return 0;
        } catch (const TICMPException&) {
            return 250;
        }
    };
    EXPECT_EQ(net.host.RunInside([&] { return probe(IcmpSocketKind::Raw); }), 0) << "raw";
    EXPECT_EQ(net.host.RunInside([&] { return probe(IcmpSocketKind::Datagram); }), 0) << "datagram";
}

TEST(IcmpNamespace, DontFragmentFlagOnALinkWithASmallerMtu) {
    qordex::test::RouterNs net;
    QORDEX_REQUIRE_ROUTER(net);
    auto probe = [](IcmpSocketKind kind) {
        try {
            TICMP icmp(kind);
            icmp.SetAddress("10.1.0.2"); // over the veth link, MTU 1500
            icmp.SetSize(2000);
            if (icmp.Ping() != 1 || icmp.Reply().DataSize != 2000)
                return 1; // fragmented on the way out, whole again on the way back
            icmp.SetFlags(kIpFlagDontFragment);
            if (icmp.Ping() != 0 || icmp.ErrorCode() != 11009)
                return 2;
            icmp.SetSize(1000);
            if (icmp.Ping() != 1)
                return 3;
            return 0;
        } catch (const TICMPException&) {
            return 250;
        }
    };
    EXPECT_EQ(net.host.RunInside([&] { return probe(IcmpSocketKind::Raw); }), 0) << "raw";
    EXPECT_EQ(net.host.RunInside([&] { return probe(IcmpSocketKind::Datagram); }), 0) << "datagram";
}
