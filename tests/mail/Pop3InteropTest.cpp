// The POP3 client and qordex-cli pop3 against dovecot, compared byte for
// byte with what Python's poplib receives from the same server.

#include "Pop3Peers.h"
#include "mail/Pop3Prot.h"
#include "platform/MessageLoop.h"

#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

using namespace qordex;
using namespace qordex::mail;
using namespace qordex::test;
namespace fs = std::filesystem;

namespace {

using Lines = std::vector<std::string>;

const std::string kLongLine(200000, 'L');

// Dot lines, a lone ".", a folded Subject, two Cc, 8-bit bytes and a
// 200,000-byte line.
const std::vector<std::string> kMessages = {
    "From: Ann <ann@example.org>\r\n"
    "To: bob@example.org\r\n"
    "Cc: one@example.org\r\n"
    "Cc: two@example.org\r\n"
    "Subject: folded\r\n"
    " subject line\r\n"
    "Message-ID: <m1@example.org>\r\n"
    "\r\n"
    ".leading dot\r\n"
    "..two dots\r\n"
    ".\r\n"
    "after a lone dot\r\n"
    "caf\xe9 \xff\x80 8-bit\r\n" +
        kLongLine +
        "\r\n"
        "last\r\n",
    "From: c@example.org\r\nSubject: two\r\n\r\nsecond\r\n",
    "From: d@example.org\r\nSubject: three\r\n\r\nthird, to be deleted\r\n",
};

struct Client {
    explicit Client(const Dovecot& d) {
        pop3.SetHost("127.0.0.1");
        pop3.SetPort(d.PortText());
        pop3.SetUserName("alice");
        pop3.SetPassWord("secret pw");
        pop3.OnRequestDone = [this](TCustomPop3Cli*, TPop3Request, std::uint16_t e) {
            errors.push_back(e);
        };
        pop3.OnMessageLine = [this](TCustomPop3Cli* p) { lines.push_back(p->LastResponse()); };
    }
    int Run(const std::function<void()>& op) {
        const std::size_t n = errors.size();
        op();
        if (!PumpUntil([&] { return errors.size() > n; }, 30000))
            return -1;
        return errors.back();
    }
    TPop3Cli pop3;
    std::vector<int> errors;
    Lines lines;
};

#define START_DOVECOT(d)                                                                           \
    Dovecot d(kMessages);                                                                          \
    if (!d.Skip().empty())                                                                         \
    GTEST_SKIP() << d.Skip()

} // namespace

TEST(Pop3Interop, EveryLoginAgainstDovecot) {
    START_DOVECOT(dovecot);
    struct Case {
        const char* name;
        std::function<void(TPop3Cli&)> login;
    } cases[] = {
        {"USER and PASS", [](TPop3Cli& p) { p.Open(); }},
        {"APOP", [](TPop3Cli& p) { p.APop(); }},
        {"AUTH LOGIN",
         [](TPop3Cli& p) {
             p.SetAuthType(popAuthLogin);
             p.Auth();
         }},
        {"AUTH CRAM-MD5",
         [](TPop3Cli& p) {
             p.SetAuthType(popAuthCramMD5);
             p.Auth();
         }},
    };
    for (const Case& k : cases) {
        for (const char* password : {"secret pw", "wrong"}) {
            SCOPED_TRACE(std::string(k.name) + " with " + password);
            Client c(dovecot);
            c.pop3.SetPassWord(password);
            if (std::string(k.name) != "USER and PASS") {
                ASSERT_EQ(c.Run([&] { c.pop3.Connect(); }), 0) << c.pop3.ErrorMessage();
            }
            const int e = c.Run([&] { k.login(c.pop3); });
            if (std::string(password) == "wrong") {
                EXPECT_EQ(e, 500);
                EXPECT_EQ(c.pop3.ErrorMessage().rfind("-ERR", 0), 0u) << c.pop3.ErrorMessage();
                c.pop3.Abort();
                continue;
            }
            ASSERT_EQ(e, 0) << c.pop3.ErrorMessage() << "\n" << dovecot.Log();
            EXPECT_EQ(c.pop3.ProtocolState(), pop3Transaction);
            EXPECT_EQ(c.Run([&] { c.pop3.Stat(); }), 0);
            EXPECT_EQ(c.pop3.MsgCount(), 3);
            EXPECT_EQ(c.Run([&] { c.pop3.Quit(); }), 0);
        }
    }
}

TEST(Pop3Interop, EveryCommandAgainstDovecot) {
    START_DOVECOT(dovecot);
    Client c(dovecot);
    ASSERT_EQ(c.Run([&] { c.pop3.Open(); }), 0) << c.pop3.ErrorMessage();
    Lines list, uidl;
    c.pop3.OnListLine = [&](TCustomPop3Cli* p) { list.push_back(p->LastResponse()); };
    c.pop3.OnUidlLine = [&](TCustomPop3Cli* p) { uidl.push_back(p->MsgUidl()); };
    EXPECT_EQ(c.Run([&] { c.pop3.Stat(); }), 0);
    EXPECT_EQ(c.pop3.MsgCount(), 3);
    c.pop3.SetMsgNum(0);
    EXPECT_EQ(c.Run([&] { c.pop3.List(); }), 0);
    EXPECT_EQ(list.size(), 3u);
    c.pop3.SetMsgNum(0);
    EXPECT_EQ(c.Run([&] { c.pop3.Uidl(); }), 0);
    ASSERT_EQ(uidl.size(), 3u);
    c.pop3.SetMsgNum(2);
    EXPECT_EQ(c.Run([&] { c.pop3.Uidl(); }), 0);
    EXPECT_EQ(c.pop3.MsgUidl(), uidl[1]);
    EXPECT_EQ(c.Run([&] { c.pop3.List(); }), 0);
    EXPECT_EQ(c.pop3.MsgNum(), 2);
    EXPECT_EQ(c.pop3.MsgSize(), int(kMessages[1].size()));

    c.pop3.SetMsgNum(1);
    EXPECT_EQ(c.Run([&] { c.pop3.Retr(); }), 0);
    EXPECT_EQ(c.pop3.MsgSubject(), "foldedsubject line");
    EXPECT_EQ(c.pop3.MsgCc(), "one@example.org, two@example.org");
    EXPECT_EQ(c.pop3.MsgFrom(), "Ann <ann@example.org>");
    EXPECT_EQ(c.pop3.MsgId(), "<m1@example.org>");
    ASSERT_EQ(c.lines.size(), 15u);
    EXPECT_EQ(c.lines[8], ".leading dot");
    EXPECT_EQ(c.lines[9], "..two dots");
    EXPECT_EQ(c.lines[10], ".");
    EXPECT_EQ(c.lines[12], "caf\xe9 \xff\x80 8-bit");
    EXPECT_EQ(c.lines[13], kLongLine);

    c.lines.clear();
    c.pop3.SetMsgLines(1);
    EXPECT_EQ(c.Run([&] { c.pop3.Top(); }), 0);
    EXPECT_EQ(c.lines.size(), 9u);
    EXPECT_EQ(c.Run([&] { c.pop3.Noop(); }), 0);
    // dovecot knows no LAST: a refusal like any other.
    EXPECT_EQ(c.Run([&] { c.pop3.Last(); }), 500);
    EXPECT_EQ(c.pop3.ErrorMessage().rfind("-ERR", 0), 0u);
    c.pop3.SetMsgNum(3);
    EXPECT_EQ(c.Run([&] { c.pop3.Dele(); }), 0);
    EXPECT_EQ(c.Run([&] { c.pop3.RSet(); }), 0);
    EXPECT_EQ(c.Run([&] { c.pop3.Dele(); }), 0);
    EXPECT_EQ(c.Run([&] { c.pop3.Quit(); }), 0);
    // QUIT committed the deletion.
    EXPECT_TRUE(PumpUntil([&] { return dovecot.MessageCount() == 2; }, 10000));
}

TEST(Pop3Interop, TheCommandLineReceivesWhatPoplibReceives) {
    START_DOVECOT(dovecot);
    QTemporaryDir dir;
    const fs::path root = dir.path().toStdString();
    fs::create_directories(root / "poplib");
    const CommandResult ref = qordex::test::Run(
        {"/usr/bin/python3", QORDEX_SOURCE_DIR "/tests/mail/pop_read.py", "127.0.0.1",
         dovecot.PortText(), "alice", "secret pw", (root / "poplib").string()});
    ASSERT_EQ(ref.status, 0) << ref.err;
    const std::vector<std::string> base = {
        BinPath("qordex-cli"), "pop3",   "--server", "127.0.0.1",  "--port",
        dovecot.PortText(),    "--user", "alice",    "--password", "secret pw"};
    for (std::size_t n = 1; n <= kMessages.size(); ++n) {
        SCOPED_TRACE(n);
        const std::string out = (root / ("ours" + std::to_string(n) + ".txt")).string();
        auto argv = base;
        for (const std::string& a :
             {std::string("-o"), out, std::string("retr"), std::to_string(n)})
            argv.push_back(a);
        const CommandResult r = qordex::test::Run(argv);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "");
        const std::string theirs = ReadFile(root / "poplib" / (std::to_string(n) + ".txt"));
        ASSERT_FALSE(theirs.empty());
        EXPECT_TRUE(ReadFile(out) == theirs) << "the files differ";
    }
    // The message as poplib got it is the message as stored.
    EXPECT_TRUE(ReadFile(root / "poplib" / "1.txt") == kMessages[0]);

    // stat, list and uidl say what poplib saw.
    auto argv = base;
    for (const char* a : {"stat", "list", "uidl"})
        argv.push_back(a);
    const CommandResult r = qordex::test::Run(argv);
    ASSERT_EQ(r.status, 0) << r.err;
    const Lines ours = SplitLines(r.out);
    Lines want;
    Lines refLines = SplitLines(ref.out);
    for (const std::string& l : refLines) {
        std::istringstream in(l);
        std::string kind, a, b;
        in >> kind >> a >> b;
        if (kind == "stat")
            want.push_back("Stat ok, " + a + " messages " + b + " bytes");
    }
    want.push_back("*** List begin ***");
    for (const std::string& l : refLines)
        if (l.rfind("list ", 0) == 0) {
            std::istringstream in(l.substr(5));
            std::string a, b;
            in >> a >> b;
            want.push_back("MsgNum = " + a + " MsgSize = " + b + " Line = '" + a + " " + b + "'");
        }
    want.push_back("*** List End ***");
    want.push_back("*** Uidl begin ***");
    for (const std::string& l : refLines)
        if (l.rfind("uidl ", 0) == 0) {
            std::istringstream in(l.substr(5));
            std::string a, b;
            in >> a >> b;
            want.push_back("MsgNum = " + a + " MsgUidl = " + b + "'");
        }
    want.push_back("*** Uidl end ***");
    EXPECT_EQ(ours, want);
}
