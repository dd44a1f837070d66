#pragma once
// Two network namespaces joined by a veth link: a host (10.1.0.1) whose
// default route goes through a router (10.1.0.2).  The router forwards
// 10.3.0.0/16 back towards the host, so a request with TTL 1 to 10.3.0.1
// draws a time-exceeded report from it, and it reports 10.4.0.0/16 as
// unreachable.

#include "support/NetNs.h"

#include <string>

namespace qordex::test {

struct RouterNs {
    NetNs host, router;
    std::string skip; // why the pair could not be made; empty when ready

    RouterNs() {
        if (!host.Available() || !router.Available()) {
            skip = host.Available() ? router.SkipReason() : host.SkipReason();
            return;
        }
        auto r = host.Exec("ip link add qh type veth peer name qr netns " + router.Name());
        if (r.status != 0) {
            skip = "veth links are not available: " + r.err;
            return;
        }
        r = host.Exec("sysctl -w net.ipv4.ping_group_range='0 2147483647'"
                      " && ip addr add 10.1.0.1/24 dev qh && ip link set qh up"
                      " && ip route add default via 10.1.0.2");
        if (r.status == 0)
            r = router.Exec("ip addr add 10.1.0.2/24 dev qr && ip link set qr up"
                            " && sysctl -w net.ipv4.ip_forward=1"
                            " && ip route add 10.3.0.0/16 via 10.1.0.1"
                            " && ip route add unreachable 10.4.0.0/16");
        if (r.status != 0)
            skip = "cannot set up the router namespaces: " + r.err;
    }
};

} // namespace qordex::test

#define QORDEX_REQUIRE_ROUTER(pair)                                                                \
    do {                                                                                           \
        if (!(pair).skip.empty())                                                                  \
            GTEST_SKIP() << (pair).skip;                                                           \
    } while (0)
