// The FTP client engine against a scripted server: every byte it sends is
// compared, and the server answers in the awkward ways real servers (and
// hostile ones) do.

#include "ftp/FtpCli.h"
#include "ftp/FtpTestSupport.h"
#include "support/TestData.h"

#include <QCryptographicHash>
#include <QTemporaryDir>
#include <arpa/inet.h>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
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

bool HasPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

// The transcript line the scripted server prints for a whole data stream.
std::string DataLine(const std::string& bytes) {
    const QByteArray h = QCryptographicHash::hash(
        QByteArray::fromRawData(bytes.data(), qsizetype(bytes.size())), QCryptographicHash::Sha256);
    return "D: " + std::to_string(bytes.size()) + " " + h.toHex().toStdString();
}

// The descriptor this process holds open on a path, or -1.
int OpenDescriptorOf(const std::string& path) {
    DIR* d = ::opendir("/proc/self/fd");
    if (!d)
        return -1;
    int found = -1;
    while (dirent* e = ::readdir(d)) {
        char target[PATH_MAX];
        const std::string link = std::string("/proc/self/fd/") + e->d_name;
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, std::size_t(n)) == path)
            found = std::atoi(e->d_name);
    }
    ::closedir(d);
    return found;
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

// The local file stops being readable in mid-upload (its descriptor is made
// a directory's): the server must see a reset, never a clean end, and the
// request fails even when the server then says the file was stored.
TEST_F(FtpClientTest, AnUploadWhoseFileCannotBeReadIsResetAndEnds426) {
    const std::string big = qordex::test::RandomBytes(4 << 20, 11);
    Spit(Local("big"), big);
    for (const char* final : {"226 stored", "426 Connection reset"}) {
        SCOPED_TRACE(final);
        FtpScript s;
        s.Login().Reply("TYPE I", "200 binary").Pasv().Accept().Expect("STOR big");
        s.Send("150 go\r\n").DataRecv().Send(std::string(final) + "\r\n").WaitEof(1);
        ScriptedFtpServer srv(s);
        FtpClientProbe p(srv.Port());
        p.Files("big", Local("big"), true);
        const int dirFd = ::open(dir.path().toStdString().c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_GE(dirFd, 0);
        bool swapped = false;
        p.client.OnProgress = [&](TCustomFtpCli*, std::int64_t count, bool&) {
            if (swapped || count == 0)
                return;
            const int fd = OpenDescriptorOf(Local("big"));
            ASSERT_GE(fd, 0);
            ASSERT_EQ(::dup2(dirFd, fd), fd);
            swapped = true;
        };
        EXPECT_EQ(p.Run(&TCustomFtpCli::TransmitAsync), 426);
        EXPECT_TRUE(swapped);
        EXPECT_TRUE(p.Shown("! Error reading file ")) << ::testing::PrintToString(p.display);
        EXPECT_EQ(p.client.ErrorMessage().rfind("426 Error reading file ", 0), 0u)
            << p.client.ErrorMessage();
        EXPECT_EQ(p.client.State(), ftpReady);
        const auto t = srv.Transcript();
        EXPECT_TRUE(HasPrefix(t, "D: RESET")) << ::testing::PrintToString(t);
        EXPECT_EQ(t.back(), "OPEN"); // a failed upload sends no QUIT
        ::close(dirFd);
    }
}

// A download resumed past 4 GiB (a sparse local file) reports its progress
// from the resume point on, without wrapping at 32 bits.
TEST_F(FtpClientTest, ProgressPastFourGibibytesIsNotWrapped) {
    const std::int64_t at = (std::int64_t(5) << 30) + 3;
    Spit(Local("huge"), "");
    if (::truncate(Local("huge").c_str(), at) != 0)
        GTEST_SKIP() << "no sparse file of 5 GiB here: " << std::strerror(errno);
    FtpScript s;
    s.Login().Reply("TYPE I", "200 binary").Pasv();
    s.Reply("REST " + std::to_string(at), "350 Restarting").Expect("RETR huge").Accept();
    s.Send("150 go\r\n").DataSend("tail").DataClose().Send("226 done\r\n");
    s.Reply("QUIT", "221 bye").WaitEof();
    ScriptedFtpServer srv(s);
    FtpClientProbe p(srv.Port());
    p.Files("huge", Local("huge"), true);
    std::int64_t least = -1, most = -1;
    p.client.OnProgress = [&](TCustomFtpCli*, std::int64_t count, bool&) {
        least = least < 0 ? count : std::min(least, count);
        most = std::max(most, count);
    };
    EXPECT_EQ(p.Run(&TCustomFtpCli::RestartGetAsync), 0);
    EXPECT_GE(least, at);
    EXPECT_GT(least, std::int64_t(UINT32_MAX));
    EXPECT_EQ(most, at + 4);
    struct stat st {};
    ASSERT_EQ(::stat(Local("huge").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, at + 4);
    EXPECT_TRUE(Has(srv.Transcript(), "C: QUIT"));
}

// Through an FTP proxy the control connection goes to the proxy's FTP port,
// the target rides in USER, and data goes passive to the proxy.  The proxy
// is a scripted server on another loopback address, port 21.
TEST_F(FtpClientTest, AnFtpProxyGetsTheTargetInUserAndCarriesTheTransfer) {
    const std::string payload = qordex::test::RandomBytes(200000, 12);
    const struct {
        const char* port;
        const char* user;
    } cases[] = {
        {"2121", "USER anonymous@127.0.0.1:2121"},
        {"FTP", "USER anonymous@127.0.0.1"},
        {"21", "USER anonymous@127.0.0.1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.port);
        FtpScript s;
        s.Send("220 proxy ready\r\n").Reply(c.user, "331 password");
        s.Reply("PASS guest", "230 logged in").Reply("TYPE I", "200 binary");
        s.Pasv("127,0,0,5").Expect("RETR a.bin").Accept().Send("150 opening\r\n");
        s.DataSend(payload).DataClose().Send("226 done\r\n");
        s.Reply("QUIT", "221 bye").WaitEof();
        ScriptedFtpServer srv(s, "127.0.0.5", "21");
        if (!srv.BindFailed().empty())
            GTEST_SKIP() << "port 21 on 127.0.0.5 cannot be had: " << srv.BindFailed();
        FtpClientProbe p("2121");
        p.client.SetPort(c.port);
        p.client.SetConnectionType(ftpProxy);
        p.client.SetProxyServer("127.0.0.5");
        p.Files("a.bin", Local("a.bin"), false); // a proxy forces passive mode
        EXPECT_EQ(p.Run(&TCustomFtpCli::ReceiveAsync), 0) << p.client.ErrorMessage();
        EXPECT_EQ(Slurp(Local("a.bin")), payload);
        EXPECT_FALSE(p.Shown("! Passive address"));
        const auto t = srv.Transcript();
        ASSERT_FALSE(t.empty());
        EXPECT_EQ(t[0], std::string("C: ") + c.user);
        EXPECT_TRUE(Has(t, "C: PASV"));
        EXPECT_TRUE(Has(t, "C: QUIT"));
    }
}

// With bandwidth control both directions still carry every byte, and the
// limit holds them back: only a lower bound on the time is checked, which
// a loaded machine can only make easier to meet.
TEST_F(FtpClientTest, TheBandwidthLimitSlowsBothDirectionsAndLosesNothing) {
    const std::string payload = qordex::test::RandomBytes(300000, 13);
    Spit(Local("up"), payload);
    for (bool upload : {false, true}) {
        SCOPED_TRACE(upload ? "upload" : "download");
        FtpScript s;
        s.Login().Reply("TYPE I", "200 binary").Pasv();
        if (upload) {
            s.Accept().Expect("STOR up").Send("150 go\r\n").DataRecv();
        } else {
            s.Expect("RETR down").Accept().Send("150 go\r\n").DataSend(payload).DataClose();
        }
        s.Send("226 done\r\n").Reply("QUIT", "221 bye").WaitEof();
        ScriptedFtpServer srv(s);
        FtpClientProbe p(srv.Port());
        p.client.SetOptions(TFtpOptions(ftpBandwidthControl));
        p.client.SetBandwidthLimit(100000);
        p.client.SetBandwidthSampling(100);
        const auto start = std::chrono::steady_clock::now();
        if (upload) {
            p.Files("up", Local("up"), true);
            EXPECT_EQ(p.Run(&TCustomFtpCli::TransmitAsync, 60000), 0) << p.client.ErrorMessage();
        } else {
            p.Files("down", Local("down"), true);
            EXPECT_EQ(p.Run(&TCustomFtpCli::ReceiveAsync, 60000), 0) << p.client.ErrorMessage();
            EXPECT_EQ(Slurp(Local("down")), payload);
        }
        // 300000 bytes at 100000 per second, less one period's allowance.
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
        const auto t = srv.Transcript();
        if (upload) {
            EXPECT_TRUE(Has(t, DataLine(payload))) << ::testing::PrintToString(t);
        }
        EXPECT_TRUE(Has(t, "C: QUIT"));
    }
}

TEST_F(FtpClientTest, MlsdStoresTheMachineListing) {
    const std::string listing = "type=dir;modify=20240101000000; pub\r\n"
                                "type=file;size=5;modify=20240101000000; a b.txt\r\n";
    FtpScript s;
    s.Login().Pasv().Expect("MLSD").Accept().Send("150 listing\r\n");
    s.DataSend(listing).DataClose().Send("226 done\r\n").Reply("QUIT", "221 bye").WaitEof();
    ScriptedFtpServer srv(s);
    FtpClientProbe p(srv.Port());
    ASSERT_EQ(p.Run(&TCustomFtpCli::ConnectAsync), 0);
    p.Files("", Local("list"), true);
    EXPECT_EQ(p.Run(&TCustomFtpCli::MlsdAsync), 0) << p.client.ErrorMessage();
    EXPECT_EQ(p.done.back().first, ftpMlsdAsync);
    EXPECT_EQ(Slurp(Local("list")), listing);
    EXPECT_EQ(p.Run(&TCustomFtpCli::QuitAsync), 0);
    EXPECT_EQ(srv.Transcript(), (std::vector<std::string>{"C: USER anonymous", "C: PASS guest",
                                                          "C: PASV", "C: MLSD", "C: QUIT", "EOF"}));
}

TEST_F(FtpClientTest, AppendFileSendsTheWholeFileWithAppe) {
    const std::string payload = qordex::test::RandomBytes(600000, 14);
    Spit(Local("more"), payload);
    FtpScript s;
    s.Login().Reply("TYPE I", "200 binary").Pasv().Accept().Expect("APPE log.bin");
    s.Send("150 appending\r\n").DataRecv().Send("226 appended\r\n");
    s.Reply("QUIT", "221 bye").WaitEof();
    ScriptedFtpServer srv(s);
    FtpClientProbe p(srv.Port());
    p.Files("log.bin", Local("more"), true);
    EXPECT_EQ(p.Run(&TCustomFtpCli::AppendFileAsync), 0) << p.client.ErrorMessage();
    EXPECT_EQ(p.done.back().first, ftpTransmitAsync);
    EXPECT_EQ(p.client.LastResponse(), "226 appended");
    const auto t = srv.Transcript();
    EXPECT_TRUE(Has(t, DataLine(payload))) << ::testing::PrintToString(t);
    EXPECT_FALSE(HasPrefix(t, "C: STOR"));
    EXPECT_EQ(t.back(), "EOF");
}

} // namespace
