// TWaitingThread: reports of address and route changes made in a network
// namespace, queued delivery, and a prompt stop.

#include "diag/IpThread.h"
#include "diag/IpHlpError.h"
#include "platform/MessageLoop.h"
#include "support/Drain.h"
#include "support/NetNs.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <sched.h>
#include <string>
#include <unistd.h>
#include <vector>

using namespace qordex::diag;
using qordex::PumpMessages;
using qordex::PumpUntil;
using qordex::test::NetNs;

namespace {

// Creates a watcher on this thread while the thread sits in the namespace:
// its netlink socket then belongs to that namespace for good.
std::unique_ptr<TWaitingThread> WatcherIn(const NetNs& ns, int kind, const std::string& text) {
    int home = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    int target = open(("/var/run/netns/" + ns.Name()).c_str(), O_RDONLY | O_CLOEXEC);
    if (home < 0 || target < 0 || setns(target, CLONE_NEWNET) != 0) {
        if (home >= 0)
            close(home);
        if (target >= 0)
            close(target);
        return nullptr;
    }
    std::unique_ptr<TWaitingThread> w;
    try {
        w = std::make_unique<TWaitingThread>(kind, text);
    } catch (...) {
    }
    bool back = setns(home, CLONE_NEWNET) == 0;
    close(home);
    close(target);
    if (!back)
        std::abort(); // the rest of the tests would run in the wrong namespace
    return w;
}

struct Recorder {
    std::vector<std::string> changes;
    std::vector<int> ends;
    void Attach(TWaitingThread& w) {
        w.OnChange = [this](TWaitingThread&, const std::string& text) { changes.push_back(text); };
        w.OnTerminate = [this](TWaitingThread&, int kind) { ends.push_back(kind); };
    }
};

} // namespace

TEST(TWaitingThreadTest, ReportsAnAddressAddedInTheNamespace) {
    NetNs ns;
    QORDEX_REQUIRE_NETNS(ns);
    auto w = WatcherIn(ns, TWaitingThread::kAddrChange, "AddressChanged");
    ASSERT_TRUE(w);
    Recorder rec;
    rec.Attach(*w);
    ASSERT_EQ(ns.Exec("ip addr add 10.5.0.1/24 dev lo").status, 0);
    ASSERT_TRUE(PumpUntil([&] { return !rec.changes.empty(); }, 5000));
    EXPECT_EQ(rec.changes.front(), "AddressChanged");
    EXPECT_EQ(w->Kind(), 1);

    // Cancelled, it ends within its wait period and says so with its kind.
    w->Terminate();
    ASSERT_TRUE(PumpUntil([&] { return !rec.ends.empty(); }, 2000));
    EXPECT_TRUE(w->Finished());
    EXPECT_EQ(rec.ends, std::vector<int>{1});
    // Nothing reported after the end: the thread is gone, so whatever it
    // queued is queued before the sentinel.
    size_t seen = rec.changes.size();
    ASSERT_EQ(ns.Exec("ip addr add 10.5.0.2/24 dev lo").status, 0);
    ASSERT_TRUE(qordex::test::DrainQueue());
    EXPECT_EQ(rec.changes.size(), seen);
}

TEST(TWaitingThreadTest, ReportsRouteChanges) {
    NetNs ns;
    QORDEX_REQUIRE_NETNS(ns);
    auto w = WatcherIn(ns, TWaitingThread::kRouteChange, "RouteChanged");
    ASSERT_TRUE(w);
    Recorder rec;
    rec.Attach(*w);
    ASSERT_EQ(ns.Exec("ip route add 10.6.0.0/16 dev lo").status, 0);
    ASSERT_TRUE(PumpUntil([&] { return !rec.changes.empty(); }, 5000));
    EXPECT_EQ(rec.changes.front(), "RouteChanged");
}

TEST(TWaitingThreadTest, DestroyedWithReportsQueuedDeliversNothing) {
    NetNs ns;
    QORDEX_REQUIRE_NETNS(ns);
    Recorder rec;
    {
        auto w = WatcherIn(ns, TWaitingThread::kAddrChange, "AddressChanged");
        ASSERT_TRUE(w);
        rec.Attach(*w);
        ASSERT_EQ(ns.Exec("ip addr add 10.5.0.3/24 dev lo").status, 0);
        // A report queued before the end, not dispatched yet.
        ASSERT_TRUE(qordex::test::WaitWithoutPumping([&] { return w->Posted() > 0; }));
        ASSERT_EQ(w->Posted(), 1);
        // The destructor returns without any help from this thread's loop:
        // the watcher never waits for its owner.
    }
    ASSERT_TRUE(qordex::test::DrainQueue());
    EXPECT_TRUE(rec.changes.empty());
    EXPECT_TRUE(rec.ends.empty());
}

TEST(TWaitingThreadTest, HandlerMayDestroyTheWatcher) {
    NetNs ns;
    QORDEX_REQUIRE_NETNS(ns);
    auto w = WatcherIn(ns, TWaitingThread::kAddrChange, "AddressChanged");
    ASSERT_TRUE(w);
    int calls = 0;
    std::string seen;
    // After destroying the sender the handler still uses its own capture and
    // the text it was given: both must outlive the watcher.
    w->OnChange = [&, suffix = std::string(40, '!')](TWaitingThread&, const std::string& text) {
        ++calls;
        w.reset();
        seen = text + suffix;
    };
    ASSERT_EQ(ns.Exec("ip addr add 10.5.0.4/24 dev lo && ip addr add 10.5.0.5/24 dev lo").status,
              0);
    ASSERT_TRUE(PumpUntil([&] { return !w; }, 5000));
    ASSERT_TRUE(qordex::test::DrainQueue());
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(seen, "AddressChanged" + std::string(40, '!'));
}

TEST(TWaitingThreadTest, RefusesAnUnknownKind) {
    EXPECT_THROW(TWaitingThread(3, "x"), EIpHlpError);
}
