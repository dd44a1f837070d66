// qordex-cli ftp: one complete operation of the FTP client, run through its
// blocking twin.  Listings and replies go to stdout; with -v the dialogue
// and the request's end go to stderr as the window shows them.

#include "base/Text.h"
#include "cli/Command.h"
#include "ftp/FtpCli.h"
#include "ftp/FtpReport.h"
#include "ftp/FtpText.h"
#include "platform/MessageLoop.h"

#include <QTemporaryDir>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace qordex::cli {
namespace {

using namespace qordex::ftp;

const char* const kName = "ftp";

void PrintHelp() {
    std::printf("Usage: qordex-cli ftp [OPTIONS] COMMAND [ARGS]\n\n"
                "Connects to an FTP server, logs in, runs one command and quits.\n\n"
                "Commands:\n"
                "  ls [PATH]              names in the remote directory (NLST), to stdout\n"
                "  dir [PATH]             the remote directory listing (LIST), to stdout\n"
                "  get REMOTE [LOCAL]     download (LOCAL defaults to REMOTE's last name)\n"
                "  put LOCAL [REMOTE]     upload (REMOTE defaults to LOCAL's last name)\n"
                "  del NAME               delete a remote file\n"
                "  mkdir NAME             make a remote directory\n"
                "  rmdir NAME             remove a remote directory\n"
                "  rename FROM TO         rename a remote file\n"
                "  size NAME              print \"File size is N bytes\"\n"
                "  quote TEXT             send TEXT as a command and print the reply line\n\n"
                "Options:\n"
                "  --server HOST          the FTP server (required)\n"
                "  --port N               its port (default 21)\n"
                "  --user U               user name (default anonymous)\n"
                "  --password P           password (default anonymous@)\n"
                "  --dir DIR              change to DIR after logging in\n"
                "  --passive | --active   data connections by PASV (default) or PORT\n"
                "  --ascii                ASCII type (default binary)\n"
                "  --resume               get: go on from the local file's size;\n"
                "                         put: go on from the remote file's size\n"
                "  --timeout S            seconds without progress before giving up (default 15)\n"
                "  --socks HOST:PORT      reach the server through a SOCKS proxy\n"
                "  --socks-level 4|4A|5   SOCKS version (default 5)\n"
                "  --socks-user U --socks-pass P   SOCKS user name and password\n"
                "  -v                     show the dialogue and the request's end on stderr\n"
                "  -h, --help             show this help\n\n"
                "Exit status: 0 success, 1 failure (\"Error = CODE (MESSAGE)\" on stderr),\n"
                "2 bad usage.  A failed get keeps what arrived, for --resume.\n");
}

struct Options {
    std::string server, port = "21", user = "anonymous", password = "anonymous@", dir;
    bool passive = true, ascii = false, resume = false, verbose = false;
    int timeout = 15;
    std::string socksHost, socksPort, socksLevel = "5", socksUser, socksPass;
    std::vector<std::string> args; // the command and its arguments
};

std::string BaseName(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    const std::size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

// Returns -1 to go on, else the exit status.
int ParseArgs(int argc, char** argv, Options& o) {
    bool endOfOptions = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (endOfOptions || arg.empty() || arg[0] != '-' || arg == "-") {
            o.args.push_back(arg);
            continue;
        }
        if (arg == "--") {
            endOfOptions = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            PrintHelp();
            return 0;
        }
        if (arg == "-v") {
            o.verbose = true;
            continue;
        }
        if (arg == "--passive" || arg == "--active") {
            o.passive = arg == "--passive";
            continue;
        }
        if (arg == "--ascii") {
            o.ascii = true;
            continue;
        }
        if (arg == "--resume") {
            o.resume = true;
            continue;
        }
        std::string* target = nullptr;
        std::string timeout, socks;
        if (arg == "--server")
            target = &o.server;
        else if (arg == "--port")
            target = &o.port;
        else if (arg == "--user")
            target = &o.user;
        else if (arg == "--password")
            target = &o.password;
        else if (arg == "--dir")
            target = &o.dir;
        else if (arg == "--timeout")
            target = &timeout;
        else if (arg == "--socks")
            target = &socks;
        else if (arg == "--socks-level")
            target = &o.socksLevel;
        else if (arg == "--socks-user")
            target = &o.socksUser;
        else if (arg == "--socks-pass")
            target = &o.socksPass;
        else
            return UsageError(kName, "unknown option '" + arg + "'");
        if (i + 1 >= argc)
            return UsageError(kName, "option " + arg + " needs a value");
        *target = argv[++i];
        if (arg == "--timeout") {
            const auto t = ParseDecimal(timeout, 0, 86400);
            if (!t)
                return UsageError(kName, "--timeout must be a whole number of seconds from 0 "
                                         "(got '" +
                                             timeout + "')");
            o.timeout = int(*t);
        } else if (arg == "--socks") {
            const std::size_t colon = socks.rfind(':');
            if (colon == std::string::npos || colon == 0 || colon + 1 == socks.size())
                return UsageError(kName, "--socks needs HOST:PORT (got '" + socks + "')");
            o.socksHost = socks.substr(0, colon);
            o.socksPort = socks.substr(colon + 1);
        } else if (arg == "--port" && !ParseDecimal(o.port, 1, 65535)) {
            return UsageError(kName,
                              "--port must be a number from 1 to 65535 (got '" + o.port + "')");
        } else if (arg == "--socks-level") {
            o.socksLevel = AsciiLower(o.socksLevel) == "4a" ? "4A" : o.socksLevel;
            if (o.socksLevel != "4" && o.socksLevel != "4A" && o.socksLevel != "5")
                return UsageError(kName, "--socks-level must be 4, 4A or 5");
        }
    }
    if (o.server.empty())
        return UsageError(kName, "no server given (--server HOST)");
    if (o.args.empty())
        return UsageError(kName, "no command given");
    static const struct {
        const char* name;
        std::size_t min, max;
    } commands[] = {{"ls", 0, 1},   {"dir", 0, 1},   {"get", 1, 2},   {"put", 1, 2},
                    {"del", 1, 1},  {"mkdir", 1, 1}, {"rmdir", 1, 1}, {"rename", 2, 2},
                    {"size", 1, 1}, {"quote", 1, 1}};
    const std::string& cmd = o.args[0];
    const std::size_t n = o.args.size() - 1;
    bool known = false;
    for (const auto& c : commands) {
        if (cmd != c.name)
            continue;
        known = true;
        if (n < c.min || n > c.max)
            return UsageError(kName, "wrong number of arguments for '" + cmd + "'");
    }
    if (!known)
        return UsageError(kName, "unknown command '" + cmd + "'");
    for (const std::string* field : {&o.user, &o.password, &o.dir, &o.server})
        if (HasCommandBreak(*field))
            return UsageError(kName, "CR, LF and NUL cannot be sent in a command");
    for (std::size_t k = 1; k < o.args.size(); ++k)
        if (HasCommandBreak(o.args[k]))
            return UsageError(kName, "CR, LF and NUL cannot be sent in a command");
    return -1;
}

void PrintErr(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fputc('\n', stderr);
}

bool CopyToStdout(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return true; // an empty listing leaves no file behind
    char buf[65536];
    while (in) {
        in.read(buf, sizeof buf);
        const std::streamsize n = in.gcount();
        if (n > 0 && std::fwrite(buf, 1, std::size_t(n), stdout) != std::size_t(n))
            return false;
    }
    return std::fflush(stdout) == 0;
}

int RunFtp(int argc, char** argv) {
    Options o;
    if (int rc = ParseArgs(argc, argv, o); rc >= 0)
        return rc;

    TFtpClient client;
    client.SetHostName(o.server);
    client.SetPort(o.port);
    client.SetUserName(o.user);
    client.SetPassWord(o.password);
    client.SetHostDirName(o.dir);
    client.SetPassive(o.passive);
    client.SetBinary(!o.ascii);
    client.SetTimeout(o.timeout);
    if (!o.socksHost.empty()) {
        client.SetConnectionType(o.socksLevel == "4"    ? ftpSocks4
                                 : o.socksLevel == "4A" ? ftpSocks4A
                                                        : ftpSocks5);
        client.SetSocksServer(o.socksHost);
        client.SetSocksPort(o.socksPort);
        client.SetSocksUserCode(o.socksUser);
        client.SetSocksPassword(o.socksPass);
    }

    std::string refusal;
    client.OnError = [&refusal](TCustomFtpCli*, std::string& msg) { refusal = msg; };
    bool doneSeen = false;
    int doneError = 0;
    client.OnRequestDone = [&](TCustomFtpCli* c, TFtpRequest rq, std::uint16_t err) {
        doneSeen = true;
        doneError = err;
        if (o.verbose)
            for (const std::string& line : RequestDoneLines(*c, rq, err))
                PrintErr(line);
    };
    if (o.verbose)
        client.OnDisplay = [](TCustomFtpCli*, std::string& msg) { PrintErr(msg); };
    // Runs one blocking twin, then lets its posted OnRequestDone run.
    auto run = [&](bool (TCustomFtpCli::*twin)()) {
        doneSeen = false;
        const bool success = (client.*twin)();
        PumpUntil([&] { return doneSeen; }, 2000);
        return success;
    };
    // SIZE counts in the current type (RFC 3659, 4), so it is asked after
    // TYPE; a fixed plan without TYPE gets a refusal from strict servers.
    auto remoteSize = [&]() -> bool {
        bool success = run(&TCustomFtpCli::ConnectSync) &&
                       (o.dir.empty() || run(&TCustomFtpCli::CwdSync)) &&
                       run(&TCustomFtpCli::TypeSetSync) && run(&TCustomFtpCli::SizeSync);
        if (client.Connected()) {
            const int error = doneError;
            run(&TCustomFtpCli::QuitSync);
            doneError = error;
        }
        return success;
    };

    const std::string& cmd = o.args[0];
    auto arg = [&o](std::size_t k) { return k < o.args.size() ? o.args[k] : std::string(); };
    QTemporaryDir work; // a listing waits here before it is copied out
    std::string listing;
    bool ok = false;

    if (cmd == "ls" || cmd == "dir") {
        if (!work.isValid()) {
            PrintErr("qordex-cli ftp: cannot make a temporary folder");
            return 1;
        }
        listing = work.filePath(QStringLiteral("listing")).toStdString();
        client.SetHostFileName(arg(1));
        client.SetLocalFileName(listing);
        ok = run(cmd == "ls" ? &TCustomFtpCli::ListSync : &TCustomFtpCli::DirectorySync);
    } else if (cmd == "get") {
        client.SetHostFileName(arg(1));
        client.SetLocalFileName(o.args.size() > 2 ? arg(2) : BaseName(arg(1)));
        ok = run(o.resume ? &TCustomFtpCli::RestartGetSync : &TCustomFtpCli::ReceiveSync);
    } else if (cmd == "put") {
        client.SetLocalFileName(arg(1));
        client.SetHostFileName(o.args.size() > 2 ? arg(2) : BaseName(arg(1)));
        struct stat st {};
        if (::stat(arg(1).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            PrintErr("qordex-cli ftp: cannot read '" + arg(1) + "'");
            return 1;
        }
        if (o.resume) {
            // The server's copy tells where to go on; none means from the start.
            const std::int64_t from = remoteSize() ? client.LastFileSize() : 0;
            refusal.clear();
            client.SetResumeAt(from);
            ok = run(&TCustomFtpCli::RestartPutSync);
        } else {
            ok = run(&TCustomFtpCli::TransmitSync);
        }
    } else if (cmd == "del") {
        client.SetHostFileName(arg(1));
        ok = run(&TCustomFtpCli::DeleteSync);
    } else if (cmd == "mkdir") {
        client.SetHostFileName(arg(1));
        ok = run(&TCustomFtpCli::MkdirSync);
    } else if (cmd == "rmdir") {
        client.SetHostFileName(arg(1));
        ok = run(&TCustomFtpCli::RmdirSync);
    } else if (cmd == "rename") {
        client.SetHostFileName(arg(1));
        client.SetLocalFileName(arg(2));
        ok = run(&TCustomFtpCli::RenameSync);
    } else if (cmd == "size") {
        client.SetHostFileName(arg(1));
        ok = remoteSize();
    } else if (cmd == "quote") {
        client.SetLocalFileName(arg(1));
        ok = run(&TCustomFtpCli::DoQuoteSync);
    }

    if (!ok) {
        if (!refusal.empty())
            PrintErr("qordex-cli ftp: " + refusal);
        else
            PrintErr(
                ErrorLine(doneError != 0 ? doneError : client.StatusCode(), client.ErrorMessage()));
        return 1;
    }
    if (!listing.empty() && !CopyToStdout(listing)) {
        PrintErr("qordex-cli ftp: cannot write the listing to stdout");
        return 1;
    }
    if (cmd == "size")
        std::printf("File size is %lld bytes\n", static_cast<long long>(client.LastFileSize()));
    else if (cmd == "quote")
        std::printf("%s\n", client.LastResponse().c_str());
    std::fflush(stdout);
    return 0;
}

const Registration reg{kName, "run one FTP client command (ls, get, put, ...)", RunFtp};

} // namespace
} // namespace qordex::cli
