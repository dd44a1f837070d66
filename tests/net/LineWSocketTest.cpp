// Line mode over real loopback connections, driven the way the engines
// above drive it: lines cut anywhere by the network, a switch to raw bytes
// in the middle of a stream and back, an interactive typist with echo and
// editing, and handlers that pause, close, abort, free or reconnect their
// socket from inside every event.

#include "SocketTestUtil.h"
#include "support/TestData.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

using namespace qordex;
using namespace qordex::test;
using Lines = std::vector<std::string>;

namespace {

// Counts the data rounds the layers below start (system notifications,
// posted wake-ups), so a test knows when a piece it wrote has been taken.
class CountingSocket : public TWSocket {
public:
    int rounds = 0;

protected:
    bool TriggerDataAvailable(int error) override {
        ++rounds;
        return TWSocket::TriggerDataAvailable(error);
    }
};

// A connected loopback pair: one end adopted by the socket under test, the
// other a plain descriptor the test writes to and reads from itself.
struct LinePair {
    int peer = -1;
    std::unique_ptr<CountingSocket> owned = std::make_unique<CountingSocket>();
    CountingSocket* sock = owned.get();
    Lines events;

    LinePair() {
        int l = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(l, 1);
        ::getsockname(l, reinterpret_cast<sockaddr*>(&a), &len);
        peer = ::socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        ::setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one); // pieces go out as written
        ::connect(peer, reinterpret_cast<sockaddr*>(&a), sizeof a);
        int fd = ::accept(l, nullptr, nullptr);
        ::close(l);
        sock->Dup(fd);
        sock->SetLineMode(true);
        sock->OnSessionClosed = [this](TCustomWSocket*, std::uint16_t e) {
            events.push_back("closed(" + std::to_string(e) + ")");
        };
    }
    ~LinePair() {
        if (peer >= 0)
            ::close(peer);
    }

    // Each data event reads one line with ReceiveText.
    void ReadLines() {
        sock->OnDataAvailable = [this](TCustomWSocket* s, std::uint16_t) {
            events.push_back(s->ReceiveText());
        };
    }
    // Reads lines, and pauses the socket after the first one.
    void PauseAfterFirstLine() {
        sock->OnDataAvailable = [this](TCustomWSocket* s, std::uint16_t) {
            events.push_back(s->ReceiveText());
            if (events.size() == 1)
                s->Pause();
        };
    }
    void Send(const std::string& bytes) {
        ASSERT_EQ(::send(peer, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
    }
    // Writes a piece and waits until the socket has taken it in a round.
    void Feed(const std::string& piece) {
        const int before = sock->rounds;
        Send(piece);
        ASSERT_TRUE(Pump([&] { return sock->rounds > before; }));
    }
    // What the socket sent back so far.
    std::string PeerReceived() {
        std::string out;
        char buf[4096];
        for (ssize_t n; (n = ::recv(peer, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
            out.append(buf, std::size_t(n));
        return out;
    }
    // Runs the loop until everything posted so far has been handled.
    void Settle() {
        bool done = false;
        HiddenWindow sentinel;
        sentinel.PostCall([&] { done = true; });
        ASSERT_TRUE(Pump([&] { return done; }));
    }
    bool WaitEvents(std::size_t n) {
        return Pump([&] { return events.size() >= n; });
    }
};

} // namespace

TEST(LineWSocket, LinesAreTheSameWhereverTheNetworkCutsThem) {
    struct Case {
        const char* name;
        std::vector<std::string> pieces;
        std::string lineEnd;
        Lines lines;
    };
    const std::vector<Case> cases = {
        {"one read", {"AB\r\nCD\r\n"}, "\r\n", {"AB\r\n", "CD\r\n"}},
        {"CR and LF apart", {"AB\r", "\nCD\r", "\n"}, "\r\n", {"AB\r\n", "CD\r\n"}},
        {"byte by byte", {"A", "B", "\r", "\n", "C", "\r", "\n"}, "\r\n", {"AB\r\n", "C\r\n"}},
        {"LF only", {"a\nb", "\n"}, "\n", {"a\n", "b\n"}},
        {"long terminator", {"xxE", "ND yE", "N", "D"}, "END", {"xxEND", " yEND"}},
        {"empty LineEnd is raw", {"abc"}, "", {"abc"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LinePair p;
        p.ReadLines();
        p.sock->SetLineEnd(c.lineEnd);
        for (const std::string& piece : c.pieces)
            p.Feed(piece);
        ASSERT_TRUE(p.WaitEvents(c.lines.size()));
        p.Settle();
        EXPECT_EQ(p.events, c.lines);
    }
}

TEST(LineWSocket, ALineNotReadIsOfferedOncePerRound) {
    LinePair p;
    int offers = 0;
    p.sock->OnDataAvailable = [&](TCustomWSocket*, std::uint16_t) { ++offers; };
    p.Feed("A\r\nB\r\n");
    p.Settle();
    EXPECT_EQ(offers, 1) << "waits for the next notification instead of spinning";
    // With the next bytes the same line comes again, and now it is read.
    p.ReadLines();
    p.Feed("C\r\n");
    ASSERT_TRUE(p.WaitEvents(3));
    EXPECT_EQ(p.events, (Lines{"A\r\n", "B\r\n", "C\r\n"}));
}

TEST(LineWSocket, WithoutAHandlerLinesAreDropped) {
    LinePair p;
    p.Feed("A\r\nB\r\n");
    p.ReadLines();
    p.Feed("C\r\n");
    ASSERT_TRUE(p.WaitEvents(1));
    p.Settle();
    EXPECT_EQ(p.events, (Lines{"C\r\n"}));
}

TEST(LineWSocket, TheLastLineWithoutTerminatorComesBeforeTheClose) {
    LinePair p;
    p.ReadLines();
    p.Send("one\r\ntwo");
    ::shutdown(p.peer, SHUT_WR);
    ASSERT_TRUE(p.WaitEvents(3));
    EXPECT_EQ(p.events, (Lines{"one\r\n", "two", "closed(0)"}));
}

TEST(LineWSocket, LineLimitClearsOrKeepsTheLongLine) {
    for (bool clear : {true, false}) {
        SCOPED_TRACE(clear ? "cleared" : "kept");
        LinePair p;
        p.ReadLines();
        p.sock->SetLineLimit(10);
        p.sock->OnLineLimitExceeded = [&](TCustomWSocket*, int n, bool& clearData) {
            p.events.push_back("limit(" + std::to_string(n) + ")");
            clearData = clear;
        };
        p.Feed("12345678901");
        p.Feed("\r\n");
        ASSERT_TRUE(p.WaitEvents(2));
        EXPECT_EQ(p.events, (Lines{"limit(11)", clear ? "\r\n" : "12345678901\r\n"}));
    }
}

TEST(LineWSocket, SwitchingToRawMidStreamKeepsEveryByteInOrder) {
    // Header lines, then a body read raw: by a handler that takes a few
    // bytes per event, and by one that reads until Receive fails.
    for (int piece : {3, 0}) {
        SCOPED_TRACE(piece);
        LinePair p;
        Lines headers;
        std::string body;
        p.sock->OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
            auto* ls = static_cast<TWSocket*>(s);
            if (ls->LineMode()) {
                headers.push_back(s->ReceiveText());
                if (headers.back() == "\r\n")
                    ls->SetLineMode(false);
                return;
            }
            char buf[4096];
            if (piece > 0) {
                int n = s->Receive(buf, piece);
                if (n > 0)
                    body.append(buf, std::size_t(n));
                return;
            }
            for (int n; (n = s->Receive(buf, sizeof buf)) > 0;)
                body.append(buf, std::size_t(n));
        };
        p.Send("GET / HTTP/1.0\r\nHost: x\r\n\r\nBODY-IN-THE-SAME-READ");
        ASSERT_TRUE(Pump([&] { return body.size() == 21; }));
        p.Send("+MORE");
        ASSERT_TRUE(Pump([&] { return body.size() == 26; }));
        EXPECT_EQ(headers, (Lines{"GET / HTTP/1.0\r\n", "Host: x\r\n", "\r\n"}));
        EXPECT_EQ(body, "BODY-IN-THE-SAME-READ+MORE");
    }
}

TEST(LineWSocket, BackToLinesAfterRawBytesWithoutWaitingForTheNetwork) {
    LinePair p;
    std::string raw;
    p.sock->OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
        auto* ls = static_cast<TWSocket*>(s);
        if (ls->LineMode()) {
            p.events.push_back(s->ReceiveText());
            if (p.events.size() == 1)
                ls->SetLineMode(false); // four raw bytes follow
            return;
        }
        char buf[4];
        int n = s->Receive(buf, int(4 - raw.size()));
        if (n > 0)
            raw.append(buf, std::size_t(n));
        if (raw.size() == 4)
            ls->SetLineMode(true);
    };
    p.Send("H1\r\nrawXL2\r\nL3\r\n");
    ASSERT_TRUE(p.WaitEvents(3));
    EXPECT_EQ(raw, "rawX");
    EXPECT_EQ(p.events, (Lines{"H1\r\n", "L2\r\n", "L3\r\n"}));
}

TEST(LineWSocket, AnInteractiveTypistWithEchoAndEditing) {
    struct Case {
        const char* name;
        bool edit;
        std::vector<std::string> keys;
        std::string line, echo;
    };
    const std::vector<Case> cases = {
        {"backspace", true, {"a", "b", "x", "\b", "c", "\r", "\n"}, "abc\r\n", "abx\b \bc\r\n"},
        {"backspace in one read", true, {"abx\bc\r\n"}, "abc\r\n", "abx\b \bc\r\n"},
        {"tab after three", true, {"abc", "\t", "z\r\n"}, "abc     z\r\n", "abc     z\r\n"},
        {"tab after eight",
         true,
         {"abcdefgh\t", "\r\n"},
         "abcdefgh        \r\n",
         "abcdefgh        \r\n"},
        {"erase the CR", true, {"ab\r", "\b", "c\r\n"}, "abc\r\n", "ab\r\b \bc\r\n"},
        {"echo only", false, {"ab\b", "c\r\n"}, "ab\bc\r\n", "ab\bc\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LinePair p;
        p.ReadLines();
        p.sock->SetLineEcho(true);
        p.sock->SetLineEdit(c.edit);
        for (const std::string& k : c.keys)
            p.Feed(k);
        ASSERT_TRUE(p.WaitEvents(1));
        EXPECT_EQ(p.events, (Lines{c.line}));
        std::string echo;
        ASSERT_TRUE(Pump([&] {
            echo += p.PeerReceived();
            return echo.size() >= c.echo.size();
        }));
        EXPECT_EQ(echo, c.echo);
    }
}

TEST(LineWSocket, CloseAbortOrFreeFromInsideEveryEvent) {
    using Action = std::function<void(LinePair&)>;
    const std::vector<std::pair<const char*, Action>> actions = {
        {"Close", [](LinePair& p) { p.sock->Close(); }},
        {"Abort", [](LinePair& p) { p.sock->Abort(); }},
        {"free", [](LinePair& p) { p.owned.reset(); }},
    };
    enum Where { InLine, InLimit, InLastLine };
    for (Where where : {InLine, InLimit, InLastLine}) {
        for (const auto& [name, action] : actions) {
            SCOPED_TRACE(testing::Message() << name << " in event " << int(where));
            LinePair p;
            int dataEvents = 0;
            bool acted = false;
            auto act = [&] {
                acted = true;
                action(p);
            };
            p.sock->OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
                ++dataEvents;
                std::string line = s->ReceiveText();
                if ((where == InLine && line == "A\r\n") || (where == InLastLine && line == "part"))
                    act();
            };
            p.sock->SetLineLimit(where == InLimit ? 4 : 0);
            p.sock->OnLineLimitExceeded = [&](TCustomWSocket*, int, bool&) { act(); };
            if (where == InLimit)
                p.Send("123456789");
            else
                p.Send("A\r\nB\r\nC\r\npart");
            if (where == InLastLine)
                ::shutdown(p.peer, SHUT_WR);
            ASSERT_TRUE(Pump([&] { return acted; }));
            p.Settle();
            EXPECT_EQ(dataEvents, where == InLine ? 1 : where == InLastLine ? 4 : 0);
            const Lines closed = std::string(name) == "free" ? Lines{} : Lines{"closed(0)"};
            EXPECT_EQ(p.events, closed);
            if (p.owned) {
                EXPECT_EQ(p.sock->State(), wsClosed);
            }
        }
    }
}

TEST(LineWSocket, PauseWithLinesHeldAndResumeWithoutNewBytes) {
    LinePair p;
    p.PauseAfterFirstLine();
    p.Feed("A\r\nB\r\nC\r\n");
    p.Settle();
    EXPECT_EQ(p.events, (Lines{"A\r\n"}));
    p.sock->Resume();
    ASSERT_TRUE(p.WaitEvents(3));
    EXPECT_EQ(p.events, (Lines{"A\r\n", "B\r\n", "C\r\n"}));
}

TEST(LineWSocket, ClosingWhilePausedDeliversTheHeldLinesOneByOneFirst) {
    LinePair p;
    p.PauseAfterFirstLine();
    p.Feed("A\r\nB\r\nC\r\nrest");
    p.Settle();
    p.sock->Close();
    EXPECT_EQ(p.events, (Lines{"A\r\n", "B\r\n", "C\r\n", "rest", "closed(0)"}));
}

TEST(LineWSocket, ReadingUntilAnErrorTakesOneLinePerEvent) {
    LinePair p;
    int lastError = 0;
    p.sock->OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
        std::string line;
        char buf[3];
        for (int n; (n = s->Receive(buf, sizeof buf)) > 0;)
            line.append(buf, std::size_t(n));
        lastError = s->LastError();
        p.events.push_back(line);
    };
    p.Send("first line\r\nsecond\r\nthird");
    ASSERT_TRUE(p.WaitEvents(2));
    p.Settle();
    EXPECT_EQ(p.events, (Lines{"first line\r\n", "second\r\n"}));
    EXPECT_EQ(lastError, 10035);
}

TEST(LineWSocket, ANewSessionStartsWithAnEmptyBuffer) {
    LoopbackServer srv;
    srv.onAccept = [](TWSocket& c) {
        c.Window()->PostCall([&c] { c.SendText("X\r\n"); }); // once adopted
    };
    LinePair p;
    p.sock->OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
        p.events.push_back(s->ReceiveText());
        if (p.events.size() == 1)
            s->Close(); // "B" and "stale" are still held
    };
    // After the peer's close the session ends with State still connected;
    // the new connection is started from the loop.
    p.Send("A\r\nB\r\nstale");
    ASSERT_TRUE(p.WaitEvents(2));
    ASSERT_EQ(p.events, (Lines{"A\r\n", "closed(0)"}));
    p.sock->Window()->PostCall([&] {
        Target(*p.sock, srv.Port());
        p.sock->Connect();
    });
    ASSERT_TRUE(p.WaitEvents(3));
    EXPECT_EQ(p.events.back(), "X\r\n");
    // And after a close by the peer, a reconnect posted from OnSessionClosed.
    p.sock->OnSessionClosed = [&](TCustomWSocket* s, std::uint16_t) {
        p.events.push_back("closed");
        s->Window()->PostCall([&] {
            Target(*p.sock, srv.Port());
            p.sock->Connect();
        });
    };
    srv.clients.back()->SendText("partial");
    srv.clients.back()->Close();
    ASSERT_TRUE(p.WaitEvents(6));
    EXPECT_EQ(Lines(p.events.begin() + 3, p.events.end()), (Lines{"partial", "closed", "X\r\n"}));
}

TEST(LineWSocket, ABurstOfManyLinesArrivesWholeAndInOrder) {
    LinePair p;
    p.ReadLines();
    std::string burst;
    for (int i = 0; i < 20000; ++i)
        burst += "line number " + std::to_string(i) + "\r\n";
    p.Send(burst);
    ASSERT_TRUE(p.WaitEvents(20000));
    EXPECT_EQ(p.events.front(), "line number 0\r\n");
    EXPECT_EQ(p.events.back(), "line number 19999\r\n");
    std::string joined;
    for (const std::string& l : p.events)
        joined += l;
    EXPECT_TRUE(joined == burst);
}

TEST(LineWSocket, ALongLineKeptPastTheLimitHoldsThePeerBackAtTheCeiling) {
    LinePair p;
    // The application keeps the over-long line: only the ceiling stops the
    // buffer from growing, and the peer then waits on flow control.
    std::size_t held = 0;
    p.sock->SetLineLimit(1);
    p.sock->OnLineLimitExceeded = [&](TCustomWSocket*, int n, bool& clear) {
        held = std::size_t(n);
        clear = false;
    };
    ::fcntl(p.peer, F_SETFL, ::fcntl(p.peer, F_GETFL) | O_NONBLOCK);
    const std::string chunk(1 << 20, 'x');
    std::size_t sent = 0;
    bool blocked = false;
    auto write = [&] {
        blocked = false;
        while (sent < 2 * kLineBufferCeiling) {
            const std::size_t len = std::min(chunk.size(), 2 * kLineBufferCeiling - sent);
            ssize_t n = ::send(p.peer, chunk.data(), len, MSG_NOSIGNAL);
            if (n <= 0) {
                blocked = true;
                return;
            }
            sent += std::size_t(n);
        }
    };
    ASSERT_TRUE(Pump(
        [&] {
            write();
            return held >= kLineBufferCeiling;
        },
        60000));
    // More is sent than fits; the peer is held back, nothing more is taken.
    ASSERT_TRUE(Pump([&] {
        write();
        return blocked;
    }));
    p.Settle();
    EXPECT_EQ(held, kLineBufferCeiling);
    EXPECT_GT(sent, kLineBufferCeiling);

    // Read raw, everything arrives: what was held, then what waited.
    std::size_t received = 0;
    p.sock->OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
        char buf[65536];
        for (int n; (n = s->Receive(buf, sizeof buf)) > 0;)
            received += std::size_t(n);
    };
    p.sock->SetLineMode(false);
    ASSERT_TRUE(Pump(
        [&] {
            write();
            return received == sent && sent == 2 * kLineBufferCeiling;
        },
        20000))
        << "received " << received << " of " << sent << ", rounds " << p.sock->rounds;
}
