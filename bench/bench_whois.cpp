// Whois answer speed: one 64 MiB answer of CR LF lines from our whois test
// server, read by `qordex-cli whois` and by a Python client that splits
// lines with the standard library, alternating, in pairs, both writing the
// lines to /dev/null; the ratio (ours / Python's rate) is the median of the
// per-pair ratios.  Both are timed as whole runs of a program.
//
//   bench_whois [pairs]

#include "BenchSupport.h"
#include "support/Process.h"

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace qordex::test;
using qordex::bench::Median;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kAnswerSize = 64u << 20;

// MiB/s of one run; 0 when it failed.
double Timed(const std::vector<std::string>& argv, const char* name) {
    const auto start = Clock::now();
    const CommandResult r = Shell(
        [&] {
            std::string line;
            for (const std::string& a : argv)
                line += "'" + a + "' ";
            return line + "> /dev/null";
        }(),
        300000);
    const double s = std::chrono::duration<double>(Clock::now() - start).count();
    if (r.status != 0) {
        std::fprintf(stderr, "bench_whois: %s failed: %s\n", name, r.err.c_str());
        return 0;
    }
    return double(kAnswerSize) / (1 << 20) / s;
}

const char* kPythonClient = R"(
import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
s.sendall(b"big\r\n")
out = sys.stdout.buffer
for line in s.makefile("rb"):
    out.write(line.rstrip(b"\r\n") + b"\n")
)";

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int pairs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    Background peer({"/usr/bin/python3", QORDEX_SOURCE_DIR "/tests/diag/whois_peer.py", "--big",
                     std::to_string(kAnswerSize)});
    const int port = peer.FirstLineNumber(20000);
    if (port <= 0) {
        std::printf("whois: skipped (the whois test server did not start)\n");
        return 0;
    }
    const std::string portText = std::to_string(port);
    const std::vector<std::string> ours = {QORDEX_BIN_DIR "/qordex-cli", "whois", "--server",
                                           "127.0.0.1", "--port", portText, "big"};
    const std::vector<std::string> theirs = {"/usr/bin/python3", "-c", kPythonClient, portText};
    std::vector<double> ratios, oursRates, theirRates;
    for (int i = 0; i < pairs; ++i) {
        const double a = Timed(ours, "qordex-cli whois");
        const double b = Timed(theirs, "python client");
        if (a <= 0 || b <= 0)
            return 1;
        oursRates.push_back(a);
        theirRates.push_back(b);
        ratios.push_back(a / b);
    }
    std::printf("whois, 64 MiB answer: qordex-cli %.1f MiB/s, python %.1f MiB/s, ratio %.2f "
                "(median of %d pairs)\n",
                Median(oursRates), Median(theirRates), Median(ratios), pairs);
    return 0;
}
