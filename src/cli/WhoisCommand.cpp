// qordex-cli whois: the Whois tool without its window.  The answer lines go
// to standard output byte for byte, each followed by LF; the status texts
// the window's status bar shows go to standard error, in order.

#include "base/Text.h"
#include "cli/Command.h"
#include "diag/CountryCodes.h"
#include "diag/Whois.h"
#include "net/WSocket.h"
#include "platform/MessageLoop.h"

#include <cstdio>
#include <optional>
#include <string>

namespace qordex::cli {
namespace {

constexpr const char* kName = "whois";

void PrintHelp() {
    std::printf("Usage: qordex-cli whois [--server NAME|HOST] [--port N]\n"
                "                        [--socks HOST:PORT [--socks-user U --socks-pass P]] QUERY\n"
                "       qordex-cli whois --codes\n\n"
                "Sends QUERY to a whois server and prints the answer until the server closes.\n"
                "The server is one of the registries below or any host name or address.\n\n"
                "  --server NAME|HOST   registry or whois server (default InterNic)\n"
                "  --port N             port number or service name (default 43)\n"
                "  --socks HOST:PORT    through a SOCKS 5 server\n"
                "  --socks-user U       SOCKS user name; --socks-pass P its password\n"
                "  --codes              print the Internet country codes, CODE<TAB>Country\n"
                "  -h, --help           show this help\n\n"
                "Registries:\n");
    for (const diag::WhoisRegistry& r : diag::WhoisRegistries())
        std::printf("  %-18s %s\n", r.name, r.server);
    std::printf("\nAnswer lines go to standard output, status texts to standard error.\n"
                "Ctrl-C or SIGTERM cancels.  Exit status: 0 when the server closed after the\n"
                "query, 1 on a connection or proxy error or when cancelled, 2 for bad usage.\n");
}

int PrintCodes() {
    for (const diag::CountryCodeRow& row : diag::CountryCodeRows())
        PrintLine(std::string(row.code) + "\t" + row.country);
    return 0;
}

int RunWhois(int argc, char** argv) {
    std::string server = diag::WhoisRegistries().front().name, port = "43";
    std::string socks, socksUser, socksPass, query;
    bool codes = false, haveQuery = false;
    const auto stop = ReadArguments(
        argc, argv, kName, PrintHelp,
        {{"--server", &server},
         {"--port", &port},
         {"--socks", &socks},
         {"--socks-user", &socksUser},
         {"--socks-pass", &socksPass}},
        {{"--codes", &codes}},
        [&](const std::string& arg) -> std::optional<std::string> {
            if (haveQuery)
                return "more than one query given ('" + arg + "')";
            query = arg;
            haveQuery = true;
            return std::nullopt;
        });
    if (stop)
        return *stop;
    if (codes) {
        if (haveQuery)
            return UsageError(kName, "--codes takes no query");
        return PrintCodes();
    }
    if (!haveQuery || query.empty())
        return UsageError(kName, "no query given");
    // The query is one line: a line end inside it would ask a second question.
    if (query.find_first_of("\r\n") != std::string::npos)
        return UsageError(kName, "the query holds a CR or LF");
    if (server.empty())
        return UsageError(kName, "--server is empty");
    try {
        WSocketResolvePort(port, "tcp");
    } catch (const ESocketException&) {
        return UsageError(kName, "--port must be a port number or service name (got '" + port +
                                     "')");
    }
    diag::TWhoisClient::Request request;
    if (auto error = ReadSocksOptions(socks, socksUser, socksPass, request.socks))
        return UsageError(kName, *error);
    request.server = diag::WhoisServerFor(server);
    request.port = port;
    request.query = query;

    CatchInterrupt();
    diag::TWhoisClient client;
    std::optional<diag::TWhoisEnd> end;
    client.OnStatus = [](const std::string& text) {
        std::fprintf(stderr, "%s\n", text.c_str());
        std::fflush(stderr);
    };
    client.OnLine = [](const std::string& line) { PrintLine(line); };
    client.OnDone = [&end](diag::TWhoisEnd e) { end = e; };
    client.Start(request);
    PumpUntil([&] { return end.has_value() || Interrupted(); });
    if (!end) {
        client.Cancel();
        PumpUntil([&] { return end.has_value(); }, 5000);
    }
    return end == diag::TWhoisEnd::Closed ? 0 : 1;
}

const Registration reg{kName, "ask a whois server about a domain or address", RunWhois};

} // namespace
} // namespace qordex::cli
