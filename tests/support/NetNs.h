#pragma once
// A network namespace made by a test: its own loopback, routes and sysctls,
// so that tests can add addresses, drop packets or allow ICMP datagram
// sockets without touching the machine's network.  Needs root and iproute2;
// otherwise Available() is false and SkipReason() says why.

#include "support/Process.h"

#include <functional>
#include <string>
#include <vector>

namespace qordex::test {

class NetNs {
public:
    NetNs();
    ~NetNs();
    NetNs(const NetNs&) = delete;
    NetNs& operator=(const NetNs&) = delete;

    bool Available() const { return available_; }
    const std::string& SkipReason() const { return reason_; }
    const std::string& Name() const { return name_; }

    // Runs a shell command line inside the namespace.
    CommandResult Exec(const std::string& command, int timeoutMs = 60000) const;
    // Prefixes argv so that it runs inside the namespace.
    std::vector<std::string> Wrap(const std::vector<std::string>& argv) const;
    // Runs `fn` in a child process that entered the namespace; returns what
    // `fn` returned, or -1 when the child failed or timed out.  Keep `fn` plain:
    // it runs in a fork of a threaded process.
    int RunInside(const std::function<int()>& fn, int timeoutMs = 30000) const;
    // Writes /etc/netns/NAME/FILE, which `ip netns exec` (Exec, Wrap) shows
    // as /etc/FILE to what runs inside (resolv.conf, hosts).  Removed with
    // the namespace.
    bool WriteEtcFile(const std::string& file, const std::string& content);
    // Moves the calling thread into the namespace: the sockets it makes from
    // then on live there.  For a worker thread that runs its own loop.
    bool EnterThisThread() const;

private:
    std::string name_;
    bool etcDir_ = false; // /etc/netns/NAME was made
    bool available_ = false;
    std::string reason_;
};

// Moves the calling thread into a namespace for its lifetime: the sockets
// it opens meanwhile stay in that namespace.  Threads started meanwhile
// inherit it.
class InNetNs {
public:
    explicit InNetNs(const NetNs& ns);
    ~InNetNs();
    InNetNs(const InNetNs&) = delete;
    InNetNs& operator=(const InNetNs&) = delete;
    bool Ok() const { return ok_; }

private:
    int home_ = -1;
    bool ok_ = false;
};

} // namespace qordex::test

// Skips the current test when the namespace could not be made.
#define QORDEX_REQUIRE_NETNS(ns)                                                                   \
    do {                                                                                           \
        if (!(ns).Available())                                                                     \
            GTEST_SKIP() << (ns).SkipReason();                                                     \
    } while (0)
