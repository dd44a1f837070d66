// qordex-cli udp-listen: the UDP listener without its window.  It prints
// "Server started", then per accepted datagram the sender line and the data
// lines as the window's two panes show them, and "Server closed." at the end.

#include "base/Text.h"
#include "cli/Command.h"
#include "platform/DisplayText.h"
#include "platform/MessageLoop.h"
#include "tools/FailureText.h"
#include "tools/UdpListener.h"

#include <cstdio>
#include <string>

namespace qordex::cli {
namespace {

constexpr const char* kName = "udp-listen";

void PrintHelp() {
    std::printf(
        "Usage: qordex-cli udp-listen [--port N] [--filter ADDR] [--no-line-end] [--count N]\n\n"
        "Receives UDP datagrams on a local port (on every local address) and prints,\n"
        "for each one, the sender as ADDRESS:PORT and then its contents.\n\n"
        "  --port N       local port, a number or a service name (default 600; ports\n"
        "                 below 1024 need root)\n"
        "  --filter ADDR  show only datagrams from this sender (default 0.0.0.0: any);\n"
        "                 127.0.0.1 stands for any address of this machine\n"
        "  --no-line-end  print each datagram's bytes up to the first zero byte as one\n"
        "                 entry, instead of splitting them into lines at CR and LF\n"
        "  --count N      stop after N datagrams (default: run until Ctrl-C)\n"
        "  -h, --help     show this help\n\n"
        "Each datagram is read into a buffer of 1024 bytes: longer ones are cut.\n"
        "Exit status: 0 when the listener ran, 1 when it could not start, 2 for bad usage.\n");
}

struct Options {
    std::string port = "600";
    std::string filter = "0.0.0.0";
    bool lineEnd = true;
    long long count = 0; // 0: until interrupted
};

// Parses the arguments; returns -1 to go on, else the exit status.
int ParseArgs(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string value;
        bool missing = false;
        if (arg == "--help" || arg == "-h") {
            PrintHelp();
            return 0;
        }
        if (arg == "--no-line-end") {
            o.lineEnd = false;
        } else if (TakeOption(argc, argv, i, "--port", value, missing)) {
            if (missing || value.empty())
                return UsageError(kName, "--port needs a value");
            o.port = value;
        } else if (TakeOption(argc, argv, i, "--filter", value, missing)) {
            if (missing || value.empty())
                return UsageError(kName, "--filter needs an address");
            o.filter = value;
        } else if (TakeOption(argc, argv, i, "--count", value, missing)) {
            if (missing)
                return UsageError(kName, "--count needs a value");
            const auto count = ParseDecimal(value, 1, 1000000000000LL);
            if (!count)
                return UsageError(kName, "COUNT must be a whole number of at least 1 (got '" +
                                             value + "')");
            o.count = *count;
        } else {
            return UsageError(kName, "unexpected argument '" + arg + "'");
        }
    }
    return -1;
}

int RunUdpListen(int argc, char** argv) {
    Options o;
    if (int rc = ParseArgs(argc, argv, o); rc >= 0)
        return rc;

    CatchInterrupt();
    TUdpListener listener;
    listener.LineEnd = o.lineEnd;
    bool closed = false;
    long long accepted = 0;
    listener.OnStarted = [] { PrintLine("Server started"); };
    listener.OnClosed = [&closed] {
        closed = true;
        PrintLine("Server closed.");
    };
    listener.OnDatagram = [&](const std::string& sender, const std::vector<std::string>& entries) {
        PrintLine(sender);
        for (const std::string& e : entries)
            PrintLine(BytesToDisplay(e).toStdString());
        if (o.count > 0 && ++accepted >= o.count)
            listener.Stop();
    };

    try {
        listener.Start(o.port, o.filter);
    } catch (const ESocketException& e) {
        return Failure(kName, FailureLines(e, o.port));
    }
    PumpUntil([&closed] { return closed || Interrupted(); });
    if (!closed)
        listener.Stop();
    return 0;
}

const Registration reg{kName, "receive UDP datagrams on a port and print them", RunUdpListen};

} // namespace
} // namespace qordex::cli
