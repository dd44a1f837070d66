// SMTP client sending rate: aiosmtpd's Sink on loopback takes 1,000 small
// mails over one connection, from Python's smtplib and from our client in
// turn, for three rounds; the medians are compared.
//
//   bench_smtp [--rounds N] [--mails N]

#include "BenchSupport.h"
#include "mail/SmtpProt.h"
#include "platform/MessageLoop.h"

#include <QCoreApplication>
#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace qordex;
using namespace qordex::mail;
using namespace qordex::bench;

const char* const kPython = "/usr/bin/python3";

// smtplib sends the mails; it prints the seconds the connection took.
double SmtplibRound(int port, int mails) {
    const std::string script =
        "import smtplib,sys,time\n"
        "msg=('From: a@example.org\\r\\nTo: b@example.org\\r\\nSubject: bench\\r\\n\\r\\n'\n"
        "     'line one\\r\\nline two\\r\\nline three\\r\\n')\n"
        "t=time.perf_counter()\n"
        "s=smtplib.SMTP('127.0.0.1'," +
        std::to_string(port) +
        ")\n"
        "for i in range(" +
        std::to_string(mails) +
        "): s.sendmail('a@example.org',['b@example.org'],msg)\n"
        "s.quit()\n"
        "print(time.perf_counter()-t)\n";
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    const pid_t pid = Spawn({kPython, "-c", script}, true, fds[1]);
    close(fds[1]);
    std::string out;
    char buf[256];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
        out.append(buf, std::size_t(n));
    close(fds[0]);
    int status = 0;
    if (pid > 0)
        waitpid(pid, &status, 0);
    if (pid < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return std::atof(out.c_str());
}

// Our client: Open, the mails one after the other, Quit, on one connection.
double OurRound(int port, int mails) {
    TSmtpCli smtp;
    smtp.SetHost("127.0.0.1");
    smtp.SetPort(std::to_string(port));
    smtp.SetSignOn("bench");
    smtp.SetFromName("a@example.org");
    smtp.SetRcptName({"b@example.org"});
    smtp.SetHdrFrom("a@example.org");
    smtp.SetHdrTo("b@example.org");
    smtp.SetHdrSubject("bench");
    smtp.SetMailMessage({"line one", "line two", "line three"});
    int sent = 0;
    bool done = false, failed = false;
    smtp.OnRequestDone = [&](TCustomSmtpClient*, TSmtpRequest rq, std::uint16_t error) {
        if (error != 0 && rq != smtpQuit) {
            failed = true;
            done = true;
            return;
        }
        if (rq == smtpQuit) {
            done = true;
            return;
        }
        if (rq == smtpMail)
            ++sent;
        if (sent < mails)
            smtp.Mail();
        else
            smtp.Quit();
    };
    const auto start = Clock::now();
    smtp.Open();
    PumpUntil([&] { return done; }, 600000);
    const double s = std::chrono::duration<double>(Clock::now() - start).count();
    return failed || !done || sent != mails ? -1 : s;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int rounds = 3, mails = 1000;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--rounds") && i + 1 < argc)
            rounds = std::max(1, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--mails") && i + 1 < argc)
            mails = std::max(1, std::atoi(argv[++i]));
    }
    if (std::system("/usr/bin/python3 -c 'import aiosmtpd' >/dev/null 2>&1") != 0) {
        std::printf("smtp: python3-aiosmtpd is not installed, skipped\n");
        return 0;
    }
    const int port = FreePort();
    const pid_t server =
        Spawn({kPython, "-m", "aiosmtpd", "-n", "-l", "127.0.0.1:" + std::to_string(port), "-c",
               "aiosmtpd.handlers.Sink"},
              true);
    for (int i = 0; i < 1000 && !PortOpen(port); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    // A short round each first, so that neither side pays for the server's
    // warming up (Python's first connections are slow).
    SmtplibRound(port, 100);
    OurRound(port, 100);
    std::vector<double> ours, theirs;
    bool failed = false;
    for (int r = 0; r < rounds; ++r) {
        const double b = SmtplibRound(port, mails);
        const double a = OurRound(port, mails);
        if (a < 0 || b < 0) {
            std::printf("smtp: a round failed (qordex %s, smtplib %s)\n", a < 0 ? "failed" : "ok",
                        b < 0 ? "failed" : "ok");
            failed = true;
            break;
        }
        std::printf("smtp round %d: qordex %.0f mails/s, smtplib %.0f mails/s\n", r + 1, mails / a,
                    mails / b);
        ours.push_back(mails / a);
        theirs.push_back(mails / b);
    }
    if (server > 0) {
        kill(server, SIGTERM);
        waitpid(server, nullptr, 0);
    }
    if (failed)
        return 1;
    std::printf("smtp, %d small mails on one connection to aiosmtpd: qordex %.0f mails/s, "
                "smtplib %.0f mails/s\n",
                mails, Median(ours), Median(theirs));
    std::printf("smtp ratio: %.2f\n", Median(ours) / Median(theirs));
    return 0;
}
