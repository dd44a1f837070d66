#include "platform/AsyncLookup.h"
#include "platform/HiddenWindow.h"
#include "platform/MessageLoop.h"
#include "platform/SocketErrors.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <optional>

using namespace qordex;

TEST(AsyncLookup, CompletesLaterOnTheOwnerThread) {
    HiddenWindow w;
    std::optional<LookupResult> got;
    StartHostLookup(&w, "localhost", [&](const LookupResult& r) { got = r; });
    EXPECT_FALSE(got.has_value()) << "completion must not run inside the start call";
    ASSERT_TRUE(PumpUntil([&] { return got.has_value(); }, 10000));
    EXPECT_EQ(got->error, 0);
    ASSERT_FALSE(got->addrs.empty());
    EXPECT_EQ(got->addrs.front(), htonl(INADDR_LOOPBACK));
}

TEST(AsyncLookup, UnknownNameGivesHostNotFound) {
    HiddenWindow w;
    std::optional<LookupResult> got;
    StartHostLookup(&w, "no-such-host.invalid", [&](const LookupResult& r) { got = r; });
    ASSERT_TRUE(PumpUntil([&] { return got.has_value(); }, 20000));
    EXPECT_TRUE(got->error == WSAHOST_NOT_FOUND || got->error == WSANO_DATA ||
                got->error == WSATRY_AGAIN)
        << got->error;
}

TEST(AsyncLookup, ACancelledLookupNeverCompletes) {
    HiddenWindow w;
    bool called = false;
    LookupId id = StartHostLookup(&w, "localhost", [&](const LookupResult&) { called = true; });
    EXPECT_TRUE(CancelLookup(id));
    EXPECT_FALSE(CancelLookup(id));
    PumpUntil([] { return false; }, 300);
    EXPECT_FALSE(called);
}

TEST(AsyncLookup, DestroyingTheTargetDropsTheResult) {
    bool called = false;
    {
        HiddenWindow w;
        StartHostLookup(&w, "localhost", [&](const LookupResult&) { called = true; });
    }
    PumpUntil([] { return false; }, 300);
    EXPECT_FALSE(called);
}

TEST(AsyncLookup, ReverseLookupOfLoopback) {
    LookupResult r = ResolveAddrBlocking(htonl(INADDR_LOOPBACK));
    EXPECT_EQ(r.error, 0);
    EXPECT_FALSE(r.name.empty());
}

TEST(SocketErrors, ErrnoTable) {
    struct Case {
        int err, wsa;
    } cases[] = {{0, 0},
                 {EAGAIN, WSAEWOULDBLOCK},
                 {EINPROGRESS, WSAEWOULDBLOCK},
                 {ECONNREFUSED, WSAECONNREFUSED},
                 {ECONNRESET, WSAECONNRESET},
                 {EPIPE, WSAECONNRESET},
                 {EADDRINUSE, WSAEADDRINUSE},
                 {ENOTCONN, WSAENOTCONN},
                 {ETIMEDOUT, WSAETIMEDOUT}};
    for (const Case& c : cases)
        EXPECT_EQ(ErrnoToWsa(c.err), c.wsa) << "errno " << c.err;
}
