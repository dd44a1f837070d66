// SMTP server throughput: the same load from Python's smtplib (2,000 small
// messages over 10 connections at once, one client script) against
// `qordex-cli smtp-server` and against aiosmtpd with a handler that stores
// each message in a file, alternating, median of 3 rounds.  It prints both
// rates in messages/s, the ratio (ours / aiosmtpd's) and whether every
// stored file parses back to the message sent.
//
//   bench_smtp_server [rounds]

#include "support/Process.h"

#include <QDir>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

using namespace qordex::test;

namespace {

constexpr int kMessages = 2000;
constexpr int kConnections = 10;
const std::string kPython = "/usr/bin/python3";
const std::string kLoad = QORDEX_SOURCE_DIR "/bench/smtp_server_load.py";

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Seconds of processor time (user and system) a running process used so far.
double CpuSeconds(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return 0;
    // After the name: state and 10 more fields, then utime and stime.
    std::istringstream rest(stat.substr(close + 2));
    std::string field;
    for (int i = 0; i < 11; ++i)
        rest >> field;
    double utime = 0, stime = 0;
    rest >> utime >> stime;
    return (utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// Messages per second of one round against the server `command` starts
// (its output thrown away); 0 when something failed.  `checked` tells
// whether every stored file parsed back to a message sent; `cpuPerMessage`
// gets the server's processor time per message in microseconds, a figure
// that other work on a shared machine disturbs far less than the rate.
double Round(const std::string& name, const std::string& command, const std::string& dir,
             int port, bool& checked, double& cpuPerMessage) {
    Background server({"/bin/sh", "-c", "exec " + command + " >/dev/null 2>&1"});
    if (!WaitForTcpPort(port, 30000)) {
        std::fprintf(stderr, "bench_smtp_server: %s did not start\n", name.c_str());
        return 0;
    }
    const CommandResult r = Run({kPython, kLoad, "send", std::to_string(port),
                                 std::to_string(kMessages), std::to_string(kConnections)},
                                {}, 600000);
    if (r.status != 0) {
        std::fprintf(stderr, "bench_smtp_server: load on %s failed: %s\n", name.c_str(),
                     r.err.c_str());
        return 0;
    }
    const double seconds = std::atof(r.out.c_str());
    cpuPerMessage = CpuSeconds(server.Pid()) * 1e6 / kMessages;
    const CommandResult c = Run({kPython, kLoad, "check", dir, std::to_string(kMessages)}, {},
                                120000);
    checked = checked && c.status == 0 && c.out == "ok\n";
    if (c.status != 0)
        std::fprintf(stderr, "bench_smtp_server: %s stored wrongly: %s\n", name.c_str(),
                     c.err.c_str());
    return seconds > 0 ? kMessages / seconds : 0;
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    if (Run({kPython, "-c", "import aiosmtpd"}).status != 0) {
        std::printf("bench_smtp_server: skipped, python3-aiosmtpd is not installed\n");
        return 0;
    }
    std::vector<double> ours, theirs, ratios, oursCpu, theirCpu;
    bool checked = true;
    // Every round's files stay until the end: a file system that has just
    // freed thousands of inodes makes the next round's file creation scan
    // past them, which would slow whichever server comes right after.
    QTemporaryDir tmp;
    for (int i = 0; i < rounds; ++i) {
        const std::string round = tmp.path().toStdString() + "/" + std::to_string(i + 1);
        const std::string oursDir = round + "/ours";
        const std::string theirDir = round + "/aiosmtpd";
        double ca = 0, cb = 0;
        const int p1 = FreeTcpPort();
        const double a = Round("qordex-cli smtp-server",
                               Quote(BinPath("qordex-cli")) + " smtp-server --addr 127.0.0.1 --port " +
                                   std::to_string(p1) + " --dir " + Quote(oursDir),
                               oursDir, p1, checked, ca);
        const int p2 = FreeTcpPort();
        const double b = Round("aiosmtpd",
                               kPython + " " + Quote(kLoad) + " aiosmtpd " + std::to_string(p2) +
                                   " " + Quote(theirDir),
                               theirDir, p2, checked, cb);
        if (a <= 0 || b <= 0)
            return 1;
        ours.push_back(a);
        theirs.push_back(b);
        ratios.push_back(a / b);
        oursCpu.push_back(ca);
        theirCpu.push_back(cb);
        std::printf("round %d: ours %.0f msg/s, aiosmtpd %.0f msg/s, ratio %.2f; server CPU per "
                    "message %.0f us / %.0f us\n",
                    i + 1, a, b, a / b, ca, cb);
    }
    std::printf("qordex-cli smtp-server: %.0f messages/s (median of %d)\n", Median(ours), rounds);
    std::printf("aiosmtpd (file per message): %.0f messages/s\n", Median(theirs));
    std::printf("ratio ours/aiosmtpd: %.2f (goal 3.00)\n", Median(ratios));
    std::printf("server CPU per message: ours %.0f us, aiosmtpd %.0f us (aiosmtpd/ours %.2f)\n",
                Median(oursCpu), Median(theirCpu),
                Median(oursCpu) > 0 ? Median(theirCpu) / Median(oursCpu) : 0.0);
    std::printf("stored files parse back to the messages sent: %s\n", checked ? "yes" : "NO");
    return checked ? 0 : 1;
}
