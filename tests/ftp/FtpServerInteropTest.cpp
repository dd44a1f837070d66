// The FTP server (qordex-cli ftp-server) with real clients: curl, Python's
// ftplib and our own qordex-cli ftp, passive and active, every transfer
// checked by SHA-256; and the command line's own behaviour.

#include "FtpSrvTestSupport.h"
#include "support/FtpPeers.h"

#include <QTemporaryDir>
#include <csignal>
#include <sys/stat.h>

using namespace qordex::test;

namespace {

std::string Sha(const std::string& path) {
    return FileSha256(path);
}

class FtpServerInterop : public ::testing::Test {
protected:
    void SetUp() override {
        root = dir.path().toStdString() + "/root";
        local = dir.path().toStdString() + "/local";
        ::mkdir(root.c_str(), 0755);
        ::mkdir(local.c_str(), 0755);
        ::mkdir((root + "/sub").c_str(), 0755);
        bigSha = MakeFile(root + "/big.bin", 5 * 1024 * 1024 + 17, 11);
    }
    std::string Url(const OurFtpServer& s, const std::string& path) const {
        return "ftp://127.0.0.1:" + std::to_string(s.Port()) + "/" + path;
    }
    CommandResult Curl(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {"curl", "-sS", "--max-time", "120", "-u", "u:p"};
        argv.insert(argv.end(), args.begin(), args.end());
        return qordex::test::Run(argv, {}, 180000);
    }
    QTemporaryDir dir;
    std::string root, local, bigSha;
};

TEST_F(FtpServerInterop, CurlPassiveAndActive) {
    if (!HasProgram("curl"))
        GTEST_SKIP() << "curl is not installed";
    OurFtpServer s(root, {"--allow", "get,put,rename,cwd"});
    ASSERT_TRUE(s.Started()) << s.Log();
    for (bool active : {false, true}) {
        SCOPED_TRACE(active ? "active" : "passive");
        std::vector<std::string> mode;
        if (active)
            mode = {"--ftp-port", "127.0.0.1"};
        auto with = [&](std::vector<std::string> a) {
            a.insert(a.begin(), mode.begin(), mode.end());
            return a;
        };
        auto r = Curl(with({"-o", local + "/got.bin", Url(s, "big.bin")}));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(Sha(local + "/got.bin"), bigSha);

        r = Curl(with({"-T", local + "/got.bin", Url(s, "sub/up.bin")}));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(Sha(root + "/sub/up.bin"), bigSha);

        // Resume: a local file cut short is completed from where it stops.
        ::truncate((local + "/got.bin").c_str(), 1234567);
        r = Curl(with({"-C", "-", "-o", local + "/got.bin", Url(s, "big.bin")}));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(Sha(local + "/got.bin"), bigSha);

        r = Curl(with({"--list-only", Url(s, "")}));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("big.bin\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("\nsub"), std::string::npos) << r.out;

        r = Curl(with({Url(s, "sub/")}));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(" up.bin"), std::string::npos) << r.out;

        r = Curl(with({"-Q", "RNFR sub/up.bin", "-Q", "RNTO sub/moved.bin", Url(s, "")}));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(Sha(root + "/sub/moved.bin"), bigSha);
        ::unlink((root + "/sub/moved.bin").c_str());
    }
    // curl asks for EPSV first and falls back to PASV on the 500.
    const std::string log = s.Log();
    EXPECT_NE(log.find("500 'EPSV': command not understood."), std::string::npos);
    EXPECT_NE(log.find("227 Entering Passive Mode"), std::string::npos);
    EXPECT_NE(log.find("200 Port command successful."), std::string::npos);
}

// A Python ftplib session; the script prints one result per line.
CommandResult Ftplib(int port, const std::string& body) {
    const std::string script =
        "import ftplib, hashlib, sys, io, threading\n"
        "port = int(sys.argv[1])\n"
        "def login():\n"
        "    f = ftplib.FTP()\n"
        "    f.connect('127.0.0.1', port, timeout=60)\n"
        "    f.login('u', 'p')\n"
        "    return f\n"
        "def sha(data): return hashlib.sha256(data).hexdigest()\n"
        "def get(f, name):\n"
        "    out = io.BytesIO()\n"
        "    f.retrbinary('RETR ' + name, out.write)\n"
        "    return out.getvalue()\n" +
        body;
    return qordex::test::Run({"/usr/bin/python3", "-c", script, std::to_string(port)}, {}, 180000);
}

TEST_F(FtpServerInterop, FtplibActivePassiveAndEdgeCases) {
    if (!HasProgram("/usr/bin/python3"))
        GTEST_SKIP() << "Python is not installed";
    WriteFile(root + "/k.bin", RandomBytes(1000, 5));
    WriteFile(root + "/over.txt", "old contents");
    OurFtpServer s(root);
    ASSERT_TRUE(s.Started()) << s.Log();
    const auto r = Ftplib(s.Port(), R"PY(
f = login()
for pasv in (True, False):
    f.set_pasv(pasv)
    print('big', pasv, sha(get(f, 'big.bin')))
f.set_pasv(True)
f.sendcmd('TYPE I')
f.sendcmd('REST 100')
print('rest', len(get(f, 'k.bin')))
f.storbinary('STOR over.txt', io.BytesIO(b''))
print('empty', f.size('over.txt'))
f.storbinary('APPE new.txt', io.BytesIO(b'abc'))
print('appe', f.sendcmd('SIZE new.txt'))
f.storbinary('APPE new.txt', io.BytesIO(b'def'))
print('appe2', get(f, 'new.txt'))
f.sendcmd('REST 1')
f.storbinary('STOR new.txt', io.BytesIO(b'ZZ'))
print('reststor', get(f, 'new.txt'))
names = set()
for i in range(20):
    conn, _ = f.ntransfercmd('STOU')
    conn.sendall(b'unique %d' % i)
    conn.close()
    reply = f.voidresp()
    names.add(reply.split("'")[1])
print('stou', len(names), all(n.startswith('FTP') for n in names))
print('missing', f.sendcmd('TYPE I'))
try:
    get(f, 'nothere')
except ftplib.error_perm as e:
    print('missing', str(e))
lines = []
f.retrlines('MLSD', lines.append)
print('mlsd', any(l.endswith('; big.bin') and 'size=5242897;type=file' in l for l in lines))
f.quit()
)PY");
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    const auto lines = SplitLines(r.out);
    const std::vector<std::string> want = {
        "big True " + bigSha,
        "big False " + bigSha,
        "rest 900",
        "empty 0",
        "appe 213 3",
        "appe2 b'abcdef'",
        "reststor b'aZZdef'",
        "stou 20 True",
        "missing 200 Type set to I.",
        "missing 501 Cannot RETR. File not found: \"/nothere\"",
        "mlsd True",
    };
    EXPECT_EQ(lines, want) << r.out;
    // Each STOU file holds what was sent to it; no temporary file is left.
    int stou = 0;
    for (const auto& name : SplitLines(qordex::test::Run({"ls", root}).out)) {
        EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
        if (name.rfind("FTP", 0) == 0) {
            ++stou;
            EXPECT_EQ(ReadFile(root + "/" + name).rfind("unique ", 0), 0u) << name;
        }
    }
    EXPECT_EQ(stou, 20);
}

TEST_F(FtpServerInterop, FiftyClientsAtOnceAndTheClientLimit) {
    WriteFile(root + "/m.bin", RandomBytes(1024 * 1024, 9));
    const std::string sha = Sha(root + "/m.bin");
    OurFtpServer s(root, {"--max-clients", "60"});
    ASSERT_TRUE(s.Started()) << s.Log();
    const auto r = Ftplib(s.Port(), R"PY(
results = []
barrier = threading.Barrier(50)
def one():
    try:
        f = login()
        barrier.wait(timeout=60)
        results.append(sha(get(f, 'm.bin')))
        f.quit()
    except Exception as e:
        results.append('error ' + repr(e))
threads = [threading.Thread(target=one) for _ in range(50)]
for t in threads: t.start()
for t in threads: t.join()
for r in sorted(set(results)): print(r, results.count(r))
)PY");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, sha + " 50\n");

    OurFtpServer two(root, {"--max-clients", "2"});
    ASSERT_TRUE(two.Started());
    FtpControl a(two.Port()), b(two.Port()), c(two.Port());
    EXPECT_EQ(a.Greeting(), "220 FTP Server ready.");
    EXPECT_EQ(b.Greeting(), "220 FTP Server ready.");
    EXPECT_EQ(c.Greeting(), "421 Too many users connected.");
    EXPECT_TRUE(c.ClosedByPeer());
    EXPECT_TRUE(a.Login());
}

TEST_F(FtpServerInterop, OurOwnClient) {
    OurFtpServer s(root, {"--allow", "get,put,rename,dele,mkd,rmd,cwd"});
    ASSERT_TRUE(s.Started()) << s.Log();
    for (bool active : {false, true}) {
        SCOPED_TRACE(active);
        std::vector<std::string> base = {BinPath("qordex-cli"), "ftp", "--server", "127.0.0.1",
                                         "--port", std::to_string(s.Port()), "--user", "u",
                                         "--password", "p"};
        if (active)
            base.push_back("--active");
        auto cli = [&](std::vector<std::string> a) {
            std::vector<std::string> argv = base;
            argv.insert(argv.end(), a.begin(), a.end());
            return qordex::test::Run(argv, {}, 120000);
        };
        auto r = cli({"get", "big.bin", local + "/c.bin"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(Sha(local + "/c.bin"), bigSha);
        r = cli({"put", local + "/c.bin", "sub/c.bin"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(Sha(root + "/sub/c.bin"), bigSha);
        r = cli({"ls", "sub/"});
        EXPECT_NE(r.out.find("c.bin"), std::string::npos) << r.out;
        r = cli({"rename", "sub/c.bin", "sub/d.bin"});
        EXPECT_EQ(r.status, 0) << r.err;
        r = cli({"del", "sub/d.bin"});
        EXPECT_EQ(r.status, 0) << r.err;
        r = cli({"mkdir", "made"});
        EXPECT_EQ(r.status, 0) << r.err;
        r = cli({"rmdir", "made"});
        EXPECT_EQ(r.status, 0) << r.err;
    }
}

TEST_F(FtpServerInterop, SpecialFilesAndBusyClients) {
    ASSERT_EQ(::mkfifo((root + "/fifo").c_str(), 0644), 0);
    const std::string huge = root + "/huge.bin";
    ASSERT_EQ(::truncate(((void)WriteFile(huge, ""), huge).c_str(), 200LL * 1024 * 1024), 0);
    OurFtpServer s(root);
    ASSERT_TRUE(s.Started()) << s.Log();
    FtpControl c(s.Port());
    ASSERT_TRUE(c.Login());
    // A FIFO is neither read nor written: nothing blocks on it.
    EXPECT_EQ(PassiveGet(c, "RETR fifo").first, "501 Cannot RETR. Not a regular file");
    EXPECT_EQ(PassivePut(c, "STOR fifo", "x").first, "501 Cannot STOR. Not a regular file");
    EXPECT_EQ(c.Cmd("MD5 fifo"), "550 MD5 SUM failed : 'Not a regular file'.");

    // A long MD5 leaves other clients served meanwhile.
    c.SendRaw("MD5 huge.bin\r\n");
    FtpControl other(s.Port());
    ASSERT_TRUE(other.Login());
    EXPECT_EQ(other.Cmd("NOOP"), "200 Ok. Parameter was ''.");
    pollfd p{c.Fd(), POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 0) << "the MD5 finished before another client was served";
    EXPECT_EQ(c.Reply(), "251 \"huge.bin\" 3566DE3A97906EDB98D004D6B947AE9B");

    // An over-long line is answered and ends the session.
    c.SendRaw(std::string(3000, 'A'));
    EXPECT_EQ(c.Reply(), "500 Command too long");
    EXPECT_TRUE(c.ClosedByPeer());
}

TEST_F(FtpServerInterop, CommandLine) {
    const std::string cli = BinPath("qordex-cli");
    struct Case {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{"--root", root}, 2},
        {{"--root", root, "--user", "u"}, 2},
        {{"--root", root, "--user", "u", "--password", "p", "--anonymous"}, 2},
        {{"--user", "u", "--password", "p"}, 2},
        {{"--root", root + "/nothere", "--anonymous"}, 2},
        {{"--root", root, "--anonymous", "--bogus"}, 2},
        {{"--root", root, "--anonymous", "--allow", "get,fly"}, 2},
        {{"--root", root, "--anonymous", "--max-clients", "0"}, 2},
        {{"--root", root, "--anonymous", "--pasv-range", "9-5"}, 2},
        {{"--root", root, "--anonymous", "--addr", "127.0.0.1", "--port", "99999"}, 1},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {cli, "ftp-server"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto r = qordex::test::Run(argv, {}, 30000);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_FALSE(r.err.empty());
    }
    // A port in use fails with the reason on stderr.
    OurFtpServer s(root);
    ASSERT_TRUE(s.Started());
    auto r = qordex::test::Run({cli, "ftp-server", "--root", root, "--anonymous", "--port",
                                std::to_string(s.Port())},
                               {}, 30000);
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(r.err.empty());

    // Anonymous logins read but do not write by default; SIGTERM ends the run.
    OurFtpServer anon(root, {"--anonymous"});
    ASSERT_TRUE(anon.Started());
    {
        FtpControl c(anon.Port());
        EXPECT_TRUE(c.Login("anonymous", "me@"));
        EXPECT_EQ(PassivePut(c, "STOR x.txt", "x").first, "501 Permission Denied");
        EXPECT_EQ(PassiveGet(c, "RETR big.bin").last, "226 File sent ok");
        FtpControl d(anon.Port());
        EXPECT_FALSE(d.Login("u", "p"));
    }
    anon.Process().Signal(SIGTERM);
    EXPECT_EQ(anon.Process().Wait(30000), 0);
    const std::string log = anon.Log();
    EXPECT_NE(log.find("Server closed."), std::string::npos);
    EXPECT_NE(log.find(" User 'anonymous' is authenticated"), std::string::npos);
    EXPECT_EQ(log.find(" User 'u' is authenticated"), std::string::npos);
    EXPECT_NE(log.find("< 127.0.0.1 STOR x.txt"), std::string::npos);
    EXPECT_NE(log.find("> 127.0.0.1 501 Permission Denied"), std::string::npos);
}

} // namespace
