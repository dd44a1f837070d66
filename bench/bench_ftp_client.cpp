// FTP client download speed: a 1 GiB file on tmpfs served by vsftpd,
// fetched to /dev/null by `qordex-cli ftp get` and by curl, alternating, in
// pairs; the ratio is the median of the per-pair ratios.
//
//   bench_ftp_client [pairs]

#include "BenchSupport.h"
#include "support/FtpPeers.h"
#include "support/Process.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace qordex::test;
using qordex::bench::MakeShmDir;
using qordex::bench::Median;
using qordex::bench::WriteNoiseFile;
using Clock = std::chrono::steady_clock;

namespace {

constexpr long long kFileSize = 1LL << 30;

// MiB/s of one run of the command; 0 when it failed.
double Timed(const std::vector<std::string>& argv) {
    const auto start = Clock::now();
    const CommandResult r = Run(argv, {}, 60000);
    const double s = std::chrono::duration<double>(Clock::now() - start).count();
    if (r.status != 0) {
        std::fprintf(stderr, "bench_ftp_client: %s failed: %s\n", argv[0].c_str(), r.err.c_str());
        return 0;
    }
    return double(kFileSize) / (1 << 20) / s;
}

} // namespace

int main(int argc, char** argv) {
    const int pairs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    if (::geteuid() != 0 || !HasProgram("curl")) {
        std::printf("ftp client: skipped (needs root for vsftpd, and curl)\n");
        return 0;
    }
    const std::string dir = MakeShmDir("ftp");
    if (dir.empty()) {
        std::printf("ftp client: skipped (no tmpfs at /dev/shm)\n");
        return 0;
    }
    if (!WriteNoiseFile(dir + "/big.bin", kFileSize)) {
        std::printf("ftp client: skipped (cannot write the files to %s)\n", dir.c_str());
        Run({"rm", "-rf", "--", dir});
        return 0;
    }
    ::chmod((dir + "/big.bin").c_str(), 0644);
    double median = 0, qordex = 0, curl = 0;
    {
        VsftpdPeer server(dir);
        if (!server.Available()) {
            std::printf("ftp client: skipped (%s)\n", server.SkipReason().c_str());
            Run({"rm", "-rf", "--", dir});
            return 0;
        }
        const std::string port = std::to_string(server.Port());
        const std::vector<std::string> ours = {BinPath("qordex-cli"), "ftp", "--server",
                                               "127.0.0.1", "--port", port, "get", "big.bin",
                                               "/dev/null"};
        const std::vector<std::string> theirs = {
            "curl", "-s", "-o", "/dev/null", "ftp://127.0.0.1:" + port + "/big.bin"};
        std::vector<double> ratios, q, c;
        for (int i = 0; i < pairs; ++i) {
            // Alternate which one goes first, so neither always meets a warm cache.
            double a, b;
            if (i % 2 == 0) {
                a = Timed(ours);
                b = Timed(theirs);
            } else {
                b = Timed(theirs);
                a = Timed(ours);
            }
            if (a <= 0 || b <= 0)
                continue;
            q.push_back(a);
            c.push_back(b);
            ratios.push_back(a / b);
        }
        median = Median(ratios);
        qordex = Median(q);
        curl = Median(c);
    }
    Run({"rm", "-rf", "--", dir});
    std::printf("ftp client: 1 GiB from vsftpd, qordex %.0f MiB/s, curl %.0f MiB/s, ratio %.2f "
                "(target >= 0.90)\n",
                qordex, curl, median);
    return median >= 0.90 ? 0 : 1;
}
