// qordex-cli tcp-client: the TCP/UDP client tool without its window, as a
// netcat-like session.  Each line of standard input goes out with the chosen
// terminator; what comes back is printed as the window's text view shows
// it (and with --hex its frame lines first); the status lines go to stderr.

#include "cli/Command.h"
#include "platform/MessageLoop.h"
#include "tools/TcpClientTool.h"

#include <QSocketNotifier>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace qordex::cli {
namespace {

constexpr const char* kName = "tcp-client";
// Input is not read while this much waits to be sent, so that a slow peer
// does not make the whole of standard input pile up in memory.
constexpr long long kMaxQueued = 1 << 20;

void PrintHelp() {
    std::printf(
        "Usage: qordex-cli tcp-client [--udp] [--line-end crlf|lf|cr|lfcr|none]\n"
        "                  [--socks HOST:PORT [--socks-user U --socks-pass P]] [--hex]\n"
        "                  [--wait SECONDS] HOST PORT\n\n"
        "Talks to a TCP (or UDP) service: each line read from standard input is sent\n"
        "followed by the chosen terminator; what comes back is printed on standard\n"
        "output, cut into lines at LF; status lines go to standard error.\n\n"
        "  --udp             use UDP instead of TCP (one datagram per line)\n"
        "  --line-end END    terminator for sending and for receiving lines: crlf\n"
        "                    (default), lf, cr, lfcr or none (data shown as it arrives)\n"
        "  --socks HOST:PORT connect through this SOCKS 5 proxy (TCP only)\n"
        "  --socks-user U    user name for the proxy (with --socks-pass)\n"
        "  --socks-pass P    password for the proxy\n"
        "  --hex             print each received block as hexadecimal bytes first\n"
        "  --wait SECONDS    after the end of input, how long the peer may stay silent\n"
        "                    before the session is closed (default 5)\n"
        "  -h, --help        show this help\n\n"
        "The end of standard input closes the connection gracefully once everything\n"
        "was sent and the peer has answered.\n"
        "Exit status: 0 after a normal close, 1 when the connection failed, 2 for bad usage.\n");
}

struct Options {
    tools::TcpClientSettings settings;
    bool hex = false;
    int waitSeconds = 5;
};

int ParseArgs(int argc, char** argv, Options& o) {
    std::vector<std::string> positional;
    std::string lineEnd = "crlf", socks, waitText;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        bool missing = false;
        if (arg == "--help" || arg == "-h") {
            PrintHelp();
            return 0;
        }
        if (arg == "--udp") {
            o.settings.udp = true;
        } else if (arg == "--hex") {
            o.hex = true;
        } else if (const char* opt = TakeTextOption(argc, argv, i,
                                                    {{"--line-end", &lineEnd},
                                                     {"--socks", &socks},
                                                     {"--socks-user", &o.settings.proxyUser},
                                                     {"--socks-pass", &o.settings.proxyPassword},
                                                     {"--wait", &waitText}},
                                                    missing)) {
            if (missing)
                return UsageError(kName, std::string(opt) + " needs a value");
        } else if (arg.size() > 1 && arg[0] == '-') {
            return UsageError(kName, "unknown option '" + arg + "'");
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() != 2)
        return UsageError(kName, "needs HOST and PORT (see --help)");
    o.settings.server = positional[0];
    o.settings.port = positional[1];
    if (o.settings.server.empty() || o.settings.port.empty())
        return UsageError(kName, "HOST and PORT must not be empty");
    static const std::pair<const char*, const char*> ends[] = {
        {"crlf", "\r\n"}, {"lf", "\n"}, {"cr", "\r"}, {"lfcr", "\n\r"}, {"none", ""}};
    bool known = false;
    for (const auto& [name, bytes] : ends)
        if (lineEnd == name) {
            o.settings.lineEnd = bytes;
            known = true;
        }
    if (!known)
        return UsageError(kName,
                          "--line-end must be crlf, lf, cr, lfcr or none (got '" + lineEnd + "')");
    if (!socks.empty()) {
        const std::size_t colon = socks.rfind(':');
        if (colon == std::string::npos || colon == 0 || colon + 1 == socks.size())
            return UsageError(kName, "--socks needs HOST:PORT (got '" + socks + "')");
        if (o.settings.udp)
            return UsageError(kName, "--socks works with TCP only");
        o.settings.useProxy = true;
        o.settings.proxyAddress = socks.substr(0, colon);
        o.settings.proxyPort = socks.substr(colon + 1);
    }
    o.settings.proxyAuth = !o.settings.proxyUser.empty() || !o.settings.proxyPassword.empty();
    if (o.settings.proxyAuth && !o.settings.useProxy)
        return UsageError(kName, "--socks-user and --socks-pass need --socks");
    if (!waitText.empty()) {
        const auto w = ParseTimeoutSeconds(waitText);
        if (!w)
            return UsageError(kName, "--wait must be whole seconds from 1 to 86400 (got '" +
                                         waitText + "')");
        o.waitSeconds = *w;
    }
    return -1;
}

void Status(const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

int RunTcpClient(int argc, char** argv) {
    Options o;
    if (int rc = ParseArgs(argc, argv, o); rc >= 0)
        return rc;
    CatchInterrupt();

    using Clock = std::chrono::steady_clock;
    tools::TTcpClientTool tool;
    tool.ShowFrame = o.hex;
    bool connected = false, ended = false, failed = false;
    Clock::time_point lastWord = Clock::now();
    tool.OnStatus = [](const std::string& line) { Status(line); };
    tool.OnConnected = [&] { connected = true; };
    tool.OnReset = [&] {
        ended = true;
        failed = failed || !connected;
    };
    tool.OnReceived = [&](const std::string* frame, const std::vector<std::string>& entries) {
        lastWord = Clock::now();
        if (frame)
            PrintLine(*frame);
        for (const std::string& e : entries)
            PrintLine(e);
    };

    if (!tool.Connect(o.settings))
        return 1;
    // With a proxy the session is up only once the proxy has connected us.
    PumpUntil([&] { return connected || ended || Interrupted(); });
    if (!connected || ended) {
        if (!ended)
            tool.Abort();
        return 1;
    }

    // Standard input, line by line, sent as it comes in; the reading stops
    // while much is still queued and goes on once the queue has drained.
    TWSocket& sock = tool.Socket();
    std::string partial;
    bool inputDone = false;
    auto sendLines = [&](std::string& text, bool last) {
        std::string batch;
        std::size_t start = 0;
        for (std::size_t lf; (lf = text.find('\n', start)) != std::string::npos; start = lf + 1) {
            std::size_t end = lf > start && text[lf - 1] == '\r' ? lf - 1 : lf;
            batch.append(text, start, end - start);
            batch += tool.Terminator();
            if (o.settings.udp) {
                tool.SendRaw(batch);
                batch.clear();
            }
        }
        text.erase(0, start);
        if (last && !text.empty()) {
            batch += text + tool.Terminator();
            text.clear();
        }
        if (!batch.empty())
            tool.SendRaw(batch);
    };
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    auto readInput = [&] {
        char buf[65536];
        ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            return;
        if (n > 0) {
            partial.append(buf, std::size_t(n));
            sendLines(partial, false);
        } else {
            inputDone = true;
            input.setEnabled(false);
            sendLines(partial, true);
        }
        if (!inputDone && sock.BufferedBytes() > kMaxQueued)
            input.setEnabled(false);
    };
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        if (tool.Connected())
            readInput();
    });
    sock.OnDataSent = [&](TCustomWSocket*, std::uint16_t) {
        if (!inputDone)
            input.setEnabled(true);
    };

    PumpUntil([&] { return ended || inputDone || Interrupted(); });
    if (!ended && !Interrupted()) {
        // Everything read goes out before our side of the stream ends; the
        // peer answers what it got and ends its side, or falls silent.
        PumpUntil([&] { return ended || sock.AllSent() || Interrupted(); });
        if (!ended && !o.settings.udp)
            sock.Shutdown(1);
        lastWord = Clock::now();
        WaitWhileTalking([&] { return ended; }, lastWord, o.waitSeconds);
    }
    if (!ended)
        tool.Disconnect();
    PumpUntil([&] { return ended; }, 5000);
    return failed ? 1 : 0;
}

const Registration reg{kName, "talk to a TCP or UDP service through standard input and output",
                       RunTcpClient};

} // namespace
} // namespace qordex::cli
