#include "cli/Command.h"

#include "base/Text.h"
#include "net/Socks5Settings.h"
#include "platform/MessageLoop.h"

#include <QAbstractEventDispatcher>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace qordex::cli {
namespace {

int g_outputErrno = 0; // the first failure of standard output, 0 while none
bool g_printWhenIdle = false; // PrintLine leaves the flush to the idle loop

volatile std::sig_atomic_t g_interrupted = 0;
// The file an interrupt removes: written before it is armed, so that the
// handler never sees half a name.
char g_removePath[4096];
volatile std::sig_atomic_t g_removeArmed = 0;

void OnSignal(int sig) {
    if (g_removeArmed) {
        ::unlink(g_removePath);
        std::signal(sig, SIG_DFL);
        std::raise(sig);
        return;
    }
    g_interrupted = 1;
}

void InstallHandler() {
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &sa, nullptr);
}

void NoteOutputFailure() {
    if (g_outputErrno == 0)
        g_outputErrno = errno ? errno : EIO;
}

} // namespace

std::vector<Command>& Commands() {
    static std::vector<Command> commands;
    return commands;
}

int UsageError(const std::string& name, const std::string& message) {
    std::fprintf(stderr, "qordex-cli %s: %s\n", name.c_str(), message.c_str());
    std::fprintf(stderr, "Try 'qordex-cli %s --help'.\n", name.c_str());
    return 2;
}

int Failure(const std::string& name, const std::vector<std::string>& lines) {
    for (const std::string& line : lines)
        std::fprintf(stderr, "qordex-cli %s: %s\n", name.c_str(), line.c_str());
    return 1;
}

bool TakeOption(int argc, char** argv, int& i, const char* name, std::string& value,
                bool& missing) {
    const char* arg = argv[i];
    const std::size_t len = std::strlen(name);
    missing = false;
    if (std::strncmp(arg, name, len) != 0)
        return false;
    if (arg[len] == '=') {
        value = arg + len + 1;
        return true;
    }
    if (arg[len] != '\0')
        return false;
    if (i + 1 >= argc) {
        missing = true;
        return true;
    }
    value = argv[++i];
    return true;
}

const char* TakeTextOption(int argc, char** argv, int& i, std::initializer_list<TextOption> options,
                           bool& missing) {
    std::string value;
    for (const TextOption& o : options)
        if (TakeOption(argc, argv, i, o.name, value, missing)) {
            if (!missing)
                *o.field = value;
            return o.name;
        }
    return nullptr;
}

std::optional<int>
ReadArguments(int argc, char** argv, const std::string& name, void (*printHelp)(),
              std::initializer_list<TextOption> options, std::initializer_list<FlagOption> flags,
              const std::function<std::optional<std::string>(const std::string&)>& operand) {
    bool endOfOptions = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (!endOfOptions && arg.size() > 1 && arg[0] == '-') {
            if (arg == "--help" || arg == "-h") {
                printHelp();
                return 0;
            }
            if (arg == "--") {
                endOfOptions = true;
                continue;
            }
            const auto flag = std::find_if(flags.begin(), flags.end(),
                                           [&](const FlagOption& f) { return arg == f.name; });
            if (flag != flags.end()) {
                *flag->field = true;
                continue;
            }
            bool missing = false;
            const char* taken = TakeTextOption(argc, argv, i, options, missing);
            if (taken && missing)
                return UsageError(name, std::string(taken) + " needs a value");
            if (!taken)
                return UsageError(name, "unknown option '" + arg + "'");
            continue;
        }
        if (auto refused = operand(arg))
            return UsageError(name, *refused);
    }
    return std::nullopt;
}

bool SplitHostPort(const std::string& text, std::string& host, std::string& port) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size())
        return false;
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    return true;
}

std::optional<int> ParseTimeoutSeconds(const std::string& text) {
    const auto s = ParseDecimal(text, 1, 86400);
    if (!s)
        return std::nullopt;
    return int(*s);
}

WaitEnd WaitWhileTalking(const std::function<bool()>& done,
                         const std::chrono::steady_clock::time_point& lastWord, int seconds) {
    using Clock = std::chrono::steady_clock;
    const auto silence = std::chrono::seconds(seconds);
    while (!done()) {
        const auto seen = lastWord;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(seen + silence - Clock::now());
        if (left.count() <= 0)
            return WaitEnd::Silent;
        PumpUntil([&] { return done() || lastWord != seen || Interrupted(); },
                  int(left.count()) + 1);
        if (Interrupted())
            return WaitEnd::Interrupted;
    }
    return WaitEnd::Done;
}

void PrintLine(std::string_view line) {
    errno = 0;
    if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() ||
        std::fputc('\n', stdout) == EOF || (!g_printWhenIdle && std::fflush(stdout) != 0))
        NoteOutputFailure();
}

void PrintLinesWhenIdle() {
    auto* dispatcher = QAbstractEventDispatcher::instance();
    if (g_printWhenIdle || !dispatcher)
        return;
    g_printWhenIdle = true;
    QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, [] {
        errno = 0;
        if (std::fflush(stdout) != 0)
            NoteOutputFailure();
    });
}

int FinishOutput(const std::string& name, int status) {
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        NoteOutputFailure();
    if (g_outputErrno == 0)
        return status;
    std::fprintf(stderr, "qordex-cli%s%s: write error: %s\n", name.empty() ? "" : " ", name.c_str(),
                 std::strerror(g_outputErrno));
    // Said once, also when a command calls this before main() does.
    g_outputErrno = 0;
    std::clearerr(stdout);
    return status == 0 ? 1 : status;
}

void CatchInterrupt() {
    InstallHandler();
}

bool Interrupted() {
    return g_interrupted != 0;
}

void RemoveOnInterrupt(const std::string& path) {
    g_removeArmed = 0;
    if (path.empty() || path.size() >= sizeof g_removePath)
        return;
    std::memcpy(g_removePath, path.c_str(), path.size() + 1);
    InstallHandler();
    g_removeArmed = 1;
}

std::optional<std::string> ReadSocksOptions(const std::string& socks, const std::string& user,
                                            const std::string& pass, TSocks5Settings& out) {
    out = TSocks5Settings{};
    if (socks.empty()) {
        if (!user.empty() || !pass.empty())
            return std::string("--socks-user and --socks-pass go with --socks");
        return std::nullopt;
    }
    const std::size_t colon = socks.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == socks.size())
        return "--socks wants HOST:PORT (got '" + socks + "')";
    out.use = true;
    out.address = socks.substr(0, colon);
    out.port = socks.substr(colon + 1);
    out.authenticate = !user.empty() || !pass.empty();
    out.user = user;
    out.password = pass;
    return std::nullopt;
}

} // namespace qordex::cli
