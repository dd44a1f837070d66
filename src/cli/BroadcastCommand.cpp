// qordex-cli broadcast: the broadcast sender without its window.  It sends
// one message as one UDP datagram, by default to 255.255.255.255.

#include "cli/Command.h"
#include "platform/MessageLoop.h"
#include "tools/BroadcastSender.h"
#include "tools/FailureText.h"

#include <cstdio>
#include <string>

namespace qordex::cli {
namespace {

constexpr const char* kName = "broadcast";
constexpr int kSendTimeoutMs = 10000; // for the system to take the datagram

void PrintHelp() {
    std::printf("Usage: qordex-cli broadcast [--port N] [--local-port N] [--addr A] MESSAGE...\n\n"
                "Sends MESSAGE (the arguments joined by spaces, without any line end) as one\n"
                "UDP datagram, by default to the limited broadcast address 255.255.255.255.\n\n"
                "  --port N        destination port, a number or a service name (default 600)\n"
                "  --local-port N  local port to send from (default 0: chosen by the system;\n"
                "                  ports below 1024 need root)\n"
                "  --addr A        destination: a directed broadcast address such as\n"
                "                  192.168.1.255, or a single host (default 255.255.255.255)\n"
                "  -h, --help      show this help\n\n"
                "An empty message sends nothing.  Exit status: 0 when the datagram was sent\n"
                "(or the message was empty), 1 when it could not be sent, 2 for bad usage.\n");
}

struct Options {
    std::string port = "600";
    std::string localPort = "0";
    std::string addr = "255.255.255.255";
    std::string message;
    bool haveMessage = false;
};

// Parses the arguments; returns -1 to go on, else the exit status.
int ParseArgs(int argc, char** argv, Options& o) {
    bool endOfOptions = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string value;
        bool missing = false;
        if (!endOfOptions && arg.size() > 1 && arg[0] == '-') {
            if (arg == "--help" || arg == "-h") {
                PrintHelp();
                return 0;
            }
            if (arg == "--") {
                endOfOptions = true;
                continue;
            }
            std::string* target = nullptr;
            for (auto [name, field] :
                 {std::pair{"--port", &o.port}, std::pair{"--local-port", &o.localPort},
                  std::pair{"--addr", &o.addr}})
                if (!target && TakeOption(argc, argv, i, name, value, missing)) {
                    if (missing || value.empty())
                        return UsageError(kName, std::string(name) + " needs a value");
                    target = field;
                }
            if (!target)
                return UsageError(kName, "unknown option '" + arg + "'");
            *target = value;
            continue;
        }
        if (o.haveMessage)
            o.message += ' ';
        o.message += arg;
        o.haveMessage = true;
    }
    if (!o.haveMessage)
        return UsageError(kName, "no message given");
    return -1;
}

int RunBroadcast(int argc, char** argv) {
    Options o;
    if (int rc = ParseArgs(argc, argv, o); rc >= 0)
        return rc;

    CatchInterrupt();
    TBroadcastSender sender;
    std::string from;
    try {
        if (!sender.Send(o.addr, o.port, o.localPort, o.message)) {
            std::fprintf(stderr, "qordex-cli %s: the message is empty: nothing sent\n", kName);
            return 0;
        }
        from = sender.WSocket.LocalPort();
    } catch (const ESocketException& e) {
        return Failure(kName, FailureLines(e, o.localPort));
    }
    if (!PumpUntil([&] { return !sender.Busy() || Interrupted(); }, kSendTimeoutMs) ||
        sender.Busy()) {
        return Failure(kName, {"the datagram was not sent"});
    }
    PrintLine("Sent " + std::to_string(o.message.size()) + " bytes to " + o.addr + ":" + o.port +
              " from port " + from);
    return 0;
}

const Registration reg{kName, "send one UDP datagram to a broadcast address", RunBroadcast};

} // namespace
} // namespace qordex::cli
