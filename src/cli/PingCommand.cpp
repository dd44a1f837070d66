// qordex-cli ping: the Ping tool without its window.  It prints the lines the
// window prints and, at the end or on Ctrl-C, the two summary lines.

#include "base/Text.h"
#include "cli/Command.h"
#include "diag/PingStats.h"
#include "diag/PingThread.h"
#include "platform/IcmpService.h"
#include "platform/MessageLoop.h"

#include <QCoreApplication>
#include <QObject>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace qordex::cli {
namespace {

using diag::PingStats;
using diag::TPingThread;

void PrintHelp() {
    std::printf("Usage: qordex-cli ping [-c COUNT] [-i INTERVAL_MS] [-t TTL] [-W TIMEOUT_MS]\n"
                "                       [-s SIZE] [-b BULK] HOST\n\n"
                "Sends COUNT batches of BULK ICMP echo requests to HOST, INTERVAL_MS apart,\n"
                "prints one line per request and then the summary of the run.\n\n"
                "  -c COUNT       batches to send (default 4)\n"
                "  -i INTERVAL_MS pause between batches in ms (default 500)\n"
                "  -t TTL         time to live of each request, 1..255 (default 40)\n"
                "  -W TIMEOUT_MS  time to wait for each reply in ms (default 1000)\n"
                "  -s SIZE        payload bytes, 0..65500 (default 56)\n"
                "  -b BULK        requests sent at once, 1..%d (default 1)\n"
                "  -h, --help     show this help\n\n"
                "Ctrl-C ends the run and prints the summary.  Exit status: 0 when a reply\n"
                "came, 1 when none did, 2 for bad usage.\n\n"
                "Without root, ICMP needs either the sysctl\n"
                "  net.ipv4.ping_group_range='0 2147483647'\n"
                "or the capability cap_net_raw on the program.\n",
                diag::kMaxBulk);
}

struct Options {
    long long count = 4;
    long long interval = 500;
    long long ttl = 40;
    long long timeout = 1000;
    long long size = 56;
    long long bulk = 1;
    std::string host;
};

// Parses the arguments; returns -1 to go on, else the exit status.
int ParseArgs(int argc, char** argv, Options& o) {
    struct Opt {
        char letter;
        long long* value;
        long long lo, hi;
        const char* what;
    } table[] = {
        {'c', &o.count, 1, 1000000000, "COUNT must be a whole number of at least 1"},
        {'i', &o.interval, 0, 86400000, "INTERVAL_MS must be a whole number from 0"},
        {'t', &o.ttl, 1, 255, "TTL must be a whole number from 1 to 255"},
        {'W', &o.timeout, 0, 86400000, "TIMEOUT_MS must be a whole number from 0"},
        {'s', &o.size, 0, qordex::kIcmpMaxPayload, "SIZE must be a whole number from 0 to 65500"},
        {'b', &o.bulk, 1, diag::kMaxBulk, "BULK must be a whole number from 1 to 100"},
    };
    bool endOfOptions = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (!endOfOptions && (!std::strcmp(arg, "--help") || !std::strcmp(arg, "-h"))) {
            PrintHelp();
            return 0;
        }
        if (!endOfOptions && !std::strcmp(arg, "--")) {
            endOfOptions = true;
            continue;
        }
        if (!endOfOptions && arg[0] == '-' && arg[1] != '\0') {
            auto it = std::find_if(std::begin(table), std::end(table),
                                   [&](const Opt& t) { return t.letter == arg[1]; });
            if (it == std::end(table))
                return UsageError("ping", std::string("unknown option '") + arg + "'");
            const char* value = arg[2] ? arg + 2 : (i + 1 < argc ? argv[++i] : nullptr);
            if (!value)
                return UsageError("ping", std::string("option -") + it->letter + " needs a value");
            const auto parsed = ParseDecimal(value, it->lo, it->hi);
            if (!parsed)
                return UsageError("ping", std::string(it->what) + " (got '" + value + "')");
            *it->value = *parsed;
            continue;
        }
        if (!o.host.empty())
            return UsageError("ping", std::string("more than one host given ('") + arg + "')");
        o.host = arg;
    }
    if (o.host.empty())
        return UsageError("ping", "no host given");
    return -1;
}

int RunPing(int argc, char** argv) {
    Options o;
    if (int rc = ParseArgs(argc, argv, o); rc >= 0)
        return rc;

    if (!IcmpEchoService::Open()) {
        // Each request will say "Unable to get ping handle"; say once how to fix it.
        std::fprintf(stderr,
                     "qordex-cli ping: no ICMP socket can be opened; allow one with\n"
                     "  sysctl -w net.ipv4.ping_group_range='0 2147483647'\n"
                     "or give the program the capability: setcap cap_net_raw+ep qordex-cli\n");
    }

    CatchInterrupt();
    auto interrupted = [] { return Interrupted(); };

    QObject sink; // the "window": lines and completions arrive on this thread
    auto relay = std::make_shared<diag::PingLineRelay>(
        &sink, [](const std::string& line) { PrintLine(line); });
    PingStats stats;
    std::vector<TPingThread*> running;

    auto startBatch = [&](bool first) {
        for (long long b = 0; b < o.bulk; ++b) {
            auto* w = new TPingThread(o.host, int(o.ttl), int(o.timeout), int(o.size),
                                      first ? relay : nullptr);
            QObject::connect(
                w, &QThread::finished, &sink,
                [&running, &stats, w] {
                    running.erase(std::remove(running.begin(), running.end(), w), running.end());
                    PrintLine(w->ResultLine());
                    stats.Add(w->Success(), w->RoundTrip());
                    delete w;
                },
                Qt::QueuedConnection);
            running.push_back(w);
            w->start(QThread::LowestPriority);
        }
    };

    for (long long batch = 0; batch < o.count && !interrupted(); ++batch) {
        if (batch > 0 && PumpUntil(interrupted, int(o.interval)))
            break;
        startBatch(batch == 0);
        PumpUntil([&] { return running.empty() || interrupted(); });
    }

    const bool abandoned = !running.empty();
    if (abandoned) {
        // Interrupted: requests still out are not waited for.
        relay->Detach();
        for (TPingThread* w : running) {
            QObject::disconnect(w, nullptr, &sink, nullptr);
            w->RequestStop();
        }
    }
    PrintLine(stats.PacketLine());
    PrintLine(stats.TimeLine());
    const int status = stats.Received() > 0 ? 0 : 1;
    if (abandoned) {
        // Workers blocked in a request cannot be joined now; leave at once.
        std::_Exit(FinishOutput("ping", status));
    }
    return status;
}

const Registration reg{"ping", "send ICMP echo requests to a host", RunPing};

} // namespace
} // namespace qordex::cli
