// The protected interface that the layers above the core build on, driven
// by three miniature layers written the way SOCKS, line mode and the socket
// server use it: a relay handshake that holds the connect event back and
// hands its leftover bytes on, a line splitter with its own buffer and
// delivery loop, and a server that owns its client objects.

#include "SocketTestUtil.h"

#include <gtest/gtest.h>

using namespace qordex;
using namespace qordex::test;
using Events = std::vector<std::string>;

namespace {

// Connects through a relay that wants "HELLO <host>" CR LF and answers
// "OK" CR LF (success) or anything else (failure, code 20002).  Bytes that
// follow the answer in the same read are handed on as data.
class RelaySocket : public TWSocket {
public:
    std::string relayPort;

    void Connect() override {
        if (!relayPort.empty()) {
            SetResolvedDestination(WSocketResolveHost("127.0.0.1"),
                                   std::uint16_t(WSocketResolvePort(relayPort, "tcp")));
            negotiating_ = true;
        }
        TWSocket::Connect();
    }

protected:
    void TriggerSessionConnected(int error) override {
        if (!negotiating_ || error != 0) {
            negotiating_ = false;
            TWSocket::TriggerSessionConnected(error);
            return;
        }
        std::string hello = "HELLO " + Addr() + "\r\n";
        SendRaw(hello.data(), int(hello.size())); // OnSessionConnected waits for the answer
    }

    bool TriggerDataAvailable(int error) override {
        if (!negotiating_)
            return TWSocket::TriggerDataAvailable(error);
        char buf[64];
        int n = Receive(buf, sizeof buf);
        if (n > 0)
            reply_.append(buf, std::size_t(n));
        std::size_t end = reply_.find("\r\n");
        if (end == std::string::npos)
            return true; // wait for the rest of the answer
        negotiating_ = false;
        bool ok = reply_.compare(0, end, "OK") == 0;
        leftover_ = reply_.substr(end + 2);
        reply_.clear();
        if (!ok) {
            leftover_.clear();
            TriggerSessionConnectedSpecial(20002);
            if (State() != wsClosed)
                InternalClose(true, 20002);
            return false;
        }
        const LifeCheck life(*this);
        TriggerSessionConnectedSpecial(0);
        if (!life.Same())
            return true;
        // The leftovers are ours to deliver: once per pass, stopping when
        // the handler takes nothing.
        while (!leftover_.empty()) {
            std::size_t before = leftover_.size();
            if (!TriggerDataAvailable(0)) {
                leftover_.clear();
                break;
            }
            if (!life.Same() || leftover_.size() == before)
                break;
        }
        return true;
    }

    int RawReceive(void* buffer, int size, int flags) override {
        if (leftover_.empty() || (flags & MSG_PEEK))
            return TWSocket::RawReceive(buffer, size, flags);
        std::size_t n = std::min(leftover_.size(), std::size_t(std::max(size, 0)));
        leftover_.copy(static_cast<char*>(buffer), n);
        leftover_.erase(0, n);
        return int(n);
    }

    int GetRcvdCount() override {
        return leftover_.empty() ? TWSocket::GetRcvdCount() : int(leftover_.size());
    }

    void ResetDefaults() override {
        negotiating_ = false;
        reply_.clear();
        leftover_.clear();
        relayPort.clear(); // like the proxy settings, assigned before every Connect
        TWSocket::ResetDefaults();
    }

private:
    bool negotiating_ = false;
    std::string reply_, leftover_;
};

// Offers complete lines one at a time from its own buffer.  While held,
// lines only collect; Release delivers them from the loop, without waiting
// for more bytes from the network.
class LineSocket : public TWSocket {
public:
    void Hold() { held_ = true; }
    void Release() {
        held_ = false;
        if (!buffer_.empty())
            PostToSelf(WM_TRIGGER_DATA_AVAILABLE);
    }
    std::size_t Held() const { return buffer_.size(); }

protected:
    void WndProc(unsigned msg, WPARAM wParam, LPARAM lParam) override {
        if (msg != WM_TRIGGER_DATA_AVAILABLE) {
            TWSocket::WndProc(msg, wParam, lParam);
            return;
        }
        Deliver();
    }

    bool TriggerDataAvailable(int) override {
        char buf[4096];
        int n = Receive(buf, sizeof buf); // no line is offered now: this reads the system
        if (n > 0)
            buffer_.append(buf, std::size_t(n));
        Deliver();
        return true;
    }

    int RawReceive(void* buffer, int size, int flags) override {
        if (pending_ == 0)
            return TWSocket::RawReceive(buffer, size, flags);
        std::size_t n = std::min(pending_, std::size_t(std::max(size, 0)));
        buffer_.copy(static_cast<char*>(buffer), n);
        buffer_.erase(0, n);
        pending_ -= n;
        return int(n);
    }

    int GetRcvdCount() override { return int(pending_); }

private:
    void Deliver() {
        const LifeCheck life(*this);
        while (!held_) {
            std::size_t end = buffer_.find("\r\n");
            if (end == std::string::npos)
                return;
            pending_ = end + 2;
            TWSocket::TriggerDataAvailable(0);
            if (!life.Alive())
                return;
            bool tookNothing = pending_ == end + 2;
            if (tookNothing)
                return; // offered again with the next notification
            if (pending_ > 0) {
                buffer_.erase(0, pending_); // the unread rest of the line is dropped
                pending_ = 0;
            }
        }
    }

    bool held_ = false;
    std::string buffer_;
    std::size_t pending_ = 0; // bytes of the line on offer
};

class MiniServer;

class MiniClient : public TWSocket {
public:
    explicit MiniClient(MiniServer* server) : server_(server) {}

protected:
    void TriggerSessionClosed(int error) override;

private:
    MiniServer* server_;
};

// Accepts each connection into a client object it owns, greets it, and
// learns of the client's end through a message to its own window.
class MiniServer : public TWSocket {
public:
    std::vector<std::unique_ptr<MiniClient>> clients;
    std::vector<std::string> log;

    void ClientEnded(MiniClient* c, int error) {
        PostToSelf(WM_CLIENT_CLOSED, WPARAM(error), LPARAM(c));
    }

protected:
    void TriggerSessionAvailable(int error) override {
        TWSocket::TriggerSessionAvailable(error);
        TSocket h = Accept();
        auto c = std::make_unique<MiniClient>(this);
        MiniClient* raw = c.get();
        clients.push_back(std::move(c));
        raw->Dup(h);
        raw->SendText("hi\r\n");
        log.push_back("connect");
    }

    void WndProc(unsigned msg, WPARAM wParam, LPARAM lParam) override {
        if (msg != WM_CLIENT_CLOSED) {
            TWSocket::WndProc(msg, wParam, lParam);
            return;
        }
        auto* c = reinterpret_cast<MiniClient*>(lParam);
        auto it = std::find_if(clients.begin(), clients.end(),
                               [c](const auto& p) { return p.get() == c; });
        if (it == clients.end())
            return; // gone already
        log.push_back("disconnect(" + std::to_string(wParam) + ")");
        clients.erase(it);
    }
};

void MiniClient::TriggerSessionClosed(int error) {
    TWSocket::TriggerSessionClosed(error);
    server_->log.push_back("client closed");
    server_->ClientEnded(this, error);
}

// A peer that answers the relay greeting with `answer`, then sends "more".
struct RelayPeer {
    LoopbackServer server;
    std::string heard;
    explicit RelayPeer(std::string answer) {
        server.onAccept = [this, answer](TWSocket& p) {
            p.OnDataAvailable = [this, answer](TCustomWSocket* s, std::uint16_t) {
                heard += s->ReceiveText();
                if (heard.find("\r\n") != std::string::npos && !answered) {
                    answered = true;
                    s->SendText(answer);
                }
            };
        };
    }
    bool answered = false;
};

Events WithoutDataSent(Events e) {
    e.erase(std::remove(e.begin(), e.end(), "DataSent(0)"), e.end());
    return e;
}

} // namespace

TEST(WSocketLayers, AHandshakeHoldsTheConnectEventAndHandsLeftoversOnAsData) {
    RelayPeer relay("OK\r\nleft");
    RelaySocket c;
    Recorder rec;
    rec.Attach(c);
    c.relayPort = relay.server.Port();
    c.SetProto("tcp");
    c.SetAddr("198.51.100.7"); // never resolved: the relay gets the name
    c.SetPort("80");
    c.Connect();
    ASSERT_TRUE(Pump([&] { return rec.data == "left"; }));
    EXPECT_EQ(relay.heard, "HELLO 198.51.100.7\r\n");
    // The handshake's own bytes drain like any others (DataSent); the
    // application hears of the session only once the relay said yes.
    EXPECT_EQ(WithoutDataSent(rec.events),
              (Events{"ChangeState(Closed->Opened)", "ChangeState(Opened->Connecting)",
                      "ChangeState(Connecting->Connected)", "SessionConnected(0)", "Data"}));
    // Later bytes come from the system as usual.
    relay.server.clients[0]->SendText("more");
    ASSERT_TRUE(Pump([&] { return rec.data == "leftmore"; }));
    c.Close();
    EXPECT_EQ(c.State(), wsClosed);
}

TEST(WSocketLayers, AFailedHandshakeReportsItsCodeAndCloses) {
    RelayPeer relay("NO\r\n");
    RelaySocket c;
    Recorder rec;
    rec.Attach(c);
    c.relayPort = relay.server.Port();
    c.SetAddr("example");
    c.SetPort("80");
    c.Connect();
    ASSERT_TRUE(Pump([&] { return c.State() == wsClosed; }));
    EXPECT_EQ(WithoutDataSent(rec.events),
              (Events{"ChangeState(Closed->Opened)", "ChangeState(Opened->Connecting)",
                      "ChangeState(Connecting->Connected)", "SessionConnected(20002)",
                      "ChangeState(Connected->Closed)", "SessionClosed(20002)"}));
    // The close reset the relay setting: the next Connect goes direct.
    EXPECT_TRUE(c.relayPort.empty());
}

TEST(WSocketLayers, ALineLayerDeliversItsBufferedLinesWithoutNewBytes) {
    LoopbackServer srv;
    LineSocket c;
    std::vector<std::string> lines;
    bool connected = false;
    c.OnSessionConnected = [&](TCustomWSocket*, std::uint16_t) { connected = true; };
    c.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
        lines.push_back(s->ReceiveText());
    };
    c.SetAddr("127.0.0.1");
    c.SetPort(srv.Port());
    c.Connect();
    ASSERT_TRUE(Pump([&] { return connected && !srv.clients.empty(); }));
    c.Hold();
    srv.clients[0]->SendText("one\r\ntwo\r\nthr");
    ASSERT_TRUE(Pump([&] { return c.Held() == 13; }));
    EXPECT_TRUE(lines.empty());
    c.Release();
    EXPECT_TRUE(lines.empty()) << "delivered from the loop, not inside the call";
    ASSERT_TRUE(Pump([&] { return lines.size() == 2; }));
    EXPECT_EQ(lines, (std::vector<std::string>{"one\r\n", "two\r\n"}));
    srv.clients[0]->SendText("ee\r\n");
    ASSERT_TRUE(Pump([&] { return lines.size() == 3; }));
    EXPECT_EQ(lines.back(), "three\r\n");
}

TEST(WSocketLayers, AServerOwnsItsClientsAndLearnsOfTheirEndFromTheLoop) {
    MiniServer srv;
    srv.SetAddr("127.0.0.1");
    srv.SetPort("0");
    srv.Listen();
    TWSocket c;
    Recorder rec;
    rec.Attach(c);
    c.SetAddr("127.0.0.1");
    c.SetPort(srv.GetBoundPort());
    c.Connect();
    ASSERT_TRUE(Pump([&] { return rec.data == "hi\r\n"; }));
    ASSERT_EQ(srv.clients.size(), 1u);
    c.Close();
    ASSERT_TRUE(Pump([&] { return srv.clients.empty(); }));
    EXPECT_EQ(srv.log, (std::vector<std::string>{"connect", "client closed", "disconnect(0)"}));
}
