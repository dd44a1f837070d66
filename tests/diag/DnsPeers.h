#pragma once
// The DNS peers of the tests: the scripted responder (tests/diag/
// dns_responder.py) for what servers never send, and dnsmasq, a real server.

#include "platform/MessageLoop.h"
#include "support/NetNs.h"
#include "support/Process.h"
#include "support/TestData.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qordex::test {

// Waits until `done` holds, for conditions that another process brings
// about; this thread's loop runs meanwhile, so its sockets go on working.
inline bool WaitFor(const std::function<bool()>& done, int timeoutMs = 10000) {
    return PumpUntil(done, timeoutMs);
}

class DnsResponder {
public:
    // `args`: "udp" or "tcp", then the responder's options and replies.
    explicit DnsResponder(std::vector<std::string> args) {
        args.insert(args.begin(),
                    {"/usr/bin/python3", "-u", QORDEX_SOURCE_DIR "/tests/diag/dns_responder.py"});
        proc_ = std::make_unique<Background>(args);
        WaitFor([&] {
            // Only whole lines: the port may arrive in two reads.
            std::string out = proc_->Output();
            out.erase(out.rfind('\n') == std::string::npos ? 0 : out.rfind('\n') + 1);
            for (const std::string& line : SplitLines(out))
                if (line.rfind("port ", 0) == 0) {
                    port_ = std::stoi(line.substr(5));
                    return true;
                }
            return !proc_->Running();
        });
    }
    int Port() const { return port_; }
    std::string PortText() const { return std::to_string(port_); }
    // The queries received so far, as hex.
    std::vector<std::string> Queries() {
        std::vector<std::string> out;
        for (const std::string& line : SplitLines(proc_->Output()))
            if (line.rfind("query ", 0) == 0)
                out.push_back(line.substr(6));
        return out;
    }
    bool WaitQueries(std::size_t n) {
        return WaitFor([&] { return Queries().size() >= n; });
    }

private:
    std::unique_ptr<Background> proc_;
    int port_ = 0;
};

// dnsmasq serving only the records given (its --host-record, --mx-host,
// --ptr-record, --cname ... options), on 127.0.0.1, UDP and TCP on one port.
// Given a namespace, it runs there on `port` (53 by default).
class Dnsmasq {
public:
    explicit Dnsmasq(const std::vector<std::string>& records, const NetNs* ns = nullptr,
                     int port = 53) {
        if (!HasProgram("dnsmasq")) {
            reason_ = "dnsmasq is not installed (package dnsmasq-base)";
            return;
        }
        for (int attempt = 0; attempt < 5 && !proc_; ++attempt) {
            port_ = ns ? port : FreeUdpPort();
            std::vector<std::string> argv;
            for (const char* a : {"dnsmasq", "--keep-in-foreground", "--no-resolv", "--no-hosts",
                                  "--listen-address=127.0.0.1", "--bind-interfaces", "--pid-file=",
                                  "--user=root", "--local-ttl=300", "--log-facility=/dev/null"})
                argv.push_back(a);
            argv.push_back("--port=" + std::to_string(port_));
            argv.insert(argv.end(), records.begin(), records.end());
            auto p = std::make_unique<Background>(ns ? ns->Wrap(argv) : argv);
            // It answers over TCP once it listens on both.
            const int listen = port_;
            const bool up =
                ns ? ns->RunInside([listen] { return WaitForTcpPort(listen) ? 0 : 1; }) == 0
                   : WaitForTcpPort(port_);
            if (up && p->Running())
                proc_ = std::move(p);
            else if (ns)
                break;
        }
        if (!proc_)
            reason_ = "dnsmasq did not start";
    }
    bool Available() const { return proc_ != nullptr; }
    const std::string& SkipReason() const { return reason_; }
    int Port() const { return port_; }
    std::string PortText() const { return std::to_string(port_); }

private:
    std::unique_ptr<Background> proc_;
    int port_ = 0;
    std::string reason_;
};

} // namespace qordex::test

#define QORDEX_REQUIRE_DNSMASQ(d)                                                                  \
    do {                                                                                           \
        if (!(d).Available())                                                                      \
            GTEST_SKIP() << (d).SkipReason();                                                      \
    } while (0)
