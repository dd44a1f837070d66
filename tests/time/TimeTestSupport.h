#pragma once
// What the time tests share: a clock that is never the machine's, the
// scripted Time/Daytime peer, and waiting on the loop.

#include "platform/Clock.h"
#include "platform/MessageLoop.h"
#include "support/NetNs.h"
#include "support/Process.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace qordex::test {

// Reads a fixed time; records what it was set to, or refuses with `setError`.
class FakeClock final : public TClock {
public:
    explicit FakeClock(std::int64_t now = 1704067200, int setError = 0)
        : now_{now, 0}, setError_(setError) {}
    TUtcTime NowUtc() override { return now_; }
    int SetUtc(const TUtcTime& t) override {
        ++sets;
        if (setError_ != 0)
            return setError_;
        now_ = t;
        return 0;
    }
    void Set(std::int64_t now) { now_ = {now, 0}; }
    int sets = 0;

private:
    TUtcTime now_;
    int setError_;
};

constexpr int kWaitMs = 30000;

inline std::string TimePeerScript() {
    return QORDEX_SOURCE_DIR "/tests/time/time_peer.py";
}

// The scripted peer inside `ns`, listening once this returns (null when it
// did not come up).
inline std::unique_ptr<Background> StartTimePeer(const NetNs& ns,
                                                 const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"/usr/bin/python3", TimePeerScript()};
    argv.insert(argv.end(), args.begin(), args.end());
    auto peer = std::make_unique<Background>(ns.Wrap(argv));
    if (!WaitForOutput(*peer, "ready", kWaitMs))
        return nullptr;
    return peer;
}

// Number of descriptors this process holds.
int OpenDescriptors();

// A listening TCP socket on port 37 of every address, reusable despite
// connections just closed, so that our own listener cannot share it; -1
// on failure.  The caller closes it.
int HoldTcpPort37();

// Runs tests/time/time_clients.py with `args` inside `ns`, pumping this
// thread's loop (a server under test) until it ends; its output.
std::string RunTimeClients(const NetNs& ns, const std::vector<std::string>& args);

// A test whose thread (and the sockets it opens) lives in a namespace of its own.
class InNamespaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        QORDEX_REQUIRE_NETNS(ns_);
        inside_ = std::make_unique<InNetNs>(ns_);
        ASSERT_TRUE(inside_->Ok());
    }
    void TearDown() override { inside_.reset(); }

    NetNs ns_;
    std::unique_ptr<InNetNs> inside_;
};

} // namespace qordex::test
