#pragma once
// A place where broadcasts may travel: two network namespaces made by the
// test and joined by a veth link, so nothing leaves the machine.

#include "support/NetNs.h"

#include <string>

namespace qordex::test {

// Two namespaces joined by a veth link: the sender (10.7.0.1/24, its default
// route on the link, so that 255.255.255.255 has a way out) and the receiver
// (10.7.0.2/24).
struct BroadcastPair {
    NetNs sender, receiver;
    std::string skip; // why the pair could not be made; empty when ready

    BroadcastPair() {
        if (!sender.Available() || !receiver.Available()) {
            skip = sender.Available() ? receiver.SkipReason() : sender.SkipReason();
            return;
        }
        auto r = sender.Exec("ip link add qs type veth peer name qr netns " + receiver.Name());
        if (r.status != 0) {
            skip = "veth links are not available: " + r.err;
            return;
        }
        r = sender.Exec("ip addr add 10.7.0.1/24 brd + dev qs && ip link set qs up"
                        " && ip route add default dev qs");
        if (r.status == 0)
            r = receiver.Exec("ip addr add 10.7.0.2/24 brd + dev qr && ip link set qr up");
        if (r.status != 0)
            skip = "cannot set up the namespaces: " + r.err;
    }
};

} // namespace qordex::test

#define REQUIRE_PAIR(pair)                                                                         \
    do {                                                                                           \
        if (!(pair).skip.empty())                                                                  \
            GTEST_SKIP() << (pair).skip;                                                           \
    } while (0)
