// qordex-cli tcp-server: the TCP server tool without its window.  It prints
// the status lines and the received data lines, as the window's two panes
// show them, until Ctrl-C.

#include "base/Text.h"
#include "cli/Command.h"
#include "platform/DisplayText.h"
#include "platform/MessageLoop.h"
#include "tools/TcpServerTool.h"

#include <cstdio>
#include <string>

namespace qordex::cli {
namespace {

constexpr const char* kName = "tcp-server";

void PrintHelp() {
    std::printf(
        "Usage: qordex-cli tcp-server --port N [--banner TEXT] [--echo] [--max-clients N]\n"
        "                             [--line-end crlf|lf|cr|lfcr|none] [--hex]\n\n"
        "Accepts TCP clients on a local port (on every local address), greets each with\n"
        "a banner and prints what they send, one line per received line.\n\n"
        "  --port N           local port, a number or a service name (required)\n"
        "  --banner TEXT      greeting sent to each client with the line end (default\n"
        "                     \"Welcome to Qordex TCP server\"; empty sends none)\n"
        "  --echo             send everything received back to its client\n"
        "  --max-clients N    serve at most N clients at once; the next ones read\n"
        "                     \"Sorry, too many clients\" and are closed\n"
        "  --line-end END     line terminator (default crlf); with none, data is shown\n"
        "                     in blocks as it arrives\n"
        "  --hex              also print the received bytes in hexadecimal\n"
        "  -h, --help         show this help\n\n"
        "Runs until Ctrl-C.  Exit status: 0 when the server ran, 1 when it could not\n"
        "start, 2 for bad usage.\n");
}

int RunTcpServer(int argc, char** argv) {
    tools::TcpServerSettings s;
    tools::TTcpServerTool tool;
    std::string lineEnd = "crlf";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            PrintHelp();
            return 0;
        }
        if (arg == "--echo") {
            tool.Echo = true;
            continue;
        }
        if (arg == "--hex") {
            tool.ShowFrame = true;
            continue;
        }
        bool missing = false;
        const char* name = TakeTextOption(argc, argv, i,
                                          {{"--port", &s.port},
                                           {"--banner", &s.banner},
                                           {"--max-clients", &s.maxClients},
                                           {"--line-end", &lineEnd}},
                                          missing);
        if (!name)
            return UsageError(kName, "unexpected argument '" + arg + "'");
        if (missing)
            return UsageError(kName, std::string(name) + " needs a value");
    }
    if (s.port.empty())
        return UsageError(kName, "--port is required");
    if (!s.maxClients.empty() && !ParseDecimal(s.maxClients, 1, 2147483647LL))
        return UsageError(kName, "--max-clients must be a whole number of at least 1 (got '" +
                                     s.maxClients + "')");
    const struct {
        const char* name;
        const char* item;
    } ends[] = {{"crlf", "CR LF (13 10)"}, {"lf", "LF (10)"}, {"cr", "CR (13)"},
                {"lfcr", "LF CR (10 13)"}, {"none", "NO"}};
    bool known = false;
    for (const auto& e : ends) {
        if (lineEnd == e.name) {
            s.lineEnd = tools::LineEndFromItem(e.item);
            known = true;
        }
    }
    if (!known)
        return UsageError(kName, "--line-end must be crlf, lf, cr, lfcr or none (got '" +
                                     lineEnd + "')");

    CatchInterrupt();
    bool failed = false;
    tool.OnStatus = [](const std::string& line) { PrintLine(line); };
    tool.OnData = [](const std::string& line) { PrintLine(BytesToDisplay(line).toStdString()); };
    tool.OnRunning = [&failed](bool running) { failed = !running; };
    if (!tool.Start(s))
        return Failure(kName, {"the server could not start on port " + s.port});
    PumpUntil([&] { return Interrupted() || failed; });
    tool.OnRunning = nullptr;
    if (tool.Running())
        tool.Stop();
    // The clients say goodbye before the program ends.
    PumpUntil([&] { return tool.Entries().empty() && tool.WSocketServer1.ClientCount() == 0; },
              2000);
    return failed ? 1 : 0;
}

const Registration reg{kName, "accept TCP clients on a port and print what they send",
                       RunTcpServer};

} // namespace
} // namespace qordex::cli
