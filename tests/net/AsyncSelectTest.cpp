// The readiness notifications under the socket, on a socket pair.

#include "platform/AsyncSelect.h"
#include "platform/MessageLoop.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using namespace qordex;

namespace {

struct Note {
    SocketTag tag;
    unsigned event;
    int error;
};

struct Pair {
    int a = -1, b = -1;
    // A stream socket pair; for datagrams two UDP sockets on loopback
    // connected to each other, as the socket layer uses them.
    explicit Pair(int type = SOCK_STREAM) {
        if (type == SOCK_DGRAM) {
            a = UdpOnLoopback();
            b = UdpOnLoopback();
            Join(a, b);
            Join(b, a);
            return;
        }
        int sv[2];
        EXPECT_EQ(socketpair(AF_UNIX, type | SOCK_NONBLOCK, 0, sv), 0);
        a = sv[0];
        b = sv[1];
    }
    static int UdpOnLoopback() {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
        return fd;
    }
    static void Join(int from, int to) {
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        EXPECT_EQ(getsockname(to, reinterpret_cast<sockaddr*>(&sa), &len), 0);
        EXPECT_EQ(connect(from, reinterpret_cast<sockaddr*>(&sa), len), 0);
    }
    ~Pair() {
        if (a >= 0)
            close(a);
        if (b >= 0)
            close(b);
    }
};

// An AsyncSelect on its own window, writing down what it delivers.
struct Watcher {
    std::vector<Note> seen;
    HiddenWindow w;
    AsyncSelect sel{&w, [this](SocketTag t, unsigned e, int err) { seen.push_back({t, e, err}); }};

    // Returns once everything queued for the window so far was handled.
    void Settle() {
        bool done = false;
        w.PostCall([&] { done = true; });
        PumpUntil([&] { return done; }, 2000);
    }
};

} // namespace

TEST(AsyncSelect, NotificationsForADetachedDescriptorAreDropped) {
    Watcher n;
    Pair p;
    n.sel.Attach(p.a);
    n.sel.Select(FD_WRITE);
    SocketTag first = n.sel.Tag();
    n.sel.PostNotification(FD_READ, 0); // queued for the first life of the descriptor
    n.sel.Detach();
    n.sel.Attach(p.a); // the same number again, as Linux hands it out at once
    n.sel.Select(FD_WRITE);
    EXPECT_NE(n.sel.Tag(), first);
    EXPECT_EQ(SocketTagFd(n.sel.Tag()), p.a);
    n.sel.PostNotification(FD_WRITE, 0);
    PumpUntil([&] { return !n.seen.empty(); }, 2000);
    PumpMessages();
    ASSERT_EQ(n.seen.size(), 1u);
    EXPECT_EQ(n.seen[0].event, unsigned(FD_WRITE));
    EXPECT_EQ(n.seen[0].tag, n.sel.Tag());
}

TEST(AsyncSelect, OneReadNotificationPerBurstAndCloseAfterTheData) {
    std::vector<Note> seen;
    HiddenWindow w;
    AsyncSelect* selp = nullptr;
    bool readInHandler = false;
    Pair p;
    AsyncSelect sel(&w, [&](SocketTag t, unsigned e, int err) {
        seen.push_back({t, e, err});
        if (e == FD_READ && readInHandler) {
            char buf[100];
            while (recv(p.a, buf, sizeof buf, 0) > 0) {
            }
            selp->ReceiveCalled();
        }
    });
    selp = &sel;
    sel.Attach(p.a);
    sel.Select(FD_READ | FD_WRITE | FD_CLOSE);
    ASSERT_EQ(write(p.b, "one", 3), 3);
    ASSERT_EQ(write(p.b, "two", 3), 3);
    PumpUntil([&] { return !seen.empty(); }, 2000);
    // Nobody read: no second notification for the same bytes.
    PumpUntil([] { return false; }, 100);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].event, unsigned(FD_READ));
    // A receive call re-arms it; the bytes still wait, so it comes again.
    readInHandler = true;
    sel.ReceiveCalled();
    PumpUntil([&] { return seen.size() >= 2; }, 2000);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].event, unsigned(FD_READ));
    // End of stream: the close notification, with error 0.
    close(p.b);
    p.b = -1;
    PumpUntil([&] { return seen.size() >= 3; }, 2000);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2].event, unsigned(FD_CLOSE));
    EXPECT_EQ(seen[2].error, 0);
}

TEST(AsyncSelect, WriteOnlyAfterASendWouldHaveBlocked) {
    Watcher n;
    Pair p;
    n.sel.Attach(p.a);
    n.sel.Select(FD_READ | FD_WRITE | FD_CLOSE);
    PumpUntil([] { return false; }, 50);
    EXPECT_TRUE(n.seen.empty()) << "a writable socket alone is no notification";
    char chunk[4096] = {};
    while (send(p.a, chunk, sizeof chunk, MSG_DONTWAIT) > 0) {
    }
    n.sel.SendWouldBlock();
    PumpUntil([] { return false; }, 50);
    EXPECT_TRUE(n.seen.empty()) << "still full";
    char sink[65536];
    while (recv(p.b, sink, sizeof sink, MSG_DONTWAIT) > 0) {
    }
    PumpUntil([&] { return !n.seen.empty(); }, 2000);
    ASSERT_EQ(n.seen.size(), 1u);
    EXPECT_EQ(n.seen[0].event, unsigned(FD_WRITE));
}

TEST(AsyncSelect, PausedSelectionDeliversNothingUntilSelectedAgain) {
    Watcher n;
    Pair p;
    n.sel.Attach(p.a);
    n.sel.Select(0);
    ASSERT_EQ(write(p.b, "x", 1), 1);
    PumpUntil([] { return false; }, 50);
    EXPECT_TRUE(n.seen.empty());
    n.sel.Select(FD_READ | FD_CLOSE);
    PumpUntil([&] { return !n.seen.empty(); }, 2000);
    ASSERT_EQ(n.seen.size(), 1u);
    EXPECT_EQ(n.seen[0].event, unsigned(FD_READ));
}

TEST(AsyncSelect, SelectingAgainReportsACloseThatWasDropped) {
    // A paused socket drops the close notification queued for it; when it
    // selects its notifications again, the close must come again.
    Watcher n;
    Pair p;
    n.sel.Attach(p.a);
    n.sel.Select(FD_READ | FD_WRITE | FD_CLOSE);
    close(p.b);
    p.b = -1;
    PumpUntil([&] { return !n.seen.empty(); }, 2000);
    ASSERT_EQ(n.seen.size(), 1u);
    EXPECT_EQ(n.seen[0].event, unsigned(FD_CLOSE));
    n.sel.Select(0); // paused: the close above counts as dropped
    n.sel.Select(FD_READ | FD_WRITE | FD_CLOSE);
    PumpUntil([&] { return n.seen.size() >= 2; }, 2000);
    ASSERT_EQ(n.seen.size(), 2u);
    EXPECT_EQ(n.seen[1].event, unsigned(FD_CLOSE));
}

TEST(AsyncSelect, ConnectAndWriteDroppedWhilePausedComeAgainOnSelect) {
    // The notifications are queued, then the selection is cleared before
    // they are handled: selecting again brings them back, in order, once.
    Watcher n;
    Pair p;
    n.sel.Attach(p.a);
    n.sel.Select(FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE);
    n.sel.PostNotification(FD_CONNECT, 10061);
    n.sel.PostNotification(FD_WRITE, 0);
    n.sel.Select(0);
    n.Settle();
    EXPECT_TRUE(n.seen.empty());
    n.sel.Select(FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE);
    PumpUntil([&] { return n.seen.size() >= 2; }, 2000);
    n.Settle();
    ASSERT_EQ(n.seen.size(), 2u);
    EXPECT_EQ(n.seen[0].event, unsigned(FD_CONNECT));
    EXPECT_EQ(n.seen[0].error, 10061);
    EXPECT_EQ(n.seen[1].event, unsigned(FD_WRITE));
}

TEST(AsyncSelect, UnreadInputDoesNotWakeAgainButMoreInputDoes) {
    // A handler that leaves input unread is not called again for it, on a
    // stream or a datagram socket alike; more input is announced.
    for (int type : {SOCK_STREAM, SOCK_DGRAM}) {
        SCOPED_TRACE(type == SOCK_STREAM ? "stream" : "datagram");
        Watcher n;
        Pair p(type);
        n.sel.Attach(p.a);
        n.sel.Select(FD_READ | FD_WRITE | FD_CLOSE);
        ASSERT_EQ(write(p.b, "one", 3), 3);
        PumpUntil([&] { return !n.seen.empty(); }, 2000);
        PumpUntil([] { return false; }, 150); // three idle periods: no second call
        ASSERT_EQ(n.seen.size(), 1u);
        ASSERT_EQ(write(p.b, "two", 3), 3);
        PumpUntil([&] { return n.seen.size() >= 2; }, 2000);
        ASSERT_EQ(n.seen.size(), 2u);
        EXPECT_EQ(n.seen[1].event, unsigned(FD_READ));
    }
}
