#include "platform/AsyncLookup.h"
#include "platform/HiddenWindow.h"
#include "platform/MessageLoop.h"
#include "platform/SocketErrors.h"
#include "support/Drain.h"

#include <QThread>
#include <arpa/inet.h>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <vector>

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
    ASSERT_TRUE(qordex::test::DrainLookups());
    EXPECT_FALSE(called);
}

TEST(AsyncLookup, DestroyingTheTargetDropsTheResult) {
    bool called = false;
    {
        HiddenWindow w;
        StartHostLookup(&w, "localhost", [&](const LookupResult&) { called = true; });
    }
    ASSERT_TRUE(qordex::test::DrainLookups());
    EXPECT_FALSE(called);
}

// Targets on worker threads die at every stage of their lookups: before the
// resolver answered, with the result queued, or after it ran.  A completion
// runs only for a live target, on its thread, and none touches a dead one.
TEST(AsyncLookup, TargetsDyingWhileTheirLookupsCompleteOnWorkerThreads) {
    std::atomic<int> wrong{0}, completed{0};
    std::vector<std::unique_ptr<QThread>> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back(QThread::create([&wrong, &completed, t] {
            for (int i = 0; i < 40; ++i) {
                auto alive = std::make_shared<bool>(true);
                auto w = std::make_unique<HiddenWindow>();
                QThread* owner = QThread::currentThread();
                StartHostLookup(w.get(), "localhost", [&, alive, owner](const LookupResult&) {
                    if (!*alive || QThread::currentThread() != owner)
                        ++wrong;
                    ++completed;
                });
                switch ((i + t) % 3) {
                case 0: // at once
                    break;
                case 1: // the result probably queued, not dispatched
                    QThread::usleep(300 * (i % 7));
                    break;
                default: // dispatched, or still running
                    PumpUntil([] { return false; }, i % 4);
                    break;
                }
                w.reset();
                *alive = false;
            }
            PumpUntil([] { return false; }, 20);
        }));
        threads.back()->start();
    }
    for (auto& th : threads)
        th->wait();
    ASSERT_TRUE(qordex::test::DrainLookups());
    EXPECT_EQ(wrong, 0);
    EXPECT_LE(completed, 160);
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
