// qordex-cli udp-listen and broadcast against real peers: socat and Python
// on loopback, and broadcasts between two network namespaces made here.

#include "support/NetNs.h"
#include "support/Process.h"
#include "tools/BroadcastPair.h"
#include "tools/UdpTestUtil.h"

#include <csignal>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace qordex::test;

namespace {

std::string Cli() {
    return BinPath("qordex-cli");
}

// A listener started through the command line; ready once it said so.
struct CliListener {
    Background process;
    explicit CliListener(std::vector<std::string> args, const NetNs* ns = nullptr)
        : process(Argv(std::move(args), ns)) {}
    static std::vector<std::string> Argv(std::vector<std::string> args, const NetNs* ns) {
        args.insert(args.begin(), {Cli(), "udp-listen"});
        return ns ? ns->Wrap(args) : args;
    }
    bool Ready() { return WaitForOutput(process, "Server started\n"); }
};

// Sends `bytes` from Python's socket module; returns the source port, 0 on failure.
int PythonSend(int port, const std::string& bytes) {
    auto r = qordex::test::Run({"/usr/bin/python3", "-c",
                                "import socket,sys\n"
                                "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
                                "s.bind(('127.0.0.1',0))\n"
                                "s.sendto(sys.stdin.buffer.read(),('127.0.0.1'," +
                                    std::to_string(port) +
                                    "))\n"
                                    "print(s.getsockname()[1])\n"},
                               bytes);
    return r.status == 0 ? std::atoi(r.out.c_str()) : 0;
}

bool SocatSend(int port, const std::string& bytes, int sourcePort, const char* from) {
    auto r = qordex::test::Run({"socat", "-u", "-",
                                "UDP-SENDTO:127.0.0.1:" + std::to_string(port) +
                                    ",sourceport=" + std::to_string(sourcePort) + ",bind=" + from},
                               bytes);
    return r.status == 0;
}

#define REQUIRE_SOCAT()                                                                            \
    do {                                                                                           \
        if (!HasProgram("socat"))                                                                  \
            GTEST_SKIP() << "socat is not installed";                                              \
    } while (0)

} // namespace

TEST(UdpListenCli, PrintsTheSenderLineThenTheDataLines) {
    REQUIRE_SOCAT();
    const int port = FreeUdpPort();
    const int socatPort = FreeUdpPort();
    CliListener l({"--port", std::to_string(port), "--count", "3"});
    ASSERT_TRUE(l.Ready()) << l.process.Output();
    ASSERT_TRUE(SocatSend(port, "hi", socatPort, "127.0.0.1"));
    const int py1 = PythonSend(port, "hello\r\nworld");
    const int py2 = PythonSend(port, "\r\n"); // its sender, and no data line
    ASSERT_TRUE(py1 && py2);
    ASSERT_EQ(l.process.Wait(10000), 0);
    EXPECT_EQ(l.process.Output(), "Server started\n"
                                  "127.0.0.1:" +
                                      std::to_string(socatPort) +
                                      "\nhi\n"
                                      "127.0.0.1:" +
                                      std::to_string(py1) +
                                      "\nhello\nworld\n"
                                      "127.0.0.1:" +
                                      std::to_string(py2) +
                                      "\n"
                                      "Server closed.\n");
}

TEST(UdpListenCli, NoLineEndAndSenderFilter) {
    REQUIRE_SOCAT();
    using namespace std::string_literals;
    const int port = FreeUdpPort();
    const int from1 = FreeUdpPort();
    const int from2 = FreeUdpPort();
    CliListener l(
        {"--port=" + std::to_string(port), "--filter", "127.0.0.2", "--no-line-end", "--count=1"});
    ASSERT_TRUE(l.Ready()) << l.process.Output();
    ASSERT_TRUE(SocatSend(port, "from elsewhere", from1, "127.0.0.1"));
    ASSERT_TRUE(SocatSend(port, "a\r\nb\0c"s, from2, "127.0.0.2"));
    ASSERT_EQ(l.process.Wait(10000), 0);
    EXPECT_EQ(l.process.Output(),
              "Server started\n127.0.0.2:" + std::to_string(from2) + "\na\r\nb\nServer closed.\n");
}

TEST(UdpListenCli, LongDatagramShowsItsFirst1024Bytes) {
    const int port = FreeUdpPort();
    CliListener l({"--port", std::to_string(port), "--count", "1", "--no-line-end"});
    ASSERT_TRUE(l.Ready());
    std::string big;
    for (int i = 0; i < 1500; ++i)
        big += char('a' + i % 26);
    const int from = PythonSend(port, big);
    ASSERT_NE(from, 0);
    ASSERT_EQ(l.process.Wait(10000), 0);
    EXPECT_EQ(l.process.Output(), "Server started\n127.0.0.1:" + std::to_string(from) + "\n" +
                                      big.substr(0, 1024) + "\nServer closed.\n");
}

TEST(UdpListenCli, InterruptClosesTheServer) {
    const int port = FreeUdpPort();
    CliListener l({"--port", std::to_string(port)});
    ASSERT_TRUE(l.Ready());
    ASSERT_TRUE(l.process.Signal(SIGINT));
    EXPECT_EQ(l.process.Wait(10000), 0);
    EXPECT_EQ(l.process.Output(), "Server started\nServer closed.\n");
}

TEST(UdpListenCli, FailuresAndBadUsage) {
    PlainUdp taken("0.0.0.0");
    ASSERT_TRUE(taken.Ok());
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err; // a part of standard error
    } cases[] = {
        {{"--port", std::to_string(taken.Port())},
         1,
         "qordex-cli udp-listen: Error 10048 in function Bind\n"
         "qordex-cli udp-listen: Address already in use\n"},
        {{"--port", "0", "--filter", "no-such-host.invalid"}, 1, "Cannot convert host address"},
        {{"--port", "no-such-service-name"}, 1, "Cannot convert port"},
        {{"--port"}, 2, "--port needs a value"},
        {{"--count", "0"}, 2, "COUNT must be a whole number of at least 1 (got '0')"},
        {{"--count", "x"}, 2, "COUNT must be"},
        {{"--filter="}, 2, "--filter needs an address"},
        {{"extra"}, 2, "unexpected argument 'extra'"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {Cli(), "udp-listen"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto r = qordex::test::Run(argv, {}, 20000);
        EXPECT_EQ(r.status, c.status) << c.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find("Server started"), std::string::npos) << r.out;
    }
    auto help = qordex::test::Run({Cli(), "udp-listen", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--no-line-end"), std::string::npos);
}

TEST(UdpListenCli, DefaultPortNeedsPrivilegeAndSaysSo) {
    NetNs ns;
    QORDEX_REQUIRE_NETNS(ns);
    if (!HasProgram("setpriv"))
        GTEST_SKIP() << "setpriv is not installed";
    // Within the namespace, ports below 1024 are privileged whatever the machine says.
    ASSERT_EQ(ns.Exec("sysctl -qw net.ipv4.ip_unprivileged_port_start=1024").status, 0);
    auto asNobody = [&](std::vector<std::string> args) {
        std::vector<std::string> argv = {"setpriv",        "--reuid=65534", "--regid=65534",
                                         "--clear-groups", Cli(),           "udp-listen"};
        argv.insert(argv.end(), args.begin(), args.end());
        return qordex::test::Run(ns.Wrap(argv), {}, 20000);
    };
    auto r = asNobody({"--help"});
    if (r.status != 0)
        GTEST_SKIP() << "cannot run qordex-cli as nobody: " << r.err;
    r = asNobody({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "qordex-cli udp-listen: Error 10013 in function Bind\n"
                     "qordex-cli udp-listen: Permission denied\n"
                     "qordex-cli udp-listen: Ports below 1024 need root (or the capability "
                     "cap_net_bind_service).\n");
    EXPECT_EQ(r.out, "");
}

TEST(BroadcastCli, SendsOneDatagramToAHost) {
    PlainUdp peer;
    ASSERT_TRUE(peer.Ok());
    const int localPort = FreeUdpPort();
    struct Case {
        std::vector<std::string> args;
        std::string payload;
        std::string line;
    } cases[] = {
        {{"--addr", "127.0.0.1", "--port", std::to_string(peer.Port()), "hi"}, "hi", ""},
        {{"--addr=127.0.0.1", "--port=" + std::to_string(peer.Port()), "--local-port",
          std::to_string(localPort), "hello", "world"},
         "hello world",
         "Sent 11 bytes to 127.0.0.1:" + std::to_string(peer.Port()) + " from port " +
             std::to_string(localPort) + "\n"},
        {{"--addr", "127.0.0.1", "--port", std::to_string(peer.Port()), "--", "--not-an-option"},
         "--not-an-option",
         ""},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {Cli(), "broadcast"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto r = qordex::test::Run(argv);
        ASSERT_EQ(r.status, 0) << r.err;
        std::string bytes;
        sockaddr_in from{};
        ASSERT_TRUE(peer.Receive(bytes, from));
        EXPECT_EQ(bytes, c.payload);
        const std::string line = "Sent " + std::to_string(c.payload.size()) +
                                 " bytes to 127.0.0.1:" + std::to_string(peer.Port()) +
                                 " from port " + std::to_string(ntohs(from.sin_port)) + "\n";
        EXPECT_EQ(r.out, line);
        if (!c.line.empty()) {
            EXPECT_EQ(r.out, c.line);
        }
    }
}

TEST(BroadcastCli, FailuresAndBadUsage) {
    PlainUdp taken("0.0.0.0");
    ASSERT_TRUE(taken.Ok());
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err;
    } cases[] = {
        {{"--addr", "127.0.0.1", "--local-port", std::to_string(taken.Port()), "hi"},
         1,
         "qordex-cli broadcast: winsock.bind failed, error #10048\n"},
        {{"--addr", "127.0.0.1", "--port", "no-such-service-name", "hi"}, 1, "Cannot convert port"},
        {{"--addr", "127.0.0.1", "--port", "9", std::string(70000, 'x')},
         1,
         "qordex-cli broadcast: Error 10040 in function"},
        {{"--addr", "127.0.0.1", ""}, 0, "the message is empty: nothing sent"},
        {{}, 2, "no message given"},
        {{"--port"}, 2, "--port needs a value"},
        {{"--colour", "hi"}, 2, "unknown option '--colour'"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {Cli(), "broadcast"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto r = qordex::test::Run(argv, {}, 20000);
        EXPECT_EQ(r.status, c.status) << c.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

// ---- broadcasts, only between namespaces made here ----

namespace {

CommandResult BroadcastFrom(const BroadcastPair& pair, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {Cli(), "broadcast"};
    argv.insert(argv.end(), args.begin(), args.end());
    return qordex::test::Run(pair.sender.Wrap(argv), {}, 20000);
}

} // namespace

TEST(BroadcastNamespace, SocatReceivesTheLimitedBroadcast) {
    REQUIRE_SOCAT();
    BroadcastPair pair;
    REQUIRE_PAIR(pair);
    // socat says nothing when it is ready: wait until its port is bound.
    Background socat(pair.receiver.Wrap({"socat", "-u", "UDP-RECV:600", "-"}));
    bool bound = false;
    for (int i = 0; i < 1000 && !bound; ++i) {
        bound = pair.receiver.Exec("ss -Hunl 'sport = :600' | grep -q 600").status == 0;
        if (!bound)
            usleep(10000);
    }
    ASSERT_TRUE(bound) << "socat did not bind";
    auto r = BroadcastFrom(pair, {"hi"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("Sent 2 bytes to 255.255.255.255:600 from port ", 0), 0u) << r.out;
    ASSERT_TRUE(WaitForOutput(socat, "hi"));
    EXPECT_EQ(socat.Output(), "hi"); // the datagram holds the text and nothing after it
}

TEST(BroadcastNamespace, OurListenerShowsTheSenderAndTheText) {
    BroadcastPair pair;
    REQUIRE_PAIR(pair);
    struct Case {
        std::vector<std::string> args;
        std::string sender; // the expected sender line; empty: any port of 10.7.0.1
    } cases[] = {
        {{"--port", "5600", "hi"}, ""},
        // Auto off: the datagram leaves from the chosen port.
        {{"--port", "5600", "--local-port", "7000", "hi"}, "10.7.0.1:7000"},
        // A directed broadcast and a single host reach it too.
        {{"--port", "5600", "--addr", "10.7.0.255", "hi"}, ""},
        {{"--port", "5600", "--addr", "10.7.0.2", "--local-port", "7001", "hi"}, "10.7.0.1:7001"},
    };
    for (const Case& c : cases) {
        CliListener l({"--port", "5600", "--count", "1"}, &pair.receiver);
        ASSERT_TRUE(l.Ready()) << l.process.Output();
        auto r = BroadcastFrom(pair, c.args);
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(l.process.Wait(10000), 0) << l.process.Output();
        const std::string out = l.process.Output();
        if (c.sender.empty())
            EXPECT_EQ(out.rfind("Server started\n10.7.0.1:", 0), 0u) << out;
        else
            EXPECT_EQ(out.rfind("Server started\n" + c.sender + "\n", 0), 0u) << out;
        const std::string tail = "\nhi\nServer closed.\n";
        ASSERT_GT(out.size(), tail.size());
        EXPECT_EQ(out.substr(out.size() - tail.size()), tail) << out;
    }
}

TEST(BroadcastNamespace, NoRouteFailsAndSaysWhy) {
    NetNs lonely; // only loopback: no way out for a broadcast
    QORDEX_REQUIRE_NETNS(lonely);
    auto r = qordex::test::Run(lonely.Wrap({Cli(), "broadcast", "hi"}), {}, 20000);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("qordex-cli broadcast: Error 10051"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Network is unreachable"), std::string::npos) << r.err;
}
