// `qordex-cli http-server` driven the way its users drive it: curl, wget,
// Python's http.client and email parser, ab and h2load, and raw sockets that
// send what browsers never would (traversal, broken framing, endless or slow
// heads, pipelined requests).

#include "support/Process.h"
#include "support/TestData.h"

#include <QTemporaryDir>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <regex>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace qordex::test;

namespace {

// One server process over a fresh folder.
class ServerProcess {
public:
    explicit ServerProcess(const std::string& root, std::vector<std::string> extra = {}) {
        port_ = FreeTcpPort();
        std::vector<std::string> argv = {BinPath("qordex-cli"), "http-server", "--root", root,
                                         "--addr", "127.0.0.1", "--port", std::to_string(port_)};
        argv.insert(argv.end(), extra.begin(), extra.end());
        proc_ = std::make_unique<Background>(argv);
        ok_ = WaitForOutput(*proc_, "Server started", 20000);
    }
    bool Ok() const { return ok_; }
    int Port() const { return port_; }
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    Background& Proc() { return *proc_; }

private:
    int port_ = 0;
    bool ok_ = false;
    std::unique_ptr<Background> proc_;
};

int Connect(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(std::uint16_t(port));
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += std::size_t(n);
    }
    return true;
}

// Reads until the server closes (or `timeoutMs` passes without a byte).
std::string ReadToEnd(int fd, int timeoutMs = 30000) {
    std::string out;
    char buf[65536];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            break;
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        out.append(buf, std::size_t(n));
    }
    return out;
}

// Sends `request` on a new connection and returns all the server answers.
std::string Exchange(int port, const std::string& request) {
    const int fd = Connect(port);
    if (fd < 0)
        return "connect failed";
    SendAll(fd, request);
    std::string out = ReadToEnd(fd);
    ::close(fd);
    return out;
}

std::string StatusLine(const std::string& answer) {
    return answer.substr(0, answer.find("\r\n"));
}

std::string BodyOf(const std::string& answer) {
    const std::size_t p = answer.find("\r\n\r\n");
    return p == std::string::npos ? std::string() : answer.substr(p + 4);
}

class HttpServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = dir_.path().toStdString() + "/Root";
        ::mkdir(root_.c_str(), 0755);
        ::mkdir((root_ + "/sub").c_str(), 0755);
        WriteFile(root_ + "/index.htm", "<html>home</html>\n");
        WriteFile(root_ + "/k.txt", std::string(1000, 'k'));
        big_ = RandomBytes(3 * 1024 * 1024 + 7, 11);
        WriteFile(root_ + "/big.bin", big_);
        std::string thousand;
        for (int i = 0; i < 1000; ++i)
            thousand += char('0' + i % 10);
        WriteFile(root_ + "/n.txt", thousand);
        // Neighbours that a broken containment check would let out.
        WriteFile(dir_.path().toStdString() + "/secret.txt", "SECRET");
        ::mkdir((dir_.path().toStdString() + "/root").c_str(), 0755);
        WriteFile(dir_.path().toStdString() + "/root/x", "SECRET");
        WriteFile(dir_.path().toStdString() + "/Root2", "SECRET");
        ::symlink((dir_.path().toStdString() + "/secret.txt").c_str(), (root_ + "/out.txt").c_str());
        ::symlink("k.txt", (root_ + "/in.txt").c_str());
    }
    QTemporaryDir dir_;
    std::string root_, big_;
};

TEST_F(HttpServerTest, CurlFetchesByteIdenticalAndTheLogShowsEachRequest) {
    ServerProcess srv(root_, {"--show-headers"});
    ASSERT_TRUE(srv.Ok());
    const std::string out = dir_.path().toStdString() + "/got.bin";
    auto r = qordex::test::Run({"curl", "-sS", "-o", out, srv.Url("/big.bin")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(ReadFile(out) == big_);

    // HTTP/1.0, HEAD, a range, and several URLs over one kept connection.
    r = qordex::test::Run({"curl", "-sS", "--http1.0", srv.Url("/k.txt")});
    EXPECT_EQ(r.out, std::string(1000, 'k'));
    r = qordex::test::Run({"curl", "-sS", "-I", srv.Url("/big.bin")});
    EXPECT_NE(r.out.find("Content-Length: " + std::to_string(big_.size())), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Accept-Ranges: bytes"), std::string::npos);
    EXPECT_TRUE(std::regex_search(r.out, std::regex("Last-Modified: \\w{3}, \\d\\d \\w{3} \\d{4} "
                                                    "\\d\\d:\\d\\d:\\d\\d GMT")));
    r = qordex::test::Run({"curl", "-sS", "-r", "10-19", srv.Url("/n.txt")});
    EXPECT_EQ(r.out, "0123456789");
    r = qordex::test::Run({"curl", "-sS", "-v", "-H", "Connection: keep-alive", srv.Url("/k.txt"), srv.Url("/"),
             srv.Url("/n.txt")});
    EXPECT_EQ(r.out.size(), 1000 + 18 + 1000u);
    EXPECT_NE(r.err.find("Re-using existing connection"), std::string::npos) << r.err;

    ASSERT_TRUE(WaitForOutput(srv.Proc(), "GET: /n.txt\n", 10000));
    const std::string log = srv.Proc().Output();
    EXPECT_TRUE(std::regex_search(log, std::regex(R"(\n   1 \| \d\d:\d\d:\d\d \| 127\.0\.0\.1 \| GET: /big\.bin\n     HDR1\) Host: 127\.0\.0\.1:\d+\n)")))
        << log;
    EXPECT_NE(log.find(" | HEAD: /big.bin"), std::string::npos);

    // SIGTERM ends it with the closing line.
    srv.Proc().Signal(SIGTERM);
    EXPECT_EQ(srv.Proc().Wait(20000), 0);
    EXPECT_NE(srv.Proc().Output().find("Server closed.\n"), std::string::npos);
}

TEST_F(HttpServerTest, TraversalTable) {
    ServerProcess srv(root_);
    ASSERT_TRUE(srv.Ok());
    struct Case {
        std::string path;
        std::string status;
    } cases[] = {
        {"/../secret.txt", "404"},
        {"/%2e%2e/secret.txt", "404"},
        {"/..%2fsecret.txt", "400"},
        {"/..%5csecret.txt", "400"},
        {"/%252e%252e%252fsecret.txt", "404"},
        {"/k.txt%00.html", "400"},
        {dir_.path().toStdString() + "/secret.txt", "404"},
        {"/../root/x", "404"},
        {"/../Root2", "404"},
        {"/out.txt", "403"},
        {"/in.txt", "200"},
        {"relative", "400"},
    };
    for (const auto& c : cases) {
        const std::string a = Exchange(srv.Port(), "GET " + c.path + " HTTP/1.0\r\n\r\n");
        EXPECT_NE(StatusLine(a).find(" " + c.status + " "), std::string::npos) << c.path << ": " << a;
        EXPECT_EQ(a.find("SECRET"), std::string::npos) << c.path;
    }
}

TEST_F(HttpServerTest, RangesTable) {
    ServerProcess srv(root_);
    ASSERT_TRUE(srv.Ok());
    struct Case {
        std::string range, status, contentRange, body;
    } cases[] = {
        {"bytes=0-9", "206", "bytes 0-9/1000", "0123456789"},
        {"bytes=-3", "206", "bytes 997-999/1000", "789"},
        {"bytes=995-", "206", "bytes 995-999/1000", "56789"},
        {"bytes=0-99999", "206", "bytes 0-999/1000", ""},
        {"bytes=-99999", "206", "bytes 0-999/1000", ""},
        {"bytes=2000-3000", "416", "bytes */1000", ""},
        {"bytes=abc", "200", "", ""},
        {"items=0-5", "200", "", ""},
    };
    for (const auto& c : cases) {
        const std::string a =
            Exchange(srv.Port(), "GET /n.txt HTTP/1.1\r\nRange: " + c.range + "\r\n\r\n");
        EXPECT_NE(StatusLine(a).find(" " + c.status + " "), std::string::npos) << c.range << a;
        if (!c.contentRange.empty()) {
            EXPECT_NE(a.find("Content-Range: " + c.contentRange + "\r\n"), std::string::npos) << a;
        }
        if (!c.body.empty()) {
            EXPECT_EQ(BodyOf(a), c.body) << c.range;
        }
        if (c.status == "416") {
            EXPECT_NE(a.find("Content-Length: 0\r\n"), std::string::npos);
            EXPECT_EQ(BodyOf(a), "");
        }
        if (c.status != "206") {
            EXPECT_EQ(a.find("Content-Type: multipart"), std::string::npos);
        }
    }
    // A kept connection goes on after a 416.
    const std::string two = Exchange(
        srv.Port(), "GET /n.txt HTTP/1.1\r\nConnection: keep-alive\r\nRange: bytes=5000-\r\n\r\n"
                    "GET /k.txt HTTP/1.1\r\nConnection: close\r\n\r\n");
    EXPECT_NE(two.find(" 416 "), std::string::npos);
    EXPECT_NE(two.find(std::string(1000, 'k')), std::string::npos) << two;
}

TEST_F(HttpServerTest, PythonClientsReadExactBytesAndMultipartRanges) {
    ServerProcess srv(root_);
    ASSERT_TRUE(srv.Ok());
    const std::string script = R"(
import http.client, sys, email, email.policy
port = int(sys.argv[1])
c = http.client.HTTPConnection('127.0.0.1', port, timeout=30)
c.request('GET', '/big.bin', headers={'Connection': 'keep-alive'})
r = c.getresponse(); body = r.read()
print('big', r.status, len(body), open(sys.argv[2], 'rb').read() == body)
c.request('GET', '/n.txt', headers={'Range': 'bytes=0-0,-1', 'Connection': 'keep-alive'})
r = c.getresponse(); body = r.read()
ct = r.getheader('Content-Type')
msg = email.message_from_bytes(b'Content-Type: ' + ct.encode() + b'\r\n\r\n' + body, policy=email.policy.default)
parts = [(p['Content-Range'], p.get_payload(decode=True)) for p in msg.iter_parts()]
print('multi', r.status, parts)
c.request('HEAD', '/k.txt', headers={'Connection': 'close'})
r = c.getresponse()
print('head', r.status, r.getheader('Content-Length'), repr(r.read()))
)";
    const auto r = qordex::test::Run({"/usr/bin/python3", "-c", script, std::to_string(srv.Port()), root_ + "/big.bin"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("big 200 3145735 True"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("multi 206 [('bytes 0-0/1000', b'0'), ('bytes 999-999/1000', b'9')]"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("head 200 1000 b''"), std::string::npos) << r.out;
}

TEST_F(HttpServerTest, KeepAliveRulesAndPipelining) {
    ServerProcess srv(root_);
    ASSERT_TRUE(srv.Ok());
    // HTTP/1.1 without "Connection:" is answered with Close and closed.
    std::string a = Exchange(srv.Port(), "GET /k.txt HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_NE(a.find("Connection: Close\r\n"), std::string::npos);
    EXPECT_EQ(BodyOf(a).size(), 1000u);
    // Pipelined requests, one of them a GET with a body that must not be
    // read as a request, are answered in order on one connection.
    a = Exchange(srv.Port(),
                 "GET /n.txt HTTP/1.0\r\nConnection: keep-alive\r\nRange: bytes=0-2\r\n\r\n"
                 "GET /n.txt HTTP/1.1\r\nConnection: keep-alive\r\nContent-Length: 20\r\n\r\n"
                 "GET /k.txt HTTP/1.1\n"
                 "DELETE /n.txt HTTP/1.1\r\nConnection: keep-alive\r\n\r\n"
                 "GET /index.htm HTTP/1.1\r\nConnection: close\r\n\r\n");
    const std::size_t p1 = a.find(" 206 "), p2 = a.find(" 200 OK"), p3 = a.find(" 501 Unimplemented"),
                      p4 = a.find("<html>home</html>");
    EXPECT_TRUE(p1 < p2 && p2 < p3 && p3 < p4 && p4 != std::string::npos) << a;
    EXPECT_EQ(a.find("k.txt"), std::string::npos) << a;
    EXPECT_NE(a.find("501 Unimplemented"), std::string::npos);
}

TEST_F(HttpServerTest, PostFramingAndTheFormExample) {
    ServerProcess srv(root_);
    ASSERT_TRUE(srv.Ok());
    auto r = qordex::test::Run({"curl", "-sS", "-d", "Name=Ann+Lee%3Cb%3E&x=1", srv.Url("/Form")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("<P>Ann Lee&lt;b&gt; from 127.0.0.1</P>"), std::string::npos) << r.out;
    r = qordex::test::Run({"curl", "-sS", "-o", "/dev/null", "-w", "%{http_code}", "-d", "a=1", srv.Url("/other")});
    EXPECT_EQ(r.out, "404");

    struct Case {
        std::string request, status;
    } cases[] = {
        {"POST /Form HTTP/1.1\r\n\r\n", "411"},
        {"POST /Form HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nName=\r\n0\r\n\r\n", "411"},
        {"POST /Form HTTP/1.1\r\nContent-Length: -4\r\n\r\n", "400"},
        {"POST /Form HTTP/1.1\r\nContent-Length: 4x\r\n\r\n", "400"},
        {"POST /Form HTTP/1.1\r\nContent-Length: 4\r\nContent-Length: 5\r\n\r\n", "400"},
        {"POST /Form HTTP/1.1\r\nContent-Length: 2000000\r\n\r\n", "413"},
    };
    for (const auto& c : cases) {
        const std::string a = Exchange(srv.Port(), c.request);
        EXPECT_NE(StatusLine(a).find(" " + c.status + " "), std::string::npos) << c.request << a;
    }
    // A kept connection survives a POST, an accepted one and a refused one.
    const std::string a = Exchange(srv.Port(),
                                   "POST /Form HTTP/1.1\r\nConnection: keep-alive\r\nContent-Length: 8\r\n\r\nName=Bob"
                                   "POST /nope HTTP/1.1\r\nConnection: keep-alive\r\nContent-Length: 3\r\n\r\nGET"
                                   "GET /k.txt HTTP/1.1\r\nConnection: close\r\n\r\n");
    const std::size_t bob = a.find("Bob from"), nf = a.find(" 404 "), k = a.find(std::string(1000, 'k'));
    EXPECT_TRUE(bob < nf && nf < k && k != std::string::npos) << a;
    ASSERT_TRUE(WaitForOutput(srv.Proc(), "     Data: 'Name=Bob'", 10000));
}

TEST_F(HttpServerTest, VariablesPageEscapesWhatTheClientSent) {
    ServerProcess srv(root_);
    ASSERT_TRUE(srv.Ok());
    const auto r = qordex::test::Run({"curl", "-sS", "-A", "<script>x</script>", srv.Url("/a/VARIABLES?q=<i>")});
    EXPECT_NE(r.out.find("REQUEST_METHOD: GET<br>"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("HTTP_USER_AGENT: &lt;script&gt;x&lt;/script&gt;<br>"), std::string::npos);
    EXPECT_EQ(r.out.find("<script>"), std::string::npos);
}

TEST_F(HttpServerTest, BasicAndDigestAuthentication) {
    for (const std::string kind : {"basic", "digest"}) {
        ServerProcess srv(root_, {"--auth", kind, "--user", "ann:s3cret"});
        ASSERT_TRUE(srv.Ok());
        const std::string flag = kind == "basic" ? "--basic" : "--digest";
        auto code = [&](std::vector<std::string> extra) {
            std::vector<std::string> argv = {"curl", "-sS", "-o", "/dev/null", "-w", "%{http_code}", flag};
            argv.insert(argv.end(), extra.begin(), extra.end());
            argv.push_back(srv.Url("/k.txt"));
            return qordex::test::Run(argv, {}, 30000).out;
        };
        EXPECT_EQ(code({"-u", "ann:s3cret"}), "200") << kind;
        EXPECT_EQ(code({"-u", "ann:wrong"}), "401") << kind;
        EXPECT_EQ(code({"-u", "bob:s3cret"}), "401") << kind;
        EXPECT_EQ(code({}), "401") << kind;
        const std::string a = Exchange(srv.Port(), "GET /k.txt HTTP/1.0\r\nAuthorization: Basic Ym9iOg==\r\n\r\n");
        EXPECT_NE(StatusLine(a).find(" 401 "), std::string::npos) << a;
        EXPECT_NE(a.find("WWW-Authenticate: Basic Realm=qordex\r\n"), std::string::npos);
        if (kind == "digest") {
            EXPECT_TRUE(std::regex_search(a, std::regex("WWW-Authenticate: Digest realm=qordex, qop=\"auth\", "
                                                        "nonce=\"[A-Za-z0-9+/=]+\", opaque=\"[A-Za-z0-9]{34}\"\r\n")))
                << a;
        }
    }
}

TEST_F(HttpServerTest, HostileClientsAreClosedWhileOthersAreServed) {
    ServerProcess srv(root_, {"--timeout", "2"});
    ASSERT_TRUE(srv.Ok());
    // A slow head: one line, then nothing.
    const int slow = Connect(srv.Port());
    SendAll(slow, "GET /k.txt HTTP/1.1\r\nHost: x\r\n");
    // An endless header line and ten thousand short header lines.
    const int endless = Connect(srv.Port());
    SendAll(endless, "GET /k.txt HTTP/1.1\r\nX: " + std::string(20000, 'a'));
    const int many = Connect(srv.Port());
    std::string lines = "GET /k.txt HTTP/1.1\r\n";
    for (int i = 0; i < 10000; ++i)
        lines += "A: b\r\n";
    SendAll(many, lines);
    // An idle connection that never says anything.
    const int idle = Connect(srv.Port());

    const auto r = qordex::test::Run({"curl", "-sS", srv.Url("/k.txt")});
    EXPECT_EQ(r.out, std::string(1000, 'k'));

    EXPECT_NE(StatusLine(ReadToEnd(endless)).find(" 431 "), std::string::npos);
    EXPECT_NE(StatusLine(ReadToEnd(many)).find(" 431 "), std::string::npos);
    EXPECT_NE(StatusLine(ReadToEnd(slow)).find(" 408 "), std::string::npos);
    EXPECT_EQ(ReadToEnd(idle), "");
    for (int fd : {slow, endless, many, idle})
        ::close(fd);
}

TEST_F(HttpServerTest, FifoAndDirectoriesWithoutListingAre404) {
    ASSERT_EQ(::mkfifo((root_ + "/pipe").c_str(), 0644), 0);
    ServerProcess srv(root_);
    ASSERT_TRUE(srv.Ok());
    for (const char* path : {"/pipe", "/sub", "/sub/", "/missing"}) {
        const std::string a = Exchange(srv.Port(), std::string("GET ") + path + " HTTP/1.0\r\n\r\n");
        EXPECT_NE(StatusLine(a).find(" 404 "), std::string::npos) << path << a;
    }
    const std::string a = Exchange(srv.Port(), "GET /<b> HTTP/1.0\r\n\r\n");
    EXPECT_NE(a.find("The requested URL /&lt;b&gt; was not found"), std::string::npos) << a;
}

TEST_F(HttpServerTest, ListingsServeAwkwardNamesToWget) {
    const char* names[] = {"a b.txt", "x&y.txt", "50%.txt", "h#1.txt", "lt<.txt", ".hidden"};
    ::mkdir((root_ + "/d e").c_str(), 0755);
    for (const char* n : names)
        WriteFile(root_ + "/d e/" + n, std::string("file ") + n);
    ::unlink((root_ + "/index.htm").c_str());
    ServerProcess srv(root_, {"--dir-list"});
    ASSERT_TRUE(srv.Ok());
    const auto list = qordex::test::Run({"curl", "-sS", srv.Url("/d%20e/")});
    EXPECT_NE(list.out.find("HREF=\"/d%20e/x%26y.txt\">x&amp;y.txt</A>"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("[To Parent Directrory]"), std::string::npos);
    EXPECT_NE(list.out.find("-rw-h"), std::string::npos);
    if (!HasProgram("wget"))
        GTEST_SKIP() << "wget is not installed";
    const std::string into = dir_.path().toStdString() + "/mirror";
    const auto r = qordex::test::Run({"wget", "-q", "-r", "-np", "-nH", "-P", into, srv.Url("/d%20e/")}, {}, 60000);
    for (const char* n : names)
        EXPECT_EQ(ReadFile(into + "/d e/" + n), std::string("file ") + n) << n << r.err;
}

TEST_F(HttpServerTest, SparseFiveGigabyteFile) {
    const std::string path = root_ + "/huge.bin";
    const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    const long long size = 5LL * 1024 * 1024 * 1024;
    if (::ftruncate(fd, size) != 0 || ::pwrite(fd, "END", 3, size - 3) != 3) {
        ::close(fd);
        GTEST_SKIP() << "no room for a sparse file";
    }
    ::close(fd);
    ServerProcess srv(root_, {"--dir-list"});
    ASSERT_TRUE(srv.Ok());
    std::string a = Exchange(srv.Port(), "HEAD /huge.bin HTTP/1.0\r\n\r\n");
    EXPECT_NE(a.find("Content-Length: 5368709120\r\n"), std::string::npos) << a;
    a = Exchange(srv.Port(), "GET /huge.bin HTTP/1.0\r\nRange: bytes=-3\r\n\r\n");
    EXPECT_NE(a.find("Content-Range: bytes 5368709117-5368709119/5368709120"), std::string::npos) << a;
    EXPECT_EQ(BodyOf(a), "END");
    ::unlink((root_ + "/index.htm").c_str());
    a = Exchange(srv.Port(), "GET / HTTP/1.0\r\n\r\n");
    EXPECT_NE(a.find(">5368709120</TD>"), std::string::npos) << a;
}

TEST_F(HttpServerTest, TooManyClientsGetTheBusyBanner) {
    ServerProcess srv(root_, {"--max-clients", "1"});
    ASSERT_TRUE(srv.Ok());
    const int first = Connect(srv.Port());
    SendAll(first, "GET /k.txt HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
    // Wait until the first is served, so it surely holds the one place.
    char buf[2048];
    std::string got;
    while (got.find(std::string(1000, 'k')) == std::string::npos) {
        pollfd p{first, POLLIN, 0};
        ASSERT_GT(::poll(&p, 1, 20000), 0);
        const ssize_t n = ::recv(first, buf, sizeof buf, 0);
        ASSERT_GT(n, 0);
        got.append(buf, std::size_t(n));
    }
    // The socket server ends every banner with its line end; the answer's
    // own length still tells the client where the body stops.
    const std::string busy = Exchange(srv.Port(), "GET /k.txt HTTP/1.0\r\n\r\n");
    EXPECT_EQ(busy.substr(0, 115), "HTTP/1.0 503 Service Unavailable\r\nContent-type: text/plain\r\n"
                                   "Content-length: 33\r\n\r\nServer overloaded. Retry later.\r\n");
    ::close(first);
}

TEST_F(HttpServerTest, ALowDescriptorLimitIsRaisedToTheHardOne) {
    // Started with a soft limit of 40 descriptors, the server still holds
    // 60 kept connections at once and answers each of them.
    const int port = FreeTcpPort();
    Background proc({"/bin/sh", "-c",
                     "ulimit -Sn 40 && exec " + BinPath("qordex-cli") + " http-server --root " + root_ +
                         " --addr 127.0.0.1 --port " + std::to_string(port) + " --max-clients 0"});
    ASSERT_TRUE(WaitForOutput(proc, "Server started", 20000));
    std::vector<int> fds;
    for (int i = 0; i < 60; ++i) {
        const int fd = Connect(port);
        ASSERT_GE(fd, 0);
        SendAll(fd, "GET /k.txt HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
        fds.push_back(fd);
    }
    int answered = 0;
    for (int fd : fds) {
        std::string got;
        char buf[4096];
        while (got.size() < 1000 || got.find(std::string(1000, 'k')) == std::string::npos) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 20000) <= 0)
                break;
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            got.append(buf, std::size_t(n));
        }
        answered += got.find(std::string(1000, 'k')) != std::string::npos;
        ::close(fd);
    }
    EXPECT_EQ(answered, 60);
}

TEST_F(HttpServerTest, LoadToolsWithPipeliningAndKeepAlive) {
    ServerProcess srv(root_, {"--max-clients", "0", "--backlog", "128"});
    ASSERT_TRUE(srv.Ok());
    if (HasProgram("h2load")) {
        const auto r = qordex::test::Run({"h2load", "--h1", "-n", "400", "-c", "4", "-m", "4", "-H", "Connection: keep-alive",
                                srv.Url("/k.txt")}, {}, 120000);
        EXPECT_NE(r.out.find("400 succeeded, 0 failed, 0 errored"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("400 2xx"), std::string::npos) << r.out;
    }
    if (HasProgram("ab")) {
        const auto r = qordex::test::Run({"ab", "-k", "-n", "400", "-c", "8", srv.Url("/k.txt")}, {}, 120000);
        EXPECT_NE(r.out.find("Failed requests:        0"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("Keep-Alive requests:    400"), std::string::npos) << r.out;
    }
}

TEST(HttpServerCli, UsageAndPortErrors) {
    QTemporaryDir dir;
    const std::string cli = BinPath("qordex-cli");
    struct Case {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{"http-server"}, 2},
        {{"http-server", "--root", "/nonexistent-folder"}, 2},
        {{"http-server", "--root", dir.path().toStdString(), "--auth", "basic"}, 2},
        {{"http-server", "--root", dir.path().toStdString(), "--auth", "ntlm", "--user", "a:b"}, 2},
        {{"http-server", "--root", dir.path().toStdString(), "--max-clients", "x"}, 2},
        {{"http-server", "--root", dir.path().toStdString(), "--bogus"}, 2},
        {{"http-server", "--help"}, 0},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {cli};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        EXPECT_EQ(qordex::test::Run(argv).status, c.status) << testing::PrintToString(c.args);
    }
    // A port already taken.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin), 0);
    ASSERT_EQ(::listen(fd, 1), 0);
    socklen_t len = sizeof sin;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len);
    const auto r = qordex::test::Run({cli, "http-server", "--root", dir.path().toStdString(), "--addr", "127.0.0.1",
                        "--port", std::to_string(ntohs(sin.sin_port))});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Error 10048"), std::string::npos) << r.err;
    ::close(fd);
}

} // namespace
