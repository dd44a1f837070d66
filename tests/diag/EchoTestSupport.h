#pragma once
// Skips a test when this process cannot open the ICMP socket it needs.

#include "platform/IcmpService.h"

#include <gtest/gtest.h>

#define REQUIRE_ECHO()                                                                             \
    do {                                                                                           \
        if (!::qordex::IcmpEchoService::Open())                                                    \
            GTEST_SKIP()                                                                           \
                << "no ICMP socket: needs root, CAP_NET_RAW or net.ipv4.ping_group_range";         \
    } while (0)

#define REQUIRE_RAW()                                                                              \
    do {                                                                                           \
        if (!::qordex::IcmpEchoService::Open(::qordex::IcmpSocketKind::Raw))                       \
            GTEST_SKIP() << "raw ICMP sockets need root or CAP_NET_RAW";                           \
    } while (0)
