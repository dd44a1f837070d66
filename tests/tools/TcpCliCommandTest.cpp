// qordex-cli tcp-client against real peers: socat echo servers over TCP and
// UDP, microsocks in between, a closed port, and bad arguments.

#include "crypto/Digest.h"
#include "support/Process.h"
#include "support/TestData.h"
#include "tools/SocatEcho.h"

#include <QTemporaryDir>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

using namespace qordex;
using namespace qordex::test;

namespace {

CommandResult Cli(std::vector<std::string> args, const std::string& input = {}) {
    args.insert(args.begin(), {BinPath("qordex-cli"), "tcp-client"});
    return Run(args, input, 120000);
}

// Lines of printable text of random lengths, each ending with LF.
std::string RandomLines(std::size_t total, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s;
    while (s.size() < total) {
        const std::size_t len = gen() % 300;
        for (std::size_t i = 0; i < len; ++i)
            s += char(' ' + gen() % 95);
        s += '\n';
    }
    return s;
}

} // namespace

TEST(TcpClientCli, EchoesALineAndReportsTheSession) {
    if (!HasProgram("socat"))
        GTEST_SKIP() << "socat is not installed";
    SocatEcho echo;
    CommandResult r = Cli({"127.0.0.1", echo.Port()}, "hello\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "hello\n");
    const std::vector<std::string> err = SplitLines(r.err);
    ASSERT_EQ(err.size(), 3u) << r.err;
    EXPECT_EQ(err[0], "Connecting...");
    EXPECT_EQ(err[1].rfind("Connected, local port: ", 0), 0u);
    EXPECT_NE(err[1], "Connected, local port: 0");
    EXPECT_EQ(err[2], "Disconnected");
}

TEST(TcpClientCli, EightMebibytesOfLinesComeBackUnchanged) {
    if (!HasProgram("socat"))
        GTEST_SKIP() << "socat is not installed";
    SocatEcho echo;
    const std::string input = RandomLines(8u << 20, 7);
    CommandResult r = Cli({"127.0.0.1", echo.Port()}, input);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.size(), input.size());
    EXPECT_TRUE(crypto::Sha256(r.out) == crypto::Sha256(input));
}

TEST(TcpClientCli, LineEndsHexAndUdp) {
    if (!HasProgram("socat"))
        GTEST_SKIP() << "socat is not installed";
    SocatEcho tcp;
    struct Case {
        std::vector<std::string> options;
        std::string input, output;
    };
    const Case cases[] = {
        {{"--line-end", "lf"}, "one\ntwo\n", "one\ntwo\n"},
        {{"--line-end=cr"}, "x\n", "x\r\n"}, // CR alone ends no text line
        {{"--hex"}, "hi\n", " 68 69 D A\nhi\n"},
        {{"--line-end", "none"}, "ab\n", "ab\n"}, // sent bare, shown as one block
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"127.0.0.1", tcp.Port()});
        CommandResult r = Cli(args, c.input);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, c.output) << c.options[0];
    }

    SocatEcho udp(true);
    CommandResult r = Cli({"--udp", "--wait", "1", "127.0.0.1", udp.Port()}, "over udp\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "over udp\n") << r.err;
}

TEST(TcpClientCli, ThroughMicrosocksWithAuthentication) {
    if (!HasProgram("socat") || !HasProgram("microsocks"))
        GTEST_SKIP() << "socat or microsocks is not installed";
    SocatEcho echo;
    const int proxyPort = FreeTcpPort();
    Background proxy({"microsocks", "-i", "127.0.0.1", "-p", std::to_string(proxyPort), "-u",
                      "alice", "-P", "s3cret"});
    ASSERT_TRUE(WaitForTcpPort(proxyPort, 10000));
    const std::string socks = "127.0.0.1:" + std::to_string(proxyPort);
    // The proxy ends both sides as soon as ours ends, so the input stays
    // open (a named pipe held by the test) until the echo has come back.
    QTemporaryDir dir;
    const std::string fifo = dir.filePath("in").toStdString();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    Background cli({"/bin/sh", "-c", "exec \"$0\" tcp-client \"$@\" < \"" + fifo + "\"",
                    BinPath("qordex-cli"), "--socks", socks, "--socks-user", "alice",
                    "--socks-pass", "s3cret", "127.0.0.1", echo.Port()});
    const int in = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(in, 0);
    ASSERT_EQ(::write(in, "proxied\n", 8), 8);
    EXPECT_TRUE(WaitForOutput(cli, "proxied\n", 20000)) << cli.Output();
    ::close(in);
    EXPECT_EQ(cli.Wait(20000), 0);
    EXPECT_EQ(cli.Output(), "proxied\n");
    CommandResult refused = Cli({"--socks", socks, "127.0.0.1", echo.Port()}, "x\n");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("Can't connect, error #200"), std::string::npos) << refused.err;
}

TEST(TcpClientCli, FailuresAndBadUsage) {
    CommandResult refused = Cli({"127.0.0.1", std::to_string(FreeTcpPort())}, "x\n");
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "Connecting...\nCan't connect, error #10061\nDisconnected\n");
    EXPECT_TRUE(refused.out.empty());

    CommandResult error = Cli({"127.0.0.1", "no-such-service-here"}, "");
    EXPECT_EQ(error.status, 1);
    EXPECT_EQ(error.err, "Connecting...\nConnection error\n");

    const std::vector<std::vector<std::string>> bad = {
        {"127.0.0.1"},
        {"--line-end", "crcr", "127.0.0.1", "7"},
        {"--socks", "nohostport", "127.0.0.1", "7"},
        {"--socks-user", "u", "127.0.0.1", "7"},
        {"--udp", "--socks", "127.0.0.1:1080", "127.0.0.1", "7"},
        {"--wait", "0", "127.0.0.1", "7"},
        {"--bogus", "127.0.0.1", "7"},
    };
    for (const auto& args : bad) {
        CommandResult r = Cli(args);
        EXPECT_EQ(r.status, 2) << args[0];
        EXPECT_NE(r.err.find("qordex-cli tcp-client: "), std::string::npos) << r.err;
    }
    CommandResult help = Cli({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: qordex-cli tcp-client"), std::string::npos);
}
