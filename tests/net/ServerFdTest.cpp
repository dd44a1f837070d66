// The socket server when descriptors run out: it must neither spin on the
// connection it cannot take nor lose it, and it serves the waiting clients
// as soon as descriptors come free.  The server runs in a child process
// with a tiny descriptor limit.

#include "ServerTestUtil.h"
#include "support/Process.h"

#include <QTimer>
#include <gtest/gtest.h>
#include <memory>
#include <sstream>

using namespace qordex;
using namespace qordex::test;

namespace {

int Occurrences(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

} // namespace

TEST(WSocketServerDescriptors, TakesTheHardLimitAtStart) {
    CommandResult r = qordex::test::Run({BinPath("net_server_fd_peer"), "--limits"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream in(r.out);
    unsigned long long soft = 0, hard = 0;
    in >> soft >> hard;
    EXPECT_GT(soft, 64u);
    EXPECT_EQ(soft, hard);
}

TEST(WSocketServerDescriptors, RestsWhileDescriptorsLackAndServesEveryoneLater) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer runtime checks memory through a pipe of its own, which a
    // process without spare descriptors cannot open: it then reports valid
    // objects as bad.
    GTEST_SKIP() << "a process out of descriptors cannot run under the sanitizers";
#endif
    // Two descriptors to spare: the first client takes one; the lingering
    // close of an ended client may hold the other for a while.
    Background peer({"/bin/sh", "-c", "exec \"$0\" 2 2>&1", BinPath("net_server_fd_peer")});
    const int port = peer.FirstLineNumber();
    ASSERT_GT(port, 0) << peer.Output();

    const int total = 8;
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < total; ++i)
        clients.push_back(std::make_unique<RawClient>(port));
    ASSERT_TRUE(clients.front()->WaitFor("hi\r\n"));
    const std::string shortage = "out of descriptors";
    ASSERT_TRUE(WaitForOutput(peer, shortage, 20000)) << peer.Output();

    // A listener that retries at once would be woken tens of thousands of
    // times a second; resting, it is woken about ten times.
    const int before = Occurrences(peer.Output(), "avail");
    bool waited = false;
    QTimer::singleShot(1000, [&] { waited = true; });
    ASSERT_TRUE(Pump([&] { return waited; }));
    const std::string during = peer.Output();
    EXPECT_LT(Occurrences(during, "avail") - before, 200);
    EXPECT_EQ(Occurrences(during, shortage), 1) << "reported more than once";

    // Each client that was greeted says goodbye; the server then takes the
    // next one that waits, until all have been greeted.
    std::vector<bool> done(total, false);
    int finished = 0;
    ASSERT_TRUE(Pump(
        [&] {
            for (int i = 0; i < total; ++i) {
                RawClient& c = *clients[std::size_t(i)];
                if (done[std::size_t(i)])
                    continue;
                c.Poll();
                if (c.got == "hi\r\n" && c.fd >= 0 && !c.eof) {
                    c.Send("bye\r\n");
                    c.got += "(bye)";
                }
                if (c.eof || c.error) {
                    c.Close();
                    done[std::size_t(i)] = true;
                    ++finished;
                }
            }
            return finished == total;
        },
        60000))
        << finished << " of " << total;
    for (const auto& c : clients)
        EXPECT_EQ(c->got, "hi\r\n(bye)");
}
