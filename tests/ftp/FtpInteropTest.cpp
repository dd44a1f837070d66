// qordex-cli ftp against real servers from Debian, vsftpd and pyftpdlib, in
// passive and active mode: every command, transfers checked by SHA-256, and
// transfers cut by a killed server and then resumed.

#include "support/FtpPeers.h"
#include "support/Process.h"
#include "support/TestData.h"

#include <QTemporaryDir>
#include <chrono>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace qordex::test;

namespace {

long long FileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (long long)st.st_size : -1;
}

std::vector<std::string> Cli(int port, const std::vector<std::string>& args, bool active,
                             const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv = {BinPath("qordex-cli"), "ftp",    "--server",
                                     "127.0.0.1",           "--port", std::to_string(port)};
    if (active)
        argv.push_back("--active");
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

struct Peer {
    std::string name;
    std::unique_ptr<VsftpdPeer> vsftpd;
    std::unique_ptr<PyftpdPeer> pyftpd;
    std::string uploadDir;   // where uploads go, as the server names it
    std::string uploadLocal; // the same folder on disk
    std::vector<std::string> login;
};

class FtpInteropTest : public ::testing::TestWithParam<std::tuple<std::string, bool>> {
protected:
    QTemporaryDir local;
    QTemporaryDir served;
    Peer peer;

    void SetUp() override {
        const auto& [server, active] = GetParam();
        (void)active;
        ::chmod(served.path().toLocal8Bit().constData(), 0755);
        peer.name = server;
        if (server == "vsftpd") {
            peer.vsftpd = std::make_unique<VsftpdPeer>();
            if (!peer.vsftpd->Available())
                GTEST_SKIP() << peer.vsftpd->SkipReason();
            root_ = peer.vsftpd->Root();
            peer.uploadDir = "upload";
            peer.uploadLocal = peer.vsftpd->UploadDir();
            port_ = peer.vsftpd->Port();
        } else {
            root_ = served.path().toStdString();
            peer.pyftpd = std::make_unique<PyftpdPeer>(root_, "qordex", "s3cret");
            if (!peer.pyftpd->Available())
                GTEST_SKIP() << peer.pyftpd->SkipReason();
            ::mkdir((root_ + "/upload").c_str(), 0777);
            peer.uploadDir = "upload";
            peer.uploadLocal = root_ + "/upload";
            peer.login = {"--user", "qordex", "--password", "s3cret"};
            port_ = peer.pyftpd->Port();
        }
    }
    CommandResult Ftp(const std::vector<std::string>& args) {
        return qordex::test::Run(Cli(port_, args, std::get<1>(GetParam()), peer.login), {}, 120000);
    }
    std::string Local(const std::string& name) {
        return local.filePath(name.c_str()).toStdString();
    }

    std::string root_;
    int port_ = 0;
};

TEST_P(FtpInteropTest, TransfersKeepEveryByte) {
    for (long long size : {0LL, 65537LL, 20LL * 1024 * 1024 + 3}) {
        SCOPED_TRACE(size);
        const std::string name = "f" + std::to_string(size) + ".bin";
        const std::string sha = MakeFile(root_ + "/" + name, size, unsigned(size));
        ::chmod((root_ + "/" + name).c_str(), 0644);

        auto r = Ftp({"get", name, Local(name)});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(FileSha256(Local(name)), sha);

        r = Ftp({"put", Local(name), peer.uploadDir + "/" + name});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(FileSha256(peer.uploadLocal + "/" + name), sha);

        r = Ftp({"size", name});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "File size is " + std::to_string(size) + " bytes\n");
    }
}

TEST_P(FtpInteropTest, EveryCommand) {
    MakeFile(root_ + "/seen.txt", 10, 1);
    ::chmod((root_ + "/seen.txt").c_str(), 0644);
    const std::string up = peer.uploadDir;

    auto r = Ftp({"ls"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("seen.txt"), std::string::npos) << r.out;
    r = Ftp({"dir"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("seen.txt"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\r\n"), std::string::npos); // the listing's bytes, as sent

    ASSERT_EQ(Ftp({"mkdir", up + "/d"}).status, 0);
    struct stat st {};
    EXPECT_EQ(::stat((peer.uploadLocal + "/d").c_str(), &st), 0);
    MakeFile(Local("x"), 1000, 3);
    ASSERT_EQ(Ftp({"put", Local("x"), up + "/d/x"}).status, 0);
    r = Ftp({"rename", up + "/d/x", up + "/d/y"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = Ftp({"--dir", up + "/d", "ls"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find('y'), std::string::npos);
    r = Ftp({"dir", up + "/d"});
    EXPECT_NE(r.out.find(" y"), std::string::npos) << r.out;
    ASSERT_EQ(Ftp({"del", up + "/d/y"}).status, 0);
    ASSERT_EQ(Ftp({"rmdir", up + "/d"}).status, 0);
    EXPECT_NE(::stat((peer.uploadLocal + "/d").c_str(), &st), 0);

    r = Ftp({"quote", "NOOP"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, 4), "200 ");
    r = Ftp({"quote", "XQZY"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("Error = 500 (500 ", 0), 0u) << r.err;

    // Failures say why, and a missing file is not a success.
    r = Ftp({"get", "missing.bin", Local("missing.bin")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("Error = 550 (550 ", 0), 0u) << r.err;
    r = Ftp({"-v", "del", "missing.bin"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("> DELE missing.bin"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("< 550 "), std::string::npos) << r.err;
}

TEST_P(FtpInteropTest, AFullDiskIsAFailure) {
    if (::access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "/dev/full is not there";
    for (long long size : {1024LL, 1024LL * 1024}) {
        MakeFile(root_ + "/full.bin", size, 5);
        ::chmod((root_ + "/full.bin").c_str(), 0644);
        const auto r = Ftp({"get", "full.bin", "/dev/full"});
        EXPECT_EQ(r.status, 1) << size;
        EXPECT_NE(r.err.find("Error = 550"), std::string::npos) << r.err;
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpInteropTest,
                         ::testing::Combine(::testing::Values("vsftpd", "pyftpdlib"),
                                            ::testing::Bool()),
                         [](const auto& info) {
                             return std::get<0>(info.param) +
                                    (std::get<1>(info.param) ? "_active" : "_passive");
                         });

// A throttled server killed in the middle of a transfer: the command fails,
// what arrived stays, and --resume against a fresh server finishes the copy.
class FtpCutTest : public ::testing::Test {
protected:
    QTemporaryDir local, served;
    void SetUp() override {
        if (qordex::test::Run({"/usr/bin/python3", "-c", "import pyftpdlib"}).status != 0)
            GTEST_SKIP() << "python3-pyftpdlib is not installed";
        ::chmod(served.path().toLocal8Bit().constData(), 0755);
    }
    std::string Served(const char* n) { return served.filePath(n).toStdString(); }
    std::string Local(const char* n) { return local.filePath(n).toStdString(); }
    static std::vector<std::string> Cli(int port, std::vector<std::string> args) {
        std::vector<std::string> argv = {
            BinPath("qordex-cli"), "ftp",    "--server", "127.0.0.1",  "--port",
            std::to_string(port),  "--user", "u",        "--password", "p",
            "--timeout",           "30"};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }
    // Waits until `grown` says the transfer is under way, then kills the server.
    static void KillWhen(PyftpdPeer& server, const std::function<bool()>& grown) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!grown() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_TRUE(grown()) << "the transfer never started";
        server.Process().Signal(SIGKILL);
    }
};

TEST_F(FtpCutTest, ADownloadCutByAKilledServerResumes) {
    const long long size = 3 * 1024 * 1024 + 777;
    const std::string sha = MakeFile(Served("big.bin"), size, 11);
    {
        PyftpdPeer slow(served.path().toStdString(), "u", "p", 256 * 1024);
        ASSERT_TRUE(slow.Available()) << slow.SkipReason();
        Background get(Cli(slow.Port(), {"get", "big.bin", Local("big.bin")}));
        KillWhen(slow, [&] { return FileSize(Local("big.bin")) > 100000; });
        EXPECT_EQ(get.Wait(30000), 1);
    }
    long long partial = FileSize(Local("big.bin"));
    ASSERT_GT(partial, 0);
    ASSERT_LT(partial, size);
    if (partial % 65536 == 0) {
        // Go on from inside a block, where the buffered stream must keep
        // the bytes it did not receive again.
        partial -= 12345;
        ASSERT_EQ(::truncate(Local("big.bin").c_str(), partial), 0);
    }
    PyftpdPeer fresh(served.path().toStdString(), "u", "p");
    ASSERT_TRUE(fresh.Available());
    const auto r = qordex::test::Run(
        Cli(fresh.Port(), {"-v", "--resume", "get", "big.bin", Local("big.bin")}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("> REST " + std::to_string(partial)), std::string::npos) << r.err;
    EXPECT_EQ(FileSha256(Local("big.bin")), sha);
}

TEST_F(FtpCutTest, AnUploadCutByAKilledServerResumes) {
    const long long size = 3 * 1024 * 1024 + 555;
    const std::string sha = MakeFile(Local("up.bin"), size, 12);
    {
        PyftpdPeer slow(served.path().toStdString(), "u", "p", 256 * 1024);
        ASSERT_TRUE(slow.Available()) << slow.SkipReason();
        Background put(Cli(slow.Port(), {"put", Local("up.bin"), "up.bin"}));
        KillWhen(slow, [&] { return FileSize(Served("up.bin")) > 100000; });
        EXPECT_EQ(put.Wait(30000), 1);
    }
    const long long partial = FileSize(Served("up.bin"));
    ASSERT_GT(partial, 0);
    ASSERT_LT(partial, size);
    PyftpdPeer fresh(served.path().toStdString(), "u", "p");
    ASSERT_TRUE(fresh.Available());
    const auto r =
        qordex::test::Run(Cli(fresh.Port(), {"-v", "--resume", "put", Local("up.bin"), "up.bin"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("> REST " + std::to_string(partial)), std::string::npos) << r.err;
    EXPECT_EQ(FileSha256(Served("up.bin")), sha);
}

TEST(FtpCliUsage, BadUsageExits2) {
    const std::vector<std::vector<std::string>> cases = {
        {"ls"},                                        // no server
        {"--server", "h"},                             // no command
        {"--server", "h", "frobnicate"},               // unknown command
        {"--server", "h", "get"},                      // missing argument
        {"--server", "h", "rename", "a"},              // missing argument
        {"--server", "h", "--port", "99999", "ls"},    // bad port
        {"--server", "h", "--timeout", "x", "ls"},     // bad timeout
        {"--server", "h", "--socks", "nocolon", "ls"}, // bad proxy
        {"--server", "h", "--socks-level", "6", "ls"}, // bad level
        {"--server", "h", "quote", "NOOP\r\nDELE x"},  // a smuggled command
        {"--server", "h", "--bogus", "ls"},            // unknown option
    };
    for (const auto& args : cases) {
        std::vector<std::string> argv = {BinPath("qordex-cli"), "ftp"};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto r = qordex::test::Run(argv);
        EXPECT_EQ(r.status, 2) << ::testing::PrintToString(args) << r.err;
    }
    EXPECT_EQ(qordex::test::Run({BinPath("qordex-cli"), "ftp", "--help"}).status, 0);
}

} // namespace

namespace {

// Through SOCKS proxies from Debian: the control and the data connections
// both go through the proxy (passive mode is forced), to pyftpdlib.
class FtpSocksTest : public ::testing::Test {
protected:
    QTemporaryDir local, served, proxyDir;
    std::unique_ptr<PyftpdPeer> ftp;
    std::unique_ptr<Background> proxy;
    int proxyPort = FreeTcpPort();
    std::string sha;

    void SetUp() override {
        ::chmod(served.path().toLocal8Bit().constData(), 0755);
        sha = MakeFile(served.filePath("s.bin").toStdString(), 300000 + 17, 21);
        ftp = std::make_unique<PyftpdPeer>(served.path().toStdString(), "u", "p");
        if (!ftp->Available())
            GTEST_SKIP() << ftp->SkipReason();
    }
    bool StartProxy(const std::vector<std::string>& argv) {
        proxy = std::make_unique<Background>(argv);
        return WaitForTcpPort(proxyPort, 10000);
    }
    CommandResult Ftp(std::vector<std::string> socks, std::vector<std::string> args) {
        std::vector<std::string> argv = {BinPath("qordex-cli"),
                                         "ftp",
                                         "--server",
                                         "127.0.0.1",
                                         "--port",
                                         std::to_string(ftp->Port()),
                                         "--user",
                                         "u",
                                         "--password",
                                         "p",
                                         "--active",
                                         "--socks",
                                         "127.0.0.1:" + std::to_string(proxyPort)};
        argv.insert(argv.end(), socks.begin(), socks.end());
        argv.insert(argv.end(), args.begin(), args.end());
        return qordex::test::Run(argv, {}, 60000);
    }
    // A download, a listing and an upload, all through the proxy.
    void RoundTrip(const std::vector<std::string>& socks) {
        const std::string got = local.filePath("s.bin").toStdString();
        auto r = Ftp(socks, {"-v", "get", "s.bin", got});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find("> PASV"), std::string::npos) << "a proxy forces passive mode";
        EXPECT_EQ(FileSha256(got), sha);
        r = Ftp(socks, {"ls"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("s.bin"), std::string::npos);
        r = Ftp(socks, {"put", got, "back.bin"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(FileSha256(served.filePath("back.bin").toStdString()), sha);
    }
};

TEST_F(FtpSocksTest, Microsocks5WithAndWithoutPassword) {
    if (!HasProgram("microsocks"))
        GTEST_SKIP() << "microsocks is not installed (scripts/install-deps.sh installs it)";
    {
        ASSERT_TRUE(StartProxy({"microsocks", "-i", "127.0.0.1", "-p", std::to_string(proxyPort)}));
        RoundTrip({});
        proxy.reset();
    }
    ASSERT_TRUE(StartProxy({"microsocks", "-i", "127.0.0.1", "-p", std::to_string(proxyPort), "-u",
                            "alice", "-P", "s3cret"}));
    RoundTrip({"--socks-user", "alice", "--socks-pass", "s3cret"});
    const auto r = Ftp({"--socks-user", "alice", "--socks-pass", "guess"}, {"ls"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("SOCKS"), std::string::npos) << r.err;
}

TEST_F(FtpSocksTest, DanteVersions4And5) {
    if (!HasProgram("danted"))
        GTEST_SKIP() << "dante-server is not installed (scripts/install-deps.sh installs it)";
    const std::string conf = proxyDir.filePath("danted.conf").toStdString();
    const std::string log = proxyDir.filePath("danted.log").toStdString();
    std::ofstream(conf) << "logoutput: " << log << "\ninternal: 127.0.0.1 port = " << proxyPort
                        << "\nexternal: 127.0.0.1\nclientmethod: none\nsocksmethod: none\n"
                        << "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                        << "socks pass { from: 127.0.0.0/8 to: 127.0.0.0/8 command: connect }\n";
    if (!StartProxy({"danted", "-f", conf, "-p", proxyDir.filePath("danted.pid").toStdString(),
                     "-N", "1"})) {
        if (::geteuid() != 0)
            GTEST_SKIP() << "dante does not start without root";
        FAIL() << "dante did not start";
    }
    for (const char* level : {"5", "4"}) {
        SCOPED_TRACE(level);
        RoundTrip({"--socks-level", level});
    }
}

} // namespace
