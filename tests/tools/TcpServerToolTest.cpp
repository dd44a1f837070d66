// The TCP server tool on loopback with plain sockets as its clients: the
// banner, echo, frame lines, the client limit, the line limit, stopping with
// clients connected, sending to a listed client; and qordex-cli tcp-server.

#include "net/ServerTestUtil.h"
#include "support/Process.h"
#include "tools/TcpServerTool.h"

#include <algorithm>
#include <csignal>
#include <gtest/gtest.h>
#include <memory>

using namespace qordex;
using namespace qordex::tools;
using namespace qordex::test;

namespace {

struct TcpServerFixture : ::testing::Test {
    TTcpServerTool tool;
    std::vector<std::string> status, data;
    std::vector<bool> running;

    void SetUp() override {
        tool.OnStatus = [this](const std::string& l) { status.push_back(l); };
        tool.OnData = [this](const std::string& l) { data.push_back(l); };
        tool.OnRunning = [this](bool r) { running.push_back(r); };
    }
    void Start(TcpServerSettings s = {}) {
        s.port = "0";
        ASSERT_TRUE(tool.Start(s));
    }
    std::string Port() { return tool.WSocketServer1.GetBoundPort(); }
    bool Has(const std::vector<std::string>& v, const std::string& text) {
        return std::any_of(v.begin(), v.end(),
                           [&](const std::string& l) { return l.find(text) != l.npos; });
    }
    bool WaitData(const std::string& text) {
        return Pump([&] { return Has(data, text); }, 20000);
    }
};

} // namespace

using TcpServerTool = TcpServerFixture;

// The data pane's lines carry the client's label before the first piece only.
TEST(TcpServerToolText, LabelledEntries) {
    const struct {
        std::string block;
        bool textMode;
        std::vector<std::string> entries;
    } cases[] = {
        {"a\r\nb\nc", true, {"h:1>a", "b", "c"}},
        {"a\r\n", true, {"h:1>a"}},
        {"a\r\nb", false, {"h:1>a\r\nb"}},
        {std::string("x\0y", 3), true, {"h:1>x"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ReceivedTextEntries("h:1>" + c.block, c.textMode), c.entries) << c.block;
}

TEST_F(TcpServerTool, BannerEchoAndFrameLines) {
    tool.Echo = true;
    tool.ShowFrame = true;
    Start();
    RawClient a(Port()), b(Port());
    ASSERT_TRUE(a.WaitFor("Welcome to Qordex TCP server\r\n"));
    ASSERT_TRUE(b.WaitFor("\r\n"));
    ASSERT_EQ(tool.Entries().size(), 2u);
    EXPECT_EQ(tool.Entries()[0].substr(0, 20), "00000001| 127.0.0.1:");
    a.Send("hello\r\nAB");
    // Echo returns each line with its terminator; "AB" waits for its end.
    ASSERT_TRUE(a.WaitFor("hello\r\n"));
    ASSERT_TRUE(WaitData(">hello"));
    EXPECT_TRUE(Has(data, "> 68 65 6C 6C 6F D A"));
    EXPECT_FALSE(Has(data, "AB"));
    a.Send("\r\n");
    ASSERT_TRUE(WaitData(">AB"));
    EXPECT_EQ(b.got, "Welcome to Qordex TCP server\r\n");
    EXPECT_TRUE(Has(status, "Client connected, remote: 127.0.0.1:"));
}

TEST_F(TcpServerTool, LineEndNoneShowsBlocksAndSendsNoTerminator) {
    TcpServerSettings s;
    s.lineEnd = LineEndFromItem("NO");
    s.banner = "hi";
    Start(s);
    RawClient a(Port());
    ASSERT_TRUE(a.WaitFor("hi"));
    a.Send("no end");
    ASSERT_TRUE(WaitData(">no end"));
    ASSERT_TRUE(tool.Send(tool.Entries()[0], "one\ntwo", true));
    ASSERT_TRUE(a.WaitFor("onetwo"));
    EXPECT_EQ(a.got, "hionetwo");
}

TEST_F(TcpServerTool, SendToAListedClientOnly) {
    Start();
    RawClient a(Port()), b(Port());
    ASSERT_TRUE(a.WaitFor("\r\n"));
    ASSERT_TRUE(b.WaitFor("\r\n"));
    ASSERT_TRUE(Pump([&] { return tool.Entries().size() == 2; }));
    const std::string entryB = tool.Entries()[1];
    ASSERT_TRUE(tool.Send(entryB, "first\nsecond", false));
    ASSERT_TRUE(b.WaitFor("first\r\n"));
    ASSERT_TRUE(tool.Send(entryB, "x\ny", true));
    ASSERT_TRUE(b.WaitFor("x\r\ny\r\n"));
    EXPECT_EQ(b.got.find("second"), std::string::npos);
    EXPECT_TRUE(Has(status, entryB.substr(10) + "< first"));
    EXPECT_TRUE(Has(status, entryB.substr(10) + "< y"));
    // A client that went away: its entry does nothing.
    b.Close();
    ASSERT_TRUE(Pump([&] { return tool.Entries().size() == 1; }, 20000));
    EXPECT_FALSE(tool.Send(entryB, "late", false));
    tool.Disconnect(entryB);
    EXPECT_FALSE(tool.Send("garbage", "late", false));
    EXPECT_EQ(a.got, "Welcome to Qordex TCP server\r\n");
}

TEST_F(TcpServerTool, MaxClientsRefusesTheNextOne) {
    TcpServerSettings s;
    s.maxClients = "1";
    Start(s);
    RawClient a(Port());
    ASSERT_TRUE(a.WaitFor("\r\n"));
    RawClient b(Port());
    ASSERT_TRUE(b.WaitEnd());
    EXPECT_EQ(b.got, "Sorry, too many clients\r\n");
    ASSERT_TRUE(Pump([&] { return Has(status, "Client disconnected: "); }, 20000));
    EXPECT_EQ(tool.Entries().size(), 1u);
    EXPECT_FALSE(a.eof);
}

TEST_F(TcpServerTool, BadMaxClientsLeavesTheToolStopped) {
    TcpServerSettings s;
    s.port = "0";
    s.maxClients = "many";
    EXPECT_FALSE(tool.Start(s));
    EXPECT_FALSE(tool.Running());
    EXPECT_EQ(status, (std::vector<std::string>{"Starting TCP server...",
                                                "'many' is not a valid integer value"}));
    EXPECT_EQ(running, std::vector<bool>{false});
    // The next start works.
    s.maxClients.clear();
    EXPECT_TRUE(tool.Start(s));
}

TEST_F(TcpServerTool, PortInUseLeavesTheToolStopped) {
    Start();
    TTcpServerTool other;
    std::vector<std::string> lines;
    other.OnStatus = [&](const std::string& l) { lines.push_back(l); };
    TcpServerSettings s;
    s.port = Port();
    EXPECT_FALSE(other.Start(s));
    EXPECT_FALSE(other.Running());
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(lines[1].find("10048"), std::string::npos) << lines[1];
}

TEST_F(TcpServerTool, LineLimitClosesTheClient) {
    Start();
    RawClient a(Port());
    ASSERT_TRUE(a.WaitFor("\r\n"));
    a.Send(std::string(TTcpServerTool::kLineLimit + 10, 'z'));
    ASSERT_TRUE(a.WaitEnd(20000));
    ASSERT_TRUE(Pump([&] { return Has(status, "Client disconnected: "); }, 20000));
    EXPECT_TRUE(Has(status, "Line limit exceeded from 127.0.0.1. Closing."));
    EXPECT_FALSE(Has(data, "zzz"));
}

TEST_F(TcpServerTool, StopWithClientsClosesThemAfterServerClosed) {
    Start();
    RawClient a(Port()), b(Port());
    ASSERT_TRUE(a.WaitFor("\r\n"));
    ASSERT_TRUE(b.WaitFor("\r\n"));
    ASSERT_TRUE(Pump([&] { return tool.Entries().size() == 2; }));
    status.clear();
    tool.Stop();
    EXPECT_FALSE(tool.Running());
    EXPECT_TRUE(tool.Entries().empty());
    EXPECT_TRUE(a.WaitEnd());
    EXPECT_TRUE(b.WaitEnd());
    ASSERT_TRUE(Pump([&] { return status.size() == 5; }, 20000));
    EXPECT_EQ(status[0].rfind("Server disconnecting [00000001| 127.0.0.1:", 0), 0u);
    EXPECT_EQ(status[1].rfind("Server disconnecting [00000002| 127.0.0.1:", 0), 0u);
    EXPECT_EQ(status[2], "Server closed.");
    EXPECT_EQ(status[3].rfind("Client disconnected: 127.0.0.1:", 0), 0u);
    EXPECT_NE(status[4].find("   Duration: 00:00:0"), std::string::npos) << status[4];
}

TEST_F(TcpServerTool, HandlersMayStopTheServerFromData) {
    Start();
    tool.OnData = [this](const std::string&) {
        if (tool.Running())
            tool.Stop();
    };
    RawClient a(Port());
    ASSERT_TRUE(a.WaitFor("\r\n"));
    a.Send("one\r\ntwo\r\nthree\r\n");
    EXPECT_TRUE(a.WaitEnd());
    EXPECT_FALSE(tool.Running());
}

TEST(TcpServerCli, ServesLikeTheWindow) {
    const std::string port = std::to_string(FreeTcpPort());
    Background cli({BinPath("qordex-cli"), "tcp-server", "--port", port, "--banner", "hey",
                    "--echo", "--hex", "--line-end", "lf"});
    ASSERT_TRUE(WaitForOutput(cli, "Server started", 20000)) << cli.Output();
    {
        RawClient a(port);
        ASSERT_TRUE(a.WaitFor("hey\n"));
        a.Send("ping\n");
        ASSERT_TRUE(a.WaitFor("ping\n"));
        ASSERT_TRUE(WaitForOutput(cli, ">ping", 20000));
    }
    ASSERT_TRUE(WaitForOutput(cli, "Client disconnected: ", 20000));
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Wait(20000), 0);
    const std::string out = cli.Output();
    EXPECT_NE(out.find("> 70 69 6E 67 A\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Server closed."), std::string::npos) << out;

    const struct {
        std::vector<std::string> args;
        int status;
    } bad[] = {{{}, 2},
               {{"--port", port, "--line-end", "crcr"}, 2},
               {{"--port", port, "--max-clients", "x"}, 2},
               {{"--port", "no-such-service"}, 1}};
    for (const auto& b : bad) {
        std::vector<std::string> argv = {BinPath("qordex-cli"), "tcp-server"};
        argv.insert(argv.end(), b.args.begin(), b.args.end());
        const CommandResult r = qordex::test::Run(argv, {}, 30000);
        EXPECT_EQ(r.status, b.status) << r.out << r.err;
        EXPECT_FALSE(r.err.empty());
    }
}
