// The FTP server engine in the test's own loop, with plain sockets as
// clients: its defaults (nobody logs in without a handler), events, the
// client limit, the passive port range and removing every client.

#include "ftp/FtpSrv.h"
#include "net/ServerTestUtil.h"
#include "support/Process.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace qordex;
using namespace qordex::ftp;
using qordex::test::RawClient;

namespace {

struct Engine : ::testing::Test {
    QTemporaryDir dir;
    TFtpServer server;
    std::vector<std::string> events;
    std::string port;

    void Start() {
        server.Addr = "127.0.0.1";
        server.Port = "0";
        server.OnClientConnect = [this](TFtpServer*, TFtpCtrlSocket* c, int) {
            c->HomeDir = dir.path().toStdString();
            events.push_back("connect " + std::to_string(c->ID));
        };
        server.OnClientDisconnect = [this](TFtpServer*, TFtpCtrlSocket* c, int) {
            events.push_back("disconnect " + std::to_string(c->ID));
        };
        server.Start();
        ASSERT_TRUE(server.Active());
        port = server.BoundPort();
    }
    // Sends a line and waits for the reply line that follows.
    std::string Ask(RawClient& c, const std::string& line) {
        const std::size_t before = c.got.size();
        c.Send(line + "\r\n");
        test::Pump(
            [&] {
                c.Poll();
                return c.got.find("\r\n", before) != std::string::npos || c.eof || c.error;
            },
            10000);
        const std::size_t end = c.got.find("\r\n", before);
        return end == std::string::npos ? std::string() : c.got.substr(before, end - before);
    }
};

TEST_F(Engine, NobodyLogsInWithoutAnAuthenticateHandler) {
    Start();
    RawClient c(port);
    ASSERT_TRUE(c.WaitFor("220 Qordex FTP Server ready.\r\n"));
    EXPECT_EQ(Ask(c, "USER anyone"), "331 Password required for anyone.");
    EXPECT_EQ(Ask(c, "PASS anything"), "530 Login incorrect.");
    EXPECT_EQ(Ask(c, "PWD"), "530 Please login with USER and PASS.");
}

TEST_F(Engine, EventsShapeTheDialogue) {
    server.OnAuthenticate = [](TFtpServer*, TFtpCtrlSocket*, const std::string& u,
                               const std::string&, bool& ok) { ok = u == "me"; };
    server.OnClientCommand = [](TFtpServer*, TFtpCtrlSocket*, std::string& kw, std::string&,
                                std::string& answer) {
        if (kw == "HELP")
            answer = "214 no help here";
    };
    server.OnAnswerToClient = [](TFtpServer*, TFtpCtrlSocket*, std::string& a) {
        if (a.rfind("215", 0) == 0)
            a += " (edited)";
    };
    Start();
    RawClient c(port);
    ASSERT_TRUE(c.WaitFor("\r\n"));
    EXPECT_EQ(Ask(c, "HELP"), "214 no help here");
    EXPECT_EQ(Ask(c, "USER me"), "331 Password required for me.");
    EXPECT_EQ(Ask(c, "PASS x"), "230 User me logged in.");
    EXPECT_EQ(Ask(c, "SYST"), "215 UNIX Type: L8 Qordex (edited)");
    EXPECT_EQ(Ask(c, "FEAT"), "211-Extensions supported:");
    ASSERT_TRUE(c.WaitFor("211 END\r\n"));
    EXPECT_EQ(Ask(c, "QUIT"), "221 Goodbye.");
    EXPECT_TRUE(c.WaitEnd());
    ASSERT_TRUE(test::Pump([&] { return events.size() == 2; }, 10000));
    EXPECT_EQ(events, (std::vector<std::string>{"connect 1", "disconnect 1"}));
}

TEST_F(Engine, ClientLimitAndPassiveRange) {
    server.MaxClients = 1;
    server.OnAuthenticate = [](TFtpServer*, TFtpCtrlSocket*, const std::string&, const std::string&,
                               bool&) {};
    const int base = test::FreeTcpPort();
    server.SetPasvPortRangeSize(2);
    server.SetPasvPortRangeStart(base);
    Start();
    RawClient a(port);
    ASSERT_TRUE(a.WaitFor("220"));
    RawClient b(port);
    ASSERT_TRUE(b.WaitFor("421 Too many users connected.\r\n"));
    EXPECT_TRUE(b.WaitEnd());

    Ask(a, "USER x");
    ASSERT_EQ(Ask(a, "PASS y"), "230 User x logged in.");
    auto pasv = [&] { return Ask(a, "PASV"); };
    // A second PASV of the same client gives its port back first.
    const std::string first = pasv();
    EXPECT_EQ(first, "227 Entering Passive Mode (127,0,0,1," + std::to_string(base >> 8) + "," +
                         std::to_string(base & 255) + ").");
    EXPECT_EQ(pasv(), first);
    EXPECT_THROW(server.SetPasvPortRangeStart(base + 10), FtpServerException);
    EXPECT_THROW(server.SetPasvPortRangeSize(70000), std::range_error);

    // Every client goes, each announced once.
    server.DisconnectAll();
    EXPECT_EQ(server.ClientCount(), 0);
    EXPECT_TRUE(a.WaitEnd());
    server.SetPasvPortRangeStart(base + 10); // nothing is held any more
    test::Pump([] { return false; }, 50);
    EXPECT_EQ(std::count(events.begin(), events.end(), "disconnect 1"), 1);
    EXPECT_EQ(std::count(events.begin(), events.end(), "disconnect 2"), 1);
}

TEST_F(Engine, LineBufferLimit) {
    Start();
    RawClient c(port);
    ASSERT_TRUE(c.WaitFor("220"));
    // A line that fits (2046 bytes and CR LF) is a command.
    EXPECT_EQ(Ask(c, "NOOP " + std::string(2040, 'x')).substr(0, 3), "200");
    c.Send(std::string(2047, 'A'));
    ASSERT_TRUE(c.WaitFor("500 Command too long\r\n"));
    EXPECT_TRUE(c.WaitEnd());
}

} // namespace
