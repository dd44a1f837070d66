// The SMTP server and its tool logic on loopback: the dialogue's replies,
// the stored files whatever way the input is split, and clients that
// misbehave (vanish mid-DATA, send overlong lines, pipeline without
// reading).  Handlers close or free what called them from every event.

#include "mail/SmtpServerTool.h"
#include "net/ServerTestUtil.h"
#include "support/Process.h"
#include "support/TestData.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <gtest/gtest.h>
#include <memory>
#include <set>

using namespace qordex;
using namespace qordex::mail;
using namespace qordex::test;

namespace {

std::size_t CountLines(const std::string& s) {
    return std::size_t(std::count(s.begin(), s.end(), '\n'));
}

// The reply lines received, without their CR LF.
std::vector<std::string> Replies(const std::string& got) {
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; (end = got.find("\r\n", start)) != got.npos; start = end + 2)
        lines.push_back(got.substr(start, end - start));
    return lines;
}

struct ToolFixture : ::testing::Test {
    QTemporaryDir dir;
    TSmtpServerTool tool;
    std::vector<std::string> log;
    std::vector<std::pair<std::string, bool>> stored;

    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        tool.Folder = dir.path().toStdString() + "/mail/";
        tool.OnLog = [this](const std::string& l) { log.push_back(l); };
        tool.OnStored = [this](const std::string& p, bool complete) {
            stored.emplace_back(p, complete);
        };
        tool.Start("127.0.0.1", "0", "Test ready.");
    }
    std::string Port() { return tool.Server.BoundPort(); }

    // The files of the mail folder, by name.
    std::map<std::string, std::string> Files() {
        std::map<std::string, std::string> files;
        const QDir d(QString::fromStdString(tool.Folder));
        for (const QString& n : d.entryList(QDir::Files))
            files[n.toStdString()] = ReadFile(d.filePath(n).toStdString());
        return files;
    }
    bool Logged(const std::string& text) {
        return std::any_of(log.begin(), log.end(),
                           [&](const std::string& l) { return l.find(text) != l.npos; });
    }
    bool WaitLogged(const std::string& text) {
        return Pump([&] { return Logged(text); }, 20000);
    }
    // Sends `line` + CR LF and waits for the next reply line; returns it.
    std::string Say(RawClient& c, const std::string& line) {
        const std::size_t before = CountLines(c.got);
        c.Send(line + "\r\n");
        Pump(
            [&] {
                c.Poll();
                return CountLines(c.got) > before || c.eof || c.error;
            },
            20000);
        const auto lines = Replies(c.got);
        return lines.size() > before ? lines[before] : std::string("<nothing>");
    }
};

// A line of one dot goes as two; "RSET" and "QUIT" in a message are text.
const std::string kBody1 = "Subject: first\r\n\r\n..one dot\r\nRSET\r\n..\r\nx.\r\n\r\n";
const std::string kMeant1 = "Subject: first\r\n\r\n.one dot\r\nRSET\r\n.\r\nx.\r\n\r\n";
const std::string kBody2 = "Subject: second\r\n\r\nQUIT\r\n";

// Two messages and a reset between them, as one stream of bytes.
std::string Dialogue() {
    return "HELO me\r\nMAIL FROM:<a@b.c>\r\nRCPT TO:<r1@x.y>\r\nDATA\r\n" + kBody1 +
           ".\r\nRSET\r\nMAIL FROM:<a@b.c>\r\nRCPT TO:<r2@x.y>\r\nDATA\r\n" + kBody2 +
           ".\r\nQUIT\r\n";
}

} // namespace

using SmtpServerTool = ToolFixture;

TEST_F(SmtpServerTool, RepliesOfTheDialogue) {
    RawClient c(Port());
    ASSERT_TRUE(c.WaitFor("\r\n"));
    EXPECT_EQ(c.got, "220 Test ready.\r\n");
    const struct {
        std::string line, reply;
    } steps[] = {
        {"NOOP", "500 command not recognized"},
        {"HELO client.test", "250 OK User client.test from IP 127.0.0.1 is welcome"},
        {"NOOP", "250 OK "},
        {"VRFY bob", "250 OK "},
        {"HELP DATA", "211 DATA HELO MAIL NOOP QUIT RCPT RSET VRFY"},
        {"EXPN list", "502 Command not implemented"},
        {"EHLO again", "500 command not recognized"},
        {"BOGUS", "500 command not recognized"},
        {std::string(100000, 'N'), "500 Line too long"},
        {"MAIL FROM: <a@b.c> SIZE=10", "250 OK"},
        {"RCPT TO:<c+d@e.f>", "250 OK Send to <c+d@e.f> is allowed"},
        {"RSET", "250 OK"},
        {"QUIT", "221 Goodbye."},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.line.substr(0, 40));
        EXPECT_EQ(Say(c, s.line), s.reply);
    }
    EXPECT_TRUE(c.WaitEnd());
    EXPECT_TRUE(WaitLogged("Disconnected: 00000001"));
    for (const char* l : {"00000001 USER client.test", "00000001 VERIFY bob, ",
                          "00000001 HELP DATA", "00000001 Unknown command BOGUS",
                          "00000001 FROM a@b.c", "00000001 TO c+d@e.f", "00000001 RESET",
                          "00000001 QUIT"})
        EXPECT_TRUE(Logged(l)) << l;
    EXPECT_TRUE(tool.Rows().empty());
}

TEST_F(SmtpServerTool, StoresWhatTheClientMeantWhateverTheReadsSplit) {
    const std::string d = Dialogue();
    // The whole dialogue in one write, one byte per read, and cut at a
    // spread of offsets.
    std::vector<std::vector<std::size_t>> splits = {{}, {}};
    for (std::size_t i = 1; i < d.size(); ++i)
        splits[1].push_back(i);
    for (std::size_t cut = 3; cut < d.size(); cut += 11)
        splits.push_back({cut});
    for (std::size_t round = 0; round < splits.size(); ++round) {
        SCOPED_TRACE("split " + std::to_string(round));
        QDir(QString::fromStdString(tool.Folder)).removeRecursively();
        stored.clear();
        RawClient c(Port());
        std::size_t from = 0;
        for (std::size_t cut : splits[round]) {
            c.Send(d.substr(from, cut - from));
            from = cut;
            // The server reads each piece on its own.
            PumpMessages();
        }
        c.Send(d.substr(from));
        ASSERT_TRUE(c.WaitEnd(30000));
        EXPECT_EQ(c.got.substr(c.got.size() - 14), "221 Goodbye.\r\n");
        EXPECT_EQ(CountLines(c.got), 12u) << c.got;
        ASSERT_TRUE(Pump([&] { return stored.size() == 2; }, 20000));
        std::multiset<std::string> contents;
        for (const auto& [name, bytes] : Files())
            contents.insert(name.substr(0, 3) + bytes);
        EXPECT_EQ(contents, (std::multiset<std::string>{"r1@" + kMeant1, "r2@" + kBody2}));
        EXPECT_TRUE(stored[0].second && stored[1].second);
    }
}

TEST_F(SmtpServerTool, MessagesNeverOverwriteEachOther) {
    RawClient c(Port());
    std::string d = "HELO me\r\n";
    // Without RCPT the name starts "null-"; the rest all go to one recipient
    // within a second or two.
    d += "MAIL FROM:<a@b>\r\nDATA\r\nno recipient\r\n.\r\n";
    for (int i = 0; i < 5; ++i)
        d += "MAIL FROM:<a@b>\r\nRCPT TO:<same@x>\r\nDATA\r\nmessage " + std::to_string(i) +
             "\r\n.\r\n";
    c.Send(d + "QUIT\r\n");
    ASSERT_TRUE(c.WaitEnd(30000));
    ASSERT_TRUE(Pump([&] { return stored.size() == 6; }, 20000));
    const auto files = Files();
    ASSERT_EQ(files.size(), 6u);
    std::set<std::string> bodies;
    for (const auto& [name, bytes] : files) {
        bodies.insert(bytes);
        EXPECT_EQ(name.rfind(bytes == "no recipient\r\n" ? "null-" : "same@x-", 0), 0u) << name;
    }
    EXPECT_EQ(bodies.size(), 6u);
}

TEST_F(SmtpServerTool, ClientVanishingMidDataKeepsWhatArrived) {
    for (bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "reset" : "close");
        QDir(QString::fromStdString(tool.Folder)).removeRecursively();
        stored.clear();
        log.clear();
        {
            RawClient c(Port());
            c.Send("HELO me\r\nMAIL FROM:<a@b>\r\nRCPT TO:<v@x>\r\nDATA\r\nline 1\r\nline 2\r\n");
            ASSERT_TRUE(c.WaitFor("354"));
            ASSERT_TRUE(Pump([&] { return Logged("receiving body"); }, 20000));
            if (reset)
                c.Reset();
        }
        ASSERT_TRUE(WaitLogged("Disconnected: "));
        ASSERT_EQ(stored.size(), 1u);
        EXPECT_FALSE(stored[0].second);
        const auto files = Files();
        ASSERT_EQ(files.size(), 1u);
        EXPECT_EQ(files.begin()->second, "line 1\r\nline 2\r\n");
    }
    // The server goes on serving.
    RawClient next(Port());
    EXPECT_TRUE(next.WaitFor("220 "));
}

TEST_F(SmtpServerTool, OverlongMessageLineFailsTheMessageNotTheSession) {
    RawClient c(Port());
    c.Send("HELO me\r\nMAIL FROM:<a@b>\r\nRCPT TO:<l@x>\r\nDATA\r\nshort\r\n" +
           std::string(200000, 'L') + "\r\nend\r\n.\r\nNOOP\r\nQUIT\r\n");
    ASSERT_TRUE(c.WaitEnd(30000));
    const auto lines = Replies(c.got);
    ASSERT_EQ(lines.size(), 8u) << c.got;
    EXPECT_EQ(lines[5], "500 Line too long");
    EXPECT_EQ(lines[6], "250 OK ");
}

TEST_F(SmtpServerTool, FolderIsMadeWhenMissingAndAFailureIsReported) {
    // A folder that cannot be made (a file stands in its way) fails the
    // message with 451, and the session goes on; once the folder can be
    // made, the next message is stored, and again after it was removed.
    const std::string blocker = dir.path().toStdString() + "/file";
    ASSERT_TRUE(QFile(QString::fromStdString(blocker)).open(QIODevice::WriteOnly));
    tool.Folder = blocker + "/mail/";
    const std::string message = "MAIL FROM:<a@b>\r\nRCPT TO:<f@x>\r\nDATA\r\nbody\r\n.\r\n";
    RawClient c(Port());
    ASSERT_TRUE(c.WaitFor("\r\n"));
    EXPECT_EQ(Say(c, "HELO me"), "250 OK User me from IP 127.0.0.1 is welcome");
    const struct {
        std::string folder;
        bool removeFirst;
        std::string reply;
    } cases[] = {
        {blocker + "/mail/", false, "451 Requested action aborted: local error in processing"},
        {dir.path().toStdString() + "/deep/er/mail", false, "250 OK "},
        {dir.path().toStdString() + "/deep/er/mail", true, "250 OK "},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.folder + (k.removeFirst ? " removed" : ""));
        tool.Folder = k.folder;
        if (k.removeFirst) {
            ASSERT_TRUE(QDir(QString::fromStdString(k.folder)).removeRecursively());
        }
        const std::size_t before = Replies(c.got).size();
        c.Send(message);
        ASSERT_TRUE(Pump(
            [&] {
                c.Poll();
                return Replies(c.got).size() >= before + 4 || c.eof || c.error;
            },
            20000));
        EXPECT_EQ(Replies(c.got).back(), k.reply);
    }
    EXPECT_TRUE(Logged("00000001 Cannot make the folder " + blocker + "/mail/"));
    const QDir made(QString::fromStdString(dir.path().toStdString() + "/deep/er/mail"));
    EXPECT_EQ(made.entryList(QDir::Files).size(), 1);
    EXPECT_EQ(Say(c, "QUIT"), "221 Goodbye.");
}

TEST_F(SmtpServerTool, RefusedHelloCutsTheClientOff) {
    tool.Server.OnUsername = [](TSmtpServer*, TSmtpClient*, const std::string&, std::string&,
                                bool& shouldClose) { shouldClose = true; };
    RawClient c(Port());
    ASSERT_TRUE(c.WaitFor("\r\n"));
    EXPECT_EQ(Say(c, "HELO stranger"), "550 User stranger from IP 127.0.0.1 is unknown");
    EXPECT_EQ(Say(c, "MAIL FROM:<a@b>"), "550 mailbox unavailable or not logged in");
    EXPECT_TRUE(c.WaitEnd());
}

TEST_F(SmtpServerTool, HeavyPipeliningLosesNoCommand) {
    // Far more replies than a socket buffer holds, while the client reads
    // slowly: the server stops reading instead of piling up replies.
    constexpr int kCommands = 30000;
    RawClient c(Port());
    std::string d = "HELO me\r\n";
    for (int i = 0; i < kCommands; ++i)
        d += "NOOP\r\n";
    d += "QUIT\r\n";
    std::size_t off = 0;
    while (off < d.size()) {
        const ssize_t n = ::write(c.fd, d.data() + off, std::min<std::size_t>(d.size() - off, 4096));
        if (n > 0)
            off += std::size_t(n);
        else
            PumpMessages();
        if (off % 65536 < 4096) {
            c.Poll();
            PumpMessages();
        }
    }
    ASSERT_TRUE(c.WaitEnd(60000));
    EXPECT_EQ(CountLines(c.got), std::size_t(kCommands) + 3);
}

TEST_F(SmtpServerTool, DisconnectAllDropsEveryListedClient) {
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(std::make_unique<RawClient>(Port()));
        ASSERT_TRUE(clients.back()->WaitFor("220 "));
    }
    ASSERT_TRUE(Pump([&] { return tool.Rows().size() == 3; }));
    tool.Disconnect("FFFFFFFF"); // nobody: ignored
    tool.DisconnectAll();
    for (auto& c : clients)
        EXPECT_TRUE(c->WaitEnd());
    for (const char* id : {"00000001", "00000002", "00000003"})
        EXPECT_TRUE(Logged(std::string(id) + " Disconnecting")) << id;
    EXPECT_TRUE(tool.Rows().empty());
}

// Every handler may close its client or free the whole server; the server
// must neither crash nor go on with a freed client.
TEST(SmtpServer, HandlersCloseOrFreeFromEveryEvent) {
    enum What { CloseClient, AbortClient, FreeServer };
    const char* events[] = {"Username", "MailFrom", "MailTo", "SendDataInit", "SendData",
                            "Reset", "Help", "UnknownCmd", "Quit", "VerifyUser"};
    for (What what : {CloseClient, AbortClient, FreeServer}) {
        for (const std::string event : events) {
            SCOPED_TRACE(event + " " + std::to_string(int(what)));
            auto server = std::make_unique<TSmtpServer>();
            server->SetSrvAddr("127.0.0.1");
            server->SetSrvPort("0");
            server->SetActive(true);
            bool fired = false;
            auto act = [&](TSmtpClient* client) {
                fired = true;
                if (what == CloseClient)
                    client->Close();
                else if (what == AbortClient)
                    client->Abort();
                else
                    server.reset();
            };
            auto answer = [&](const std::string& name) {
                return [&, name](TSmtpServer*, TSmtpClient* c, std::string&) {
                    if (name == event)
                        act(c);
                };
            };
            auto text = [&](const std::string& name) {
                return [&, name](TSmtpServer*, TSmtpClient* c, const std::string&, std::string&) {
                    if (name == event)
                        act(c);
                };
            };
            server->OnUsername = [&](TSmtpServer*, TSmtpClient* c, const std::string&,
                                     std::string&, bool&) {
                if (event == "Username")
                    act(c);
            };
            server->OnVerifyUser = [&](TSmtpServer*, TSmtpClient* c, const std::string&, bool&,
                                       std::string&) {
                if (event == "VerifyUser")
                    act(c);
            };
            server->OnMailFrom = text("MailFrom");
            server->OnMailTo = text("MailTo");
            server->OnHelp = text("Help");
            server->OnUnknownCmd = text("UnknownCmd");
            server->OnReset = answer("Reset");
            server->OnQuit = answer("Quit");
            server->OnSendDataInit = [&](TSmtpServer*, TSmtpClient* c) {
                if (event == "SendDataInit")
                    act(c);
            };
            server->OnSendData = [&](TSmtpServer*, TSmtpClient* c, bool, const std::string&) {
                if (event == "SendData")
                    act(c);
            };
            RawClient c(server->BoundPort());
            c.Send("HELO me\r\nVRFY x\r\nHELP\r\nXYZZY\r\nMAIL FROM:<a@b>\r\nRCPT TO:<c@d>\r\n"
                   "RSET\r\nMAIL FROM:<a@b>\r\nDATA\r\nbody\r\n.\r\nQUIT\r\n");
            EXPECT_TRUE(c.WaitEnd(20000));
            EXPECT_TRUE(fired);
            server.reset();
        }
    }
}

// Our own SMTP client (qordex-cli smtp) against our server.
TEST_F(SmtpServerTool, OurClientDeliversToOurServer) {
    const std::string body = ".starts with a dot\n..two dots\nplain\n";
    const std::string bodyPath = dir.filePath(QStringLiteral("body.txt")).toStdString();
    ASSERT_TRUE(WriteFile(bodyPath, body));
    Background cli({BinPath("qordex-cli"), "smtp", "--server", "127.0.0.1", "--port", Port(),
                    "--from", "me@here.test", "--to", "you@there.test", "--subject", "Ours",
                    "--body", bodyPath, "--helo", "ours.test"});
    ASSERT_TRUE(Pump([&] { return !cli.Running(); }, 60000));
    EXPECT_EQ(cli.Wait(1000), 0) << cli.Output();
    ASSERT_TRUE(Pump([&] { return stored.size() == 1; }, 20000));
    const auto files = Files();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files.begin()->first.rfind("you@there.test-", 0), 0u);
    const std::string& mail = files.begin()->second;
    EXPECT_NE(mail.find("Subject: Ours\r\n"), std::string::npos) << mail;
    EXPECT_NE(mail.find("\r\n\r\n.starts with a dot\r\n..two dots\r\nplain\r\n"),
              std::string::npos)
        << mail;
    EXPECT_TRUE(Logged("USER ours.test"));
}
