// The POP3 client against a scripted server on loopback: every byte it
// sends, every answer at every step, answers cut anywhere, hostile lines
// and hostile input, and handlers that free or abort the client.

#include "mail/MimeUtil.h"
#include "mail/Pop3Prot.h"
#include "platform/MessageLoop.h"
#include "support/ScriptedLines.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <memory>

using namespace qordex;
using namespace qordex::mail;
using qordex::test::LineScript;
using qordex::test::ScriptedLineServer;

namespace {

using Lines = std::vector<std::string>;

struct Done {
    TPop3Request rq;
    int error;
    bool operator==(const Done&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Done& d) {
    return os << "{rq " << int(d.rq) << ", error " << d.error << "}";
}

// A client pointed at a scripted server, recording what it reports.
struct Client {
    explicit Client(const ScriptedLineServer& server) {
        pop3.SetHost("127.0.0.1");
        pop3.SetPort(server.PortText());
        pop3.SetUserName("alice");
        pop3.SetPassWord("secret");
        pop3.OnDisplay = [this](TCustomPop3Cli*, const std::string& m) { display.push_back(m); };
        pop3.OnRequestDone = [this](TCustomPop3Cli*, TPop3Request rq, std::uint16_t e) {
            done.push_back({rq, e});
        };
        pop3.OnSessionClosed = [this](TCustomPop3Cli*, std::uint16_t) { ++closed; };
        pop3.OnMessageBegin = [this](TCustomPop3Cli* p) {
            events.push_back("begin " + std::to_string(p->MsgNum()));
        };
        pop3.OnMessageLine = [this](TCustomPop3Cli* p) { message.push_back(p->LastResponse()); };
        pop3.OnMessageEnd = [this](TCustomPop3Cli*) { events.push_back("end"); };
        pop3.OnHeaderEnd = [this](TCustomPop3Cli* p) {
            events.push_back("header end at line " + std::to_string(message.size()));
            headerSubject = p->MsgSubject();
        };
        pop3.OnListBegin = [this](TCustomPop3Cli*) { events.push_back("list begin"); };
        pop3.OnListLine = [this](TCustomPop3Cli* p) {
            events.push_back("list " + std::to_string(p->MsgNum()) + " " +
                             std::to_string(p->MsgSize()) + " '" + p->LastResponse() + "'");
        };
        pop3.OnListEnd = [this](TCustomPop3Cli*) { events.push_back("list end"); };
        pop3.OnUidlBegin = [this](TCustomPop3Cli*) { events.push_back("uidl begin"); };
        pop3.OnUidlLine = [this](TCustomPop3Cli* p) {
            events.push_back("uidl " + std::to_string(p->MsgNum()) + " " + p->MsgUidl());
        };
        pop3.OnUidlEnd = [this](TCustomPop3Cli*) { events.push_back("uidl end"); };
    }

    // Starts an operation and waits for its OnRequestDone.
    Done Run(const std::function<void()>& op) {
        const std::size_t n = done.size();
        op();
        if (!PumpUntil([&] { return done.size() > n; }, 30000)) {
            ADD_FAILURE() << "no OnRequestDone";
            return {pop3Custom, -1};
        }
        return done.back();
    }
    Done Connect() {
        return Run([&] { pop3.Connect(); });
    }
    // Connect, USER and PASS, each expected to succeed.
    void Login() {
        EXPECT_EQ(Connect(), (Done{pop3Connect, 0}));
        EXPECT_EQ(Run([&] { pop3.User(); }), (Done{pop3User, 0}));
        EXPECT_EQ(Run([&] { pop3.Pass(); }), (Done{pop3Pass, 0}));
    }
    Done Quit() {
        return Run([&] { pop3.Quit(); });
    }

    TPop3Cli pop3;
    Lines display, message, events;
    std::string headerSubject;
    std::vector<Done> done;
    int closed = 0;
};

// A server that greets and accepts USER and PASS.
LineScript LoggedIn(const std::string& greeting = "+OK ready <1.2@host>") {
    LineScript s;
    s.Send(greeting + "\r\n").Reply("+OK").Reply("+OK logged in");
    return s;
}

bool Has(const Lines& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

} // namespace

TEST(Pop3Client, AWholeSessionArrivingByteByByte) {
    const std::string retr = "+OK 120 octets\r\n"
                             "From: Ann <ann@example.org>\r\n"
                             "Subject: first\r\n"
                             "\tsecond\r\n"
                             "Cc: one@example.org\r\n"
                             "Cc: two@example.org\r\n"
                             "\r\n"
                             "body\r\n"
                             "..\r\n"
                             "..leading dot\r\n"
                             ".single dot and text\r\n"
                             "caf\xe9 \x80\xff\r\n"
                             "\r\n"
                             ".";
    LineScript s;
    s.Send("+OK POP3 ready <1896.697170952@dbc.mtview.ca.us>\r\n", {1});
    s.Reply("+OK").Reply("+OK logged in");
    s.Expect().Send("+OK 2 3000\r\n", {1});
    s.Expect().Send("+OK 2 messages\r\n1 1000\r\n2 2000\r\n.\r\n", {1});
    s.Expect().Send("+OK\r\n1 abc\r\n2 ../x\r\n.\r\n", {3});
    // The end line is cut between two reads, after its dot.
    s.Expect().Send(retr, {1}).Sleep(0.2).Send("\r\n");
    s.Reply("+OK 2 2000").Reply("+OK 2 def").Reply("+OK 4").Reply("+OK").Reply("+OK deleted");
    s.Reply("+OK");
    s.Expect().Send("+OK\r\nSubject: top\r\n\r\n.\r\n");
    s.Reply("+OK bye").Sleep(0.2).Close();
    ScriptedLineServer server(s);
    Client c(server);
    c.pop3.SetPassWord("  spaced secret  ");
    std::vector<std::string> states;
    c.pop3.OnStateChange = [&](TCustomPop3Cli* p) { states.push_back(std::to_string(p->State())); };

    c.Login();
    EXPECT_EQ(c.pop3.ProtocolState(), pop3Transaction);
    EXPECT_EQ(c.Run([&] { c.pop3.Stat(); }), (Done{pop3Stat, 0}));
    EXPECT_EQ(c.pop3.MsgCount(), 2);
    EXPECT_EQ(c.pop3.MsgSize(), 3000);
    c.pop3.SetMsgNum(0);
    EXPECT_EQ(c.Run([&] { c.pop3.List(); }), (Done{pop3List, 0}));
    // The list lines set MsgNum: the last one's number stays.
    EXPECT_EQ(c.pop3.MsgNum(), 2);
    c.pop3.SetMsgNum(0);
    EXPECT_EQ(c.Run([&] { c.pop3.Uidl(); }), (Done{pop3Uidl, 0}));
    EXPECT_EQ(c.events, (Lines{"list begin", "list 1 1000 '1 1000'", "list 2 2000 '2 2000'",
                               "list end", "uidl begin", "uidl 1 abc", "uidl 2 ../x", "uidl end"}));

    c.events.clear();
    c.pop3.SetMsgNum(1);
    EXPECT_EQ(c.Run([&] { c.pop3.Retr(); }), (Done{pop3Retr, 0}));
    EXPECT_EQ(c.message, (Lines{"From: Ann <ann@example.org>", "Subject: first", "\tsecond",
                                "Cc: one@example.org", "Cc: two@example.org", "", "body", ".",
                                ".leading dot", ".single dot and text", "caf\xe9 \x80\xff", ""}));
    EXPECT_EQ(c.events, (Lines{"begin 1", "header end at line 5", "end"}));
    EXPECT_EQ(c.headerSubject, "firstsecond");
    EXPECT_EQ(c.pop3.MsgFrom(), "Ann <ann@example.org>");
    EXPECT_EQ(c.pop3.MsgCc(), "one@example.org, two@example.org");
    EXPECT_EQ(c.pop3.LastResponse(), "");

    c.pop3.SetMsgNum(2);
    EXPECT_EQ(c.Run([&] { c.pop3.List(); }), (Done{pop3List, 0}));
    EXPECT_EQ(c.pop3.MsgNum(), 2);
    EXPECT_EQ(c.pop3.MsgSize(), 2000);
    EXPECT_EQ(c.Run([&] { c.pop3.Uidl(); }), (Done{pop3Uidl, 0}));
    EXPECT_EQ(c.pop3.MsgUidl(), "def");
    EXPECT_EQ(c.Run([&] { c.pop3.Last(); }), (Done{pop3Last, 0}));
    EXPECT_EQ(c.pop3.MsgNum(), 4);
    EXPECT_EQ(c.Run([&] { c.pop3.Noop(); }), (Done{pop3Noop, 0}));
    c.pop3.SetMsgNum(1);
    EXPECT_EQ(c.Run([&] { c.pop3.Dele(); }), (Done{pop3Dele, 0}));
    EXPECT_EQ(c.Run([&] { c.pop3.RSet(); }), (Done{pop3RSet, 0}));
    // Every transaction command empties the collected header fields.
    EXPECT_EQ(c.pop3.MsgFrom(), "");
    c.message.clear();
    c.pop3.SetMsgNum(2);
    c.pop3.SetMsgLines(0);
    EXPECT_EQ(c.Run([&] { c.pop3.Top(); }), (Done{pop3Top, 0}));
    EXPECT_EQ(c.message, (Lines{"Subject: top", ""}));
    EXPECT_EQ(c.pop3.MsgSubject(), "top");
    EXPECT_EQ(c.Quit(), (Done{pop3Quit, 0}));
    EXPECT_EQ(c.pop3.ProtocolState(), pop3Disconnected);
    EXPECT_EQ(c.closed, 1);

    EXPECT_EQ(server.Transcript(),
              (Lines{"C: USER alice", "C: PASS   spaced secret  ", "C: STAT", "C: LIST", "C: UIDL",
                     "C: RETR 1", "C: LIST 2", "C: UIDL 2", "C: LAST", "C: NOOP", "C: DELE 1",
                     "C: RSET", "C: TOP 2 0", "C: QUIT"}));
    EXPECT_TRUE(Has(c.display, "> STAT"));
    EXPECT_TRUE(Has(c.display, "< +OK 2 3000"));
    EXPECT_TRUE(Has(c.display, "< +OK POP3 ready <1896.697170952@dbc.mtview.ca.us>"));
    // Data lines are not shown, only status lines.
    EXPECT_FALSE(Has(c.display, "< body"));
    EXPECT_FALSE(states.empty());
}

TEST(Pop3Client, LinesEndAtAnyLineFeed) {
    LineScript s = LoggedIn();
    // An empty bare-LF line stays a line of its own; a CR before the LF goes.
    s.Expect().Send("+OK\nfirst\n\nthird\r\n\r\nfifth\r\r\n.\n");
    s.Reply("+OK bye").Close();
    ScriptedLineServer server(s);
    Client c(server);
    c.Login();
    c.pop3.SetMsgNum(1);
    EXPECT_EQ(c.Run([&] { c.pop3.Retr(); }), (Done{pop3Retr, 0}));
    EXPECT_EQ(c.message, (Lines{"first", "", "third", "", "fifth\r"}));
    EXPECT_EQ(c.Quit(), (Done{pop3Quit, 0}));
}

TEST(Pop3Client, LongLinesArriveWholeUpToTheLimit) {
    const std::string whole(kMaxPop3Line, 'w');
    const std::string over(kMaxPop3Line + 1, 'o');
    LineScript s = LoggedIn();
    s.Expect().Send("+OK\r\nshort\r\n" + whole + "\r\n.\r\n");
    // Over the limit: the request fails and the connection is dropped, even
    // though a "." would follow the cut piece.
    s.Expect().Send("+OK\r\nbefore\r\n" + over + "\r\n.\r\nafter\r\n.\r\n");
    s.WaitEof();
    ScriptedLineServer server(s);
    Client c(server);
    c.Login();
    c.pop3.SetMsgNum(1);
    EXPECT_EQ(c.Run([&] { c.pop3.Retr(); }), (Done{pop3Retr, 0}));
    ASSERT_EQ(c.message.size(), 2u);
    EXPECT_EQ(c.message[1], whole);

    c.message.clear();
    c.events.clear();
    EXPECT_EQ(c.Run([&] { c.pop3.Retr(); }), (Done{pop3Retr, 500}));
    EXPECT_EQ(c.message, (Lines{"before"}));
    EXPECT_EQ(c.events, (Lines{"begin 1"}));
    EXPECT_EQ(c.pop3.ErrorMessage(), "-ERR Line longer than 1048576 bytes");
    EXPECT_FALSE(c.pop3.Connected());
    EXPECT_EQ(c.pop3.ProtocolState(), pop3Disconnected);
    EXPECT_EQ(c.closed, 1);
    EXPECT_EQ(server.Transcript().back(), "EOF");
}

TEST(Pop3Client, AnAnswerCutByTheCloseNeverSucceeds) {
    struct Case {
        const char* name;
        std::string answer; // sent after the command, then the server closes
        std::function<void(TPop3Cli&)> op;
        Done done;
        const char* error;
    } cases[] = {
        {"retr without its dot",
         "+OK\r\nline one\r\nline two\r\n",
         [](TPop3Cli& p) { p.Retr(); },
         {pop3Retr, 500},
         "-ERR Disconneced unexpectedly"},
        {"retr cut inside a line",
         "+OK\r\nline one\r\nhalf a li",
         [](TPop3Cli& p) { p.Retr(); },
         {pop3Retr, 500},
         "-ERR Disconneced unexpectedly"},
        {"list without its dot",
         "+OK\r\n1 100\r\n",
         [](TPop3Cli& p) {
             p.SetMsgNum(0);
             p.List();
         },
         {pop3List, 500},
         "-ERR Disconneced unexpectedly"},
        {"uidl with a dot and no line end",
         "+OK\r\n1 a\r\n.",
         [](TPop3Cli& p) {
             p.SetMsgNum(0);
             p.Uidl();
         },
         {pop3Uidl, 500},
         "-ERR Disconneced unexpectedly"},
        {"no status line at all", "", [](TPop3Cli& p) { p.Stat(); }, {pop3Stat, 10004}, ""},
        {"half a status line", "+OK 2", [](TPop3Cli& p) { p.Stat(); }, {pop3Stat, 10004}, ""},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        LineScript s = LoggedIn();
        s.Expect();
        if (!k.answer.empty())
            s.Send(k.answer);
        s.Sleep(0.1).Close();
        ScriptedLineServer server(s);
        Client c(server);
        c.Login();
        c.pop3.SetMsgNum(1);
        EXPECT_EQ(c.Run([&] { k.op(c.pop3); }), k.done);
        EXPECT_EQ(c.pop3.ErrorMessage(), k.error);
        EXPECT_FALSE(Has(c.events, "end"));
        EXPECT_FALSE(Has(c.events, "list end"));
        EXPECT_FALSE(Has(c.events, "uidl end"));
        EXPECT_EQ(c.pop3.ProtocolState(), pop3Disconnected);
    }
}

TEST(Pop3Client, EveryRefusalEndsItsRequest) {
    struct Step {
        const char* word;
        std::function<void(TPop3Cli&)> op;
        TPop3Request rq;
    };
    const std::vector<Step> steps = {
        {"STAT", [](TPop3Cli& p) { p.Stat(); }, pop3Stat},
        {"LIST", [](TPop3Cli& p) { p.SetMsgNum(0), p.List(); }, pop3List},
        {"LIST 1", [](TPop3Cli& p) { p.SetMsgNum(1), p.List(); }, pop3List},
        {"UIDL", [](TPop3Cli& p) { p.SetMsgNum(0), p.Uidl(); }, pop3Uidl},
        {"UIDL 1", [](TPop3Cli& p) { p.SetMsgNum(1), p.Uidl(); }, pop3Uidl},
        {"RETR 1", [](TPop3Cli& p) { p.SetMsgNum(1), p.Retr(); }, pop3Retr},
        {"TOP 1 3", [](TPop3Cli& p) { p.SetMsgNum(1), p.SetMsgLines(3), p.Top(); }, pop3Top},
        {"DELE 1", [](TPop3Cli& p) { p.SetMsgNum(1), p.Dele(); }, pop3Dele},
        {"NOOP", [](TPop3Cli& p) { p.Noop(); }, pop3Noop},
        {"LAST", [](TPop3Cli& p) { p.Last(); }, pop3Last},
        {"RSET", [](TPop3Cli& p) { p.RSet(); }, pop3RSet},
    };
    LineScript s = LoggedIn();
    for (const Step& step : steps)
        s.Reply(std::string("-ERR no ") + step.word);
    s.Reply("+OK bye").Close();
    ScriptedLineServer server(s);
    Client c(server);
    c.Login();
    for (const Step& step : steps) {
        SCOPED_TRACE(step.word);
        c.events.clear();
        EXPECT_EQ(c.Run([&] { step.op(c.pop3); }), (Done{step.rq, 500}));
        // Each request has its own error line, not the first one of the session.
        EXPECT_EQ(c.pop3.ErrorMessage(), std::string("-ERR no ") + step.word);
        EXPECT_EQ(c.pop3.LastResponse(), std::string("-ERR no ") + step.word);
        EXPECT_TRUE(c.events.empty());
        EXPECT_EQ(c.pop3.ProtocolState(), pop3Transaction);
    }
    EXPECT_EQ(c.Quit(), (Done{pop3Quit, 0}));
    Lines sent;
    for (const Step& step : steps)
        sent.push_back(std::string("C: ") + step.word);
    Lines t = server.Transcript();
    EXPECT_EQ(Lines(t.begin() + 2, t.end() - 1), sent);
}

TEST(Pop3Client, LoginRefusals) {
    struct Case {
        const char* name;
        LineScript script;
        std::function<Done(Client&)> login; // after Connect; the last request's end
        Done done;
        const char* error;
        TPop3ProtocolState state;
    };
    const auto greet = [] { return LineScript().Send("+OK hi <9@x>\r\n"); };
    std::vector<Case> cases;
    cases.push_back({"USER",
                     greet().Reply("-ERR who?").WaitEof(),
                     [](Client& c) { return c.Run([&] { c.pop3.User(); }); },
                     {pop3User, 500},
                     "-ERR who?",
                     pop3WaitingUser});
    cases.push_back({"PASS",
                     greet().Reply("+OK").Reply("-ERR wrong").WaitEof(),
                     [](Client& c) {
                         c.Run([&] { c.pop3.User(); });
                         return c.Run([&] { c.pop3.Pass(); });
                     },
                     {pop3Pass, 500},
                     "-ERR wrong",
                     pop3WaitingPass});
    cases.push_back({"RPOP",
                     greet().Reply("+OK").Reply("-ERR no rpop").WaitEof(),
                     [](Client& c) {
                         c.Run([&] { c.pop3.User(); });
                         return c.Run([&] { c.pop3.RPop(); });
                     },
                     {pop3RPop, 500},
                     "-ERR no rpop",
                     pop3WaitingPass});
    cases.push_back({"APOP",
                     greet().Reply("-ERR bad digest").WaitEof(),
                     [](Client& c) { return c.Run([&] { c.pop3.APop(); }); },
                     {pop3APop, 500},
                     "-ERR bad digest",
                     pop3WaitingUser});
    cases.push_back({"AUTH LOGIN itself",
                     greet().Reply("-ERR no login").WaitEof(),
                     [](Client& c) {
                         c.pop3.SetAuthType(popAuthLogin);
                         return c.Run([&] { c.pop3.Auth(); });
                     },
                     {pop3Auth, 500},
                     "-ERR no login",
                     pop3WaitingUser});
    cases.push_back({"AUTH LOGIN user",
                     greet().Reply("+ VXNlcm5hbWU6").Reply("-ERR no user").WaitEof(),
                     [](Client& c) {
                         c.pop3.SetAuthType(popAuthLogin);
                         return c.Run([&] { c.pop3.Auth(); });
                     },
                     {pop3User, 500},
                     "-ERR no user",
                     pop3WaitingUser});
    cases.push_back(
        {"AUTH LOGIN password",
         greet().Reply("+ VXNlcm5hbWU6").Reply("+ UGFzc3dvcmQ6").Reply("-ERR no").WaitEof(),
         [](Client& c) {
             c.pop3.SetAuthType(popAuthLogin);
             return c.Run([&] { c.pop3.Auth(); });
         },
         {pop3Pass, 500},
         "-ERR no",
         pop3WaitingUser});
    cases.push_back({"CRAM-MD5 without a challenge",
                     greet().Reply("+ ").WaitEof(),
                     [](Client& c) {
                         c.pop3.SetAuthType(popAuthCramMD5);
                         return c.Run([&] { c.pop3.Auth(); });
                     },
                     {pop3Auth, 500},
                     "500 Malformed MD5 Challenge: + ",
                     pop3WaitingUser});
    cases.push_back({"CRAM-SHA1 without a challenge",
                     greet().Reply("+").WaitEof(),
                     [](Client& c) {
                         c.pop3.SetAuthType(popAuthCramSHA1);
                         return c.Run([&] { c.pop3.Auth(); });
                     },
                     {pop3Auth, 500},
                     "-ERR Malformed SHA1 Challenge: +",
                     pop3WaitingUser});
    for (Case& k : cases) {
        SCOPED_TRACE(k.name);
        ScriptedLineServer server(k.script);
        Client c(server);
        EXPECT_EQ(c.Connect(), (Done{pop3Connect, 0}));
        EXPECT_EQ(k.login(c), k.done);
        EXPECT_EQ(c.pop3.ErrorMessage(), k.error);
        EXPECT_EQ(c.pop3.ProtocolState(), k.state);
        c.pop3.Abort();
    }
}

TEST(Pop3Client, GreetingRefusalEndsTheConnect) {
    ScriptedLineServer server(LineScript().Send("-ERR too busy\r\n").WaitEof());
    Client c(server);
    EXPECT_EQ(c.Connect(), (Done{pop3Connect, 10004}));
    EXPECT_EQ(c.pop3.ErrorMessage(), "-ERR too busy");
    EXPECT_FALSE(c.pop3.Connected());
    EXPECT_EQ(c.pop3.ProtocolState(), pop3Disconnected);
}

TEST(Pop3Client, AuthOnTheWire) {
    const std::string longPassword(100, 'p');
    struct Case {
        const char* name;
        TPop3AuthType type;
        LineScript script;
        Lines sent;
    };
    std::vector<Case> cases;
    cases.push_back({"LOGIN",
                     popAuthLogin,
                     LineScript()
                         .Send("+OK hi\r\n")
                         .Reply("+ VXNlcm5hbWU6")
                         .Reply("+ UGFzc3dvcmQ6")
                         .Reply("+OK in")
                         .Reply("+OK bye")
                         .Close(),
                     {"C: AUTH LOGIN", "C: " + EncodeBase64("alice"),
                      "C: " + EncodeBase64(longPassword), "C: QUIT"}});
    cases.push_back(
        {"CRAM-MD5",
         popAuthCramMD5,
         LineScript()
             .Send("+OK hi\r\n")
             .Expect()
             .Cram("md5", "<12345.67@server>", "alice", longPassword, "+ ", "+OK", "-ERR")
             .Reply("+OK bye")
             .Close(),
         {}});
    cases.push_back({"CRAM-SHA1",
                     popAuthCramSHA1,
                     LineScript()
                         .Send("+OK hi\r\n")
                         .Expect()
                         .Cram("sha1", "<1.2@server>", "alice", longPassword, "+ ", "+OK", "-ERR")
                         .Reply("+OK bye")
                         .Close(),
                     {}});
    for (Case& k : cases) {
        SCOPED_TRACE(k.name);
        ScriptedLineServer server(k.script);
        Client c(server);
        c.pop3.SetPassWord(longPassword);
        c.pop3.SetAuthType(k.type);
        EXPECT_EQ(c.Connect(), (Done{pop3Connect, 0}));
        // The exchange ends as the password's request.
        EXPECT_EQ(c.Run([&] { c.pop3.Auth(); }), (Done{pop3Pass, 0}));
        EXPECT_EQ(c.pop3.ProtocolState(), pop3Transaction);
        EXPECT_EQ(c.Quit(), (Done{pop3Quit, 0}));
        const Lines t = server.Transcript();
        if (!k.sent.empty())
            EXPECT_EQ(t, k.sent);
        else
            EXPECT_TRUE(Has(t, "CRAM OK")) << ::testing::PrintToString(t);
    }
}

TEST(Pop3Client, ApopSendsTheDigestOfTheTimestamp) {
    ScriptedLineServer server(
        LineScript()
            .Send("+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>\r\n")
            .Reply("+OK maildrop has 1 message")
            .Reply("+OK bye")
            .Close());
    Client c(server);
    c.pop3.SetUserName(" mrose ");
    c.pop3.SetPassWord("tanstaaf");
    EXPECT_EQ(c.Connect(), (Done{pop3Connect, 0}));
    EXPECT_EQ(c.Run([&] { c.pop3.APop(); }), (Done{pop3APop, 0}));
    EXPECT_EQ(c.pop3.ProtocolState(), pop3Transaction);
    EXPECT_EQ(c.Quit(), (Done{pop3Quit, 0}));
    EXPECT_EQ(server.Transcript(),
              (Lines{"C: APOP mrose c4c9334bac560ecc979e58001b3e22fb", "C: QUIT"}));
}

TEST(Pop3Client, RpopSendsThePasswordAsTyped) {
    ScriptedLineServer server(
        LineScript().Send("+OK hi\r\n").Reply("+OK").Reply("+OK in").Reply("+OK bye").Close());
    Client c(server);
    c.pop3.SetUserName("  alice  ");
    c.pop3.SetPassWord(" local user ");
    EXPECT_EQ(c.Connect(), (Done{pop3Connect, 0}));
    EXPECT_EQ(c.Run([&] { c.pop3.User(); }), (Done{pop3User, 0}));
    EXPECT_EQ(c.pop3.ProtocolState(), pop3WaitingPass);
    EXPECT_EQ(c.Run([&] { c.pop3.RPop(); }), (Done{pop3RPop, 0}));
    EXPECT_EQ(c.pop3.ProtocolState(), pop3Transaction);
    EXPECT_EQ(c.Quit(), (Done{pop3Quit, 0}));
    // The user name is trimmed, the password is not.
    EXPECT_EQ(server.Transcript(), (Lines{"C: USER alice", "C: RPOP  local user ", "C: QUIT"}));
}

TEST(Pop3Client, LineBreaksInCredentialsAreRefusedBeforeSending) {
    struct Case {
        const char* name;
        std::string user, password;
        std::function<void(TPop3Cli&)> op;
    };
    const std::string nul("x\0y", 3);
    const std::vector<Case> cases = {
        {"USER", "alice\r\nDELE 1", "pw", [](TPop3Cli& p) { p.User(); }},
        {"USER", nul, "pw", [](TPop3Cli& p) { p.User(); }},
        {"APOP", "alice\nDELE 1", "pw", [](TPop3Cli& p) { p.APop(); }},
        {"APOP", "alice", "pw\r", [](TPop3Cli& p) { p.APop(); }},
        {"AUTH", "alice\r", "pw",
         [](TPop3Cli& p) {
             p.SetAuthType(popAuthCramMD5);
             p.Auth();
         }},
        {"AUTH", "alice", nul,
         [](TPop3Cli& p) {
             p.SetAuthType(popAuthLogin);
             p.Auth();
         }},
        {"AUTH none", "a\nb", "pw",
         [](TPop3Cli& p) {
             p.SetAuthType(popAuthNone);
             p.Auth();
         }},
    };
    LineScript s;
    s.Send("+OK hi <1@x>\r\n").Reply("+OK").Reply("+OK bye").Close();
    ScriptedLineServer server(s);
    Client c(server);
    EXPECT_EQ(c.Connect(), (Done{pop3Connect, 0}));
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        c.pop3.SetUserName(k.user);
        c.pop3.SetPassWord(k.password);
        EXPECT_THROW(k.op(c.pop3), Pop3Exception);
        EXPECT_EQ(c.pop3.State(), pop3Ready);
    }
    // PASS and RPOP after a good USER.
    c.pop3.SetUserName("alice");
    EXPECT_EQ(c.Run([&] { c.pop3.User(); }), (Done{pop3User, 0}));
    for (const std::string& bad : {std::string("pw\r\nDELE 1"), nul, std::string("\n")}) {
        c.pop3.SetPassWord(bad);
        EXPECT_THROW(c.pop3.Pass(), Pop3Exception);
        EXPECT_THROW(c.pop3.RPop(), Pop3Exception);
    }
    EXPECT_EQ(c.Quit(), (Done{pop3Quit, 0}));
    EXPECT_EQ(server.Transcript(), (Lines{"C: USER alice", "C: QUIT"}));

    // Open checks both before it connects.
    TPop3Cli other;
    other.SetHost("127.0.0.1");
    other.SetPort("1");
    other.SetUserName("a\r\nb");
    EXPECT_THROW(other.Open(), Pop3Exception);
    EXPECT_EQ(other.State(), pop3Ready);
}

TEST(Pop3Client, MisuseIsRefusedWithItsText) {
    TPop3Cli idle;
    try {
        idle.Stat();
        ADD_FAILURE() << "Stat while not connected";
    } catch (const Pop3Exception& e) {
        EXPECT_STREQ(e.what(), "POP3 component not connected");
    }

    LineScript s;
    s.Send("+OK hi\r\n").Reply("+OK").Reply("+OK in").Expect().Sleep(0.3).Send("+OK 0 0\r\n");
    s.Reply("+OK bye").Close();
    ScriptedLineServer server(s);
    Client c(server);
    EXPECT_EQ(c.Connect(), (Done{pop3Connect, 0}));
    auto refused = [&](const std::function<void()>& op, const std::string& text) {
        try {
            op();
            ADD_FAILURE() << "not refused: " << text;
        } catch (const Pop3Exception& e) {
            EXPECT_EQ(e.what(), text);
        }
    };
    refused([&] { c.pop3.Connect(); }, "POP3 component already connected");
    refused([&] { c.pop3.Open(); }, "pop3 component already connected");
    // Protocol-state violations are shown and kept as the error line.
    for (const char* word : {"STAT", "LIST", "UIDL", "RETR", "DELE", "NOOP", "LAST", "RSET"}) {
        const std::string text = std::string("-ERR ") + word + " command invalid now";
        const std::string w = word;
        refused(
            [&] {
                if (w == "STAT")
                    c.pop3.Stat();
                else if (w == "LIST")
                    c.pop3.List();
                else if (w == "UIDL")
                    c.pop3.Uidl();
                else if (w == "RETR")
                    c.pop3.Retr();
                else if (w == "DELE")
                    c.pop3.Dele();
                else if (w == "NOOP")
                    c.pop3.Noop();
                else if (w == "LAST")
                    c.pop3.Last();
                else
                    c.pop3.RSet();
            },
            text);
        EXPECT_EQ(c.pop3.ErrorMessage(), text);
        EXPECT_EQ(c.display.back(), text);
    }
    refused([&] { c.pop3.Top(); }, "-ERR TOP command invalid now");
    refused([&] { c.pop3.APop(); }, "-ERR Server does not support APOP (no timestamp)");
    c.Run([&] { c.pop3.User(); });
    refused([&] { c.pop3.APop(); }, "-ERR APOP command invalid now");
    refused([&] { c.pop3.Auth(); }, "-ERR AUTH command invalid now");
    c.Run([&] { c.pop3.Pass(); });
    refused([&] { c.pop3.User(); }, "-ERR USER command invalid now");
    refused([&] { c.pop3.Pass(); }, "-ERR PASS command invalid now");
    refused([&] { c.pop3.RPop(); }, "-ERR RPOP command invalid now");
    c.pop3.SetMsgLines(-1);
    refused([&] { c.pop3.Top(); }, "Invalid MsgLines for TOP command");
    // One request at a time.
    c.pop3.Stat();
    refused([&] { c.pop3.Noop(); }, "POP3 component not ready");
    refused([&] { c.pop3.Quit(); }, "POP3 component not ready");
    ASSERT_TRUE(PumpUntil([&] { return c.done.back().rq == pop3Stat; }, 20000));
    EXPECT_EQ(c.Quit(), (Done{pop3Quit, 0}));
    EXPECT_EQ(server.Transcript(),
              (Lines{"C: USER alice", "C: PASS secret", "C: STAT", "C: QUIT"}));
}

TEST(Pop3Client, QuitAlwaysEnds) {
    struct Case {
        const char* name;
        std::function<void(LineScript&)> tail; // after QUIT was read
        Done done;
    };
    const std::vector<Case> cases = {
        {"answer and close", [](LineScript& s) { s.Send("+OK bye\r\n").Close(); }, {pop3Quit, 0}},
        {"close without an answer", [](LineScript& s) { s.Close(); }, {pop3Quit, 10004}},
        // Our close, a moment after the answer, ends it.
        {"answer, then the connection stays open",
         [](LineScript& s) { s.Send("+OK bye\r\n").WaitEof(30); },
         {pop3Quit, 0}},
        {"refusal, then close",
         [](LineScript& s) { s.Send("-ERR some deleted messages not removed\r\n").Close(); },
         {pop3Quit, 500}},
        {"answer and a stray line",
         [](LineScript& s) { s.Send("+OK bye\r\n+OK again\r\n").Sleep(0.2).Close(); },
         {pop3Quit, 0}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        LineScript s;
        s.Send("+OK hi\r\n").Expect();
        k.tail(s);
        ScriptedLineServer server(s);
        Client c(server);
        c.pop3.SetQuitCloseDelay(300);
        EXPECT_EQ(c.Connect(), (Done{pop3Connect, 0}));
        EXPECT_EQ(c.Quit(), k.done);
        EXPECT_EQ(c.done.size(), 2u);
        EXPECT_FALSE(c.pop3.Connected());
        EXPECT_EQ(c.pop3.ProtocolState(), pop3Disconnected);
        EXPECT_EQ(c.pop3.State(), pop3Ready);
    }
    // Not connected: at once, and still from the loop.
    TPop3Cli idle;
    std::vector<Done> done;
    idle.OnRequestDone = [&](TCustomPop3Cli*, TPop3Request rq, std::uint16_t e) {
        done.push_back({rq, e});
    };
    idle.Quit();
    EXPECT_TRUE(done.empty());
    ASSERT_TRUE(PumpUntil([&] { return !done.empty(); }, 5000));
    EXPECT_EQ(done[0], (Done{pop3Quit, 0}));
}

TEST(Pop3Client, OpenRunsConnectUserAndPass) {
    {
        ScriptedLineServer server(LoggedIn().Reply("+OK bye").Close());
        Client c(server);
        EXPECT_EQ(c.Run([&] { c.pop3.Open(); }), (Done{pop3Open, 0}));
        EXPECT_EQ(c.done.size(), 1u);
        EXPECT_EQ(c.pop3.ProtocolState(), pop3Transaction);
        EXPECT_EQ(c.Quit(), (Done{pop3Quit, 0}));
        EXPECT_EQ(server.Transcript(), (Lines{"C: USER alice", "C: PASS secret", "C: QUIT"}));
    }
    {
        // A failed step ends Open with that step's error.
        ScriptedLineServer server(
            LineScript().Send("+OK hi\r\n").Reply("+OK").Reply("-ERR wrong").WaitEof());
        Client c(server);
        EXPECT_EQ(c.Run([&] { c.pop3.Open(); }), (Done{pop3Open, 500}));
        EXPECT_EQ(c.pop3.ErrorMessage(), "-ERR wrong");
        EXPECT_EQ(c.done.size(), 1u);
    }
    {
        // Abort in the middle gives 426.
        ScriptedLineServer server(LineScript().Send("+OK hi\r\n").Expect().Silence());
        Client c(server);
        c.pop3.OnDisplay = [&](TCustomPop3Cli* p, const std::string& m) {
            if (m == "> USER alice")
                p->Abort();
        };
        EXPECT_EQ(c.Run([&] { c.pop3.Open(); }), (Done{pop3Open, 426}));
        EXPECT_EQ(c.pop3.ErrorMessage(), "426 Operation aborted.");
        EXPECT_EQ(c.pop3.State(), pop3Ready);
        EXPECT_FALSE(c.pop3.Connected());
        PumpUntil([] { return false; }, 100);
        EXPECT_EQ(c.done.size(), 1u);
    }
}

TEST(Pop3Client, ConnectFailuresEndTheRequest) {
    // Nothing listens there: the connect fails with the socket's error.
    Client c(ScriptedLineServer(LineScript().Close()));
    c.pop3.SetPort(std::to_string(qordex::test::FreeTcpPort()));
    const Done d = c.Connect();
    EXPECT_EQ(d.rq, pop3Connect);
    EXPECT_EQ(d.error, 10061);
    EXPECT_EQ(c.pop3.ErrorMessage().rfind("-ERR ", 0), 0u) << c.pop3.ErrorMessage();
    EXPECT_NE(c.pop3.ErrorMessage().find("(Winsock error #10061)"), std::string::npos);
    EXPECT_EQ(c.pop3.State(), pop3Ready);
    // An empty host is refused at once.
    c.pop3.SetHost("");
    EXPECT_ANY_THROW(c.pop3.Connect());
    EXPECT_EQ(c.pop3.State(), pop3Ready);
}

TEST(Pop3Client, HandlersMayFreeTheClient) {
    // Each event in turn frees the client in the middle of a RETR or LIST.
    const char* events[] = {"begin",     "line",    "header",   "end",
                            "list line", "display", "response", "closed"};
    for (const char* which : events) {
        SCOPED_TRACE(which);
        LineScript s = LoggedIn();
        s.Expect().Send("+OK\r\nSubject: x\r\n\r\nbody\r\n.\r\n");
        s.Expect().Send("+OK\r\n1 10\r\n2 20\r\n.\r\n").Sleep(0.2).Close();
        ScriptedLineServer server(s);
        auto c = std::make_unique<Client>(server);
        c->Login();
        bool freed = false;
        int finished = 0;
        const std::string w = which;
        auto free = [&] {
            c.reset();
            freed = true;
        };
        TPop3Cli& p = c->pop3;
        p.OnRequestDone = [&](TCustomPop3Cli*, TPop3Request, std::uint16_t) { ++finished; };
        if (w == "begin")
            p.OnMessageBegin = [&](TCustomPop3Cli*) { free(); };
        if (w == "line")
            p.OnMessageLine = [&](TCustomPop3Cli*) { free(); };
        if (w == "header")
            p.OnHeaderEnd = [&](TCustomPop3Cli*) { free(); };
        if (w == "end")
            p.OnMessageEnd = [&](TCustomPop3Cli*) { free(); };
        if (w == "list line")
            p.OnListLine = [&](TCustomPop3Cli*) { free(); };
        if (w == "display")
            p.OnDisplay = [&](TCustomPop3Cli*, const std::string& m) {
                if (m == "< +OK" && finished == 1)
                    free();
            };
        if (w == "response")
            p.OnResponse = [&](TCustomPop3Cli*, const std::string& m) {
                if (m == "body")
                    free();
            };
        if (w == "closed")
            p.OnSessionClosed = [&](TCustomPop3Cli*, std::uint16_t) { free(); };
        p.SetMsgNum(1);
        p.Retr();
        ASSERT_TRUE(PumpUntil([&] { return freed || finished == 1; }, 20000));
        if (!freed) {
            p.SetMsgNum(0);
            p.List();
            ASSERT_TRUE(PumpUntil([&] { return freed; }, 20000));
        }
        // Nothing reaches the freed client afterwards.
        EXPECT_TRUE(PumpUntil([&] { return !server.Process().Running(); }, 20000));
        PumpUntil([] { return false; }, 50);
    }
}

TEST(Pop3Client, ConnectsAgainAfterQuitAndAbort) {
    ScriptedLineServer first(LoggedIn().Reply("+OK bye").Close());
    Client c(first);
    c.Login();
    EXPECT_EQ(c.Quit(), (Done{pop3Quit, 0}));
    // A new session on the same client, then an abort in its middle.
    ScriptedLineServer second(LoggedIn("+OK again <7@x>").Expect().Silence());
    c.pop3.SetPort(second.PortText());
    c.Login();
    c.pop3.Stat();
    c.pop3.Abort();
    EXPECT_EQ(c.pop3.State(), pop3Ready);
    EXPECT_EQ(c.pop3.ProtocolState(), pop3Disconnected);
    ASSERT_TRUE(PumpUntil([&] { return c.done.back().rq == pop3Stat; }, 20000));
    EXPECT_NE(c.done.back().error, 0);
    ScriptedLineServer third(
        LineScript().Send("+OK third <9@x>\r\n").Reply("+OK in").Reply("+OK bye").Close());
    c.pop3.SetPort(third.PortText());
    EXPECT_EQ(c.Connect(), (Done{pop3Connect, 0}));
    // The timestamp is this greeting's.
    c.pop3.SetPassWord("pw");
    EXPECT_EQ(c.Run([&] { c.pop3.APop(); }), (Done{pop3APop, 0}));
    EXPECT_EQ(c.Quit(), (Done{pop3Quit, 0}));
    EXPECT_EQ(third.Transcript()[0], "C: APOP alice " + qordex::mail::ApopDigest("<9@x>", "pw"));
}

TEST(Pop3Client, HandlersMayAbortTheClient) {
    // Abort from a line handler: the rest of the answer is not delivered,
    // and the client can connect again.
    LineScript s = LoggedIn();
    s.Expect().Send("+OK\r\none\r\ntwo\r\nthree\r\n.\r\n").WaitEof();
    ScriptedLineServer server(s);
    Client c(server);
    c.Login();
    c.pop3.OnMessageLine = [&](TCustomPop3Cli* p) {
        c.message.push_back(p->LastResponse());
        if (p->LastResponse() == "two")
            p->Abort();
    };
    c.pop3.SetMsgNum(1);
    const Done d = c.Run([&] { c.pop3.Retr(); });
    EXPECT_EQ(d.rq, pop3Retr);
    EXPECT_NE(d.error, 0);
    EXPECT_EQ(c.message, (Lines{"one", "two"}));
    EXPECT_FALSE(c.pop3.Connected());
    EXPECT_EQ(c.pop3.State(), pop3Ready);
}
