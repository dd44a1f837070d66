// The FTP client engine against a scripted server: every byte it sends is
// compared, and the server answers in the awkward ways real servers (and
// hostile ones) do.

#include "ftp/FtpCli.h"
#include "ftp/FtpTestSupport.h"
#include "support/TestData.h"

#include <QTemporaryDir>
#include <arpa/inet.h>
#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace qordex::ftp;
using qordex::test::FtpClientProbe;
using qordex::test::FtpScript;
using qordex::test::ScriptedFtpServer;

namespace {

const char* const kEmptySha = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Spit(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

bool Has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class FtpClientTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    std::string Local(const char* name) { return dir.filePath(name).toStdString(); }
};

TEST_F(FtpClientTest, RepliesSplitIntoTinyReadsAndDigitLedInnerLines) {
    FtpScript s;
    // Inner lines start with digits, even with the code and a hyphen: only
    // "220 " closes the greeting.
    s.Send("220-Welcome\r\n123 inner line\r\n220-still the greeting\r\n220 ready\r\n", {1, 2, 3});
    s.Expect("USER anonymous").Send("331 password please\r\n", {2, 1});
    s.Expect("PASS guest").Send("230-Hello\r\n230 logged in\r\n", {3, 1, 2});
    s.Reply("QUIT", "221 bye").WaitEof();
    ScriptedFtpServer srv(s);
    FtpClientProbe p(srv.Port());
    EXPECT_EQ(p.Run(&TCustomFtpCli::ConnectAsync), 0);
    EXPECT_EQ(p.client.StatusCode(), 230);
    EXPECT_EQ(p.client.State(), ftpReady);
    EXPECT_TRUE(p.client.Connected());
    EXPECT_TRUE(p.Shown("123 inner line"));
    EXPECT_EQ(p.Run(&TCustomFtpCli::QuitAsync), 0);
    EXPECT_FALSE(p.client.Connected());
    EXPECT_EQ(srv.Transcript(),
              (std::vector<std::string>{"C: USER anonymous", "C: PASS guest", "C: QUIT", "EOF"}));
}

TEST_F(FtpClientTest, AnOverlongReplyLineIsCutWithoutHanging) {
    FtpScript s;
    s.Send("220-" + std::string(5000, 'x') + "220 not the end\r\n220 ready\r\n", {4096});
    s.Reply("USER anonymous", "230 " + std::string(5000, 'y'));
    s.Reply("QUIT", "221 bye").WaitEof();
    ScriptedFtpServer srv(s);
    FtpClientProbe p(srv.Port());
    EXPECT_EQ(p.Run(&TCustomFtpCli::ConnectAsync), 0);
    EXPECT_EQ(p.client.LastResponse().size(), kMaxReplyLine);
    EXPECT_EQ(p.Run(&TCustomFtpCli::QuitAsync), 0);
    EXPECT_EQ(srv.Transcript(), (std::vector<std::string>{"C: USER anonymous", "C: QUIT", "EOF"}));
}

TEST_F(FtpClientTest, UserAnswered230SkipsPassAndAccount) {
    FtpScript s;
    s.Send("220 ready\r\n").Reply("USER anonymous", "230 no password needed");
    s.Reply("QUIT", "221 bye").WaitEof();
    ScriptedFtpServer srv(s);
    FtpClientProbe p(srv.Port());
    EXPECT_EQ(p.Run(&TCustomFtpCli::ConnectAsync), 0);
    EXPECT_EQ(p.Run(&TCustomFtpCli::QuitAsync), 0);
    EXPECT_EQ(srv.Transcript(), (std::vector<std::string>{"C: USER anonymous", "C: QUIT", "EOF"}));
}

TEST_F(FtpClientTest, WrongPasswordEnds530AndSendsNoQuit) {
    FtpScript s;
    s.Send("220 ready\r\n")
        .Reply("USER anonymous", "331 password")
        .Reply("PASS guest", "530 Login incorrect.");
    s.WaitEof(1);
    ScriptedFtpServer srv(s);
    FtpClientProbe p(srv.Port());
    p.client.SetHostFileName("a.bin");
    p.client.SetLocalFileName(Local("a.bin"));
    EXPECT_EQ(p.Run(&TCustomFtpCli::ReceiveAsync), 530);
    EXPECT_EQ(p.client.ErrorMessage(), "530 Login incorrect.");
    EXPECT_TRUE(p.client.Connected());
    EXPECT_EQ(srv.Transcript(),
              (std::vector<std::string>{"C: USER anonymous", "C: PASS guest", "OPEN"}));
}

TEST_F(FtpClientTest, GreetingOtherThan220EndsWithItsCode) {
    FtpScript s;
    s.Send("421-Too many users\r\n421 try later\r\n").Close();
    ScriptedFtpServer srv(s);
    FtpClientProbe p(srv.Port());
    EXPECT_EQ(p.Run(&TCustomFtpCli::ConnectAsync), 421);
    EXPECT_EQ(p.client.ErrorMessage(), "421 try later");
    EXPECT_FALSE(p.client.Connected());
}

// A download, with the 227 in the forms servers send.  The data connection
// always goes to the control connection's peer, whatever the 227 names.
TEST_F(FtpClientTest, ReceiveReportsTheTransferReplyAndUsesTheControlPeer) {
    const std::string payload = qordex::test::RandomBytes(300000, 7);
    const struct {
        const char* what;
        std::function<void(FtpScript&)> pasv;
        const char* note;
    } cases[] = {
        {"parentheses", [](FtpScript& s) { s.Pasv(); }, nullptr},
        {"another host", [](FtpScript& s) { s.Pasv("10,9,8,7"); },
         "! Passive address 10.9.8.7 ignored, using 127.0.0.1"},
        {"no parentheses",
         [](FtpScript& s) { s.PasvRaw("227 Entering Passive Mode 127,0,0,1,P1,P2\r\n"); }, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FtpScript s;
        s.Login().Reply("TYPE I", "200 binary");
        c.pasv(s);
        s.Expect("RETR a.bin").Accept().Send("150 opening\r\n");
        s.DataSend(payload).DataClose().Send("226 Transfer complete.\r\n");
        s.Reply("QUIT", "221 bye").WaitEof();
        ScriptedFtpServer srv(s);
        FtpClientProbe p(srv.Port());
        p.Files("a.bin", Local("a.bin"), true);
        EXPECT_EQ(p.Run(&TCustomFtpCli::ReceiveAsync), 0);
        EXPECT_EQ(p.client.StatusCode(), 226);
        EXPECT_EQ(p.client.LastResponse(), "226 Transfer complete.");
        EXPECT_EQ(p.done.back().first, ftpReceiveAsync);
        EXPECT_EQ(Slurp(Local("a.bin")), payload);
        if (c.note) {
            EXPECT_TRUE(p.Shown(c.note));
        }
        EXPECT_TRUE(p.Shown("! 300000 bytes received in "));
        const auto t = srv.Transcript();
        EXPECT_FALSE(Has(t, "C: CWD ")); // an empty HostDirName sends no CWD
        EXPECT_TRUE(Has(t, "C: QUIT"));
    }
}

TEST_F(FtpClientTest, APasvReplyWithNumbersOutOfRangeFails) {
    FtpScript s;
    s.Login().Reply("TYPE I", "200 binary").PasvRaw("227 Entering (127,0,0,1,999,1)\r\n");
    s.WaitEof(1);
    ScriptedFtpServer srv(s);
    FtpClientProbe p(srv.Port());
    p.Files("a.bin", Local("a.bin"), true);
    EXPECT_EQ(p.Run(&TCustomFtpCli::ReceiveAsync), 550);
    EXPECT_EQ(srv.Transcript().back(), "OPEN"); // no RETR, no QUIT
}

TEST_F(FtpClientTest, ActiveModeTakesDataOnlyFromTheServer) {
    const std::string payload = qordex::test::RandomBytes(100000, 8);
    FtpScript s;
    s.Login().Reply("TYPE I", "200 binary").Reply("PORT *", "200 PORT ok");
    s.Expect("RETR a.bin").Send("150 opening\r\n");
    s.Connect("127.0.0.2").DataSend(payload).DataClose().Send("226 done\r\n");
    s.Reply("QUIT", "221 bye").WaitEof();
    ScriptedFtpServer srv(s);
    FtpClientProbe p(srv.Port());
    p.Files("a.bin", Local("a.bin"), false);
    EXPECT_EQ(p.Run(&TCustomFtpCli::ReceiveAsync), 0);
    EXPECT_TRUE(p.Shown("! Data connection from 127.0.0.2 refused"));
    EXPECT_EQ(Slurp(Local("a.bin")), payload);
    const auto t = srv.Transcript();
    ASSERT_GE(t.size(), 4u);
    EXPECT_EQ(t[3].rfind("C: PORT 127,0,0,1,", 0), 0u) << t[3];
}

TEST_F(FtpClientTest, ServerClosingBeforeTheReplyEndsWith500) {
    FtpScript s;
    s.Login().Expect("DELE f").Close();
    ScriptedFtpServer srv(s);
    FtpClientProbe p(srv.Port());
    p.client.SetHostFileName("f");
    EXPECT_EQ(p.Run(&TCustomFtpCli::DeleteAsync), 500);
    EXPECT_EQ(p.client.LastResponse().rfind("500 Control connection closed.", 0), 0u)
        << p.client.LastResponse();
    EXPECT_EQ(p.client.StatusCode(), 500);
}

TEST_F(FtpClientTest, ABlockingTwinGivesUpOnASilentServer) {
    FtpScript s;
    s.Send("220 ready\r\n").Expect("USER anonymous").Silence();
    ScriptedFtpServer srv(s);
    FtpClientProbe p(srv.Port());
    p.client.SetTimeout(1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(p.client.ConnectSync());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    EXPECT_EQ(p.client.ErrorMessage(), "426 Timeout");
    EXPECT_EQ(p.client.StatusCode(), 426);
    EXPECT_EQ(p.client.State(), ftpReady);
}

TEST_F(FtpClientTest, QuoteSucceedsBelow500) {
    FtpScript s;
    s.Login().Reply("NOOP", "200 ok").Reply("XYZ", "502 not implemented");
    s.Reply("QUIT", "221 bye").WaitEof();
    ScriptedFtpServer srv(s);
    FtpClientProbe p(srv.Port());
    ASSERT_EQ(p.Run(&TCustomFtpCli::ConnectAsync), 0);
    p.client.SetLocalFileName("NOOP");
    EXPECT_EQ(p.Run(&TCustomFtpCli::QuoteAsync), 0);
    p.client.SetLocalFileName("XYZ");
    EXPECT_EQ(p.Run(&TCustomFtpCli::QuoteAsync), 502);
    EXPECT_EQ(p.Run(&TCustomFtpCli::QuitAsync), 0);
    EXPECT_EQ(srv.Transcript().back(), "EOF");
}

TEST(FtpClientRefusals, LineBreaksInAnythingSentAreRefused) {
    const std::string bad[] = {"x\r\nDELE y", "x\ny", std::string("x\0y", 3)};
    const struct {
        const char* field;
        void (TCustomFtpCli::*set)(const std::string&);
        void (TCustomFtpCli::*op)();
    } cases[] = {
        {"UserName", &TCustomFtpCli::SetUserName, &TCustomFtpCli::ConnectAsync},
        {"PassWord", &TCustomFtpCli::SetPassWord, &TCustomFtpCli::ConnectAsync},
        {"HostDirName", &TCustomFtpCli::SetHostDirName, &TCustomFtpCli::ReceiveAsync},
        {"HostFileName", &TCustomFtpCli::SetHostFileName, &TCustomFtpCli::ReceiveAsync},
        {"HostFileName", &TCustomFtpCli::SetHostFileName, &TCustomFtpCli::DeleteAsync},
        {"LocalFileName", &TCustomFtpCli::SetLocalFileName, &TCustomFtpCli::DoQuoteAsync},
        {"LocalFileName", &TCustomFtpCli::SetLocalFileName, &TCustomFtpCli::QuoteAsync},
        {"LocalFileName", &TCustomFtpCli::SetLocalFileName, &TCustomFtpCli::RenameAsync},
    };
    for (const auto& c : cases) {
        for (const std::string& value : bad) {
            TFtpClient client;
            client.SetHostName("127.0.0.1");
            client.SetUserName("u");
            client.SetPassWord("p");
            client.SetHostFileName("f");
            client.SetLocalFileName("l");
            (client.*c.set)(value);
            try {
                (client.*c.op)();
                ADD_FAILURE() << c.field << " was accepted";
            } catch (const FtpException& e) {
                EXPECT_EQ(std::string(e.what()), std::string(c.field) + " contains CR, LF or NUL");
            }
            EXPECT_EQ(client.State(), ftpReady) << c.field;
            EXPECT_FALSE(client.Connected());
        }
    }
}

TEST(FtpClientRefusals, OnErrorReplacesTheExceptionAndTheTwinFails) {
    TFtpClient client;
    std::string said;
    client.OnError = [&](TCustomFtpCli*, std::string& m) { said = m; };
    EXPECT_FALSE(client.CwdSync()); // not connected: refused, not a success
    EXPECT_EQ(said, "HostDirName empty");
    client.SetHostDirName("d");
    EXPECT_FALSE(client.CwdSync());
    EXPECT_EQ(said, "FTP component not connected");
    client.SetDataPortRangeStart(70000);
    EXPECT_EQ(said, "DataPortRangeStart must be in the range 0..65535");
    EXPECT_EQ(client.DataPortRangeStart(), 0u);
}

TEST_F(FtpClientTest, RestartGetAppendsAfterA350AndStartsOverOtherwise) {
    const struct {
        const char* restReply;
        const char* local;
        const char* sent;
        const char* result;
    } cases[] = {
        {"350 Restarting at 6", "hello ", "world", "hello world"},
        {"200 REST ignored", "XXXXXX", "hello world", "hello world"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.restReply);
        Spit(Local("r.txt"), c.local);
        FtpScript s;
        s.Login().Reply("TYPE I", "200 binary").Pasv();
        s.Reply("REST 6", c.restReply).Expect("RETR r.txt").Accept().Send("150 go\r\n");
        s.DataSend(c.sent).DataClose().Send("226 done\r\n").Reply("QUIT", "221 bye").WaitEof();
        ScriptedFtpServer srv(s);
        FtpClientProbe p(srv.Port());
        p.Files("r.txt", Local("r.txt"), true);
        EXPECT_EQ(p.Run(&TCustomFtpCli::RestartGetAsync), 0);
        EXPECT_EQ(Slurp(Local("r.txt")), c.result);
        EXPECT_EQ(p.done.back().first, ftpRestartGetAsync);
    }
}

TEST_F(FtpClientTest, AnEmptyUploadSendsNothingAndEndsOn226) {
    Spit(Local("e"), "");
    FtpScript s;
    s.Login().Reply("TYPE I", "200 binary").Pasv().Accept().Expect("STOR e");
    s.Send("150 go\r\n").DataRecv().Send("226 stored\r\n").Reply("QUIT", "221 bye").WaitEof();
    ScriptedFtpServer srv(s);
    FtpClientProbe p(srv.Port());
    p.Files("e", Local("e"), true);
    EXPECT_EQ(p.Run(&TCustomFtpCli::TransmitAsync), 0);
    EXPECT_TRUE(p.Shown("! Upload Size 0"));
    EXPECT_TRUE(Has(srv.Transcript(), std::string("D: 0 ") + kEmptySha));
}

// Abort from OnProgress: an upload is reset, so the server cannot take a cut
// file for a whole one; a download ends with 426 even when the server had
// sent everything and says 226.
TEST_F(FtpClientTest, AbortInProgressBreaksTheTransfer) {
    const std::string big = qordex::test::RandomBytes(4 << 20, 9);
    Spit(Local("big"), big);
    {
        FtpScript s;
        s.Login().Reply("TYPE I", "200 binary").Pasv().Accept().Expect("STOR big");
        s.Send("150 go\r\n").DataRecv().Send("426 Connection reset\r\n").WaitEof(1);
        ScriptedFtpServer srv(s);
        FtpClientProbe p(srv.Port());
        p.Files("big", Local("big"), true);
        p.client.OnProgress = [](TCustomFtpCli*, std::int64_t count, bool& abort) {
            abort = count > 0;
        };
        EXPECT_EQ(p.Run(&TCustomFtpCli::TransmitAsync), 426);
        EXPECT_TRUE(p.Shown("! Abort requested"));
        const auto t = srv.Transcript();
        EXPECT_TRUE(std::any_of(t.begin(), t.end(), [](const std::string& l) {
            return l.rfind("D: RESET", 0) == 0;
        })) << ::testing::PrintToString(t);
    }
    {
        FtpScript s;
        s.Login().Reply("TYPE I", "200 binary").Pasv().Expect("RETR big").Accept();
        s.Send("150 go\r\n").DataSend("0123456789", 1000).DataClose();
        s.Send("226 all sent\r\n").WaitEof(1);
        ScriptedFtpServer srv(s);
        FtpClientProbe p(srv.Port());
        p.Files("big", Local("down"), true);
        p.client.OnProgress = [](TCustomFtpCli*, std::int64_t count, bool& abort) {
            abort = count > 0;
        };
        EXPECT_EQ(p.Run(&TCustomFtpCli::ReceiveAsync), 426);
        EXPECT_EQ(srv.Transcript().back(), "OPEN"); // a failed operation sends no QUIT
    }
}

TEST_F(FtpClientTest, AFullDiskEndsTheDownloadWith550EvenAfter226) {
    if (::access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "/dev/full is not there";
    for (int size : {1024, 1 << 20}) {
        SCOPED_TRACE(size);
        FtpScript s;
        s.Login().Reply("TYPE I", "200 binary").Pasv().Expect("RETR f").Accept();
        s.Send("150 go\r\n").DataSend(std::string(size, 'z')).DataClose();
        s.Send("226 all sent\r\n").WaitEof(1);
        ScriptedFtpServer srv(s);
        FtpClientProbe p(srv.Port());
        p.Files("f", "/dev/full", true);
        EXPECT_EQ(p.Run(&TCustomFtpCli::ReceiveAsync), 550);
        EXPECT_NE(p.client.ErrorMessage().find("Error writing local file"), std::string::npos)
            << p.client.ErrorMessage();
    }
}

TEST_F(FtpClientTest, APortRangeWhosePortsAreTakenIsRefused) {
    // Hold a port on the loopback address the data listener would use.
    const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    socklen_t len = sizeof sa;
    ::getsockname(holder, reinterpret_cast<sockaddr*>(&sa), &len);
    const std::uint32_t port = ntohs(sa.sin_port);

    FtpScript s;
    s.Login().Reply("QUIT", "221 bye").WaitEof();
    ScriptedFtpServer srv(s);
    FtpClientProbe p(srv.Port());
    ASSERT_EQ(p.Run(&TCustomFtpCli::ConnectAsync), 0);
    p.client.SetPassive(false);
    p.client.SetDataPortRangeStart(port);
    p.client.SetDataPortRangeEnd(port);
    p.client.SetHostFileName("f");
    p.client.SetLocalFileName(Local("f"));
    try {
        p.client.GetAsync();
        ADD_FAILURE() << "the port step went on";
    } catch (const FtpException& e) {
        EXPECT_STREQ(e.what(), "All ports in DataPortRange are in use");
    }
    EXPECT_EQ(p.Run(&TCustomFtpCli::QuitAsync), 0);
    ::close(holder);
}

} // namespace
