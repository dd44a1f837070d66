// qordex-cli smtp: the SMTP client tool without its window.  It fills the
// client as a user of the window would, then runs Open (HELO, or EHLO and
// AUTH), Mail and Quit, stopping at the first failure (still quitting).

#include "base/Text.h"
#include "cli/Command.h"
#include "mail/EmailSend.h"
#include "mail/SmtpProt.h"
#include "mail/SmtpText.h"
#include "net/WSocket.h"
#include "platform/MessageLoop.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace qordex::cli {
namespace {

using namespace qordex::mail;

constexpr const char* kName = "smtp";

void PrintHelp() {
    std::printf(
        "Usage: qordex-cli smtp --server HOST [--port N] --from ADDR [--from-name NAME]\n"
        "                       --to ADDR... [--cc ADDR]... [--bcc ADDR]... [--subject TEXT]\n"
        "                       [--body FILE|-] [--attach FILE]... [--helo NAME]\n"
        "                       [--auth plain|login|cram-md5|cram-sha1|auto --user U\n"
        "                        --password P] [--socks HOST:PORT [--socks-user U\n"
        "                        --socks-pass P]] [--timeout S] [-v]\n\n"
        "Sends one mail: connects, greets with HELO (or EHLO and AUTH with --auth),\n"
        "sends the message and quits.  Non-ASCII text in headers is sent as encoded\n"
        "words and a body that needs it goes quoted-printable (charset utf-8).\n\n"
        "  --server HOST     the SMTP server, a name or dotted address\n"
        "  --port N          port number or service name (default smtp, 25)\n"
        "  --from ADDR       sender address (envelope, From, Reply-To, Return-Path)\n"
        "  --from-name NAME  display name of the From header\n"
        "  --to, --cc ADDR   recipients, each in its header; repeat for more\n"
        "  --bcc ADDR        recipients in no header\n"
        "  --subject TEXT    the subject\n"
        "  --body FILE|-     the body text from a file or standard input\n"
        "  --attach FILE     a file to attach; repeat for more\n"
        "  --helo NAME       the name to greet with (default: this host's name)\n"
        "  --auth TYPE       authenticate; no mail goes out unless it succeeds\n"
        "  --user U, --password P   the account for --auth\n"
        "  --socks HOST:PORT through a SOCKS 5 server\n"
        "  --socks-user U, --socks-pass P   the SOCKS 5 user name and password\n"
        "  --timeout S       give up after S seconds without a word (default 60)\n"
        "  -v                print the dialogue and each request's end\n"
        "  -h, --help        show this help\n\n"
        "Exit status: 0 when the server accepted the message, 1 when it refused, the\n"
        "network failed or the time ran out, 2 for bad usage (nothing is sent).\n");
}

struct Options {
    std::string server, port = "smtp", from, fromName, subject, helo;
    std::vector<std::string> to, cc, bcc, attach;
    std::optional<std::string> body;
    TSmtpAuthType auth = smtpAuthNone;
    std::string user, password;
    std::string socks, socksUser, socksPass;
    int timeout = 60;
    bool verbose = false;
};

std::string Join(const std::vector<std::string>& v) {
    std::string out;
    for (const std::string& s : v)
        out += (out.empty() ? "" : ";") + s;
    return out;
}

// Parses the arguments; returns -1 to go on, else the exit status.
int ParseArgs(int argc, char** argv, Options& o) {
    bool haveAuth = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            PrintHelp();
            return 0;
        }
        if (arg == "-v" || arg == "--verbose") {
            o.verbose = true;
            continue;
        }
        std::string value;
        bool missing = false;
        std::string auth, timeout;
        struct Multi {
            const char* name;
            std::vector<std::string>* field;
        } multis[] = {{"--to", &o.to}, {"--cc", &o.cc}, {"--bcc", &o.bcc}, {"--attach", &o.attach}};
        const char* single = TakeTextOption(argc, argv, i,
                                            {{"--server", &o.server},
                                             {"--port", &o.port},
                                             {"--from", &o.from},
                                             {"--from-name", &o.fromName},
                                             {"--subject", &o.subject},
                                             {"--helo", &o.helo},
                                             {"--user", &o.user},
                                             {"--password", &o.password},
                                             {"--auth", &auth},
                                             {"--timeout", &timeout},
                                             {"--socks", &o.socks},
                                             {"--socks-user", &o.socksUser},
                                             {"--socks-pass", &o.socksPass}},
                                            missing);
        if (single && missing)
            return UsageError(kName, std::string(single) + " needs a value");
        bool taken = single != nullptr;
        for (const Multi& m : multis)
            if (!taken && TakeOption(argc, argv, i, m.name, value, missing)) {
                if (missing || value.empty())
                    return UsageError(kName, std::string(m.name) + " needs a value");
                m.field->push_back(value);
                taken = true;
            }
        if (!taken && TakeOption(argc, argv, i, "--body", value, missing)) {
            if (missing || value.empty())
                return UsageError(kName, "--body needs a file name or -");
            o.body = value;
            taken = true;
        }
        if (!taken)
            return UsageError(kName, "unknown option '" + arg + "'");
        if (!auth.empty()) {
            const std::string a = AsciiLower(auth);
            haveAuth = true;
            if (a == "plain")
                o.auth = smtpAuthPlain;
            else if (a == "login")
                o.auth = smtpAuthLogin;
            else if (a == "cram-md5")
                o.auth = smtpAuthCramMD5;
            else if (a == "cram-sha1")
                o.auth = smtpAuthCramSha1;
            else if (a == "auto")
                o.auth = smtpAuthAutoSelect;
            else
                return UsageError(kName, "unknown --auth type '" + auth +
                                             "' (plain, login, cram-md5, cram-sha1 or auto)");
        }
        if (!timeout.empty()) {
            const auto s = ParseTimeoutSeconds(timeout);
            if (!s)
                return UsageError(kName,
                                  "--timeout takes whole seconds from 1 (got '" + timeout + "')");
            o.timeout = *s;
        }
    }
    if (o.server.empty())
        return UsageError(kName, "--server is missing");
    if (o.from.empty())
        return UsageError(kName, "--from is missing");
    if (o.to.empty() && o.cc.empty() && o.bcc.empty())
        return UsageError(kName, "no recipient (--to, --cc or --bcc)");
    if (haveAuth && (o.user.empty() || o.password.empty()))
        return UsageError(kName, "--auth needs --user and --password");
    if (!o.socks.empty()) {
        const std::size_t colon = o.socks.rfind(':');
        if (colon == std::string::npos || colon == 0 || colon + 1 == o.socks.size())
            return UsageError(kName, "--socks wants HOST:PORT (got '" + o.socks + "')");
    } else if (!o.socksUser.empty() || !o.socksPass.empty()) {
        return UsageError(kName, "--socks-user and --socks-pass go with --socks");
    }
    try {
        WSocketResolvePort(o.port, "tcp");
    } catch (const ESocketException&) {
        return UsageError(kName,
                          "--port must be a port number or service name (got '" + o.port + "')");
    }
    std::vector<std::pair<const char*, std::string>> values = {
        {"--server", o.server},       {"--port", o.port},
        {"--from", o.from},           {"--from-name", o.fromName},
        {"--subject", o.subject},     {"--helo", o.helo},
        {"--user", o.user},           {"--password", o.password},
        {"--socks", o.socks},         {"--socks-user", o.socksUser},
        {"--socks-pass", o.socksPass}};
    for (const auto* list : {&o.to, &o.cc, &o.bcc, &o.attach})
        for (const std::string& v : *list)
            values.push_back({"an address or file", v});
    for (const auto& [name, v] : values)
        if (HasLineBreakOrNul(v))
            return UsageError(kName, std::string(name) + " holds a CR, LF or NUL byte");
    return -1;
}

bool ReadBody(const std::string& source, std::string& text) {
    if (source == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), {});
        return !std::cin.bad();
    }
    std::ifstream in(source, std::ios::binary);
    if (!in)
        return false;
    text.assign(std::istreambuf_iterator<char>(in), {});
    return !in.bad();
}

int RunSmtp(int argc, char** argv) {
    Options o;
    if (int rc = ParseArgs(argc, argv, o); rc >= 0)
        return rc;
    std::vector<std::string> body;
    if (o.body) {
        std::string text;
        if (!ReadBody(*o.body, text))
            return UsageError(kName, "cannot read the body from '" + *o.body + "'");
        body = SplitBodyText(text);
    }

    TSmtpCli smtp;
    smtp.SetHost(o.server);
    smtp.SetPort(o.port);
    smtp.SetSignOn(o.helo);
    smtp.SetAuthType(o.auth);
    smtp.SetUsername(o.user);
    smtp.SetPassword(o.password);
    smtp.SetCharSet("utf-8");
    smtp.SetAllow8bitChars(false);
    smtp.SetFromName(o.from);
    if (!o.socks.empty()) {
        const std::size_t colon = o.socks.rfind(':');
        TSmtpSocksSettings socks;
        socks.use = true;
        socks.address = o.socks.substr(0, colon);
        socks.port = o.socks.substr(colon + 1);
        socks.authenticate = !o.socksUser.empty() || !o.socksPass.empty();
        socks.user = o.socksUser;
        socks.password = o.socksPass;
        ApplySocks(smtp, socks);
    }
    TSmtpMessageFields fields;
    fields.to = Join(o.to);
    fields.cc = Join(o.cc);
    fields.bcc = Join(o.bcc);
    fields.fromAddr = o.from;
    fields.fromName = o.fromName;
    fields.replyTo = o.from;
    fields.returnPath = o.from;
    fields.subject = o.subject;
    fields.files = o.attach;
    try {
        ApplyRecipients(smtp, fields);
        ApplyHeaders(smtp, fields);
    } catch (const SmtpException& e) {
        return UsageError(kName, e.what());
    }
    if (!ApplyBody(smtp, body))
        smtp.OnGetData = [&](TCustomSmtpClient*, int n, std::string& line, int maxLen, bool& more) {
            BodyLineForGetData(body, n, line, maxLen, more);
        };

    using Clock = std::chrono::steady_clock;
    auto lastWord = Clock::now();
    smtp.OnDisplay = [&](TCustomSmtpClient*, const std::string& msg) {
        lastWord = Clock::now();
        if (o.verbose)
            PrintLine(msg);
    };

    enum class Phase { Open, Mail, Quit, Done } phase = Phase::Open;
    std::optional<int> mailResult;
    std::string failure;
    auto fail = [&](const std::string& line) {
        if (failure.empty())
            failure = line.empty() ? "the request failed" : line;
    };
    auto quit = [&] {
        phase = Phase::Quit;
        try {
            smtp.Quit();
        } catch (const SmtpException&) {
            phase = Phase::Done;
        }
    };
    smtp.OnRequestDone = [&](TCustomSmtpClient*, TSmtpRequest rq, std::uint16_t error) {
        lastWord = Clock::now();
        if (o.verbose)
            PrintLine(RequestDoneLine(rq, error));
        switch (phase) {
        case Phase::Open:
            if (error != 0) {
                fail(smtp.ErrorMessage());
                quit();
            } else if (o.auth != smtpAuthNone && !smtp.Authenticated()) {
                fail(smtp.ErrorMessage().empty()
                         ? "the server offers no authentication"
                         : smtp.ErrorMessage() + " (no authentication: nothing sent)");
                quit();
            } else {
                phase = Phase::Mail;
                try {
                    smtp.Mail();
                } catch (const SmtpException& e) {
                    fail(e.what());
                    quit();
                }
            }
            break;
        case Phase::Mail:
            mailResult = error;
            if (error != 0)
                fail(smtp.ErrorMessage());
            quit();
            break;
        case Phase::Quit:
        case Phase::Done:
            phase = Phase::Done;
            break;
        }
    };

    CatchInterrupt();
    try {
        smtp.Open();
    } catch (const SmtpException& e) {
        return Failure(kName, {e.what()});
    }
    const WaitEnd end = WaitWhileTalking([&] { return phase == Phase::Done; }, lastWord, o.timeout);
    if (end == WaitEnd::Interrupted) {
        smtp.Abort();
        return Failure(kName, {"interrupted"});
    }
    const bool timedOut = end == WaitEnd::Silent;
    if (timedOut) {
        smtp.OnRequestDone = nullptr;
        smtp.Abort();
        // The message was accepted: only the goodbye is missing.
        if (mailResult == 0)
            return 0;
        return Failure(
            kName, {"no answer from " + o.server + " within " + std::to_string(o.timeout) + " s"});
    }
    if (mailResult == 0)
        return 0;
    return Failure(kName, {failure});
}

const Registration reg{kName, "send a mail to an SMTP server", RunSmtp};

} // namespace
} // namespace qordex::cli
