// qordex-cli netinfo: one operation of the Net information tool, headless.
// The arguments answer the operation's questions in order, all of them and
// no more; the command prints exactly the lines the window writes.

#include "base/Text.h"
#include "cli/Command.h"
#include "diag/IpHlpApi.h"
#include "diag/IpThread.h"
#include "diag/NetInfoCommands.h"
#include "platform/MessageLoop.h"

#include <cstdio>
#include <cstring>
#include <strings.h>

namespace {

using qordex::cli::PrintLine;
using qordex::cli::UsageError;
using qordex::diag::NetInfoCommand;
using qordex::diag::NetInfoCommands;

const char kName[] = "netinfo";

class CliIO : public qordex::diag::NetInfoIO {
public:
    explicit CliIO(std::vector<std::string> answers) : answers_(std::move(answers)) {}

    void Line(const std::string& line) override { PrintLine(line); }
    std::optional<std::string> Ask(const std::string&) override {
        if (asked_ >= answers_.size())
            return std::nullopt;
        return answers_[asked_++];
    }
    void Error(const std::string& message) override {
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n", message.c_str());
        failed_ = true;
    }
    void Cancelled(const std::string& prompt) override { cancelled_ = prompt; }
    bool Failed() const { return failed_; }
    // The question whose empty answer ended the operation; empty when none did.
    const std::string& CancelledAt() const { return cancelled_; }

private:
    std::vector<std::string> answers_;
    std::size_t asked_ = 0;
    bool failed_ = false;
    std::string cancelled_;
};

void Usage(FILE* out) {
    std::fprintf(out, "Usage: qordex-cli netinfo OPERATION [ANSWER...]\n"
                      "       qordex-cli netinfo NotifyAddrChange|NotifyRouteChange [SECONDS]\n"
                      "       qordex-cli netinfo --list\n"
                      "       qordex-cli netinfo OPERATION --help\n\n"
                      "Runs one operation of the Net information tool and prints what the window\n"
                      "writes.  The ANSWERs answer the operation's questions in order, every one\n"
                      "of them (--list shows them).  Example: qordex-cli netinfo GetIfEntry 1\n"
                      "EnableRouter holds its request for IPv4 forwarding until Ctrl-C and then\n"
                      "withdraws it.  The Notify operations print a line for each change: until\n"
                      "the first one, or for SECONDS seconds when given.\n\n"
                      "Exit status: 0 done, 1 the operation failed, 2 bad usage (an unknown\n"
                      "operation, a missing, empty or extra answer).\n");
}

struct Watcher {
    const char* command;
    int kind;
    const char* text;
    const char* summary;
};

const Watcher kWatchers[] = {
    {"NotifyAddrChange", qordex::diag::TWaitingThread::kAddrChange, "AddressChanged",
     "Prints \"AddressChanged\" when an IPv4 address is added or removed."},
    {"NotifyRouteChange", qordex::diag::TWaitingThread::kRouteChange, "RouteChanged",
     "Prints \"RouteChanged\" when an IPv4 route is added or removed."},
};

void List() {
    for (const NetInfoCommand& c : NetInfoCommands()) {
        std::string line = c.caption;
        if (!c.questions.empty()) {
            line.resize(23, ' ');
            for (std::size_t i = 0; i < c.questions.size(); ++i)
                line += (i ? " \"" : "\"") + qordex::Trim(c.questions[i]) + "\"";
        }
        PrintLine(line);
    }
    for (const Watcher& w : kWatchers) {
        std::string line = w.command;
        line.resize(23, ' ');
        PrintLine(line + "[SECONDS]");
    }
}

void OperationHelp(const NetInfoCommand& c) {
    std::string usage = "Usage: qordex-cli netinfo " + c.caption;
    for (std::size_t i = 0; i < c.questions.size(); ++i)
        usage += " ANSWER" + std::to_string(i + 1);
    PrintLine(usage);
    PrintLine("");
    PrintLine(c.summary);
    PrintLine("The \"" + c.caption + "\" button of the page \"" + c.page +
              "\" of the Net information window.");
    PrintLine("");
    if (c.questions.empty()) {
        PrintLine("It asks nothing and takes no arguments.");
    } else {
        PrintLine("The arguments answer its questions, in this order:");
        for (std::size_t i = 0; i < c.questions.size(); ++i)
            PrintLine("  " + std::to_string(i + 1) + ". " + qordex::Trim(c.questions[i]));
    }
    if (c.caption == "EnableRouter")
        PrintLine("\nThe request stands until Ctrl-C (or SIGTERM, SIGHUP); then it is withdrawn\n"
                  "and forwarding is back to what it was before.");
    if (c.caption == "UnenableRouter")
        PrintLine("\nOnly requests of this program count, so on the command line it has none to\n"
                  "withdraw: end a running EnableRouter with Ctrl-C instead.");
}

void WatcherHelp(const Watcher& w) {
    PrintLine(std::string("Usage: qordex-cli netinfo ") + w.command + " [SECONDS]");
    PrintLine("");
    PrintLine(w.summary);
    PrintLine("Without SECONDS it ends after the first change; with SECONDS it watches that");
    PrintLine("long (0 to 86400).");
}

bool IsHelp(const char* arg) {
    return !std::strcmp(arg, "--help") || !std::strcmp(arg, "-h");
}

int RunWatcher(const Watcher& w, int argc, char** argv) {
    if (argc > 1)
        return UsageError(std::string(kName) + " " + w.command, "takes one argument at most");
    long long seconds = -1;
    if (argc > 0) {
        if (auto v = qordex::ParseDecimal(argv[0], 0, 86400))
            seconds = *v;
        else
            return UsageError(kName, std::string("bad number of seconds '") + argv[0] + "'");
    }
    try {
        qordex::diag::TWaitingThread watcher(w.kind, w.text);
        bool done = false;
        watcher.OnChange = [&](qordex::diag::TWaitingThread&, const std::string& text) {
            PrintLine(text);
            if (seconds < 0)
                done = true;
        };
        watcher.OnTerminate = [&](qordex::diag::TWaitingThread&, int) { done = true; };
        qordex::PumpUntil([&] { return done; }, seconds < 0 ? -1 : int(seconds * 1000));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}

// The request for forwarding is this process's: it stands while the command
// runs and goes with it, as the window withdraws its requests when it closes.
int HoldRouterRequest() {
    std::fflush(stdout);
    std::fprintf(stderr, "qordex-cli netinfo: IPv4 forwarding stays requested until Ctrl-C\n");
    qordex::PumpUntil([] { return qordex::cli::Interrupted(); });
    qordex::diag::WithdrawRouterRequests();
    return 0;
}

int RunOperation(const NetInfoCommand& c, int argc, char** argv) {
    std::vector<std::string> answers(argv, argv + argc);
    if (!answers.empty() && answers.front() == "--")
        answers.erase(answers.begin());
    const std::size_t want = c.questions.size();
    const std::string name = std::string(kName) + " " + c.caption;
    if (answers.size() < want)
        return UsageError(name, "needs an answer to \"" +
                                    qordex::Trim(c.questions[answers.size()]) + "\"");
    if (answers.size() > want)
        return UsageError(name, (want == 0 ? std::string("takes no arguments")
                                           : "takes " + std::to_string(want) +
                                                 (want == 1 ? " answer" : " answers")) +
                                    ", got " + std::to_string(answers.size()));
    const bool router = c.caption == "EnableRouter";
    // Before the request is made, so that no Ctrl-C can leave it standing.
    if (router)
        qordex::cli::CatchInterrupt();
    CliIO io(answers);
    try {
        c.run(io);
    } catch (const std::exception& e) {
        // The lines written before the failure stay.
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    if (io.Failed())
        return 1;
    if (!io.CancelledAt().empty())
        return UsageError(name, "empty answer to \"" + qordex::Trim(io.CancelledAt()) + "\"");
    return router ? HoldRouterRequest() : 0;
}

int RunNetInfo(int argc, char** argv) {
    if (argc < 2) {
        Usage(stderr);
        return 2;
    }
    if (IsHelp(argv[1])) {
        Usage(stdout);
        return 0;
    }
    if (!std::strcmp(argv[1], "--list")) {
        if (argc > 2)
            return UsageError(kName, "--list takes no arguments");
        List();
        return 0;
    }
    const bool help = argc > 2 && IsHelp(argv[2]);
    for (const Watcher& w : kWatchers) {
        if (strcasecmp(w.command, argv[1]) != 0)
            continue;
        if (help) {
            WatcherHelp(w);
            return 0;
        }
        return RunWatcher(w, argc - 2, argv + 2);
    }
    for (const NetInfoCommand& c : NetInfoCommands()) {
        if (strcasecmp(c.caption.c_str(), argv[1]) != 0)
            continue;
        if (help) {
            OperationHelp(c);
            return 0;
        }
        return RunOperation(c, argc - 2, argv + 2);
    }
    return UsageError(kName, std::string("unknown operation '") + argv[1] + "' (see --list)");
}

const qordex::cli::Registration reg{"netinfo", "show and change the IP configuration", RunNetInfo};

} // namespace
