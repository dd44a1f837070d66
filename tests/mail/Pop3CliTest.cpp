// qordex-cli pop3 against the mailbox server on loopback, run as a user
// runs it: what it prints, its exit status, its files, its usage errors.

#include "Pop3Peers.h"
#include "support/ScriptedLines.h"

#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

using namespace qordex::test;
namespace fs = std::filesystem;

namespace {

using Lines = std::vector<std::string>;

const std::vector<MailboxMessage> kBox = {
    {"first-id", "From: a@example.org\r\nSubject: one\r\n\r\n.dot\r\nbody one\r\n"},
    {"../second", "From: b@example.org\r\nSubject: two\r\n\r\nline 1\r\nline 2\r\n"},
};

CommandResult Cli(const MailboxServer& server, const Lines& args,
                  const std::string& password = "secret") {
    Lines argv = {BinPath("qordex-cli"), "pop3",   "--server", "127.0.0.1",  "--port",
                  server.PortText(),     "--user", "alice",    "--password", password};
    argv.insert(argv.end(), args.begin(), args.end());
    return qordex::test::Run(argv);
}

bool Has(const Lines& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

} // namespace

TEST(Pop3Cli, EveryCommandPrintsTheWindowsTexts) {
    MailboxServer server(kBox);
    const CommandResult r =
        Cli(server, {"stat", "list", "uidl", "list", "2", "uidl", "1", "retr", "1", "top", "2", "1",
                     "dele", "1", "rset", "noop", "last"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::size_t size1 = kBox[0].data.size(), size2 = kBox[1].data.size();
    EXPECT_EQ(SplitLines(r.out),
              (Lines{"Stat ok, 2 messages " + std::to_string(size1 + size2) + " bytes",
                     "*** List begin ***",
                     "MsgNum = 1 MsgSize = " + std::to_string(size1) + " Line = '1 " +
                         std::to_string(size1) + "'",
                     "MsgNum = 2 MsgSize = " + std::to_string(size2) + " Line = '2 " +
                         std::to_string(size2) + "'",
                     "*** List End ***",
                     "*** Uidl begin ***",
                     "MsgNum = 1 MsgUidl = first-id'",
                     "MsgNum = 2 MsgUidl = ../second'",
                     "*** Uidl end ***",
                     "List ok, 2 message " + std::to_string(size2) + " bytes",
                     "MsgNum = 1 MsgUidl = first-id'",
                     "*** Message 1 begin ***",
                     "From: a@example.org",
                     "Subject: one",
                     "",
                     ".dot",
                     "body one",
                     "*** Message 1 end ***",
                     "*** Message 2 begin ***",
                     "From: b@example.org",
                     "Subject: two",
                     "",
                     "line 1",
                     "*** Message 2 end ***",
                     "Last = 0"}));
    EXPECT_EQ(server.Seen(),
              (Lines{"C: USER alice", "C: PASS ***", "C: STAT", "C: LIST", "C: UIDL", "C: LIST 2",
                     "C: UIDL 1", "C: RETR 1", "C: TOP 2 1", "C: DELE 1", "C: RSET", "C: NOOP",
                     "C: LAST", "C: QUIT", "EOF"}));
}

TEST(Pop3Cli, VerboseShowsTheDialogue) {
    MailboxServer server(kBox);
    const CommandResult r = Cli(server, {"-v", "noop"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(
        SplitLines(r.out),
        (Lines{"< +OK mailbox ready <4711.1@mailbox.test>", "Request Done Rq=0 Error=0",
               "> USER alice", "< +OK", "Request Done Rq=1 Error=0", "> PASS secret",
               "< +OK logged in", "Request Done Rq=2 Error=0", "> NOOP", "< +OK",
               "Request Done Rq=10 Error=0", "> QUIT", "< +OK bye", "Request Done Rq=4 Error=0"}));
}

TEST(Pop3Cli, TheFirstFailureStopsTheCommandsButNotQuit) {
    struct Case {
        const char* name;
        Lines args;
        std::string password;
        std::string err;
        Lines seen;
    } cases[] = {
        {"refused command",
         {"retr", "9", "noop"},
         "secret",
         "qordex-cli pop3: -ERR no such message\n",
         {"C: USER alice", "C: PASS ***", "C: RETR 9", "C: QUIT", "EOF"}},
        {"wrong password",
         {"stat"},
         "guess",
         "qordex-cli pop3: -ERR invalid login\n",
         {"C: USER alice", "C: PASS ***", "C: QUIT", "EOF"}},
        {"password with outer spaces goes as typed",
         {"stat"},
         " secret ",
         "qordex-cli pop3: -ERR invalid login\n",
         {"C: USER alice", "C: PASS ***", "C: QUIT", "EOF"}},
        {"APOP",
         {"--apop", "noop"},
         "secret",
         "",
         {"C: APOP alice 5e4d8b1fef2e65b9b1dbd61a5b86ff1d", "C: NOOP", "C: QUIT", "EOF"}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        MailboxServer server(kBox);
        const CommandResult r = Cli(server, k.args, k.password);
        EXPECT_EQ(r.status, k.err.empty() ? 0 : 1);
        EXPECT_EQ(r.err, k.err);
        const Lines seen = server.Seen();
        if (std::string(k.name) == "APOP") {
            // The digest of this server's timestamp and the password.
            ASSERT_FALSE(seen.empty());
            EXPECT_EQ(seen[0].rfind("C: APOP alice ", 0), 0u);
            EXPECT_EQ(Lines(seen.begin() + 1, seen.end()), Lines(k.seen.begin() + 1, k.seen.end()));
        } else {
            EXPECT_EQ(seen, k.seen);
        }
    }
    // APOP against a greeting without a timestamp fails before sending it.
    MailboxServer plain(kBox, 0, /*noTimestamp=*/true);
    const CommandResult r = Cli(plain, {"--apop", "stat"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "qordex-cli pop3: -ERR Server does not support APOP (no timestamp)\n");
    EXPECT_EQ(plain.Seen(), (Lines{"C: QUIT", "EOF"}));
}

TEST(Pop3Cli, OutputFileAppearsOnlyWhole) {
    QTemporaryDir dir;
    const fs::path out = fs::path(dir.path().toStdString()) / "message.txt";
    {
        MailboxServer server(kBox);
        const CommandResult r = Cli(server, {"-o", out.string(), "retr", "1"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(ReadFile(out), kBox[0].data);
    }
    {
        // The second message is cut: the file keeps the first one's text.
        MailboxServer server(kBox, /*cutRetr=*/2);
        const CommandResult r = Cli(server, {"-o", out.string(), "retr", "2"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "qordex-cli pop3: -ERR Disconneced unexpectedly\n");
        EXPECT_EQ(ReadFile(out), kBox[0].data);
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path().toStdString()),
                                fs::directory_iterator()),
                  1);
    }
    {
        // A device is written into, never replaced.
        MailboxServer server(kBox);
        const CommandResult r = Cli(server, {"-o", "/dev/null", "retr", "1"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(fs::is_character_file("/dev/null"));
        // A folder is no file to write.
        const CommandResult folder = Cli(server, {"-o", dir.path().toStdString(), "retr", "1"});
        EXPECT_EQ(folder.status, 1);
        EXPECT_NE(folder.err.find("Cannot open"), std::string::npos) << folder.err;
        EXPECT_TRUE(fs::is_directory(dir.path().toStdString()));
    }
    {
        // top with -o writes the header and the lines asked for.
        MailboxServer server(kBox);
        const CommandResult r = Cli(server, {"-o", out.string(), "top", "2", "0"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(ReadFile(out), "From: b@example.org\r\nSubject: two\r\n\r\n");
    }
}

TEST(Pop3Cli, GetAllTwice) {
    MailboxServer server(kBox);
    QTemporaryDir dir;
    const CommandResult first = Cli(server, {"stat", "getall", dir.path().toStdString()});
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(SplitLines(first.out),
              (Lines{"Stat ok, 2 messages " +
                         std::to_string(kBox[0].data.size() + kBox[1].data.size()) + " bytes",
                     "Message 1", "Message 2", "Finished"}));
    EXPECT_EQ(ReadFile(fs::path(dir.path().toStdString()) / "Msg ..%2Fsecond.txt"), kBox[1].data);
    const CommandResult again = Cli(server, {"-v", "getall", dir.path().toStdString(), "noop"});
    EXPECT_EQ(again.status, 0) << again.err;
    const Lines out = SplitLines(again.out);
    EXPECT_TRUE(Has(out, "Message 1 already here"));
    EXPECT_TRUE(Has(out, "Message 2 already here"));
    EXPECT_TRUE(Has(out, "Finished"));
    // GetAll's own requests are still reported with -v.
    EXPECT_TRUE(Has(out, "Request Done Rq=13 Error=0"));
    EXPECT_TRUE(Has(out, "Request Done Rq=10 Error=0"));

    const CommandResult missing = Cli(server, {"getall", dir.path().toStdString() + "/nope"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("Cannot open folder"), std::string::npos) << missing.err;
}

TEST(Pop3Cli, ASilentServerTimesOut) {
    ScriptedLineServer server(LineScript().Send("+OK hi\r\n").Expect().Silence());
    const CommandResult r = qordex::test::Run(
        {BinPath("qordex-cli"), "pop3", "--server", "127.0.0.1", "--port", server.PortText(),
         "--user", "alice", "--password", "pw", "--timeout", "1", "stat"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "qordex-cli pop3: no answer from 127.0.0.1 within 1 s\n");
}

TEST(Pop3Cli, BadUsageSendsNothing) {
    const Lines base = {"--server", "127.0.0.1", "--user", "u", "--password", "p"};
    struct Case {
        Lines args;
        const char* says;
    } cases[] = {
        {{"--user", "u", "stat"}, "--server is missing"},
        {{"--server", "h", "stat"}, "--user is missing"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
        {{"retr"}, "retr needs a message number"},
        {{"retr", "x"}, "retr needs a message number (got 'x')"},
        {{"dele", "0"}, "dele needs a message number (got '0')"},
        {{"top", "1"}, "top needs a number of lines"},
        {{"getall"}, "getall needs a folder"},
        {{"-o", "f", "retr", "1", "retr", "2"}, "-o goes with exactly one retr or top"},
        {{"-o", "f", "stat"}, "-o goes with exactly one retr or top"},
        {{"--apop", "--auth", "login", "stat"}, "--apop and --auth exclude each other"},
        {{"--auth", "plain", "stat"}, "unknown --auth type 'plain'"},
        {{"--port", "nosuchservice", "stat"}, "--port must be"},
        {{"--socks", "nohostport", "stat"}, "--socks wants HOST:PORT"},
        {{"--socks-user", "u", "stat"}, "--socks-user and --socks-pass go with --socks"},
        {{"--timeout", "0", "stat"}, "--timeout takes whole seconds"},
        {{"--bogus", "stat"}, "unknown option '--bogus'"},
    };
    for (const Case& k : cases) {
        Lines argv = {BinPath("qordex-cli"), "pop3"};
        const bool full = k.args[0] != "--user" && k.args[0] != "--server";
        if (full)
            argv.insert(argv.end(), base.begin(), base.end());
        argv.insert(argv.end(), k.args.begin(), k.args.end());
        const CommandResult r = qordex::test::Run(argv);
        EXPECT_EQ(r.status, 2) << k.says;
        EXPECT_NE(r.err.find(k.says), std::string::npos) << r.err;
    }
    const CommandResult nul = qordex::test::Run({BinPath("qordex-cli"), "pop3", "--server", "h",
                                                 "--user", "a\nb", "--password", "p", "stat"});
    EXPECT_EQ(nul.status, 2);
    EXPECT_NE(nul.err.find("--user holds a CR, LF or NUL byte"), std::string::npos);
    const CommandResult help = qordex::test::Run({BinPath("qordex-cli"), "pop3", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("getall DIR"), std::string::npos);
}

TEST(Pop3Cli, ThroughMicrosocks) {
    if (!HasProgram("microsocks"))
        GTEST_SKIP() << "microsocks is not installed (scripts/install-deps.sh installs it)";
    MailboxServer server(kBox);
    const int port = FreeTcpPort();
    Background socks(
        {"microsocks", "-i", "127.0.0.1", "-p", std::to_string(port), "-u", "pu", "-P", "pp"});
    ASSERT_TRUE(WaitForTcpPort(port, 10000));
    const std::string proxy = "127.0.0.1:" + std::to_string(port);
    const CommandResult r =
        Cli(server, {"--socks", proxy, "--socks-user", "pu", "--socks-pass", "pp", "stat"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(SplitLines(r.out)[0].rfind("Stat ok, 2 messages", 0), 0u) << r.out;
    const CommandResult refused =
        Cli(server, {"--socks", proxy, "--socks-user", "pu", "--socks-pass", "no", "stat"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("qordex-cli pop3: -ERR"), std::string::npos) << refused.err;
}
