// qordex-cli smtp-server: the SMTP server tool without its window.  It
// prints the window's log lines and stores each received message in the
// destination folder, until Ctrl-C.

#include "cli/Command.h"
#include "mail/SmtpServerTool.h"
#include "platform/MessageLoop.h"
#include "tools/FailureText.h"

#include <cstdio>
#include <string>

namespace qordex::cli {
namespace {

constexpr const char* kName = "smtp-server";

void PrintHelp() {
    std::printf(
        "Usage: qordex-cli smtp-server [--addr A] [--port N] [--greeting TEXT] [--dir DIR]\n\n"
        "Receives mail by SMTP and stores each message as a .eml file named after its\n"
        "recipient and the time of DATA, printing the server's log lines.\n\n"
        "  --addr A         local address to listen on (default 0.0.0.0)\n"
        "  --port N         port, a number or a service name (default 25, which needs root)\n"
        "  --greeting TEXT  text after \"220 \" in the greeting (default \"Qordex SMTP server\n"
        "                   ready.\")\n"
        "  --dir DIR        destination folder, made when needed (default %s)\n"
        "  -h, --help       show this help\n\n"
        "Runs until Ctrl-C.  Exit status: 0 when the server ran, 1 when it could not\n"
        "start, 2 for bad usage.\n",
        mail::DefaultMailFolder().c_str());
}

struct Options {
    std::string addr = "0.0.0.0";
    std::string port = "25";
    std::string greeting = "Qordex SMTP server ready.";
    std::string dir = mail::DefaultMailFolder();
};

int ParseArgs(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            PrintHelp();
            return 0;
        }
        bool missing = false;
        const char* name = TakeTextOption(argc, argv, i,
                                          {{"--addr", &o.addr},
                                           {"--port", &o.port},
                                           {"--greeting", &o.greeting},
                                           {"--dir", &o.dir}},
                                          missing);
        if (!name)
            return UsageError(kName, "unexpected argument '" + arg + "'");
        if (missing)
            return UsageError(kName, std::string(name) + " needs a value");
    }
    if (o.port.empty())
        return UsageError(kName, "--port needs a value");
    if (o.dir.empty())
        return UsageError(kName, "--dir needs a folder");
    if (o.dir.back() != '/')
        o.dir += '/';
    return -1;
}

int RunSmtpServer(int argc, char** argv) {
    Options o;
    if (int rc = ParseArgs(argc, argv, o); rc >= 0)
        return rc;
    CatchInterrupt();
    mail::TSmtpServerTool tool;
    tool.Folder = o.dir;
    // A message brings several log lines: they go out together when the
    // loop is about to wait instead of a write each.
    PrintLinesWhenIdle();
    tool.OnLog = [](const std::string& line) { PrintLine(line); };
    try {
        tool.Start(o.addr, o.port, o.greeting);
    } catch (const ESocketException& e) {
        return Failure(kName, FailureLines(e, o.port));
    }
    PumpUntil([] { return Interrupted(); });
    tool.Stop();
    return 0;
}

const Registration reg{kName, "receive mail by SMTP and store each message in a file",
                       RunSmtpServer};

} // namespace
} // namespace qordex::cli
