// qordex-cli time and time-server: the time client and the time server
// without their windows.  `time` prints the client window's log lines, then
// its answer field as the last line; `time-server` prints the server
// window's log lines and, after each request, its counter.

#include "base/Text.h"
#include "cli/Command.h"
#include "platform/MessageLoop.h"
#include "time/TimeClientTool.h"
#include "time/TimeCodec.h"
#include "time/TimeServ.h"

#include <cstdio>
#include <vector>
#include <string>

namespace qordex::cli {
namespace {

constexpr const char* kClientName = "time";
constexpr const char* kServerName = "time-server";
constexpr int kDefaultTimeoutMs = 5000;

void PrintClientHelp() {
    std::printf(
        "Usage: qordex-cli time [--udp] [--daytime] [--sync] [--timeout MS]\n"
        "                       [--socks HOST:PORT [--socks-user U --socks-pass P]] SERVER\n\n"
        "Asks SERVER for the time: the Time protocol (port 37, RFC 868) or, with\n"
        "--daytime, the Daytime protocol (port 13, RFC 867), over TCP or UDP.  Prints\n"
        "the dialogue, then the answer as the last line: a Time answer as\n"
        "yyyy-MM-dd HH:mm:ss in UTC, a Daytime answer as the text received.\n\n"
        "  --udp                 over UDP (default TCP)\n"
        "  --daytime             Daytime instead of Time\n"
        "  --sync                set this machine's clock from the Time answer (needs\n"
        "                        the right to set the clock; not with --daytime)\n"
        "  --timeout MS          give up after MS milliseconds without an answer\n"
        "                        (default 5000): the last line is then \"aborted\"\n"
        "  --socks HOST:PORT     through a SOCKS 5 server (TCP only)\n"
        "  --socks-user U        SOCKS user name; --socks-pass P its password\n"
        "  -h, --help            show this help\n\n"
        "Exit status: 0 on an answer (and, with --sync, a set clock), 1 otherwise,\n"
        "2 for bad usage.\n");
}

void PrintServerHelp() {
    std::printf(
        "Usage: qordex-cli time-server [--tcp] [--udp]\n\n"
        "Answers Time protocol requests (RFC 868) on port 37 of every local address\n"
        "with this machine's time, over TCP and UDP (both unless one is chosen), until\n"
        "Ctrl-C or SIGTERM.  Prints \"Server started\", then after each request its\n"
        "counter (\"TCP requests: 3\"), and \"Server closed.\" at the end.  Port 37\n"
        "needs root.\n\n"
        "  --tcp        serve TCP\n"
        "  --udp        serve UDP\n"
        "  -h, --help   show this help\n\n"
        "Exit status: 0 after serving, 1 when the server could not start, 2 for bad usage.\n");
}

struct ClientOptions {
    TTimeRequest request;
    bool sync = false;
    int timeoutMs = kDefaultTimeoutMs;
};

int ParseClientArgs(int argc, char** argv, ClientOptions& o) {
    std::string timeout, socks, user, pass;
    std::vector<std::string> rest;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        bool missing = false;
        if (arg == "--help" || arg == "-h") {
            PrintClientHelp();
            return 0;
        }
        if (arg == "--udp") {
            o.request.udp = true;
        } else if (arg == "--daytime") {
            o.request.daytime = true;
        } else if (arg == "--sync") {
            o.sync = true;
        } else if (const char* name = TakeTextOption(argc, argv, i,
                                                     {{"--timeout", &timeout},
                                                      {"--socks", &socks},
                                                      {"--socks-user", &user},
                                                      {"--socks-pass", &pass}},
                                                     missing)) {
            if (missing)
                return UsageError(kClientName, std::string(name) + " needs a value");
            if (std::string(name) == "--timeout") {
                const auto ms = ParseDecimal(timeout, 1, 86400000);
                if (!ms)
                    return UsageError(kClientName,
                                      "--timeout wants milliseconds from 1 to 86400000 (got '" +
                                          timeout + "')");
                o.timeoutMs = int(*ms);
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            return UsageError(kClientName, "unknown option '" + arg + "'");
        } else {
            rest.push_back(arg);
        }
    }
    if (rest.size() != 1)
        return UsageError(kClientName, "give one SERVER (see --help)");
    o.request.server = rest.front();
    if (o.sync && o.request.daytime)
        return UsageError(kClientName, "--sync sets the clock from a Time answer, not --daytime");
    if (!socks.empty()) {
        TSocks5Settings& s = o.request.socks;
        if (!SplitHostPort(socks, s.address, s.port))
            return UsageError(kClientName, "--socks wants HOST:PORT");
        s.use = true;
        s.authenticate = !user.empty() || !pass.empty();
        s.user = user;
        s.password = pass;
    } else if (!user.empty() || !pass.empty()) {
        return UsageError(kClientName, "--socks-user and --socks-pass go with --socks");
    }
    return -1;
}

int RunTime(int argc, char** argv) {
    ClientOptions o;
    if (int rc = ParseClientArgs(argc, argv, o); rc >= 0)
        return rc;

    CatchInterrupt();
    TTimeClientTool tool;
    tool.Sync = o.sync;
    tool.LocaleFormat = false;
    std::string shown;
    tool.OnLog = [](const std::string& line) { PrintLine(line); };
    tool.OnTimeEdit = [&shown](const std::string& text) { shown = text; };

    if (tool.Start(o.request)) {
        // The request ends with its session; the timeout is the Cancel button.
        if (!PumpUntil([&] { return !tool.Busy() || Interrupted(); }, o.timeoutMs) ||
            tool.Busy())
            tool.Cancel();
    }
    // A Daytime answer is shown as received; the terminal gets a whole line.
    if (!shown.empty() && shown.back() == '\n')
        shown.pop_back();
    PrintLine(shown);
    const bool ok = tool.Answered() && (!o.sync || tool.ClockSet());
    return ok ? 0 : 1;
}

int RunTimeServer(int argc, char** argv) {
    bool tcp = false, udp = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            PrintServerHelp();
            return 0;
        }
        if (arg == "--tcp")
            tcp = true;
        else if (arg == "--udp")
            udp = true;
        else
            return UsageError(kServerName, "unexpected argument '" + arg + "'");
    }
    if (!tcp && !udp)
        tcp = udp = true;

    CatchInterrupt();
    TTimeServ server;
    std::string tcpCount = "0", udpCount = "0";
    bool stopped = false;
    server.SetTimeProtocol({udp, tcp});
    server.OnStart = [&](TTimeServ*) {
        PrintLine("Server started");
        tcpCount = udpCount = "0";
    };
    server.OnStop = [&](TTimeServ*) {
        stopped = true;
        PrintLine("Server closed.");
    };
    server.OnQuery = [&](TTimeServ*, const TSockAddrIn&, TTimeProtocol p, bool&) {
        std::string& count = p == tpTCP ? tcpCount : udpCount;
        count = NextCounterText(count);
        PrintLine((p == tpTCP ? "TCP requests: " : "UDP requests: ") + count);
    };

    PrintLine("Waiting for socket");
    try {
        server.Start();
    } catch (const ESocketException& e) {
        const std::string msg = e.what();
        PrintLine(msg.substr(0, msg.find_first_of("\r\n")));
        return 1;
    }
    PumpUntil([&] { return stopped || Interrupted(); });
    if (!stopped)
        server.Stop();
    return 0;
}

const Registration clientReg{kClientName, "ask a server for the time (Time or Daytime protocol)",
                             RunTime};
const Registration serverReg{kServerName, "answer Time protocol requests on port 37", RunTimeServer};

} // namespace
} // namespace qordex::cli
