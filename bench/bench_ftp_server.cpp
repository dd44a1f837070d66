// FTP server speed: a 1 GiB file on tmpfs fetched to /dev/null by curl from
// qordex-cli ftp-server and from vsftpd, alternating, in pairs (the ratio is
// the median of the per-pair ratios); then 200 clients at once, each
// logging in and fetching a 1 MiB file over PASV, checked by SHA-256.
//
//   bench_ftp_server [pairs]

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

// MiB/s of one curl download; 0 when it failed.
double Fetch(const std::string& url, const std::string& login) {
    const auto start = Clock::now();
    const CommandResult r =
        Run({"curl", "-sS", "-u", login, "-o", "/dev/null", url}, {}, 60000);
    const double s = std::chrono::duration<double>(Clock::now() - start).count();
    if (r.status != 0) {
        std::fprintf(stderr, "bench_ftp_server: curl %s failed: %s\n", url.c_str(), r.err.c_str());
        return 0;
    }
    return double(kFileSize) / (1 << 20) / s;
}

} // namespace

int main(int argc, char** argv) {
    const int pairs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    if (::geteuid() != 0 || !HasProgram("curl")) {
        std::printf("ftp server: skipped (needs root for vsftpd, and curl)\n");
        return 0;
    }
    const std::string dir = MakeShmDir("ftpsrv");
    if (dir.empty()) {
        std::printf("ftp server: skipped (no tmpfs at /dev/shm)\n");
        return 0;
    }
    if (!WriteNoiseFile(dir + "/big.bin", kFileSize) ||
        !WriteNoiseFile(dir + "/m.bin", 1 << 20)) {
        std::printf("ftp server: skipped (cannot write the files to %s)\n", dir.c_str());
        Run({"rm", "-rf", "--", dir});
        return 0;
    }
    ::chmod((dir + "/big.bin").c_str(), 0644);
    ::chmod((dir + "/m.bin").c_str(), 0644);

    const int port = FreeTcpPort();
    Background ours({"/bin/sh", "-c", "exec \"$0\" \"$@\" > /dev/null",
                     std::string(QORDEX_BIN_DIR) + "/qordex-cli", "ftp-server", "--root", dir,
                     "--port", std::to_string(port), "--user", "u", "--password", "p",
                     "--max-clients", "400"});
    if (!WaitForTcpPort(port, 10000)) {
        std::printf("ftp server: skipped (qordex-cli ftp-server did not start)\n");
        Run({"rm", "-rf", "--", dir});
        return 0;
    }
    double median = 0, qordex = 0, vsftpd = 0;
    {
        VsftpdPeer peer(dir);
        if (!peer.Available()) {
            std::printf("ftp server: skipped (%s)\n", peer.SkipReason().c_str());
            Run({"rm", "-rf", "--", dir});
            return 0;
        }
        const std::string ourUrl = "ftp://127.0.0.1:" + std::to_string(port) + "/big.bin";
        const std::string theirUrl = "ftp://127.0.0.1:" + std::to_string(peer.Port()) + "/big.bin";
        std::vector<double> ratios, q, v;
        for (int i = 0; i < pairs; ++i) {
            const double a = Fetch(ourUrl, "u:p");
            const double b = Fetch(theirUrl, "anonymous:bench@");
            if (a > 0 && b > 0) {
                ratios.push_back(a / b);
                q.push_back(a);
                v.push_back(b);
            }
        }
        median = Median(ratios);
        qordex = Median(q);
        vsftpd = Median(v);
    }
    std::printf("ftp server: 1 GiB to curl, qordex %.0f MiB/s, vsftpd %.0f MiB/s, ratio %.2f "
                "(target >= 0.90)\n",
                qordex, vsftpd, median);

    const std::string script = R"PY(
import ftplib, hashlib, io, sys, threading
port = int(sys.argv[1]); want = sys.argv[2]
ok = 0; errors = 0; lock = threading.Lock()
def one():
    global ok, errors
    try:
        f = ftplib.FTP(); f.connect('127.0.0.1', port, timeout=60); f.login('u', 'p')
        b = io.BytesIO(); f.retrbinary('RETR m.bin', b.write); f.quit()
        good = hashlib.sha256(b.getvalue()).hexdigest() == want
    except Exception:
        good = False
    with lock:
        if good: ok += 1
        else: errors += 1
threads = [threading.Thread(target=one) for _ in range(200)]
for t in threads: t.start()
for t in threads: t.join()
print(ok, errors)
)PY";
    const CommandResult r = Run({"/usr/bin/python3", "-c", script, std::to_string(port),
                                 FileSha256(dir + "/m.bin")},
                                {}, 120000);
    int ok = 0, errors = 200;
    if (std::sscanf(r.out.c_str(), "%d %d", &ok, &errors) != 2)
        ok = 0, errors = 200;
    std::printf("ftp server: 200 concurrent clients, %d ok, %d errors\n", ok, errors);
    Run({"rm", "-rf", "--", dir});
    return 0;
}
