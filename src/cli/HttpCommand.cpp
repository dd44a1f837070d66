// qordex-cli http: the HTTP client tool without its window.  The document
// goes to a file or to standard output, byte for byte; -v prints the
// window's log lines on standard error.

#include "base/Stream.h"
#include "base/Text.h"
#include "cli/Command.h"
#include "platform/MessageLoop.h"
#include "web/HttpClientTool.h"

#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace qordex::cli {
namespace {

using web::THttpCli;

void PrintHelp() {
    std::printf("Usage: qordex-cli http get|head|post [OPTIONS] URL\n\n"
                "Sends one request as the HTTP client tool does (HTTP/1.0, its agent,\n"
                "\"From: Qordex\") and writes the document to FILE or standard output.\n\n"
                "  -o FILE              write the document to FILE (replaced)\n"
                "  -d DATA | -d @FILE   body of a post, as given or read from FILE\n"
                "  -u USER:PASS         server credentials (Basic or NTLM when asked)\n"
                "  --proxy HOST:PORT    through an HTTP proxy\n"
                "  --proxy-user U:P     proxy credentials\n"
                "  --socks HOST:PORT    through a SOCKS 5 server\n"
                "  --socks-user U       SOCKS user name; --socks-pass P its password\n"
                "  --http1.1            HTTP/1.1 instead of 1.0\n"
                "  -z 'YYYY-MM-DD HH:MM:SS'  only if modified since then (local time)\n"
                "  -m SECONDS           give up after SECONDS\n"
                "  -v                   print the tool's log lines on standard error\n"
                "  -h, --help           show this help\n\n"
                "Exit status: 0 when the request completed with a status below 400,\n"
                "1 otherwise (401 and 407 included), 2 for bad usage.\n");
}

struct Options {
    std::string method, url, output, data, user, proxy, proxyUser;
    std::string socks, socksUser, socksPass;
    bool haveData = false, http11 = false, verbose = false;
    QDateTime since;
    long long maxSeconds = 0;
};

bool SplitPair(const std::string& text, std::string& a, std::string& b) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos)
        return false;
    a = text.substr(0, colon);
    b = text.substr(colon + 1);
    return true;
}

// Parses the arguments; returns -1 to go on, else the exit status.
int ParseArgs(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= argc)
                return false;
            into = argv[++i];
            return true;
        };
        std::string v;
        if (arg == "-h" || arg == "--help") {
            PrintHelp();
            return 0;
        } else if (arg == "-v") {
            o.verbose = true;
        } else if (arg == "--http1.1") {
            o.http11 = true;
        } else if (arg == "-o" || arg == "-d" || arg == "-u" || arg == "--proxy" ||
                   arg == "--proxy-user" || arg == "--socks" || arg == "--socks-user" ||
                   arg == "--socks-pass" || arg == "-z" || arg == "-m") {
            if (!value(v))
                return UsageError("http", "option " + arg + " needs a value");
            if (arg == "-o")
                o.output = v;
            else if (arg == "-d") {
                o.data = v;
                o.haveData = true;
            } else if (arg == "-u")
                o.user = v;
            else if (arg == "--proxy")
                o.proxy = v;
            else if (arg == "--proxy-user")
                o.proxyUser = v;
            else if (arg == "--socks")
                o.socks = v;
            else if (arg == "--socks-user")
                o.socksUser = v;
            else if (arg == "--socks-pass")
                o.socksPass = v;
            else if (arg == "-z") {
                o.since = QDateTime::fromString(QString::fromStdString(v),
                                                QStringLiteral("yyyy-MM-dd HH:mm:ss"));
                if (!o.since.isValid())
                    return UsageError("http", "-z wants 'YYYY-MM-DD HH:MM:SS' (got '" + v + "')");
            } else {
                const auto n = ParseDecimal(v, 1, 86400 * 365);
                if (!n)
                    return UsageError("http",
                                      "-m wants a whole number of seconds (got '" + v + "')");
                o.maxSeconds = *n;
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            return UsageError("http", "unknown option '" + arg + "'");
        } else if (o.method.empty()) {
            if (arg != "get" && arg != "head" && arg != "post")
                return UsageError("http",
                                  "the first word is get, head or post (got '" + arg + "')");
            o.method = arg;
        } else if (o.url.empty()) {
            o.url = arg;
        } else {
            return UsageError("http", "more than one URL given ('" + arg + "')");
        }
    }
    if (o.method.empty())
        return UsageError("http", "get, head or post?");
    if (o.url.empty())
        return UsageError("http", "no URL given");
    if (o.haveData && o.method != "post")
        return UsageError("http", "-d goes with post");
    std::string a, b;
    if (!o.user.empty() && !SplitPair(o.user, a, b))
        return UsageError("http", "-u wants USER:PASS");
    if (!o.proxy.empty() && !SplitPair(o.proxy, a, b))
        return UsageError("http", "--proxy wants HOST:PORT");
    if (!o.proxyUser.empty() && !SplitPair(o.proxyUser, a, b))
        return UsageError("http", "--proxy-user wants USER:PASS");
    if (!o.socks.empty() && !SplitPair(o.socks, a, b))
        return UsageError("http", "--socks wants HOST:PORT");
    if ((!o.socksUser.empty() || !o.socksPass.empty()) && o.socks.empty())
        return UsageError("http", "--socks-user and --socks-pass go with --socks");
    return -1;
}

bool ReadWholeFile(const std::string& path, std::string& out) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    char buf[65536];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        out.append(buf, n);
    const bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

bool WriteAll(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= std::size_t(w);
    }
    return true;
}

// Where documents go.  A file is cut back at each new document, so only the
// last answer's document stays.  A pipe cannot be cut: documents of answers
// other than 2xx (a relocation, a challenge answered again) wait in a spool
// file and reach the pipe only when they turn out to be the last.
class DocSink {
public:
    explicit DocSink(int fd) : fd_(fd) {
        struct stat st {};
        cuttable_ = ::fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || S_ISCHR(st.st_mode));
    }
    TStream* Begin(int status) {
        stream_.reset();
        spooled_ = false;
        if (cuttable_) {
            if (::ftruncate(fd_, 0) != 0 && errno != EINVAL)
                return nullptr;
            ::lseek(fd_, 0, SEEK_SET);
            stream_ = std::make_unique<TFileStream>(::dup(fd_));
        } else if (status >= 200 && status < 300) {
            stream_ = std::make_unique<TFileStream>(::dup(fd_));
        } else {
            std::FILE* spool = std::tmpfile();
            if (!spool)
                return nullptr;
            stream_ = std::make_unique<TFileStream>(::dup(::fileno(spool)));
            std::fclose(spool);
            spooled_ = true;
        }
        return stream_.get();
    }
    // The last document, when it waited in the spool, goes out now.
    bool Finish() {
        if (!spooled_ || !stream_)
            return true;
        stream_->Seek(0);
        char buf[65536];
        for (long long n; (n = stream_->Read(buf, sizeof buf)) > 0;)
            if (!WriteAll(fd_, buf, std::size_t(n)))
                return false;
        return true;
    }

private:
    int fd_;
    bool cuttable_ = false;
    bool spooled_ = false;
    std::unique_ptr<TFileStream> stream_;
};

int RunHttp(int argc, char** argv) {
    Options o;
    if (int rc = ParseArgs(argc, argv, o); rc >= 0)
        return rc;
    std::string body;
    if (!o.data.empty() && o.data[0] == '@') {
        if (!ReadWholeFile(o.data.substr(1), body)) {
            std::fprintf(stderr, "qordex-cli http: cannot read '%s'\n", o.data.c_str() + 1);
            return 2;
        }
    } else {
        body = o.data;
    }
    int outFd = STDOUT_FILENO;
    if (!o.output.empty()) {
        outFd = ::open(o.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (outFd < 0) {
            std::fprintf(stderr, "qordex-cli http: cannot open '%s': %s\n", o.output.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }
    std::signal(SIGPIPE, SIG_IGN); // a closed pipe is a write error, not the end

    auto line = [&](const std::string& s) {
        if (o.verbose) {
            std::fwrite(s.data(), 1, s.size(), stderr);
            std::fputc('\n', stderr);
        }
    };
    auto failure = [&](const std::string& s) {
        std::fwrite(s.data(), 1, s.size(), stderr);
        std::fputc('\n', stderr);
    };

    THttpCli cli;
    web::ApplyToolDefaults(cli);
    web::THttpToolSettings s;
    s.url = o.url;
    SplitPair(o.user, s.username, s.password);
    if (!o.proxy.empty()) {
        s.useProxy = true;
        SplitPair(o.proxy, s.proxyAddr, s.proxyPort);
        if (!o.proxyUser.empty()) {
            s.proxyAuth = true;
            SplitPair(o.proxyUser, s.proxyUser, s.proxyPass);
        }
    }
    s.modifiedSince = o.since;
    if (o.http11)
        cli.SetRequestVer("1.1");

    int doneErr = -1;
    web::AttachToolLog(cli, line);
    auto logDone = cli.OnRequestDone;
    cli.OnRequestDone = [&](THttpCli* c, web::THttpRequest rq, std::uint16_t err) {
        doneErr = err;
        logDone(c, rq, err);
    };
    DocSink sink(outFd);
    bool sinkFailed = false;
    cli.OnDocBegin = [&](THttpCli* c) {
        for (const std::string& l : web::DocBeginLines(*c))
            line(l);
        TStream* st = sink.Begin(c->StatusCode());
        sinkFailed = sinkFailed || !st;
        c->SetRcvdStream(st);
    };
    cli.OnDocEnd = [](THttpCli* c) { c->SetRcvdStream(nullptr); };

    const bool post = o.method == "post";
    web::ApplyToolSettings(cli, s, !post);
    TMemoryStream sendBody(body);
    if (post)
        cli.SetSendStream(&sendBody);
    if (!o.socks.empty()) {
        std::string host, port;
        SplitPair(o.socks, host, port);
        cli.SetSocksServer(host);
        cli.SetSocksPort(port);
        cli.SetSocksUsercode(o.socksUser);
        cli.SetSocksPassword(o.socksPass);
        cli.SetSocksAuthentication(o.socksUser.empty() ? socksNoAuthentication
                                                       : socksAuthenticateUsercode);
    }

    QTimer limit;
    if (o.maxSeconds > 0) {
        limit.setSingleShot(true);
        limit.callOnTimeout([&] { cli.Abort(); });
        limit.start(int(o.maxSeconds * 1000));
    }

    const std::string what = o.method == "get" ? "GET" : o.method == "head" ? "HEAD" : "POST";
    line(web::ProxyLogLine(cli));
    bool failed = false;
    try {
        if (o.method == "get")
            cli.Get();
        else if (o.method == "head")
            cli.Head();
        else
            cli.Post();
    } catch (const std::exception&) {
        failed = true;
        for (const std::string& l : web::FailureLines(what, cli))
            failure(l);
    }
    limit.stop();
    if (!failed)
        line("StatusCode = " + std::to_string(cli.StatusCode()));
    // OnRequestDone comes from the loop, as in the window.
    PumpUntil([&] { return doneErr >= 0; }, 10000);
    const bool written = sink.Finish() && !sinkFailed;
    if (!written)
        failure("qordex-cli http: cannot write the document");
    if (outFd != STDOUT_FILENO && ::close(outFd) != 0)
        return 1;
    if (failed || !written || doneErr != 0 || cli.StatusCode() >= 400)
        return 1;
    return 0;
}

const Registration reg{"http", "send an HTTP request (get, head, post)", RunHttp};

} // namespace
} // namespace qordex::cli
