// The SMTP client against a scripted server on loopback: every byte it
// sends, every reply code at every step, hostile replies and hostile input.

#include "mail/MimeUtil.h"
#include "mail/SmtpProt.h"
#include "platform/MessageLoop.h"
#include "support/ScriptedLines.h"

#include <QTemporaryDir>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

using namespace qordex;
using namespace qordex::mail;
using qordex::test::LineScript;
using qordex::test::ScriptedLineServer;

namespace {

using Lines = std::vector<std::string>;

struct Done {
    TSmtpRequest rq;
    int error;
    bool operator==(const Done&) const = default;
};

// A client pointed at a scripted server, recording what it reports.
struct Client {
    explicit Client(const ScriptedLineServer& server) {
        smtp.SetHost("127.0.0.1");
        smtp.SetPort(server.PortText());
        smtp.SetSignOn("tester");
        smtp.SetFromName("from@example.org");
        smtp.SetRcptName({"to@example.org"});
        smtp.OnDisplay = [this](TCustomSmtpClient*, const std::string& m) { display.push_back(m); };
        smtp.OnRequestDone = [this](TCustomSmtpClient*, TSmtpRequest rq, std::uint16_t e) {
            done.push_back({rq, e});
        };
        smtp.OnSessionClosed = [this](TCustomSmtpClient*, std::uint16_t) {
            closedAfter = done.size();
            ++closed;
        };
    }

    // Starts an operation and waits for its OnRequestDone.
    Done Run(const std::function<void()>& op) {
        const std::size_t n = done.size();
        op();
        if (!PumpUntil([&] { return done.size() > n; }, 30000)) {
            ADD_FAILURE() << "no OnRequestDone";
            return {smtpCustom, -1};
        }
        return done.back();
    }
    Done Open() {
        return Run([&] { smtp.Open(); });
    }
    Done Mail() {
        return Run([&] { smtp.Mail(); });
    }
    Done Quit() {
        return Run([&] { smtp.Quit(); });
    }

    TSmtpCli smtp;
    Lines display;
    std::vector<Done> done;
    std::size_t closedAfter = 0;
    int closed = 0;
};

// The script of a server that takes a whole mail and quits.
LineScript Accepting(std::size_t recipients = 1) {
    LineScript s;
    s.Send("220 ready\r\n").Reply("250 hello").Reply("250 sender ok");
    for (std::size_t i = 0; i < recipients; ++i)
        s.Reply("250 rcpt ok");
    return s.Reply("354 go").Data().Send("250 queued\r\n").Reply("221 bye").Close();
}

// The "D:" lines of a transcript, without their prefix.
Lines DataLines(const Lines& transcript) {
    Lines out;
    for (const std::string& l : transcript)
        if (l.rfind("D: ", 0) == 0)
            out.push_back(l.substr(3));
    return out;
}

bool Has(const Lines& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The data lines from the empty line that ends the header on.
Lines BodyOf(const Lines& data) {
    const auto end = std::find(data.begin(), data.end(), "");
    return end == data.end() ? Lines{} : Lines(end + 1, data.end());
}

} // namespace

TEST(SmtpClient, AWholeMailByteForByte) {
    // Replies arrive one byte per write; greeting and EHLO-free dialogue.
    LineScript s;
    s.Send("220-first line\r\n220 second line\r\n", {1});
    s.Reply("250 hello").Reply("250 ok").Reply("250 ok").Reply("354 go").Data();
    s.Send("250 queued\r\n", {1}).Reply("221 bye").Sleep(0.3).Close();
    ScriptedLineServer server(s);
    Client c(server);
    c.smtp.SetHdrFrom("Ann <from@example.org>");
    c.smtp.SetHdrTo("to@example.org");
    c.smtp.SetHdrSubject("Hi");
    // A header line that begins with a dot is stuffed like any other line.
    c.smtp.OnHeaderLine = [](TCustomSmtpClient*, std::string& line, int size) {
        EXPECT_EQ(size, 1024);
        if (line.rfind("X-Mailer:", 0) == 0)
            line = ".X-Dotted: yes";
    };
    const Lines body = {".x", ".", "  two leading spaces", "", std::string(998, 'w'), "end"};
    c.smtp.OnGetData = [&](TCustomSmtpClient*, int n, std::string& line, int maxLen, bool& more) {
        EXPECT_EQ(maxLen, 1023);
        if (n > int(body.size()))
            more = false;
        else
            line = body[std::size_t(n - 1)];
    };
    std::size_t doneAtQuitReply = 99;
    c.smtp.OnResponse = [&](TCustomSmtpClient*, const std::string& line) {
        if (line == "221 bye")
            doneAtQuitReply = c.done.size();
    };

    EXPECT_EQ(c.Run([&] { c.smtp.Connect(); }), (Done{smtpConnect, 0}));
    EXPECT_EQ(c.Run([&] { c.smtp.Helo(); }), (Done{smtpHelo, 0}));
    EXPECT_EQ(c.Run([&] { c.smtp.MailFrom(); }), (Done{smtpMailFrom, 0}));
    EXPECT_EQ(c.Run([&] { c.smtp.RcptTo(); }), (Done{smtpRcptTo, 0}));
    EXPECT_EQ(c.Run([&] { c.smtp.Data(); }), (Done{smtpData, 0}));
    EXPECT_EQ(c.Quit(), (Done{smtpQuit, 0}));
    // QUIT ends at the server's close, not at its reply.
    EXPECT_EQ(doneAtQuitReply, 5u);
    EXPECT_EQ(c.closedAfter, 5u);

    const Lines t = server.Transcript();
    EXPECT_EQ(t[0], "C: HELO tester");
    EXPECT_EQ(t[1], "C: MAIL FROM:<from@example.org>");
    EXPECT_EQ(t[2], "C: RCPT TO:<to@example.org>");
    EXPECT_EQ(t[3], "C: DATA");
    EXPECT_EQ(t.back(), "C: QUIT");
    const Lines data = DataLines(t);
    EXPECT_TRUE(Has(data, "..X-Dotted: yes"));
    EXPECT_TRUE(Has(data, "Subject: Hi"));
    EXPECT_EQ(BodyOf(data),
              (Lines{"..x", "..", "  two leading spaces", "", std::string(998, 'w'), "end"}));
    EXPECT_TRUE(Has(c.display, "< 220-first line"));
    EXPECT_TRUE(Has(c.display, "> ..x"));
}

TEST(SmtpClient, EveryRefusalEndsItsStepAndSendsNothingMore) {
    struct Case {
        const char* name;
        LineScript script;
        Done open, mail;          // mail.rq == smtpCustom: Mail is not run
        Lines sent;               // the commands the server saw
        const char* errorMessage; // ErrorMessage after the failing request
    };
    auto upTo = [](int replies) {
        LineScript s;
        s.Send("220 ready\r\n");
        const char* ok[] = {"250 hello", "250 ok", "250 ok", "354 go"};
        for (int i = 0; i < replies; ++i)
            s.Reply(ok[i]);
        return s;
    };
    std::vector<Case> cases;
    cases.push_back({"greeting",
                     LineScript().Send("554 go away\r\n").WaitEof(),
                     {smtpOpen, kSmtpClosed},
                     {smtpCustom, 0},
                     {"EOF"},
                     "554 go away"});
    cases.push_back({"helo",
                     upTo(0).Reply("501 bad name").WaitEof(),
                     {smtpOpen, 501},
                     {smtpCustom, 0},
                     {"C: HELO tester", "EOF"},
                     "501 bad name"});
    cases.push_back({"mail from",
                     upTo(1).Reply("550 no sender").WaitEof(),
                     {smtpOpen, 0},
                     {smtpMail, 550},
                     {"C: HELO tester", "C: MAIL FROM:<from@example.org>", "EOF"},
                     "550 no sender"});
    cases.push_back({"rcpt to",
                     upTo(2).Reply("550 no such user").WaitEof(),
                     {smtpOpen, 0},
                     {smtpMail, 550},
                     {"C: HELO tester", "C: MAIL FROM:<from@example.org>",
                      "C: RCPT TO:<to@example.org>", "EOF"},
                     "550 no such user"});
    cases.push_back({"data",
                     upTo(3).Reply("451 try later").WaitEof(),
                     {smtpOpen, 0},
                     {smtpMail, 451},
                     {"C: HELO tester", "C: MAIL FROM:<from@example.org>",
                      "C: RCPT TO:<to@example.org>", "C: DATA", "EOF"},
                     "451 try later"});
    cases.push_back({"final dot",
                     upTo(4).Data().Send("552 too big\r\n").WaitEof(),
                     {smtpOpen, 0},
                     {smtpMail, 552},
                     {"C: HELO tester", "C: MAIL FROM:<from@example.org>",
                      "C: RCPT TO:<to@example.org>", "C: DATA", "END", "EOF"},
                     "552 too big"});
    // A reply whose number reads as 0 in the 16-bit code is no success.
    cases.push_back({"zero code",
                     upTo(4).Data().Send("0 fine\r\n").WaitEof(),
                     {smtpOpen, 0},
                     {smtpMail, kSmtpNoStatus},
                     {"C: HELO tester", "C: MAIL FROM:<from@example.org>",
                      "C: RCPT TO:<to@example.org>", "C: DATA", "END", "EOF"},
                     "0 fine"});
    cases.push_back({"no digits",
                     upTo(1).Reply("what?").WaitEof(),
                     {smtpOpen, 0},
                     {smtpMail, kSmtpNoStatus},
                     {"C: HELO tester", "C: MAIL FROM:<from@example.org>", "EOF"},
                     "what?"});
    for (Case& k : cases) {
        SCOPED_TRACE(k.name);
        ScriptedLineServer server(k.script);
        Client c(server);
        EXPECT_EQ(c.Open(), k.open);
        if (k.mail.rq != smtpCustom) {
            EXPECT_EQ(c.Mail(), k.mail);
        }
        EXPECT_EQ(c.smtp.ErrorMessage(), k.errorMessage);
        EXPECT_EQ(c.smtp.State(), smtpReady);
        c.smtp.Abort();
        Lines seen;
        for (const std::string& l : server.Transcript())
            if (l.rfind("D: ", 0) != 0)
                seen.push_back(l);
        EXPECT_EQ(seen, k.sent);
    }
}

TEST(SmtpClient, RefusedRecipientsFollowTheHandlersAction) {
    struct Case {
        TSmtpRcptToErrorAction action;
        LineScript script;
        Done mail;
        Lines rcpts;
    } cases[] = {
        {srteAbort,
         LineScript()
             .Send("220 r\r\n")
             .Reply("250 h")
             .Reply("250 f")
             .Reply("250 a")
             .Reply("550 b")
             .WaitEof(),
         {smtpMail, 550},
         {"C: RCPT TO:<a@x>", "C: RCPT TO:<b@x>"}},
        {srteRetry,
         LineScript()
             .Send("220 r\r\n")
             .Reply("250 h")
             .Reply("250 f")
             .Reply("250 a")
             .Reply("450 b busy")
             .Reply("250 b")
             .Reply("250 c")
             .Reply("354 go")
             .Data()
             .Send("250 q\r\n")
             .WaitEof(),
         {smtpMail, 0},
         {"C: RCPT TO:<a@x>", "C: RCPT TO:<b@x>", "C: RCPT TO:<b@x>", "C: RCPT TO:<c@x>"}},
        {srteIgnore,
         LineScript()
             .Send("220 r\r\n")
             .Reply("250 h")
             .Reply("250 f")
             .Reply("250 a")
             .Reply("550 b")
             .Reply("551 c")
             .WaitEof(),
         {smtpMail, 551},
         {"C: RCPT TO:<a@x>", "C: RCPT TO:<b@x>", "C: RCPT TO:<c@x>"}},
    };
    for (Case& k : cases) {
        SCOPED_TRACE(int(k.action));
        ScriptedLineServer server(k.script);
        Client c(server);
        c.smtp.SetRcptName({"A <a@x>", "b@x", "\"C, Jr\" <c@x>"});
        std::vector<std::pair<int, int>> errors;
        bool retried = false;
        c.smtp.OnRcptToError = [&](TCustomSmtpClient*, std::uint16_t code, int idx,
                                   TSmtpRcptToErrorAction& action) {
            EXPECT_EQ(action, srteAbort);
            errors.emplace_back(code, idx);
            action = k.action == srteRetry && retried ? srteAbort : k.action;
            retried = true;
        };
        EXPECT_EQ(c.Open(), (Done{smtpOpen, 0}));
        EXPECT_EQ(c.Mail(), k.mail);
        c.smtp.Abort();
        Lines rcpts;
        for (const std::string& l : server.Transcript())
            if (l.rfind("C: RCPT", 0) == 0)
                rcpts.push_back(l);
        EXPECT_EQ(rcpts, k.rcpts);
        // The refusal of the last recipient is never the handler's.
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].second, 1);
    }
}

TEST(SmtpClient, AuthMechanismsOnTheWire) {
    const std::string pass100(100, 'p');
    const std::string ehlo = "250-hello\r\n250-AUTH=LOGIN PLAIN\r\n250 AUTH CRAM-MD5 CRAM-SHA1\r\n";
    struct Case {
        const char* name;
        TSmtpAuthType type;
        std::string password;
        LineScript script;
        Lines expected; // the client's lines after EHLO
    } cases[] = {
        {"plain",
         smtpAuthPlain,
         "secret",
         LineScript().Send("220 r\r\n").Expect().Send(ehlo).Reply("235 ok").WaitEof(),
         // NUL user NUL password: the sender address takes no part.
         {"C: AUTH PLAIN " + EncodeBase64(std::string("\0user\0secret", 12))}},
        {"login",
         smtpAuthLogin,
         "secret",
         LineScript()
             .Send("220 r\r\n")
             .Expect()
             .Send(ehlo)
             .Reply("334 VXNlcm5hbWU6")
             .Reply("334 UGFzc3dvcmQ6")
             .Reply("235 ok")
             .WaitEof(),
         {"C: AUTH LOGIN", "C: " + EncodeBase64("user"), "C: " + EncodeBase64("secret")}},
        {"cram-md5 long password",
         smtpAuthCramMD5,
         pass100,
         LineScript()
             .Send("220 r\r\n")
             .Expect()
             .Send(ehlo)
             .Expect()
             .Cram("md5", "<12345.67@server>", "user", pass100)
             .WaitEof(),
         {"C: AUTH CRAM-MD5", "C: *", "CRAM OK"}},
        {"auto picks cram-sha1",
         smtpAuthAutoSelect,
         pass100,
         LineScript()
             .Send("220 r\r\n")
             .Expect()
             .Send(ehlo)
             .Expect()
             .Cram("sha1", "<1.2@server>", "user", pass100)
             .WaitEof(),
         {"C: AUTH CRAM-SHA1", "C: *", "CRAM OK"}},
    };
    for (Case& k : cases) {
        SCOPED_TRACE(k.name);
        ScriptedLineServer server(k.script);
        Client c(server);
        c.smtp.SetAuthType(k.type);
        c.smtp.SetUsername("user");
        c.smtp.SetPassword(k.password);
        EXPECT_EQ(c.Open(), (Done{smtpOpen, 0}));
        EXPECT_TRUE(c.smtp.Authenticated());
        EXPECT_EQ(c.smtp.AuthTypesSupported(), (Lines{"LOGIN", "PLAIN", "CRAM-MD5", "CRAM-SHA1"}));
        c.smtp.Abort();
        Lines t = server.Transcript();
        ASSERT_GE(t.size(), 1u);
        EXPECT_EQ(t[0], "C: EHLO tester");
        t.erase(t.begin());
        if (!t.empty() && t.back() == "EOF")
            t.pop_back();
        // "C: *" stands for the CRAM answer, which the server checked itself.
        for (std::size_t i = 0; i < std::min(t.size(), k.expected.size()); ++i)
            if (k.expected[i] == "C: *" && t[i].rfind("C: ", 0) == 0)
                t[i] = "C: *";
        EXPECT_EQ(t, k.expected);
    }
}

TEST(SmtpClient, AuthFallbacksAndRefusals) {
    const std::string ehlo = "250-hi\r\n250 AUTH CRAM-MD5 LOGIN\r\n";
    // CRAM-MD5 refused with 504 under auto-select falls back to LOGIN.
    {
        ScriptedLineServer server(LineScript()
                                      .Send("220 r\r\n")
                                      .Expect()
                                      .Send(ehlo)
                                      .Reply("504 not that one")
                                      .Reply("334 x")
                                      .Reply("334 y")
                                      .Reply("235 ok")
                                      .WaitEof());
        Client c(server);
        c.smtp.SetAuthType(smtpAuthAutoSelect);
        c.smtp.SetUsername("u");
        c.smtp.SetPassword("p");
        EXPECT_EQ(c.Open(), (Done{smtpOpen, 0}));
        c.smtp.Abort();
        const Lines t = server.Transcript();
        EXPECT_EQ(Lines(t.begin() + 1, t.begin() + 3),
                  (Lines{"C: AUTH CRAM-MD5", "C: AUTH LOGIN"}));
    }
    // A refused password ends Open with the code; no mail may follow.
    {
        ScriptedLineServer server(LineScript()
                                      .Send("220 r\r\n")
                                      .Expect()
                                      .Send(ehlo)
                                      .Reply("535 bad credentials")
                                      .WaitEof());
        Client c(server);
        c.smtp.SetAuthType(smtpAuthPlain);
        EXPECT_EQ(c.Open(), (Done{smtpOpen, 535}));
        EXPECT_FALSE(c.smtp.Authenticated());
        EXPECT_EQ(c.smtp.ErrorMessage(), "535 bad credentials");
        c.smtp.Abort();
    }
    // A server that refuses EHLO gets HELO and no AUTH.
    {
        ScriptedLineServer server(
            LineScript().Send("220 r\r\n").Reply("502 no ehlo").Reply("250 helo ok").WaitEof());
        Client c(server);
        c.smtp.SetAuthType(smtpAuthLogin);
        EXPECT_EQ(c.Open(), (Done{smtpOpen, 0}));
        EXPECT_FALSE(c.smtp.Authenticated());
        // Auth after a HELO: the server speaks no ESMTP.
        EXPECT_EQ(c.Run([&] { c.smtp.Auth(); }), (Done{smtpAuth, 500}));
        EXPECT_EQ(c.smtp.LastResponse(), "500 ESMTP not supported.");
        c.smtp.Abort();
        EXPECT_EQ(server.Transcript(), (Lines{"C: EHLO tester", "C: HELO tester", "EOF"}));
    }
}

TEST(SmtpClient, SlowSilentAndHostileServers) {
    // Answers two seconds late still complete.
    {
        ScriptedLineServer server(LineScript()
                                      .Sleep(2)
                                      .Send("220 slow\r\n")
                                      .Expect()
                                      .Sleep(2)
                                      .Send("250 ok\r\n")
                                      .WaitEof());
        Client c(server);
        EXPECT_EQ(c.Open(), (Done{smtpOpen, 0}));
        c.smtp.Abort();
    }
    // A server that never answers leaves the request pending until Abort.
    {
        ScriptedLineServer server(LineScript().Silence());
        Client c(server);
        c.smtp.Open();
        ASSERT_TRUE(PumpUntil([&] { return c.smtp.State() == smtpWaitingBanner; }, 10000));
        EXPECT_THROW(c.smtp.Helo(), SmtpException) << "a pending request refuses another";
        EXPECT_EQ(c.smtp.State(), smtpWaitingBanner);
        EXPECT_TRUE(c.done.empty());
        EXPECT_EQ(c.Run([&] { c.smtp.Abort(); }), (Done{smtpOpen, kSmtpAborted}));
        EXPECT_EQ(c.smtp.ErrorMessage(), "426 Operation aborted.");
        EXPECT_EQ(c.smtp.State(), smtpReady);
    }
    // A 10,000-byte reply line fails the request and drops the connection.
    {
        ScriptedLineServer server(LineScript()
                                      .Send("220 r\r\n")
                                      .Expect()
                                      .Send("250 " + std::string(10000, 'z') + "\r\n")
                                      .WaitEof());
        Client c(server);
        EXPECT_EQ(c.Open(), (Done{smtpOpen, kSmtpLocalFailure}));
        EXPECT_EQ(c.smtp.ErrorMessage(), "500 Reply line longer than 4095 bytes");
        EXPECT_FALSE(c.smtp.Connected());
        EXPECT_EQ(server.Transcript().back(), "EOF");
    }
}

TEST(SmtpClient, InjectionIsRefusedBeforeAnythingIsSent) {
    struct Case {
        const char* name;
        std::function<void(TSmtpCli&)> set;
    } cases[] = {
        {"subject", [](TSmtpCli& s) { s.SetHdrSubject("x\r\n.\r\nMAIL FROM:<evil@x>"); }},
        {"to header", [](TSmtpCli& s) { s.SetHdrTo("a@b\nBcc: evil@x"); }},
        {"from header", [](TSmtpCli& s) { s.SetHdrFrom(std::string("a@b\0x", 5)); }},
        {"recipient", [](TSmtpCli& s) { s.SetRcptName({"a@b>\r\nRCPT TO:<evil@x"}); }},
        {"sender", [](TSmtpCli& s) { s.SetFromName("a@b>\r\nRSET"); }},
        {"charset", [](TSmtpCli& s) { s.SetCharSet("utf-8\"\r\nX: y"); }},
    };
    for (Case& k : cases) {
        SCOPED_TRACE(k.name);
        ScriptedLineServer server(LineScript().Send("220 r\r\n").Reply("250 hello").WaitEof(3));
        Client c(server);
        EXPECT_EQ(c.Open(), (Done{smtpOpen, 0}));
        k.set(c.smtp);
        EXPECT_THROW(c.smtp.Mail(), SmtpException);
        EXPECT_EQ(c.smtp.State(), smtpReady);
        c.smtp.Abort();
        EXPECT_EQ(server.Transcript(), (Lines{"C: HELO tester", "EOF"}));
    }
    TSmtpCli s;
    EXPECT_THROW(s.SetEmailFiles({"/tmp/a\nb"}), SmtpException);
    s.SetSignOn("host\r\nMAIL FROM:<x>");
    EXPECT_THROW(s.Open(), SmtpException);
}

TEST(SmtpClient, AMessageThatCannotGoOutWholeIsNotDelivered) {
    QTemporaryDir dir;
    const std::string file = dir.filePath("gone.bin").toStdString();
    const std::string dirFile = dir.filePath("turns-into-a-folder.bin").toStdString();
    struct Case {
        const char* name;
        std::function<void(TSmtpCli&)> set;
        const char* error;
    } cases[] = {
        {"lone CR from OnGetData",
         [](TSmtpCli& s) {
             s.OnGetData = [](TCustomSmtpClient*, int n, std::string& l, int, bool& more) {
                 more = n == 1;
                 l = "a\rb";
             };
         },
         "500 Message line holds a lone CR, LF or a NUL byte"},
        {"long line from OnGetData",
         [](TSmtpCli& s) {
             s.OnGetData = [](TCustomSmtpClient*, int n, std::string& l, int, bool& more) {
                 more = n == 1;
                 l = std::string(1500, 'L');
             };
         },
         "500 Message line longer than 998 bytes"},
        {"throwing OnGetData",
         [](TSmtpCli& s) {
             s.OnGetData = [](TCustomSmtpClient*, int n, std::string& l, int, bool&) {
                 if (n == 3)
                     throw std::runtime_error("disk gone");
                 l = "line";
             };
         },
         "500 Exception: disk gone"},
        {"attachment deleted",
         [&](TSmtpCli& s) {
             std::ofstream(file) << "data";
             s.SetEmailFiles({file});
             std::filesystem::remove(file);
         },
         nullptr},
        {"attachment unreadable",
         [&](TSmtpCli& s) {
             std::ofstream(dirFile) << "data";
             s.SetEmailFiles({dirFile});
             std::filesystem::remove(dirFile);
             std::filesystem::create_directory(dirFile);
         },
         nullptr},
        {"header line with a lone LF",
         [](TSmtpCli& s) {
             s.OnHeaderLine = [](TCustomSmtpClient*, std::string& l, int) {
                 if (l.rfind("Subject:", 0) == 0)
                     l += "\n.\nRSET";
             };
         },
         "500 Message line holds a lone CR, LF or a NUL byte"},
    };
    for (Case& k : cases) {
        SCOPED_TRACE(k.name);
        LineScript s;
        s.Send("220 r\r\n").Reply("250 h").Reply("250 f").Reply("250 t").Reply("354 go").Data();
        ScriptedLineServer server(s);
        Client c(server);
        k.set(c.smtp);
        EXPECT_EQ(c.Open(), (Done{smtpOpen, 0}));
        EXPECT_EQ(c.Mail(), (Done{smtpMail, kSmtpLocalFailure}));
        if (k.error) {
            EXPECT_EQ(c.smtp.ErrorMessage(), k.error);
        }
        EXPECT_FALSE(c.smtp.Connected());
        const Lines t = server.Transcript();
        // The connection dropped before the final dot.
        EXPECT_FALSE(Has(t, "END"));
        EXPECT_EQ(t.back(), "EOF");
        for (const std::string& l : DataLines(t))
            EXPECT_LE(l.size(), 998u);
        std::filesystem::remove_all(dirFile);
    }
}

TEST(SmtpClient, FoldedHeaderLinesGoOutAsStuffedLines) {
    // A quoted-printable body rewrites the Content-Type line with an inner
    // CR LF: it leaves as two lines, never as a lone line end.
    ScriptedLineServer server(Accepting());
    Client c(server);
    c.smtp.SetAllow8bitChars(false);
    c.smtp.SetCharSet("utf-8");
    c.smtp.SetMailMessage({"caf\xc3\xa9", ".dot", std::string(1200, 'x')});
    EXPECT_EQ(c.Open(), (Done{smtpOpen, 0}));
    EXPECT_EQ(c.Mail(), (Done{smtpMail, 0}));
    EXPECT_EQ(c.Quit(), (Done{smtpQuit, 0}));
    const Lines data = DataLines(server.Transcript());
    EXPECT_TRUE(Has(data, "Content-Type: text/plain; charset=\"utf-8\""));
    EXPECT_TRUE(Has(data, "Content-Transfer-Encoding: quoted-printable"));
    std::string decoded;
    for (const std::string& l : BodyOf(data)) {
        EXPECT_LE(l.size(), 76u);
        decoded += l.back() == '=' ? l.substr(0, l.size() - 1) : l;
    }
    EXPECT_EQ(decoded.substr(0, 22), "caf=C3=A9=0D=0A.dot=0D");
}

TEST(SmtpClient, AttachmentPartsAndFileEvents) {
    QTemporaryDir dir;
    auto make = [&](const char* name, std::size_t size) {
        const std::string path = dir.filePath(name).toStdString();
        std::ofstream(path, std::ios::binary) << std::string(size, 'A');
        return path;
    };
    const std::string empty = make("empty.txt", 0), exact = make("exact.bin", 54),
                      skipped = make("skip.gif", 10);
    ScriptedLineServer server(Accepting());
    Client c(server);
    c.smtp.SetMailMessage({"body"});
    c.smtp.SetEmailFiles({" " + empty + " ", "", exact, skipped});
    EXPECT_EQ(c.smtp.EmailFiles().size(), 3u);
    Lines events;
    c.smtp.OnBeforeFileOpen = [&](TSmtpCli*, int idx, const std::string&,
                                  TSmtpBeforeOpenFileAction& a) {
        events.push_back("before " + std::to_string(idx));
        if (idx == 2)
            a = smtpBeforeOpenFileNext;
    };
    c.smtp.OnAfterFileOpen = [&](TSmtpCli*, int idx, const std::string&, const std::exception* e,
                                 TSmtpAfterOpenFileAction&) {
        events.push_back("after " + std::to_string(idx) + (e ? " failed" : ""));
    };
    c.smtp.OnAttachContentType = [&](TSmtpCli*, int idx, std::string& name, std::string& type) {
        if (idx == 1) {
            name = "renamed \"q\".bin";
            type = "application/x-test";
        }
    };
    EXPECT_EQ(c.Open(), (Done{smtpOpen, 0}));
    EXPECT_EQ(c.Mail(), (Done{smtpMail, 0}));
    EXPECT_EQ(c.Quit(), (Done{smtpQuit, 0}));
    EXPECT_EQ(events, (Lines{"before 0", "after 0", "before 1", "after 1", "before 2"}));
    const Lines body = BodyOf(DataLines(server.Transcript()));
    ASSERT_FALSE(body.empty());
    const std::string b = body[2].substr(2);
    const Lines expected = {
        "This is a multipart MIME message.",
        "",
        "--" + b,
        "Content-Type: text/plain; charset=\"iso-8859-1\"",
        "Content-Transfer-Encoding: 7bit",
        "",
        "body",
        "",
        "--" + b,
        "Content-Type: text/plain;",
        "\tname=\"empty.txt\"",
        "Content-Transfer-Encoding: base64",
        "Content-Disposition: attachment;",
        "\tfilename=\"empty.txt\"",
        "",
        "",
        "",
        "--" + b,
        "Content-Type: application/x-test;",
        // The transcript shows a backslash doubled.
        "\tname=\"renamed \\\\\"q\\\\\".bin\"",
        "Content-Transfer-Encoding: base64",
        "Content-Disposition: attachment;",
        "\tfilename=\"renamed \\\\\"q\\\\\".bin\"",
        "",
        EncodeBase64(std::string(54, 'A')),
        "",
        "",
        "",
        "--" + b + "--",
    };
    EXPECT_EQ(body, expected);
    EXPECT_EQ(b.rfind("= Multipart Boundary ", 0), 0u);
}

TEST(SmtpClient, AHandlerMayFreeTheClient) {
    ScriptedLineServer server(LineScript().Send("220 r\r\n").Expect().Send("250 ok\r\n").WaitEof());
    auto smtp = std::make_unique<TSmtpCli>();
    smtp->SetHost("127.0.0.1");
    smtp->SetPort(server.PortText());
    smtp->OnDisplay = [&](TCustomSmtpClient*, const std::string& m) {
        if (m == "< 250 ok")
            smtp.reset();
    };
    smtp->Open();
    EXPECT_TRUE(PumpUntil([&] { return !smtp; }, 20000));
    EXPECT_EQ(server.Transcript().back(), "EOF");
}

TEST(SmtpClient, AReplyInTheMiddleOfTheMessageEndsIt) {
    // The server gives up while the message goes out; the rest of the
    // message and the final dot must not follow.
    ScriptedLineServer server(LineScript()
                                  .Send("220 r\r\n")
                                  .Reply("250 h")
                                  .Reply("250 f")
                                  .Reply("250 t")
                                  .Reply("354 go")
                                  .Send("421 shutting down\r\n")
                                  .WaitEof());
    Client c(server);
    bool replied = false;
    c.smtp.OnResponse = [&](TCustomSmtpClient*, const std::string& line) {
        replied = replied || line == "421 shutting down";
    };
    c.smtp.SetOwnHeaders(true);
    // Lines of 900 bytes: the first batch holds 19 of them; line 30 is asked
    // for once the first batch went out, and waits for the server's word.
    c.smtp.OnGetData = [&](TCustomSmtpClient*, int n, std::string& line, int, bool& more) {
        if (n == 30) {
            EXPECT_TRUE(PumpUntil([&] { return replied; }, 20000));
        }
        line = std::string(900, 'x');
        more = n < 40;
    };
    EXPECT_EQ(c.Open(), (Done{smtpOpen, 0}));
    EXPECT_EQ(c.Mail(), (Done{smtpMail, 421}));
    EXPECT_EQ(c.smtp.ErrorMessage(), "421 shutting down");
    EXPECT_FALSE(c.smtp.Connected());
    const Lines t = server.Transcript();
    EXPECT_FALSE(Has(t, "C: ."));
    EXPECT_LT(std::count_if(t.begin(), t.end(),
                            [](const std::string& l) { return l.rfind("C: x", 0) == 0; }),
              30);
    EXPECT_EQ(t.back(), "EOF");
}

TEST(SmtpClient, HeaderAndFileEventsShapeTheMessage) {
    QTemporaryDir dir;
    const std::string kept = dir.filePath("kept.txt").toStdString();
    std::ofstream(kept) << "kept";
    const std::string missing = dir.filePath("missing.txt").toStdString();
    std::ofstream(missing) << "soon gone";
    ScriptedLineServer server(Accepting());
    Client c(server);
    c.smtp.SetEmailFiles({missing, kept});
    std::filesystem::remove(missing);
    c.smtp.OnProcessHeader = [](TCustomSmtpClient*, std::vector<std::string>& lines) {
        lines.push_back("X-Extra: added");
    };
    std::vector<std::string> failures;
    c.smtp.OnAfterFileOpen = [&](TSmtpCli*, int, const std::string& name, const std::exception* e,
                                 TSmtpAfterOpenFileAction& action) {
        if (e) {
            failures.push_back(name);
            action = smtpAfterOpenFileNext; // skip what cannot be opened
        }
    };
    c.smtp.OnAttachHeader = [](TSmtpCli*, int n, const std::string& name,
                               std::vector<std::string>& lines) {
        lines.push_back("X-Part: " + std::to_string(n) + " " + name);
    };
    EXPECT_EQ(c.Open(), (Done{smtpOpen, 0}));
    EXPECT_EQ(c.Mail(), (Done{smtpMail, 0}));
    EXPECT_EQ(c.Quit(), (Done{smtpQuit, 0}));
    EXPECT_EQ(failures, (Lines{missing}));
    const Lines data = DataLines(server.Transcript());
    const auto extra = std::find(data.begin(), data.end(), "X-Extra: added");
    ASSERT_NE(extra, data.end());
    EXPECT_EQ(*(extra + 1), "") << "the handler's lines come before the end of the header";
    const auto part = std::find(data.begin(), data.end(), "X-Part: 1 kept.txt");
    ASSERT_NE(part, data.end());
    EXPECT_EQ(*(part - 1), "\tfilename=\"kept.txt\"");
    EXPECT_EQ(*(part + 1), "");
    EXPECT_EQ(*(part + 2), EncodeBase64("kept"));
    EXPECT_FALSE(Has(data, "\tfilename=\"missing.txt\""));
}
