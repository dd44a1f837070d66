// The HTTP client engine and `qordex-cli http` against real servers from
// Debian on loopback: nginx (both versions, HEAD, chunks from SSI, Basic,
// a relocation chain on one connection, large files), Python's http.server
// and tinyproxy asking for proxy credentials.

#include "platform/MessageLoop.h"
#include "support/TestData.h"
#include "web/HttpClientTool.h"
#include "web/HttpProt.h"

#include "web/HttpPeers.h"
#include "web/HttpTestClient.h"
#include <gtest/gtest.h>
#include <regex>

using namespace qordex;
using namespace qordex::web;
using namespace qordex::test;

namespace {

using Client = HttpTestClient;

const std::string kNginxExtra = R"(
    location /ssi/ { ssi on; }
    location /secret/ { auth_basic "t"; auth_basic_user_file @DIR@/htpasswd; }
    location = /r1 { return 302 /r2; }
    location = /r2 { return 302 /www.txt; }
)";

class NginxPeer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // The configuration names its own folder; it is known once made.
        probe = new QTemporaryDir;
        nginx = nullptr;
        Nginx* n = new Nginx(
            std::regex_replace(kNginxExtra, std::regex("@DIR@"), probe->path().toStdString()));
        nginx = n;
        if (!n->Ok())
            return;
        WriteFile(probe->path().toStdString() + "/htpasswd", "user:{PLAIN}secret\n");
        const std::string w = n->Www();
        ::mkdir((w + "/ssi").c_str(), 0755);
        ::mkdir((w + "/secret").c_str(), 0755);
        WriteFile(w + "/www.txt", "plain text\n");
        WriteFile(w + "/ssi/page.html", "<html>A <!--# include file=\"part.txt\" --> B</html>");
        WriteFile(w + "/ssi/part.txt", "PART");
        WriteFile(w + "/secret/s.txt", "secret text");
        WriteFile(w + "/big.bin", RandomBytes(3 * 1024 * 1024 + 17, 7));
    }
    static void TearDownTestSuite() {
        delete nginx;
        delete probe;
    }
    void SetUp() override {
        if (!nginx->Ok())
            GTEST_SKIP() << nginx->SkipReason();
    }
    static QTemporaryDir* probe;
    static Nginx* nginx;
};
QTemporaryDir* NginxPeer::probe = nullptr;
Nginx* NginxPeer::nginx = nullptr;

} // namespace

TEST_F(NginxPeer, GetAndHeadInBothVersions) {
    for (const char* ver : {"1.0", "1.1"}) {
        Client c;
        ASSERT_TRUE(c.Run(httpGET, nginx->Url("/www.txt"), ver));
        EXPECT_EQ(c.doneErr, 0) << ver;
        EXPECT_EQ(c.cli.StatusCode(), 200) << ver;
        EXPECT_EQ(c.Doc(), "plain text\n") << ver;
        EXPECT_EQ(c.cli.ContentType(), "text/plain");
        EXPECT_EQ(c.cli.DocName(), "www.txt");

        Client h;
        ASSERT_TRUE(h.Run(httpHEAD, nginx->Url("/www.txt"), ver));
        EXPECT_EQ(h.doneErr, 0) << ver;
        EXPECT_EQ(h.cli.StatusCode(), 200) << ver;
        EXPECT_EQ(h.cli.ContentLength(), 11) << ver;
        EXPECT_EQ(h.docBegins, 0) << ver;
    }
}

TEST_F(NginxPeer, SsiAnswersAreChunkedUnder11) {
    const struct {
        const char* ver;
        const char* te;
    } cases[] = {{"1.1", "chunked"}, {"1.0", ""}};
    for (const auto& k : cases) {
        Client c;
        ASSERT_TRUE(c.Run(httpGET, nginx->Url("/ssi/page.html"), k.ver));
        EXPECT_EQ(c.cli.StatusCode(), 200);
        EXPECT_EQ(c.cli.TransferEncoding(), k.te) << k.ver;
        EXPECT_EQ(c.Doc(), "<html>A PART B</html>") << k.ver;
        EXPECT_EQ(c.cli.DocName(), "page.html");
        // The kept 1.1 connection serves the next request after the chunks.
        ASSERT_TRUE(c.Run(httpGET, nginx->Url("/www.txt"), k.ver));
        EXPECT_EQ(c.Doc(), "plain text\n") << k.ver;
    }
}

TEST_F(NginxPeer, BasicAuthentication) {
    Client c;
    ASSERT_TRUE(c.Run(httpGET, nginx->Url("/secret/s.txt"), "1.1"));
    EXPECT_EQ(c.cli.StatusCode(), 401);
    c.cli.SetUsername("user");
    c.cli.SetPassword("secret");
    ASSERT_TRUE(c.Run(httpGET, nginx->Url("/secret/s.txt"), "1.1"));
    EXPECT_EQ(c.cli.StatusCode(), 200);
    EXPECT_EQ(c.Doc(), "secret text");
}

TEST_F(NginxPeer, RelocationChainRunsOnOneConnection) {
    Client c;
    ASSERT_TRUE(c.Run(httpGET, nginx->Url("/r1"), "1.1"));
    EXPECT_EQ(c.cli.StatusCode(), 200);
    EXPECT_EQ(c.Doc(), "plain text\n");
    EXPECT_EQ(c.moves, (std::vector<std::string>{nginx->Url("/r2"), nginx->Url("/www.txt")}));
    EXPECT_EQ(c.cli.LocationChangeCurCount(), 2);
    // The access log names each request's connection.
    ASSERT_TRUE(PumpUntil([&] { return SplitLines(nginx->AccessLog()).size() >= 3; }, 5000));
    std::vector<std::string> conns;
    for (const std::string& l : SplitLines(nginx->AccessLog()))
        if (l.find(" /r1 ") != std::string::npos || l.find(" /r2 ") != std::string::npos ||
            l.find(" /www.txt ") != std::string::npos)
            conns.push_back(l.substr(0, l.find(' ')));
    ASSERT_GE(conns.size(), 3u);
    const std::vector<std::string> last(conns.end() - 3, conns.end());
    EXPECT_EQ(last[0], last[1]);
    EXPECT_EQ(last[1], last[2]);
}

TEST_F(NginxPeer, LargeFileArrivesWhole) {
    const std::string want = ReadFile(nginx->Www() + "/big.bin");
    for (const char* ver : {"1.0", "1.1"}) {
        Client c;
        ASSERT_TRUE(c.Run(httpGET, nginx->Url("/big.bin"), ver));
        EXPECT_EQ(c.cli.RcvdCount(), (long long)want.size()) << ver;
        EXPECT_TRUE(c.Doc() == want) << ver;
    }
}

TEST_F(NginxPeer, CliWritesTheDocumentByteForByte) {
    const std::string want = ReadFile(nginx->Www() + "/big.bin");
    QTemporaryDir out;
    const std::string file = out.path().toStdString() + "/F";
    WriteFile(file, std::string(5000000, 'x')); // replaced, not merged
    for (const char* ver : {"--http1.1", "-v"}) {
        const CommandResult r = qordex::test::Run(
            {BinPath("qordex-cli"), "http", "get", ver, "-o", file, nginx->Url("/big.bin")});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(ReadFile(file) == want) << ver;
    }
    // To standard output, through a pipe.
    const CommandResult r =
        qordex::test::Run({BinPath("qordex-cli"), "http", "get", nginx->Url("/big.bin")});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out == want);
    EXPECT_EQ(r.err, "");
}

TEST_F(NginxPeer, CliPrintsTheWindowLinesAndItsStatus) {
    const std::string url = nginx->Url("/www.txt");
    CommandResult r = qordex::test::Run({BinPath("qordex-cli"), "http", "get", "-v", url});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "plain text\n");
    const auto lines = SplitLines(r.err);
    ASSERT_GE(lines.size(), 10u) << r.err;
    EXPECT_EQ(lines[0], "Not using proxy");
    EXPECT_EQ(lines[1], "CMD> GET /www.txt HTTP/1.0");
    EXPECT_EQ(lines[2], "CMD> From: Qordex");
    EXPECT_EQ(lines[4],
              "CMD> User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; Qordex)");
    EXPECT_EQ(lines[5], "CMD> Host: 127.0.0.1:" + std::to_string(nginx->Port()));
    EXPECT_EQ(lines[6], "HDR> \"HTTP/1.1 200 OK\"");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "text/plain => www.txt"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Document = www.txt"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "StatusCode = 200"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "RequestDone, no error"), lines.end());

    const struct {
        std::vector<std::string> args;
        int status;
        std::string err;
    } cases[] = {
        {{"get", nginx->Url("/none")},
         1,
         "GET Failed.\nStatusCode   = 404\nReasonPhrase = Not Found\n"},
        {{"head", nginx->Url("/none")},
         1,
         "HEAD Failed.\nStatusCode   = 404\nReasonPhrase = Not Found\n"},
        {{"get", nginx->Url("/secret/s.txt")}, 1, ""},
        {{"get", "-u", "user:secret", nginx->Url("/secret/s.txt")}, 0, ""},
        {{"head", nginx->Url("/www.txt")}, 0, ""},
        {{"get", "-z", "2001-02-03 04:05:06", nginx->Url("/www.txt")}, 0, ""},
        {{"get", "-z", "yesterday", url}, 2, ""},
        {{"put", url}, 2, ""},
        {{"get"}, 2, ""},
        {{"get", "-d", "x", url}, 2, ""},
        {{"get", "-m", "0", url}, 2, ""},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {BinPath("qordex-cli"), "http"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        r = qordex::test::Run(argv);
        EXPECT_EQ(r.status, c.status) << c.args[0] << " " << c.args.back() << "\n" << r.err;
        if (!c.err.empty()) {
            EXPECT_EQ(r.err, c.err);
        }
    }
}

TEST(HttpServerPeer, BodiesEndingAtTheClose) {
    QTemporaryDir dir;
    const std::string d = dir.path().toStdString();
    const std::string data = RandomBytes(200000, 3);
    WriteFile(d + "/data.bin", data);
    const int port = FreeTcpPort();
    Background server({"/usr/bin/python3", "-m", "http.server", "--bind", "127.0.0.1",
                       "--directory", d, std::to_string(port)});
    ASSERT_TRUE(WaitForTcpPort(port, 10000));
    const std::string base = "http://127.0.0.1:" + std::to_string(port);
    for (const char* ver : {"1.0", "1.1"}) {
        Client c;
        ASSERT_TRUE(c.Run(httpGET, base + "/data.bin", ver));
        EXPECT_EQ(c.doneErr, 0);
        EXPECT_TRUE(c.Doc() == data) << ver;
        Client l;
        ASSERT_TRUE(l.Run(httpGET, base + "/", ver));
        EXPECT_EQ(l.cli.ContentType().substr(0, 9), "text/html");
        EXPECT_NE(l.Doc().find("data.bin"), std::string::npos);
        EXPECT_EQ(l.cli.DocName(), "document.htm");
    }
}

TEST_F(NginxPeer, TinyproxyAsksForItsCredentials) {
    Tinyproxy proxy("puser", "ppass");
    if (!proxy.Ok())
        GTEST_SKIP() << proxy.SkipReason();
    Client c;
    c.cli.SetProxy("127.0.0.1");
    c.cli.SetProxyPort(std::to_string(proxy.Port()));
    ASSERT_TRUE(c.Run(httpGET, nginx->Url("/www.txt")));
    EXPECT_EQ(c.cli.StatusCode(), 407);
    c.cli.SetProxyUsername("puser");
    c.cli.SetProxyPassword("ppass");
    ASSERT_TRUE(c.Run(httpGET, nginx->Url("/www.txt")));
    EXPECT_EQ(c.cli.StatusCode(), 200);
    EXPECT_EQ(c.Doc(), "plain text\n");
    // The same through the command line.
    const CommandResult r =
        qordex::test::Run({BinPath("qordex-cli"), "http", "get", "-v", "--proxy",
                           "127.0.0.1:" + std::to_string(proxy.Port()), "--proxy-user",
                           "puser:ppass", nginx->Url("/www.txt")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "plain text\n");
    EXPECT_EQ(SplitLines(r.err)[0], "Using proxy '127.0.0.1:" + std::to_string(proxy.Port()) + "'");
}

TEST_F(NginxPeer, ThroughMicrosocks) {
    if (!HasProgram("microsocks"))
        GTEST_SKIP() << "microsocks is not installed (scripts/install-deps.sh installs it)";
    const int port = FreeTcpPort();
    Background socks({"microsocks", "-i", "127.0.0.1", "-p", std::to_string(port), "-u", "alice",
                      "-P", "s3cret"});
    ASSERT_TRUE(WaitForTcpPort(port, 10000));
    Client c;
    int socksConnected = 0;
    c.cli.OnSocksConnected = [&](THttpCli*, std::uint16_t e) { socksConnected += e == 0; };
    c.cli.SetSocksServer("127.0.0.1");
    c.cli.SetSocksPort(std::to_string(port));
    c.cli.SetSocksUsercode("alice");
    c.cli.SetSocksPassword("s3cret");
    c.cli.SetSocksAuthentication(socksAuthenticateUsercode);
    for (const char* ver : {"1.0", "1.1"}) {
        ASSERT_TRUE(c.Run(httpGET, nginx->Url("/ssi/page.html"), ver));
        EXPECT_EQ(c.cli.StatusCode(), 200) << ver;
        EXPECT_EQ(c.Doc(), "<html>A PART B</html>") << ver;
    }
    EXPECT_EQ(socksConnected, 2);

    // A wrong password fails the request, saying why.
    c.cli.SetSocksPassword("guess");
    ASSERT_TRUE(c.Run(httpGET, nginx->Url("/www.txt")));
    EXPECT_EQ(c.cli.StatusCode(), 404);
    EXPECT_NE(c.doneErr, 0);
    EXPECT_NE(c.cli.ReasonPhrase().find("(Error #"), std::string::npos) << c.cli.ReasonPhrase();

    // The command line, with its SOCKS options.
    const std::string big = ReadFile(nginx->Www() + "/big.bin");
    CommandResult r = qordex::test::Run(
        {BinPath("qordex-cli"), "http", "get", "--socks", "127.0.0.1:" + std::to_string(port),
         "--socks-user", "alice", "--socks-pass", "s3cret", nginx->Url("/big.bin")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out == big);
    r = qordex::test::Run({BinPath("qordex-cli"), "http", "get", "--socks",
                           "127.0.0.1:" + std::to_string(port), nginx->Url("/www.txt")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(SplitLines(r.err)[0], "GET Failed.");
}
