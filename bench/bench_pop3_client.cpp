// POP3 client download speed: one 64 MiB message in a Maildir served by
// dovecot, retrieved by `qordex-cli pop3 -o /dev/null retr 1` and by
// Python's poplib, alternating, in pairs; the ratio (ours / poplib's rate)
// is the median of the per-pair ratios.  Both are timed as whole runs of a
// program, start-up and login included.
//
//   bench_pop3_client [pairs]

#include "mail/Pop3Peers.h"
#include "support/Process.h"

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

using namespace qordex::test;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kMessageSize = 64u << 20;

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty()
               ? 0
               : (v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2);
}

// Text lines of 76 characters, every tenth starting with a dot, so that
// dot-stuffing has its share of the work.
std::string Message() {
    std::string m = "From: bench@example.org\r\nSubject: bench\r\n\r\n";
    for (int i = 0; m.size() < kMessageSize; ++i) {
        std::string line(76, char('a' + i % 26));
        if (i % 10 == 0)
            line[0] = '.';
        m += line + "\r\n";
    }
    return m;
}

// MiB/s of one run of the command; 0 when it failed.
double Timed(const std::vector<std::string>& argv, const char* name) {
    const auto start = Clock::now();
    const CommandResult r = Run(argv, {}, 120000);
    const double s = std::chrono::duration<double>(Clock::now() - start).count();
    if (r.status != 0) {
        std::fprintf(stderr, "bench_pop3_client: %s failed: %s\n", name, r.err.c_str());
        return 0;
    }
    return double(kMessageSize) / (1 << 20) / s;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int pairs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    Dovecot dovecot({Message()});
    if (!dovecot.Skip().empty()) {
        std::printf("pop3 client: skipped (%s)\n", dovecot.Skip().c_str());
        return 0;
    }
    const std::vector<std::string> ours = {QORDEX_BIN_DIR "/qordex-cli",
                                           "pop3",
                                           "--server",
                                           "127.0.0.1",
                                           "--port",
                                           dovecot.PortText(),
                                           "--user",
                                           "alice",
                                           "--password",
                                           "secret pw",
                                           "-o",
                                           "/dev/null",
                                           "retr",
                                           "1"};
    const std::string script = "import poplib\n"
                               "poplib._MAXLINE = 1 << 20\n"
                               "p = poplib.POP3('127.0.0.1', " +
                               dovecot.PortText() +
                               ")\n"
                               "p.user('alice'); p.pass_('secret pw')\n"
                               "p.retr(1)\n"
                               "p.quit()\n";
    const std::vector<std::string> theirs = {"/usr/bin/python3", "-c", script};
    // One run each first, so that the mailbox's index and caches are warm.
    Timed(ours, "qordex-cli");
    Timed(theirs, "poplib");
    std::vector<double> oursRates, theirRates, ratios;
    for (int i = 0; i < pairs; ++i) {
        const double a = Timed(ours, "qordex-cli");
        const double b = Timed(theirs, "poplib");
        if (a <= 0 || b <= 0)
            return 1;
        oursRates.push_back(a);
        theirRates.push_back(b);
        ratios.push_back(a / b);
    }
    std::printf("pop3 client: 64 MiB message from dovecot, %d pairs\n", pairs);
    std::printf("  qordex-cli pop3  %8.1f MiB/s (median)\n", Median(oursRates));
    std::printf("  poplib           %8.1f MiB/s (median)\n", Median(theirRates));
    std::printf("  ratio            %8.2f (median of pairs; target 1.0)\n", Median(ratios));
    return 0;
}
