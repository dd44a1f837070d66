// qordex-cli smtp against a real SMTP server (Python's aiosmtpd), with what
// arrived read back by Python's email package: attachments byte for byte,
// headers decoded, the body as written, the BCC in no header.

#include "crypto/Digest.h"
#include "mail/SmtpSink.h"
#include "support/Process.h"
#include "support/TestData.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>

using namespace qordex;
using namespace qordex::test;

namespace {

std::string Write(const QTemporaryDir& dir, const std::string& name, const std::string& bytes) {
    const std::string path = dir.filePath(QString::fromStdString(name)).toStdString();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

CommandResult Cli(const std::vector<std::string>& args, const std::string& input = {}) {
    std::vector<std::string> argv = {BinPath("qordex-cli"), "smtp"};
    argv.insert(argv.end(), args.begin(), args.end());
    return Run(argv, input, 120000);
}

} // namespace

class SmtpInterop : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveAiosmtpd())
            GTEST_SKIP() << "python3-aiosmtpd is not installed (scripts/install-deps.sh)";
    }
};

TEST_F(SmtpInterop, CliDeliversAWholeMessage) {
    QTemporaryDir dir;
    const std::string body = ".x\n.\n   three leading spaces\n" + std::string(2000, 'L') +
                             "\n\xc3\x9cnicode: Gr\xc3\xbc\xc3\x9f"
                             "e, \xe6\x97\xa5\xe6\x9c\xac\n"
                             "last line\n";
    const std::string bodyFile = Write(dir, "body.txt", body);
    struct File {
        std::string name, bytes;
    } files[] = {{"empty.bin", ""},
                 {"exact54.dat", std::string(54, 'x')},
                 {"odd55.txt", RandomBytes(55, 5)},
                 {"big file.bin", RandomBytes(1 << 20, 7)},
                 {"r\xc3\xa9sum\xc3\xa9.pdf", "%PDF-1.4\n"}};
    const struct { const char* auth; } cases[] = {{nullptr}, {"plain"}, {"login"}, {"auto"}};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.auth ? k.auth : "no auth");
        Sink sink(k.auth ? "mailer" : "", "s3cret pass");
        ASSERT_TRUE(sink.Ready());
        std::vector<std::string> args = {"--server",    "127.0.0.1",
                                         "--port",      sink.Port(),
                                         "--from",      "sender@example.org",
                                         "--from-name", "J\xc3\xbcrgen M\xc3\xbcller",
                                         "--to",        "to1@example.org",
                                         "--to",        "Second <to2@example.org>",
                                         "--cc",        "cc@example.org",
                                         "--bcc",       "hidden@example.org",
                                         "--subject",   "Caf\xc3\xa9 \xe2\x82\xac report",
                                         "--body",      bodyFile,
                                         "--helo",      "client.test"};
        if (k.auth)
            for (const char* a :
                 {"--auth", k.auth, "--user", "mailer", "--password", "s3cret pass"})
                args.push_back(a);
        for (const File& f : files)
            args.insert(args.end(), {"--attach", Write(dir, f.name, f.bytes)});
        const CommandResult r = Cli(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "") << "nothing printed without -v";
        ASSERT_EQ(sink.Count(), 1);

        const QJsonObject env = sink.Envelope(1);
        EXPECT_EQ(Str(env["mail_from"]), "sender@example.org");
        EXPECT_EQ(Strings(env["rcpt_tos"]),
                  (std::vector<std::string>{"to1@example.org", "to2@example.org", "cc@example.org",
                                            "hidden@example.org"}));
        const QJsonObject mail = sink.Read(1);
        const QJsonObject h = mail["headers"].toObject();
        EXPECT_EQ(Str(h["From"]), "J\xc3\xbcrgen M\xc3\xbcller <sender@example.org>");
        EXPECT_EQ(Str(h["To"]), "to1@example.org, Second <to2@example.org>");
        EXPECT_EQ(Str(h["Cc"]), "cc@example.org");
        EXPECT_EQ(Str(h["Subject"]), "Caf\xc3\xa9 \xe2\x82\xac report");
        EXPECT_EQ(Str(h["Reply-To"]), "sender@example.org");
        EXPECT_FALSE(h.contains("Bcc"));
        EXPECT_EQ(Str(mail["body"]), body);
        const QJsonArray att = mail["attachments"].toArray();
        ASSERT_EQ(att.size(), qsizetype(std::size(files)));
        for (std::size_t i = 0; i < std::size(files); ++i) {
            const QJsonObject a = att[qsizetype(i)].toObject();
            EXPECT_EQ(Str(a["name"]), files[i].name);
            EXPECT_EQ(a["size"].toInt(), int(files[i].bytes.size()));
            EXPECT_EQ(Str(a["sha256"]), crypto::ToHex(crypto::Sha256(files[i].bytes)));
        }
        EXPECT_EQ(Strings(mail["defects"]), std::vector<std::string>{});
        const std::string raw = sink.Raw(1);
        EXPECT_EQ(raw.find("hidden@example.org"), std::string::npos);
        for (std::size_t at = 0, next; at < raw.size(); at = next + 1) {
            next = raw.find('\n', at);
            if (next == std::string::npos)
                next = raw.size();
            EXPECT_LE(next - at, 999u) << "a line longer than SMTP allows";
        }
    }
}

TEST_F(SmtpInterop, CliVerboseLogAndBodyFromStandardInput) {
    Sink sink;
    ASSERT_TRUE(sink.Ready());
    const CommandResult r =
        Cli({"--server", "127.0.0.1", "--port", sink.Port(), "--from", "a@example.org", "--to",
             "b@example.org", "--subject", "s", "--body", "-", "-v"},
            "hello\r\nworld\r\n");
    EXPECT_EQ(r.status, 0) << r.err;
    const auto lines = SplitLines(r.out);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0].rfind("< 220 ", 0), 0u);
    EXPECT_TRUE(std::find(lines.begin(), lines.end(), "> MAIL FROM:<a@example.org>") !=
                lines.end());
    EXPECT_TRUE(std::find(lines.begin(), lines.end(), "> world") != lines.end());
    std::vector<std::string> done;
    for (const std::string& l : lines)
        if (l.rfind("RequestDone", 0) == 0)
            done.push_back(l);
    EXPECT_EQ(done,
              (std::vector<std::string>{"RequestDone Rq=8 Error=0", "RequestDone Rq=9 Error=0",
                                        "RequestDone Rq=6 Error=0"}));
    ASSERT_EQ(sink.Count(), 1);
    EXPECT_EQ(Str(sink.Read(1)["body"]), "hello\nworld\n");
}

TEST_F(SmtpInterop, CliFailuresAndBadUsage) {
    QTemporaryDir dir;
    Sink sink("mailer", "right");
    ASSERT_TRUE(sink.Ready());
    const std::vector<std::string> base = {"--server", "127.0.0.1",     "--port", sink.Port(),
                                           "--from",   "a@example.org", "--to",   "b@example.org"};
    auto with = [&](std::vector<std::string> more) {
        std::vector<std::string> args = base;
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    struct Case {
        const char* name;
        std::vector<std::string> args;
        int status;
        const char* err; // how stderr starts
    } cases[] = {
        {"wrong password", with({"--auth", "plain", "--user", "mailer", "--password", "wrong"}), 1,
         "qordex-cli smtp: 535 "},
        {"refused port",
         {"--server", "127.0.0.1", "--port", std::to_string(FreeTcpPort()), "--from", "a@x", "--to",
          "b@x"},
         1,
         "qordex-cli smtp: 500 "},
        {"no server", {"--from", "a@x", "--to", "b@x"}, 2, "qordex-cli smtp: --server is missing"},
        {"no recipient",
         {"--server", "127.0.0.1", "--from", "a@x"},
         2,
         "qordex-cli smtp: no recipient"},
        {"missing attachment", with({"--attach", dir.filePath("none").toStdString()}), 2,
         "qordex-cli smtp: File not found"},
        {"injected subject", with({"--subject", "x\r\n.\r\nRSET"}), 2,
         "qordex-cli smtp: --subject holds"},
        {"auth without user", with({"--auth", "login"}), 2, "qordex-cli smtp: --auth needs"},
        {"bad auth type", with({"--auth", "ntlm", "--user", "u", "--password", "p"}), 2,
         "qordex-cli smtp: unknown --auth type"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        const CommandResult r = Cli(k.args);
        EXPECT_EQ(r.status, k.status) << r.err;
        EXPECT_EQ(r.err.rfind(k.err, 0), 0u) << r.err;
    }
    EXPECT_EQ(sink.Count(), 0) << "no failed run delivered anything";
}

TEST_F(SmtpInterop, CliGivesUpOnASilentServer) {
    // A listener that accepts and never speaks.
    Background silent({kPython, "-c",
                       "import socket,sys,time\n"
                       "s=socket.socket();s.bind(('127.0.0.1',0));s.listen(1)\n"
                       "print(s.getsockname()[1],flush=True)\n"
                       "c,_=s.accept();time.sleep(60)\n"});
    ASSERT_TRUE(WaitForOutput(silent, "\n"));
    const std::string port = SplitLines(silent.Output())[0];
    const CommandResult r = Cli({"--server", "127.0.0.1", "--port", port, "--from", "a@x", "--to",
                                 "b@x", "--timeout", "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "qordex-cli smtp: no answer from 127.0.0.1 within 1 s\n");
}

TEST_F(SmtpInterop, CliThroughSocks5) {
    if (!HasProgram("microsocks"))
        GTEST_SKIP() << "microsocks is not installed";
    Sink sink;
    ASSERT_TRUE(sink.Ready());
    const int proxyPort = FreeTcpPort();
    Background proxy({"microsocks", "-i", "127.0.0.1", "-p", std::to_string(proxyPort), "-u",
                      "alice", "-P", "s3cret"});
    ASSERT_TRUE(WaitForTcpPort(proxyPort, 10000));
    const std::vector<std::string> base = {"--server",     "127.0.0.1",
                                           "--port",       sink.Port(),
                                           "--from",       "a@example.org",
                                           "--to",         "b@example.org",
                                           "--socks",      "127.0.0.1:" + std::to_string(proxyPort),
                                           "--socks-user", "alice"};
    auto with = [&](const char* pass) {
        std::vector<std::string> args = base;
        args.insert(args.end(), {"--socks-pass", pass});
        return Cli(args);
    };
    const CommandResult good = with("s3cret");
    EXPECT_EQ(good.status, 0) << good.err;
    EXPECT_EQ(sink.Count(), 1);
    const CommandResult bad = with("guess");
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("qordex-cli smtp: "), std::string::npos) << bad.err;
    EXPECT_EQ(sink.Count(), 1);
}
