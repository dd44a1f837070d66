// qordex-cli pop3: the POP3 client tool without its window.  One session:
// connect, log in, run the commands in the order given, quit.  It prints
// the texts the window shows; the first failure stops the commands (QUIT
// is still sent).

#include "base/Text.h"
#include "cli/Command.h"
#include "mail/EmailRead.h"
#include "mail/MailSocks.h"
#include "mail/Pop3Prot.h"
#include "net/WSocket.h"
#include "platform/MessageLoop.h"

#include <chrono>
#include <climits>
#include <cstdio>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace qordex::cli {
namespace {

using namespace qordex::mail;

constexpr const char* kName = "pop3";

void PrintHelp() {
    std::printf("Usage: qordex-cli pop3 --server HOST [--port N] --user U --password P\n"
                "                       [--apop | --auth login|cram-md5|cram-sha1]\n"
                "                       [--socks HOST:PORT [--socks-user U --socks-pass P]]\n"
                "                       [--timeout S] [-o FILE] [-v] COMMAND...\n\n"
                "Opens one POP3 session: connects, logs in (USER and PASS unless --apop or\n"
                "--auth), runs the commands in order and quits.\n\n"
                "Commands:\n"
                "  stat            \"Stat ok, N messages M bytes\"\n"
                "  list [N]        every message's number and size, or message N's\n"
                "  uidl [N]        every message's unique id, or message N's\n"
                "  retr N          message N, its lines between begin and end markers\n"
                "  top N L         the header of message N and L lines of its body\n"
                "  dele N          marks message N deleted (QUIT removes it)\n"
                "  rset            unmarks every deleted message\n"
                "  noop            does nothing\n"
                "  last            \"Last = N\", the highest message read (old servers)\n"
                "  getall DIR      saves every message not yet there as DIR/Msg <uidl>.txt\n\n"
                "Options:\n"
                "  --server HOST        the POP3 server, a name or dotted address\n"
                "  --port N             port number or service name (default pop3, 110)\n"
                "  --user U, --password P   the account\n"
                "  --apop               log in with APOP (the greeting must carry a timestamp)\n"
                "  --auth TYPE          log in with AUTH LOGIN, CRAM-MD5 or CRAM-SHA1\n"
                "  --socks HOST:PORT    through a SOCKS 5 server\n"
                "  --socks-user U       SOCKS user name; --socks-pass P its password\n"
                "  --timeout S          give up after S seconds without a word (default 60)\n"
                "  -o FILE              with one retr or top: the message lines go to FILE,\n"
                "                       each ended by CR LF; FILE appears only when complete\n"
                "  -v                   print the dialogue and each request's end\n"
                "  -h, --help           show this help\n\n"
                "Exit status: 0 when every command succeeded, 1 at the first failure, 2 for\n"
                "bad usage (nothing is sent).\n");
}

enum class Kind { Stat, List, Uidl, Retr, Top, Dele, Rset, Noop, Last, GetAll };

struct Cmd {
    Kind kind = Kind::Stat;
    int num = 0;   // message number; 0: all (list, uidl)
    int lines = 0; // top
    std::string dir;
};

struct Options {
    std::string server, port = "pop3", user, password;
    bool apop = false;
    std::optional<TPop3AuthType> auth;
    std::string socks, socksUser, socksPass;
    int timeout = 60;
    std::string output;
    bool verbose = false;
    std::vector<Cmd> commands;
};

std::optional<int> Number(const std::string& text, int lo) {
    const auto v = ParseDecimal(text, lo, INT_MAX);
    if (!v)
        return std::nullopt;
    return int(*v);
}

// Reads the commands from argv[i] on; returns -1 to go on, else the exit status.
int ParseCommands(int argc, char** argv, int i, Options& o) {
    for (; i < argc; ++i) {
        const std::string word = AsciiLower(argv[i]);
        auto arg = [&](const char* what, int lo, int& into) {
            if (i + 1 >= argc)
                return UsageError(kName, word + " needs " + what);
            const auto n = Number(argv[i + 1], lo);
            if (!n)
                return UsageError(kName, word + " needs " + what + " (got '" + argv[i + 1] + "')");
            into = *n;
            ++i;
            return -1;
        };
        Cmd c;
        if (word == "stat" || word == "rset" || word == "noop" || word == "last") {
            c.kind = word == "stat"   ? Kind::Stat
                     : word == "rset" ? Kind::Rset
                     : word == "noop" ? Kind::Noop
                                      : Kind::Last;
        } else if (word == "list" || word == "uidl") {
            c.kind = word == "list" ? Kind::List : Kind::Uidl;
            // The number is optional: it is one when the next word reads as one.
            if (i + 1 < argc)
                if (const auto n = Number(argv[i + 1], 1)) {
                    c.num = *n;
                    ++i;
                }
        } else if (word == "retr" || word == "dele") {
            c.kind = word == "retr" ? Kind::Retr : Kind::Dele;
            if (int rc = arg("a message number", 1, c.num); rc >= 0)
                return rc;
        } else if (word == "top") {
            c.kind = Kind::Top;
            if (int rc = arg("a message number", 1, c.num); rc >= 0)
                return rc;
            if (int rc = arg("a number of lines", 0, c.lines); rc >= 0)
                return rc;
        } else if (word == "getall") {
            c.kind = Kind::GetAll;
            if (i + 1 >= argc || argv[i + 1][0] == '\0')
                return UsageError(kName, "getall needs a folder");
            c.dir = argv[++i];
        } else {
            return UsageError(kName, "unknown command '" + std::string(argv[i]) + "'");
        }
        o.commands.push_back(c);
    }
    return -1;
}

// Parses the arguments; returns -1 to go on, else the exit status.
int ParseArgs(int argc, char** argv, Options& o) {
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            PrintHelp();
            return 0;
        }
        if (arg.empty() || arg[0] != '-')
            break; // the commands begin
        if (arg == "-v" || arg == "--verbose") {
            o.verbose = true;
            continue;
        }
        if (arg == "--apop") {
            o.apop = true;
            continue;
        }
        std::string auth, timeout;
        bool missing = false;
        const char* taken = TakeTextOption(argc, argv, i,
                                           {{"--server", &o.server},
                                            {"--port", &o.port},
                                            {"--user", &o.user},
                                            {"--password", &o.password},
                                            {"--auth", &auth},
                                            {"--socks", &o.socks},
                                            {"--socks-user", &o.socksUser},
                                            {"--socks-pass", &o.socksPass},
                                            {"--timeout", &timeout},
                                            {"-o", &o.output},
                                            {"--output", &o.output}},
                                           missing);
        if (taken && missing)
            return UsageError(kName, std::string(taken) + " needs a value");
        if (!taken)
            return UsageError(kName, "unknown option '" + arg + "'");
        if (!auth.empty()) {
            const std::string a = AsciiLower(auth);
            if (a == "login")
                o.auth = popAuthLogin;
            else if (a == "cram-md5")
                o.auth = popAuthCramMD5;
            else if (a == "cram-sha1")
                o.auth = popAuthCramSHA1;
            else
                return UsageError(kName, "unknown --auth type '" + auth +
                                             "' (login, cram-md5 or cram-sha1)");
        }
        if (!timeout.empty()) {
            const auto s = ParseTimeoutSeconds(timeout);
            if (!s)
                return UsageError(kName,
                                  "--timeout takes whole seconds from 1 (got '" + timeout + "')");
            o.timeout = *s;
        }
    }
    if (int rc = ParseCommands(argc, argv, i, o); rc >= 0)
        return rc;
    if (o.server.empty())
        return UsageError(kName, "--server is missing");
    if (o.user.empty())
        return UsageError(kName, "--user is missing");
    if (o.apop && o.auth)
        return UsageError(kName, "--apop and --auth exclude each other");
    for (const auto& [name, v] :
         {std::pair<const char*, const std::string&>{"--user", o.user}, {"--password", o.password}})
        if (HasPop3LineBreak(v))
            return UsageError(kName, std::string(name) + " holds a CR, LF or NUL byte");
    try {
        WSocketResolvePort(o.port, "tcp");
    } catch (const ESocketException&) {
        return UsageError(kName,
                          "--port must be a port number or service name (got '" + o.port + "')");
    }
    std::string host, port;
    if (!o.socks.empty() && !SplitHostPort(o.socks, host, port))
        return UsageError(kName, "--socks wants HOST:PORT");
    if ((!o.socksUser.empty() || !o.socksPass.empty()) && o.socks.empty())
        return UsageError(kName, "--socks-user and --socks-pass go with --socks");
    if (!o.output.empty()) {
        int transfers = 0;
        for (const Cmd& c : o.commands)
            transfers += c.kind == Kind::Retr || c.kind == Kind::Top;
        if (transfers != 1)
            return UsageError(kName, "-o goes with exactly one retr or top");
    }
    return -1;
}

// The folder and the name of an output file.
void SplitPath(const std::string& path, std::string& dir, std::string& name) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        dir = ".";
        name = path;
    } else {
        dir = slash == 0 ? "/" : path.substr(0, slash);
        name = path.substr(slash + 1);
    }
}

class Session {
public:
    explicit Session(const Options& o)
        : o_(o), getAll_(pop3_, [](const std::string& l) { PrintLine(l); }) {}
    ~Session() {
        if (outDir_ >= 0)
            ::close(outDir_);
    }

    int Run();

private:
    using Clock = std::chrono::steady_clock;

    void Handlers();
    void Done(TPop3Request rq, std::uint16_t error);
    void Login();
    void NextCommand();
    void StartCommand(const Cmd& c);
    void Fail(const std::string& text);
    void Quit();
    bool OpenOutput(std::string& error);

    const Options& o_;
    TPop3Cli pop3_;
    TPop3GetAll getAll_;
    enum class Phase { Connect, Login, Commands, Quit, Done } phase_ = Phase::Connect;
    std::size_t next_ = 0; // the next command
    const Cmd* current_ = nullptr;
    std::string failure_;
    bool failed_ = false;
    Clock::time_point lastWord_ = Clock::now();
    int outDir_ = -1; // -o FILE's folder
    std::string outName_;
    std::unique_ptr<TMessageFile> out_;
};

void Session::Handlers() {
    pop3_.OnDisplay = [this](TCustomPop3Cli*, const std::string& msg) {
        lastWord_ = Clock::now();
        if (o_.verbose)
            PrintLine(msg);
    };
    pop3_.OnResponse = [this](TCustomPop3Cli*, const std::string&) { lastWord_ = Clock::now(); };
    pop3_.OnRequestDone = [this](TCustomPop3Cli*, TPop3Request rq, std::uint16_t e) {
        Done(rq, e);
    };
    pop3_.OnListBegin = [](TCustomPop3Cli*) { PrintLine(kListBeginText); };
    pop3_.OnListLine = [](TCustomPop3Cli* p) { PrintLine(ListLineText(*p)); };
    pop3_.OnListEnd = [](TCustomPop3Cli*) { PrintLine(kListEndText); };
    pop3_.OnUidlBegin = [](TCustomPop3Cli*) { PrintLine(kUidlBeginText); };
    pop3_.OnUidlLine = [](TCustomPop3Cli* p) { PrintLine(UidlLineText(*p)); };
    pop3_.OnUidlEnd = [](TCustomPop3Cli*) { PrintLine(kUidlEndText); };
    if (out_) {
        pop3_.OnMessageBegin = nullptr;
        pop3_.OnMessageEnd = nullptr;
        pop3_.OnMessageLine = [this](TCustomPop3Cli* p) { out_->WriteLine(p->LastResponse()); };
    } else {
        pop3_.OnMessageBegin = [](TCustomPop3Cli* p) { PrintLine(MessageBeginText(*p)); };
        pop3_.OnMessageLine = [](TCustomPop3Cli* p) { PrintLine(p->LastResponse()); };
        pop3_.OnMessageEnd = [](TCustomPop3Cli* p) { PrintLine(MessageEndText(*p)); };
    }
}

void Session::Fail(const std::string& text) {
    if (!failed_) {
        failed_ = true;
        failure_ = text.empty() ? "the request failed" : text;
    }
}

void Session::Quit() {
    phase_ = Phase::Quit;
    Handlers();
    try {
        pop3_.Quit();
    } catch (const Pop3Exception&) {
        phase_ = Phase::Done;
    }
}

void Session::Login() {
    phase_ = Phase::Login;
    try {
        if (o_.apop)
            pop3_.APop();
        else if (o_.auth)
            pop3_.Auth();
        else
            pop3_.User();
    } catch (const std::exception& e) {
        Fail(e.what());
        Quit();
    }
}

bool Session::OpenOutput(std::string& error) {
    // A device or a pipe (-o /dev/null) is written into: no rename may replace it.
    struct stat st {};
    if (::stat(o_.output.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        out_ = TMessageFile::OpenDirect(o_.output, error);
        return out_ != nullptr;
    }
    std::string dir;
    SplitPath(o_.output, dir, outName_);
    if (outName_.empty() || outName_ == "." || outName_ == "..") {
        error = "-o wants a file name (got '" + o_.output + "')";
        return false;
    }
    if (outDir_ < 0)
        outDir_ = OpenMessageFolder(dir, error);
    if (outDir_ < 0)
        return false;
    out_ = TMessageFile::Create(outDir_, error);
    return out_ != nullptr;
}

void Session::StartCommand(const Cmd& c) {
    current_ = &c;
    if (!o_.output.empty() && (c.kind == Kind::Retr || c.kind == Kind::Top)) {
        std::string error;
        if (!OpenOutput(error)) {
            Fail(error);
            Quit();
            return;
        }
    }
    Handlers();
    pop3_.SetMsgNum(c.num);
    pop3_.SetMsgLines(c.lines);
    switch (c.kind) {
    case Kind::Stat:
        pop3_.Stat();
        return;
    case Kind::List:
        pop3_.List();
        return;
    case Kind::Uidl:
        pop3_.Uidl();
        return;
    case Kind::Retr:
        pop3_.Retr();
        return;
    case Kind::Top:
        pop3_.Top();
        return;
    case Kind::Dele:
        pop3_.Dele();
        return;
    case Kind::Rset:
        pop3_.RSet();
        return;
    case Kind::Noop:
        pop3_.Noop();
        return;
    case Kind::Last:
        pop3_.Last();
        return;
    case Kind::GetAll: {
        getAll_.OnFinished = [this](bool ok, const std::string& error, bool) {
            if (!ok)
                Fail(error);
            // Out of GetAll's handler: the next step starts from the loop.
            pop3_.OnRequestDone = nullptr;
            Handlers();
            if (failed_)
                Quit();
            else
                NextCommand();
        };
        getAll_.Start(c.dir);
        if (o_.verbose) {
            // GetAll owns OnRequestDone; each request's end is still printed.
            auto chain = pop3_.OnRequestDone;
            pop3_.OnRequestDone = [chain](TCustomPop3Cli* s, TPop3Request rq, std::uint16_t e) {
                PrintLine(Pop3RequestDoneLine(rq, e));
                chain(s, rq, e);
            };
        }
        return;
    }
    }
}

void Session::NextCommand() {
    phase_ = Phase::Commands;
    if (next_ >= o_.commands.size()) {
        Quit();
        return;
    }
    const Cmd& c = o_.commands[next_++];
    try {
        StartCommand(c);
    } catch (const std::exception& e) {
        out_.reset();
        Fail(e.what());
        Quit();
    }
}

void Session::Done(TPop3Request rq, std::uint16_t error) {
    lastWord_ = Clock::now();
    if (o_.verbose)
        PrintLine(Pop3RequestDoneLine(rq, error));
    switch (phase_) {
    case Phase::Connect:
        if (error != 0) {
            Fail(pop3_.ErrorMessage());
            phase_ = Phase::Done;
            return;
        }
        Login();
        return;
    case Phase::Login:
        if (error != 0) {
            Fail(pop3_.ErrorMessage());
            Quit();
            return;
        }
        if (rq == pop3User) {
            try {
                pop3_.Pass();
            } catch (const std::exception& e) {
                Fail(e.what());
                Quit();
            }
            return;
        }
        NextCommand();
        return;
    case Phase::Commands:
        if (error != 0) {
            out_.reset(); // a cut message leaves no file
            Fail(pop3_.ErrorMessage());
            Quit();
            return;
        }
        if (current_) {
            switch (current_->kind) {
            case Kind::Stat:
                PrintLine(StatDoneText(pop3_));
                break;
            case Kind::List:
                if (current_->num > 0)
                    PrintLine(ListDoneText(pop3_));
                break;
            case Kind::Uidl:
                if (current_->num > 0)
                    PrintLine(UidlLineText(pop3_));
                break;
            case Kind::Last:
                PrintLine(LastDoneText(pop3_));
                break;
            default:
                break;
            }
        }
        if (out_) {
            std::string err;
            const bool saved = out_->Commit(outName_, true, err);
            out_.reset();
            if (!saved) {
                Fail(err);
                Quit();
                return;
            }
        }
        NextCommand();
        return;
    case Phase::Quit:
        if (error != 0)
            Fail(pop3_.ErrorMessage());
        phase_ = Phase::Done;
        return;
    case Phase::Done:
        return;
    }
}

int Session::Run() {
    pop3_.SetHost(o_.server);
    pop3_.SetPort(o_.port);
    pop3_.SetUserName(o_.user);
    pop3_.SetPassWord(o_.password);
    pop3_.SetAuthType(o_.auth.value_or(popAuthNone));
    TMailSocksSettings socks;
    if (!o_.socks.empty()) {
        socks.use = true;
        SplitHostPort(o_.socks, socks.address, socks.port);
        socks.authenticate = !o_.socksUser.empty();
        socks.user = o_.socksUser;
        socks.password = o_.socksPass;
    }
    Handlers();
    CatchInterrupt();
    try {
        ApplyMailSocks(pop3_.ConnectionSocket(), socks);
        pop3_.Connect();
    } catch (const std::exception& e) {
        return Failure(kName, {e.what()});
    }
    const WaitEnd end =
        WaitWhileTalking([&] { return phase_ == Phase::Done; }, lastWord_, o_.timeout);
    if (end == WaitEnd::Interrupted) {
        pop3_.OnRequestDone = nullptr;
        pop3_.Abort();
        return Failure(kName, {"interrupted"});
    }
    const bool timedOut = end == WaitEnd::Silent;
    if (timedOut) {
        pop3_.OnRequestDone = nullptr;
        pop3_.Abort();
        out_.reset();
        if (!failed_ && phase_ == Phase::Quit && next_ >= o_.commands.size())
            Fail("no answer to QUIT from " + o_.server + " within " + std::to_string(o_.timeout) +
                 " s");
        else
            Fail("no answer from " + o_.server + " within " + std::to_string(o_.timeout) + " s");
    }
    if (failed_)
        return Failure(kName, {failure_});
    return 0;
}

int RunPop3(int argc, char** argv) {
    Options o;
    if (int rc = ParseArgs(argc, argv, o); rc >= 0)
        return rc;
    Session session(o);
    return session.Run();
}

const Registration reg{kName, "read a mailbox on a POP3 server", RunPop3};

} // namespace
} // namespace qordex::cli
