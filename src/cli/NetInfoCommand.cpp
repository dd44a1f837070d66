// qordex-cli netinfo: one operation of the Net information tool, headless.
// The ARGS answer the operation's prompts in order; a missing one counts as
// cancel.  Prints exactly the lines the window writes.

#include "base/Text.h"
#include "cli/Command.h"
#include "diag/IpHlpError.h"
#include "diag/IpThread.h"
#include "diag/NetInfoCommands.h"
#include "platform/MessageLoop.h"

#include <cstdio>
#include <cstring>
#include <strings.h>

namespace {

using qordex::diag::NetInfoCommands;

class CliIO : public qordex::diag::NetInfoIO {
public:
    CliIO(int argc, char** argv) : argc_(argc), argv_(argv) {}

    void Line(const std::string& line) override {
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
    }
    std::optional<std::string> Ask(const std::string&) override {
        if (next_ >= argc_)
            return std::nullopt;
        return std::string(argv_[next_++]);
    }
    void Error(const std::string& message) override {
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n", message.c_str());
        failed_ = true;
    }
    bool Failed() const { return failed_; }

private:
    int argc_;
    char** argv_;
    int next_ = 0;
    bool failed_ = false;
};

void Usage(FILE* out) {
    std::fprintf(out, "Usage: qordex-cli netinfo COMMAND [ARGS]\n"
                      "       qordex-cli netinfo NotifyAddrChange|NotifyRouteChange [SECONDS]\n"
                      "       qordex-cli netinfo --list\n\n"
                      "Runs one operation of the Net information tool and prints what the window\n"
                      "writes.  ARGS answer the operation's questions in order; a missing answer\n"
                      "cancels.  Example: qordex-cli netinfo GetIfEntry 1\n"
                      "The Notify commands print a line for each change: until the first one, or\n"
                      "for SECONDS seconds when given.\n");
}

struct Watcher {
    const char* command;
    int kind;
    const char* text;
};

const Watcher kWatchers[] = {
    {"NotifyAddrChange", qordex::diag::TWaitingThread::kAddrChange, "AddressChanged"},
    {"NotifyRouteChange", qordex::diag::TWaitingThread::kRouteChange, "RouteChanged"},
};

int RunWatcher(const Watcher& w, int argc, char** argv) {
    long long seconds = -1;
    if (argc > 0) {
        if (auto v = qordex::ParseDecimal(argv[0], 0, 86400))
            seconds = *v;
        else
            return qordex::cli::UsageError("netinfo",
                                           std::string("bad number of seconds '") + argv[0] + "'");
    }
    try {
        qordex::diag::TWaitingThread watcher(w.kind, w.text);
        bool done = false;
        watcher.OnChange = [&](qordex::diag::TWaitingThread&, const std::string& text) {
            std::printf("%s\n", text.c_str());
            std::fflush(stdout);
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

int RunNetInfo(int argc, char** argv) {
    if (argc < 2) {
        Usage(stderr);
        return 2;
    }
    if (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
        Usage(stdout);
        return 0;
    }
    if (!std::strcmp(argv[1], "--list")) {
        for (const auto& c : NetInfoCommands())
            std::printf("%s\n", c.caption.c_str());
        for (const auto& w : kWatchers)
            std::printf("%s\n", w.command);
        return 0;
    }
    for (const auto& w : kWatchers)
        if (strcasecmp(w.command, argv[1]) == 0)
            return RunWatcher(w, argc - 2, argv + 2);
    for (const auto& c : NetInfoCommands()) {
        if (strcasecmp(c.caption.c_str(), argv[1]) != 0)
            continue;
        CliIO io(argc - 2, argv + 2);
        try {
            c.run(io);
        } catch (const std::exception& e) {
            // The lines written before the failure stay.
            std::fflush(stdout);
            std::fprintf(stderr, "%s\n", e.what());
            return 1;
        }
        std::fflush(stdout);
        return io.Failed() ? 1 : 0;
    }
    return qordex::cli::UsageError("netinfo",
                                   std::string("unknown command '") + argv[1] + "' (see --list)");
}

const qordex::cli::Registration reg{"netinfo", "show and change the IP configuration", RunNetInfo};

} // namespace
