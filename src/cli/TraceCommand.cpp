// qordex-cli trace: the Traceroute tool without its window.  It runs the
// trace as the window does (every hop at once, in rounds) and prints the
// table in the form Save to file writes it.

#include "cli/Command.h"
#include "diag/Trace.h"
#include "platform/IcmpService.h"
#include "platform/MessageLoop.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <variant>

namespace qordex::cli {
namespace {

constexpr const char* kName = "trace";

void PrintHelp() {
    std::printf("Usage: qordex-cli trace [--hops N] [--tries N] [--timeout MS] [--size N] HOST\n\n"
                "Finds the routers between this machine and HOST: probes every hop at once\n"
                "with ICMP echo requests of increasing time to live, in rounds that re-probe\n"
                "the hops still unanswered, then looks up the name of each hop.\n\n"
                "  --hops N       rows, the highest time to live, 0..255 (default 40)\n"
                "  --tries N      rounds (default 4)\n"
                "  --timeout MS   time to wait for each answer in ms (default 1000)\n"
                "  --size N       payload bytes per probe, 0..65500 (default 56)\n"
                "  -h, --help     show this help\n\n"
                "Ctrl-C or SIGTERM stops the trace and prints the table so far.  Exit status:\n"
                "0 when a hop reached HOST, 1 otherwise, 2 for bad usage.\n\n"
                "Without root, ICMP needs the sysctl\n"
                "  net.ipv4.ping_group_range='0 2147483647'\n"
                "or the capability cap_net_raw on the program.\n");
}

int RunTrace(int argc, char** argv) {
    std::string hops = "40", tries = "4", timeout = "1000", size = "56", host;
    const auto stop = ReadArguments(
        argc, argv, kName, PrintHelp,
        {{"--hops", &hops}, {"--tries", &tries}, {"--timeout", &timeout}, {"--size", &size}}, {},
        [&](const std::string& arg) -> std::optional<std::string> {
            if (!host.empty())
                return "more than one host given ('" + arg + "')";
            host = arg;
            return std::nullopt;
        });
    if (stop)
        return *stop;
    if (host.empty())
        return UsageError(kName, "no host given");
    const auto read = diag::ReadTraceSettings(hops, tries, timeout, size);
    if (const auto* error = std::get_if<std::string>(&read))
        return UsageError(kName, *error);

    if (!IcmpEchoService::Open())
        std::fprintf(stderr, "qordex-cli trace: no ICMP socket can be opened; allow one with\n"
                             "  sysctl -w net.ipv4.ping_group_range='0 2147483647'\n"
                             "or give the program the capability: setcap cap_net_raw+ep "
                             "qordex-cli\n");

    CatchInterrupt();
    diag::TTraceRun run;
    run.Start(host, std::get<diag::TraceSettings>(read));
    PumpUntil([&] { return !run.Running() || Interrupted(); });
    const bool abandoned = run.Running();
    run.Cancel();
    for (const std::string& line : diag::TraceReportLines(host, run.LookupLabel(), run.Rows()))
        PrintLine(line);
    const int status = run.Complete() ? 0 : 1;
    if (abandoned) {
        // Workers blocked in a probe or a lookup cannot be joined now; leave at once.
        std::fflush(stdout);
        std::_Exit(FinishOutput(kName, status));
    }
    return status;
}

const Registration reg{kName, "find the routers on the way to a host", RunTrace};

} // namespace
} // namespace qordex::cli
