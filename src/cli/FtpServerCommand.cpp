// qordex-cli ftp-server: the FTP server tool without its window.  It prints
// the window's log lines and runs until Ctrl-C or SIGTERM.

#include "base/Text.h"
#include "cli/Command.h"
#include "ftp/FtpServerTool.h"
#include "platform/MessageLoop.h"
#include "tools/FailureText.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <sys/stat.h>

namespace qordex::cli {
namespace {

constexpr const char* kName = "ftp-server";

void PrintHelp() {
    std::printf(
        "Usage: qordex-cli ftp-server --root DIR [--addr A] [--port N]\n"
        "         (--user U --password P | --anonymous) [--allow LIST]\n"
        "         [--max-clients N] [--pasv-range LO-HI] [--banner TEXT]\n\n"
        "Serves the folder DIR over FTP; clients see it as \"/\" and cannot leave it.\n\n"
        "  --root DIR         the folder served\n"
        "  --addr A           listening address (default 127.0.0.1)\n"
        "  --port N           listening port (default 21; 0 picks a free one)\n"
        "  --user U           the user name accepted, with --password P\n"
        "  --anonymous        accept USER anonymous or ftp with any password\n"
        "  --allow LIST       what clients may do, from get,put,rename,dele,cwd,mkd,rmd\n"
        "                     (default get,put,rename; get with --anonymous)\n"
        "  --max-clients N    clients served at once (default 256)\n"
        "  --pasv-range LO-HI passive data ports (default: any free port)\n"
        "  --banner TEXT      the greeting (default \"220 FTP Server ready.\")\n"
        "  -h, --help         show this help\n\n"
        "Exit status: 0 after Ctrl-C or SIGTERM, 1 when the server cannot start,\n"
        "2 for bad usage.\n");
}

int RunFtpServer(int argc, char** argv) {
    std::string root, addr = "127.0.0.1", port = "21", user, password, allow, maxClients = "256",
                      range, banner = "220 FTP Server ready.";
    bool anonymous = false, userGiven = false, passGiven = false, allowGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            PrintHelp();
            return 0;
        }
        if (arg == "--anonymous") {
            anonymous = true;
            continue;
        }
        bool missing = false;
        const char* name =
            TakeTextOption(argc, argv, i,
                           {{"--root", &root}, {"--addr", &addr}, {"--port", &port},
                            {"--user", &user}, {"--password", &password}, {"--allow", &allow},
                            {"--max-clients", &maxClients}, {"--pasv-range", &range},
                            {"--banner", &banner}},
                           missing);
        if (!name)
            return UsageError(kName, "unexpected argument '" + arg + "'");
        if (missing)
            return UsageError(kName, std::string(name) + " needs a value");
        const std::string n = name;
        userGiven |= n == "--user";
        passGiven |= n == "--password";
        allowGiven |= n == "--allow";
    }
    if (root.empty())
        return UsageError(kName, "--root DIR is required");
    struct stat st {};
    if (::stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return UsageError(kName, "--root '" + root + "' is not a folder");
    if (anonymous == (userGiven || passGiven) || (!anonymous && !(userGiven && passGiven)))
        return UsageError(kName, "give either --user U --password P or --anonymous");
    std::vector<ftp::FtpPermission> perms;
    if (!allowGiven)
        allow = anonymous ? "get" : "get,put,rename";
    if (!ftp::ParsePermissions(allow, perms))
        return UsageError(kName, "--allow takes words from get,put,rename,dele,cwd,mkd,rmd");
    const auto max = ParseDecimal(maxClients, 1, 1000000);
    if (!max)
        return UsageError(kName, "--max-clients must be a whole number of at least 1");
    int lo = 0, hi = 0;
    if (!range.empty()) {
        const std::size_t dash = range.find('-');
        const auto l = ParseDecimal(range.substr(0, dash), 1, 65535);
        const auto h = dash == std::string::npos ? std::nullopt
                                                 : ParseDecimal(range.substr(dash + 1), 1, 65535);
        if (!l || !h || *h < *l)
            return UsageError(kName, "--pasv-range must be LO-HI, ports from 1 to 65535");
        lo = int(*l);
        hi = int(*h);
    }

    CatchInterrupt();
    ftp::TFtpServerTool tool;
    tool.SharingDir = root;
    tool.Anonymous = anonymous;
    tool.UserName = user;
    tool.Password = password;
    tool.Allowed = [perms](ftp::FtpPermission p) {
        return std::find(perms.begin(), perms.end(), p) != perms.end();
    };
    tool.OnLog = [](const std::string& line) { PrintLine(line); };
    tool.Server().Banner = banner;
    tool.Server().MaxClients = int(*max);
    if (lo != 0) {
        tool.Server().SetPasvPortRangeSize(hi - lo + 1);
        tool.Server().SetPasvPortRangeStart(lo);
    }
    for (const std::string& line : tool.StartupLines())
        PrintLine(line);
    try {
        tool.Start(addr, port);
    } catch (const ESocketException& e) {
        return Failure(kName, FailureLines(e, port));
    }
    if (port == "0")
        PrintLine("Listening on port " + tool.Server().BoundPort());
    PumpUntil([] { return Interrupted(); });
    tool.Stop();
    return 0;
}

const Registration reg{kName, "serve a folder over FTP", RunFtpServer};

} // namespace
} // namespace qordex::cli
