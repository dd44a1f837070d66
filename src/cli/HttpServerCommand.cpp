// qordex-cli http-server: the HTTP server tool without its window.  It serves
// a folder and prints the log lines the window shows, until Ctrl-C or SIGTERM.

#include "base/Text.h"
#include "cli/Command.h"
#include "platform/MessageLoop.h"
#include "tools/FailureText.h"
#include "web/HttpServTool.h"

#include <cstdio>
#include <string>
#include <sys/stat.h>

namespace qordex::cli {
namespace {

constexpr const char* kName = "http-server";

void PrintHelp() {
    std::printf(
        "Usage: qordex-cli http-server --root DIR [--addr A] [--port N] [--max-clients N]\n"
        "         [--backlog N] [--default-doc NAME] [--dir-list]\n"
        "         [--auth basic|digest --user USER:PASSWORD] [--show-headers] [--timeout S]\n\n"
        "Serves the files of a folder over HTTP and prints a line per request.\n\n"
        "  --root DIR          the folder served (required)\n"
        "  --addr A            local address to listen on (default 0.0.0.0)\n"
        "  --port N            port, a number or a service name (default 80; ports below\n"
        "                      1024 need root)\n"
        "  --max-clients N     simultaneous clients, 0 for no limit (default 50); one\n"
        "                      more gets 503\n"
        "  --backlog N         connections the system queues before they are accepted\n"
        "                      (default 5)\n"
        "  --default-doc NAME  document served for a folder (default index.htm)\n"
        "  --dir-list          list folders that hold no default document\n"
        "  --auth basic|digest ask for a user name and password\n"
        "  --user USER:PASS    the one user accepted with --auth\n"
        "  --show-headers      print each request's header lines too\n"
        "  --timeout S         seconds a client has to send a request head, and a kept\n"
        "                      connection may stay idle (default 30; 0: no limit)\n"
        "  -h, --help          show this help\n\n"
        "GET /Variables shows the server variables; POST /Form with Name=... answers\n"
        "with that name.  Exit status: 0 after Ctrl-C or SIGTERM, 1 when the server\n"
        "could not start, 2 for bad usage.\n");
}

struct Options {
    std::string root, addr = "0.0.0.0", port = "80", defaultDoc = "index.htm";
    int maxClients = 50, backlog = 5, timeout = 30;
    bool dirList = false, showHeaders = false;
    web::TAuthenticationType auth = web::atNone;
    std::string user, password;
};

int ParseArgs(int argc, char** argv, Options& o) {
    std::string maxClients, backlog, timeout, auth, user;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        bool missing = false;
        if (arg == "--help" || arg == "-h") {
            PrintHelp();
            return 0;
        }
        if (arg == "--dir-list") {
            o.dirList = true;
        } else if (arg == "--show-headers") {
            o.showHeaders = true;
        } else if (const char* name = TakeTextOption(
                       argc, argv, i,
                       {{"--root", &o.root}, {"--addr", &o.addr}, {"--port", &o.port},
                        {"--max-clients", &maxClients}, {"--backlog", &backlog},
                        {"--default-doc", &o.defaultDoc}, {"--auth", &auth}, {"--user", &user},
                        {"--timeout", &timeout}},
                       missing)) {
            if (missing)
                return UsageError(kName, std::string(name) + " needs a value");
        } else {
            return UsageError(kName, "unexpected argument '" + arg + "'");
        }
    }
    if (o.root.empty())
        return UsageError(kName, "--root DIR is required");
    struct stat st {};
    if (::stat(o.root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return UsageError(kName, "'" + o.root + "' is not a folder");
    if (o.port.empty() || o.addr.empty() || o.defaultDoc.empty())
        return UsageError(kName, "--port, --addr and --default-doc need a value");
    auto number = [](const std::string& text, int lo, int hi, int& out) {
        if (text.empty())
            return true;
        const auto v = ParseDecimal(text, lo, hi);
        if (v)
            out = int(*v);
        return v.has_value();
    };
    if (!number(maxClients, 0, 1000000, o.maxClients))
        return UsageError(kName, "--max-clients needs a whole number from 0 (got '" + maxClients + "')");
    if (!number(backlog, 1, 65535, o.backlog))
        return UsageError(kName, "--backlog needs a whole number from 1 (got '" + backlog + "')");
    if (!number(timeout, 0, 86400, o.timeout))
        return UsageError(kName, "--timeout needs seconds from 0 to 86400 (got '" + timeout + "')");
    if (!auth.empty()) {
        if (auth == "basic")
            o.auth = web::atBasic;
        else if (auth == "digest")
            o.auth = web::atDigest;
        else
            return UsageError(kName, "--auth must be basic or digest (got '" + auth + "')");
        const std::size_t colon = user.find(':');
        if (colon == std::string::npos || colon == 0)
            return UsageError(kName, "--auth needs --user USER:PASSWORD");
        o.user = user.substr(0, colon);
        o.password = user.substr(colon + 1);
    } else if (!user.empty()) {
        return UsageError(kName, "--user goes with --auth");
    }
    return -1;
}

int RunHttpServer(int argc, char** argv) {
    Options o;
    if (int rc = ParseArgs(argc, argv, o); rc >= 0)
        return rc;

    CatchInterrupt();
    PrintLinesWhenIdle();
    web::THttpServTool tool;
    tool.ShowHeaders = o.showHeaders;
    bool stopped = false;
    tool.OnLog = [](const std::string& line) { PrintLine(line); };
    tool.OnStopped = [&stopped] { stopped = true; };
    web::THttpServer& srv = tool.Server();
    srv.SetListenBacklog(o.backlog);
    srv.SetTimeout(o.timeout);
    srv.SetOptions(o.dirList ? web::THttpOptions(web::hoAllowDirList) : 0);
    srv.SetAuthType(o.auth);
    srv.OnAuthGetPassword = [&o](web::THttpServer*, web::THttpConnection* c, std::string& pass) {
        if (c->AuthUserName() == o.user)
            pass = o.password;
        else
            pass = std::string(1, '\0') + "no such user"; // never typed by anyone
    };
    try {
        tool.Start(o.addr, o.port, o.maxClients, o.root, o.defaultDoc);
    } catch (const ESocketException& e) {
        return Failure(kName, FailureLines(e, o.port));
    }
    PumpUntil([&] { return stopped || Interrupted(); });
    if (!stopped) {
        tool.Stop();
        PumpUntil([&] { return stopped; }, 5000);
    }
    return 0;
}

const Registration reg{kName, "serve a folder over HTTP and print each request", RunHttpServer};

} // namespace
} // namespace qordex::cli
