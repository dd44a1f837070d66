// The HTTP server engine in this process, with handlers the command line
// tool does not have, against a plain blocking client on another thread.
// Each case checks that every answer on a kept connection is framed exactly:
// a byte too many or too few turns the next answer into garbage.

#include "platform/MessageLoop.h"
#include "support/TestData.h"
#include "web/HttpSrv.h"

#include <QTemporaryDir>
#include <arpa/inet.h>
#include <atomic>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

using namespace qordex;
using namespace qordex::web;
using namespace qordex::test;

namespace {

// A blocking client; a receive timeout only keeps a broken server from
// hanging the test.
class Client {
public:
    explicit Client(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval tv{60, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_port = htons(std::uint16_t(port));
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~Client() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool Send(const std::string& data) {
        std::size_t done = 0;
        while (fd_ >= 0 && done < data.size()) {
            const ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += std::size_t(n);
        }
        return fd_ >= 0;
    }
    // One answer: its head, then exactly Content-Length bytes of body.
    // Empty on an error.
    bool ReadAnswer(std::string& head, std::string& body) {
        std::size_t end;
        while ((end = buf_.find("\r\n\r\n")) == std::string::npos)
            if (!Fill())
                return false;
        head = buf_.substr(0, end + 4);
        buf_.erase(0, end + 4);
        const std::size_t p = head.find("Content-Length: ");
        if (p == std::string::npos)
            return false;
        const std::size_t length = std::stoul(head.substr(p + 16));
        while (buf_.size() < length)
            if (!Fill())
                return false;
        body = buf_.substr(0, length);
        buf_.erase(0, length);
        return true;
    }
    // What came beyond the answers read so far.
    const std::string& Extra() const { return buf_; }

private:
    bool Fill() {
        char b[65536];
        const ssize_t n = fd_ < 0 ? -1 : ::recv(fd_, b, sizeof b, 0);
        if (n <= 0)
            return false;
        buf_.append(b, std::size_t(n));
        return true;
    }
    int fd_ = -1;
    std::string buf_;
};

class HttpSrvEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = dir_.path().toStdString();
        srv_.SetAddr("127.0.0.1");
        srv_.SetPort("0");
        srv_.SetDocDir(root_);
        srv_.Start();
        ASSERT_TRUE(srv_.Listening());
        port_ = std::stoi(srv_.BoundPort());
    }
    void TearDown() override { srv_.Stop(); }

    // Runs `client` on its own thread while this one serves.
    void RunClient(const std::function<void(Client&)>& client) {
        std::atomic<bool> done{false};
        std::thread t([&] {
            Client c(port_);
            client(c);
            done = true;
        });
        const bool finished = PumpUntil([&] { return done.load(); }, 120000);
        t.join();
        EXPECT_TRUE(finished);
    }

    QTemporaryDir dir_;
    std::string root_;
    THttpServer srv_;
    int port_ = 0;
};

std::string Get(const std::string& path) {
    return "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\n\r\n";
}

TEST_F(HttpSrvEngineTest, ADocumentGrowingWhileAskedForSendsWhatItsHeaderSays) {
    ASSERT_TRUE(WriteFile(root_ + "/grow.txt", std::string(100, 'a')));
    // The handler runs after the server looked at the file and before the
    // body is read: another writer appending at that moment.
    srv_.OnGetDocument = [this](THttpServer*, THttpConnection*, THttpGetFlag&) {
        std::ofstream(root_ + "/grow.txt", std::ios::binary | std::ios::app) << std::string(50, 'b');
    };
    RunClient([](Client& c) {
        std::string head, body;
        ASSERT_TRUE(c.Send(Get("/grow.txt")));
        ASSERT_TRUE(c.ReadAnswer(head, body));
        EXPECT_NE(head.find("Content-Length: 100\r\n"), std::string::npos) << head;
        EXPECT_EQ(body, std::string(100, 'a'));
        ASSERT_TRUE(c.Send(Get("/grow.txt")));
        ASSERT_TRUE(c.ReadAnswer(head, body));
        EXPECT_EQ(head.substr(0, 15), "HTTP/1.1 200 OK") << head;
        EXPECT_EQ(body, std::string(100, 'a') + std::string(50, 'b'));
        EXPECT_EQ(c.Extra(), "");
    });
}

TEST_F(HttpSrvEngineTest, ADocumentShrinkingWhileAskedForEndsTheConnection) {
    ASSERT_TRUE(WriteFile(root_ + "/shrink.txt", std::string(100, 'a')));
    srv_.OnGetDocument = [this](THttpServer*, THttpConnection*, THttpGetFlag&) {
        ASSERT_EQ(::truncate((root_ + "/shrink.txt").c_str(), 40), 0);
    };
    RunClient([](Client& c) {
        // Pipelined: a second answer after a short body would pass for its rest.
        ASSERT_TRUE(c.Send(Get("/shrink.txt") + Get("/shrink.txt")));
        std::string head, body;
        EXPECT_FALSE(c.ReadAnswer(head, body));
        EXPECT_NE(head.find("Content-Length: 100\r\n"), std::string::npos) << head;
        EXPECT_EQ(c.Extra(), std::string(40, 'a'));
    });
}

// Requests reach a kept connection in every shape a client may send them:
// after the previous answer, cut anywhere, or pipelined with the next one
// cut in two around an answer.  Each must be answered once, in order.
TEST_F(HttpSrvEngineTest, KeptConnectionAnswersRequestsHoweverTheyArrive) {
    ASSERT_TRUE(WriteFile(root_ + "/a.txt", std::string(1000, 'a')));
    ASSERT_TRUE(WriteFile(root_ + "/b.txt", std::string(70000, 'b')));
    const std::string a = Get("/a.txt"), b = Get("/b.txt");
    struct Case {
        const char* name;
        std::vector<std::string> pieces; // sent one after another
        std::vector<int> answersAfter;   // answers read after each piece
        const char* bodies;              // first byte and size of each body
    };
    const std::vector<Case> cases = {
        {"one by one", {a, b, a}, {1, 1, 1}, "a1000 b70000 a1000 "},
        {"cut in the request line", {a.substr(0, 5), a.substr(5)}, {0, 1}, "a1000 "},
        {"cut in the blank line", {a.substr(0, a.size() - 1), a.substr(a.size() - 1)}, {0, 1},
         "a1000 "},
        {"pipelined", {a + b + a}, {3}, "a1000 b70000 a1000 "},
        {"next one cut around an answer", {a + b.substr(0, 9), b.substr(9)}, {1, 1},
         "a1000 b70000 "},
        {"next one's head after the answer", {a + "GET /b", ".txt HTTP/1.1\r\n", "\r\n"}, {1, 0, 1},
         "a1000 b70000 "},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        std::string bodies;
        RunClient([&](Client& c) {
            for (std::size_t i = 0; i < k.pieces.size(); ++i) {
                ASSERT_TRUE(c.Send(k.pieces[i]));
                for (int n = 0; n < k.answersAfter[i]; ++n) {
                    std::string head, body;
                    ASSERT_TRUE(c.ReadAnswer(head, body));
                    EXPECT_EQ(head.substr(0, 15), "HTTP/1.1 200 OK") << head;
                    bodies += body.substr(0, 1) + std::to_string(body.size()) + " ";
                }
            }
            EXPECT_EQ(c.Extra(), "");
        });
        EXPECT_EQ(bodies, k.bodies);
    }
}

} // namespace
