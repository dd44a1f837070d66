// qordex-cli dns: the DNS tool without its window.  A raw query (a, mx, ptr)
// prints the request ID and then the lines the window prints for the
// response; lookup and reverse print the system resolver's result lines.

#include "base/Text.h"
#include "cli/Command.h"
#include "diag/DnsQuery.h"
#include "diag/DnsReport.h"
#include "diag/DnsServers.h"
#include "diag/IpHlpError.h"
#include "net/WSocket.h"
#include "platform/MessageLoop.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace qordex::cli {
namespace {

using diag::TDnsQuery;

void PrintLine(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void PrintLines(const std::vector<std::string>& lines) {
    for (const std::string& line : lines)
        PrintLine(line);
}

// Socket messages carry a CR LF before their error text.
std::string OneLine(std::string text) {
    for (std::size_t p; (p = text.find("\r\n")) != std::string::npos;)
        text.replace(p, 2, ": ");
    return text;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "qordex-cli dns: %s\n", OneLine(message).c_str());
    return 1;
}

void PrintHelp() {
    std::printf("Usage: qordex-cli dns [--server ADDR|default] [--port N] [--tcp] [--timeout MS]\n"
                "                      a|mx|ptr NAME\n"
                "       qordex-cli dns [--timeout MS] lookup NAME\n"
                "       qordex-cli dns [--timeout MS] reverse ADDR\n"
                "       qordex-cli dns --servers\n\n"
                "a, mx and ptr send one query to a DNS server and print the decoded response\n"
                "and its byte dump; ptr takes a dotted IPv4 address.  lookup and reverse ask\n"
                "the system resolver.  --servers prints the reference list of DNS servers,\n"
                "its cells separated by a tab.\n\n"
                "  --server ADDR   server to ask, a name or dotted address (default: the first\n"
                "                  IPv4 DNS server of this machine, as the window proposes)\n"
                "  --port N        server port or service name (default 53)\n"
                "  --tcp           query over TCP instead of UDP\n"
                "  --timeout MS    how long to wait for the answer (default 5000)\n"
                "  -h, --help      show this help\n\n"
                "Exit status: 0 when a response was decoded (whatever its response code) or\n"
                "a lookup found the host; 1 on an error, no answer, a name that cannot be\n"
                "queried or a server that cannot be resolved; 2 for bad usage.\n");
}

struct Options {
    std::string server = "default";
    std::string port = "53";
    bool tcp = false;
    long long timeout = 5000;
    bool servers = false;
    std::string kind;
    std::optional<std::string> name;
};

// Parses the arguments; returns -1 to go on, else the exit status.
int ParseArgs(int argc, char** argv, Options& o) {
    bool endOfOptions = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (!endOfOptions && arg.size() > 1 && arg[0] == '-') {
            auto value = [&](const char* what) -> const char* {
                if (i + 1 >= argc) {
                    UsageError("dns", "option " + arg + " needs " + what);
                    return nullptr;
                }
                return argv[++i];
            };
            if (arg == "-h" || arg == "--help") {
                PrintHelp();
                return 0;
            } else if (arg == "--") {
                endOfOptions = true;
            } else if (arg == "--servers") {
                o.servers = true;
            } else if (arg == "--tcp") {
                o.tcp = true;
            } else if (arg == "--server") {
                const char* v = value("an address");
                if (!v)
                    return 2;
                o.server = v;
            } else if (arg == "--port") {
                const char* v = value("a port");
                if (!v)
                    return 2;
                o.port = v;
                try {
                    WSocketResolvePort(o.port, o.tcp ? "tcp" : "udp");
                } catch (const ESocketException&) {
                    return UsageError("dns", "PORT must be a port number or service name (got '" +
                                                 o.port + "')");
                }
            } else if (arg == "--timeout") {
                const char* v = value("a time in ms");
                if (!v)
                    return 2;
                const auto ms = ParseDecimal(v, 0, 86400000);
                if (!ms)
                    return UsageError(
                        "dns", std::string("MS must be a whole number from 0 (got '") + v + "')");
                o.timeout = *ms;
            } else {
                return UsageError("dns", "unknown option '" + arg + "'");
            }
            continue;
        }
        if (o.kind.empty())
            o.kind = arg;
        else if (!o.name)
            o.name = arg;
        else
            return UsageError("dns", "more than one name given ('" + arg + "')");
    }
    if (o.servers) {
        if (!o.kind.empty())
            return UsageError("dns", "--servers takes no query");
        return -1;
    }
    if (o.kind.empty())
        return UsageError("dns", "no query given (a, mx, ptr, lookup or reverse)");
    if (o.kind != "a" && o.kind != "mx" && o.kind != "ptr" && o.kind != "lookup" &&
        o.kind != "reverse")
        return UsageError("dns", "unknown query '" + o.kind + "' (a, mx, ptr, lookup or reverse)");
    if (!o.name)
        return UsageError("dns", "no name given");
    return -1;
}

int PrintServers() {
    for (const diag::DnsServerRow& row : diag::DnsServerRows())
        PrintLine(std::string(row.address) + "\t" + row.domainName + "\t" + row.description);
    return 0;
}

int NoAnswer(long long timeout) {
    std::fprintf(stderr, "qordex-cli dns: no answer within %lld ms\n", timeout);
    return 1;
}

int RunResolver(const Options& o) {
    TWSocket socket;
    std::optional<int> done;
    socket.OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t error) {
        PrintLines(diag::DnsLookupLines(socket, error));
        done = error;
    };
    PrintLine(diag::kWaitingForDns);
    diag::StartResolverLookup(socket, o.kind == "reverse", *o.name);
    if (!PumpUntil([&] { return done.has_value(); }, int(o.timeout)))
        return NoAnswer(o.timeout);
    return *done == 0 ? 0 : 1;
}

int RunQuery(const Options& o) {
    std::string server = o.server;
    if (server == "default") {
        try {
            server = diag::DefaultDnsServer();
        } catch (const diag::EIpHlpError& e) {
            return Fail(e.what());
        }
    }
    TDnsQuery query;
    query.SetPort(o.port);
    query.SetAddr(server);
    query.SetProto(o.tcp ? "tcp" : "udp");
    std::optional<int> done;
    query.OnRequestDone = [&](TDnsQuery* q, std::uint16_t error) {
        PrintLines(diag::DnsResponseLines(*q, error));
        done = error;
    };
    int id = 0;
    try {
        if (o.kind == "a")
            id = query.ALookup(*o.name);
        else if (o.kind == "mx")
            id = query.MXLookup(*o.name);
        else
            id = query.PTRLookup(*o.name);
    } catch (const diag::EDnsQueryException& e) {
        return Fail(e.what());
    } catch (const ESocketException& e) {
        return Fail("server " + server + ": " + e.what());
    }
    PrintLine(diag::DnsRequestIdLine(id));
    if (!PumpUntil([&] { return done.has_value(); }, int(o.timeout)))
        return NoAnswer(o.timeout);
    return *done == 0 ? 0 : 1;
}

int RunDns(int argc, char** argv) {
    Options o;
    if (int rc = ParseArgs(argc, argv, o); rc >= 0)
        return rc;
    if (o.servers)
        return PrintServers();
    if (o.kind == "lookup" || o.kind == "reverse")
        return RunResolver(o);
    return RunQuery(o);
}

const Registration reg{"dns", "query a DNS server, or look up names through the system", RunDns};

} // namespace
} // namespace qordex::cli
