// The send queue alone, over socket pairs: no socket object, no loop.

#include "net/SendQueue.h"
#include "support/TestData.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <numeric>
#include <sys/socket.h>
#include <unistd.h>

using namespace qordex;
using namespace qordex::test;

namespace {

struct Pair {
    int a = -1, b = -1;
    explicit Pair(int type, int sndBuf = 0) {
        int sv[2];
        EXPECT_EQ(socketpair(AF_UNIX, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv), 0);
        a = sv[0];
        b = sv[1];
        if (sndBuf > 0)
            setsockopt(a, SOL_SOCKET, SO_SNDBUF, &sndBuf, sizeof sndBuf);
    }
    ~Pair() {
        if (a >= 0)
            close(a);
        if (b >= 0)
            close(b);
    }
    // Everything the far end can read now.
    std::string ReadAll() const {
        std::string out;
        char buf[65536];
        ssize_t n;
        while ((n = recv(b, buf, sizeof buf, MSG_DONTWAIT)) > 0)
            out.append(buf, std::size_t(n));
        return out;
    }
};

// Every piece lies inside one block of `block` bytes of the stream.
void ExpectPiecesFollowBlocks(const std::vector<int>& pieces, int block) {
    long long off = 0;
    for (int n : pieces) {
        ASSERT_GT(n, 0);
        ASSERT_EQ(off / block, (off + n - 1) / block) << "piece at " << off << " crosses a block";
        off += n;
    }
}

constexpr std::size_t kNoLimit = std::size_t(1) << 40;

} // namespace

TEST(SendQueue, AStreamGoesOutInOrderInBlockSizedPieces) {
    // A small system buffer: the queue meets partial sends and would-block
    // again and again, and must resume each time where it stopped.
    Pair p(SOCK_STREAM, 8192);
    SendQueue q;
    const std::string payload = RandomBytes(1u << 20, 41);
    const SendMode mode;
    for (std::size_t off = 0, step = 1; off < payload.size(); off += step, step = step * 3 + 7)
        q.Append(payload.data() + off, int(std::min(step, payload.size() - off)), mode);
    EXPECT_EQ(q.Bytes(), (long long)payload.size());
    std::vector<int> pieces;
    std::string received;
    bool blocked = false;
    while (q.Bytes() > 0) {
        SendResult r = q.Send(p.a, mode, nullptr, kNoLimit);
        ASSERT_EQ(r.error, 0);
        blocked = blocked || r.blocked;
        pieces.insert(pieces.end(), r.pieces.begin(), r.pieces.end());
        received += p.ReadAll();
    }
    received += p.ReadAll();
    EXPECT_TRUE(blocked);
    EXPECT_TRUE(received == payload);
    EXPECT_EQ(std::accumulate(pieces.begin(), pieces.end(), 0LL), (long long)payload.size());
    ExpectPiecesFollowBlocks(pieces, 1460);
}

TEST(SendQueue, ADirectSendQueuesOnlyWhatTheSystemLeftAndKeepsTheBlocks) {
    Pair p(SOCK_STREAM, 8192);
    SendQueue q(1000);
    const std::string payload = RandomBytes(300000, 43);
    SendResult first;
    ASSERT_TRUE(q.SendDirect(p.a, payload.data(), int(payload.size()), SendMode{}, first));
    EXPECT_TRUE(first.blocked);
    const long long direct = std::accumulate(first.pieces.begin(), first.pieces.end(), 0LL);
    EXPECT_GT(direct, 0);
    EXPECT_EQ(q.Bytes(), (long long)payload.size() - direct);
    // With bytes queued, a direct send would overtake them: refused.
    SendResult refused;
    EXPECT_FALSE(q.SendDirect(p.a, "x", 1, SendMode{}, refused));
    std::vector<int> pieces = first.pieces;
    std::string received;
    while (q.Bytes() > 0) {
        SendResult r = q.Send(p.a, SendMode{}, nullptr, kNoLimit);
        ASSERT_EQ(r.error, 0);
        pieces.insert(pieces.end(), r.pieces.begin(), r.pieces.end());
        received += p.ReadAll();
    }
    received += p.ReadAll();
    EXPECT_TRUE(received == payload);
    ExpectPiecesFollowBlocks(pieces, 1000);
}

TEST(SendQueue, DatagramsStayWholeAndApart) {
    Pair p(SOCK_DGRAM);
    SendQueue q;
    const SendMode mode{true, 0};
    const std::vector<std::string> messages = {"a", std::string(1460, 'b'), RandomBytes(5000, 47),
                                               "", "tail"};
    for (const auto& m : messages)
        q.Append(m.data(), int(m.size()), mode);
    SendResult r = q.Send(p.a, mode, nullptr, kNoLimit);
    ASSERT_EQ(r.error, 0);
    EXPECT_EQ(q.Bytes(), 0);
    EXPECT_EQ(r.pieces, (std::vector<int>{1, 1460, 5000, 4})) << "one piece per message";
    char buf[8192];
    for (const auto& m : messages) {
        if (m.empty())
            continue; // nothing queued for an empty message
        ssize_t n = recv(p.b, buf, sizeof buf, MSG_DONTWAIT);
        ASSERT_EQ(n, ssize_t(m.size()));
        EXPECT_TRUE(std::string(buf, std::size_t(n)) == m);
    }
    EXPECT_LT(recv(p.b, buf, sizeof buf, MSG_DONTWAIT), 0);
}

TEST(SendQueue, TheRoundLimitYieldsWithBytesLeft) {
    Pair p(SOCK_DGRAM);
    SendQueue q;
    const SendMode mode{true, 0};
    for (const char* m : {"one", "two", "three"})
        q.Append(m, int(strlen(m)), mode);
    SendResult r = q.Send(p.a, mode, nullptr, 1);
    EXPECT_TRUE(r.yielded);
    EXPECT_EQ(r.pieces, std::vector<int>{3});
    r = q.Send(p.a, mode, nullptr, kNoLimit);
    EXPECT_FALSE(r.yielded);
    EXPECT_EQ(r.pieces, (std::vector<int>{3, 5}));
}

TEST(SendQueue, TakeAllReturnsTheUnsentRestInOrder) {
    Pair p(SOCK_STREAM, 4096);
    SendQueue q;
    const std::string payload = RandomBytes(200000, 53);
    q.Append(payload.data(), int(payload.size()), SendMode{});
    SendResult r = q.Send(p.a, SendMode{}, nullptr, kNoLimit);
    ASSERT_TRUE(r.blocked);
    std::string sent = p.ReadAll();
    std::string rest = q.TakeAll();
    EXPECT_EQ(q.Bytes(), 0);
    EXPECT_EQ(q.HeldBytes(), 0u);
    EXPECT_TRUE(sent + rest == payload);
}

TEST(SendQueue, AFailedStreamSendKeepsTheBytesAndSaysWhy) {
    Pair p(SOCK_STREAM);
    close(p.b);
    p.b = -1;
    SendQueue q;
    q.Append("hello", 5, SendMode{});
    SendResult r = q.Send(p.a, SendMode{}, nullptr, kNoLimit);
    EXPECT_EQ(r.error, 10054) << "a broken pipe is a reset";
    EXPECT_TRUE(r.pieces.empty());
    EXPECT_EQ(q.Bytes(), 5) << "a stream never drops a byte by itself";
}

TEST(SendQueue, ADatagramTheSystemRefusesIsDroppedAndTheRestGoOut) {
    Pair p(SOCK_DGRAM);
    SendQueue q;
    const SendMode mode{true, 0};
    const std::string huge(1u << 20, 'h'); // beyond any datagram the pair takes
    for (const std::string& m : {std::string("ok1"), huge, std::string("ok2")})
        q.Append(m.data(), int(m.size()), mode);
    SendResult r = q.Send(p.a, mode, nullptr, kNoLimit);
    EXPECT_EQ(r.error, 10040);
    EXPECT_EQ(r.pieces, (std::vector<int>{3, 3}));
    EXPECT_EQ(q.Bytes(), 0);
    char buf[16];
    ASSERT_EQ(recv(p.b, buf, sizeof buf, MSG_DONTWAIT), 3);
    EXPECT_EQ(std::string(buf, 3), "ok1");
    ASSERT_EQ(recv(p.b, buf, sizeof buf, MSG_DONTWAIT), 3);
    EXPECT_EQ(std::string(buf, 3), "ok2");
    // The queue is usable afterwards.
    q.Append("ok3", 3, mode);
    r = q.Send(p.a, mode, nullptr, kNoLimit);
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(r.pieces, std::vector<int>{3});
}

TEST(SendQueue, ADrainedQueueKeepsOneBlockAtMost) {
    Pair p(SOCK_STREAM, 8192);
    SendQueue q;
    const std::string payload = RandomBytes(4u << 20, 59);
    q.Append(payload.data(), int(payload.size()), SendMode{});
    EXPECT_GE(q.HeldBytes(), payload.size());
    std::size_t received = 0;
    while (q.Bytes() > 0) {
        SendResult r = q.Send(p.a, SendMode{}, nullptr, kNoLimit);
        ASSERT_EQ(r.error, 0);
        received += p.ReadAll().size();
    }
    received += p.ReadAll().size();
    EXPECT_EQ(received, payload.size());
    EXPECT_LE(q.HeldBytes(), std::size_t(64 * 1024)) << "held after draining";
    // Small messages afterwards still find their block.
    q.Append("next", 4, SendMode{});
    SendResult r = q.Send(p.a, SendMode{}, nullptr, kNoLimit);
    EXPECT_EQ(r.pieces, std::vector<int>{4});
    EXPECT_LE(q.HeldBytes(), std::size_t(64 * 1024 + 1460));
}
