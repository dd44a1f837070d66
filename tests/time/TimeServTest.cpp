// The time server inside a network namespace (port 37 is fixed), with a
// fake clock, against Python clients run as separate processes while the
// test pumps the server's loop: bursts of TCP clients, datagrams of any
// size, a client that resets, refusals, descriptors, and an all-or-nothing
// start.

#include "time/TimeServ.h"

#include "time/TimeTestSupport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace qordex;
using namespace qordex::test;

namespace {

class TimeServTest : public InNamespaceTest {
protected:
    void SetUp() override {
        InNamespaceTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        server_ = std::make_unique<TTimeServ>(clock_);
        server_->OnStart = [this](TTimeServ*) { ++starts_; };
        server_->OnStop = [this](TTimeServ*) { ++stops_; };
        server_->OnQuery = [this](TTimeServ*, const TSockAddrIn&, TTimeProtocol p, bool& go) {
            ++(p == tpTCP ? tcp_ : udp_);
            go = !refuse_;
        };
        server_->OnQueryDone = [this](TTimeServ*, std::uint16_t e) { done_.push_back(e); };
    }
    void TearDown() override {
        server_.reset();
        InNamespaceTest::TearDown();
    }

    std::string Client(const std::vector<std::string>& args) { return RunTimeClients(ns_, args); }

    FakeClock clock_;
    std::unique_ptr<TTimeServ> server_;
    int starts_ = 0, stops_ = 0, tcp_ = 0, udp_ = 0;
    bool refuse_ = false;
    std::vector<std::uint16_t> done_;
};

TEST_F(TimeServTest, ABurstOfTcpClientsEachGetFourBytesThenTheEnd) {
    const int before = OpenDescriptors();
    server_->Start();
    ASSERT_TRUE(server_->IsRunning());
    EXPECT_EQ(starts_, 1);
    const std::string out = Client({"burst", "127.0.0.1", "100"});
    EXPECT_NE(out.find("answer e93c7f00\nok"), std::string::npos) << out;
    EXPECT_EQ(tcp_, 100);
    ASSERT_TRUE(PumpUntil([&] { return done_.size() == 100; }, kWaitMs));
    EXPECT_EQ(std::count(done_.begin(), done_.end(), 0), 100);
    // Every connection is let go: no descriptor stays behind.
    EXPECT_EQ(server_->Connections(), 0u);
    server_->Stop();
    EXPECT_EQ(stops_, 1);
    EXPECT_FALSE(server_->IsRunning());
    EXPECT_TRUE(PumpUntil([&] { return OpenDescriptors() == before; }, kWaitMs))
        << OpenDescriptors() << " descriptors, " << before << " before";
}

TEST_F(TimeServTest, EveryDatagramGetsOneAnswer) {
    server_->Start();
    const std::string out = Client({"udp", "127.0.0.1", "0", "1", "1024", "2000"});
    EXPECT_EQ(out, "ok\n");
    EXPECT_EQ(udp_, 4);
    EXPECT_EQ(tcp_, 0);
}

TEST_F(TimeServTest, KeepsServingAfterAClientResets) {
    server_->Start();
    EXPECT_EQ(Client({"reset", "127.0.0.1"}), "ok\n");
    EXPECT_EQ(Client({"burst", "127.0.0.1", "3"}), "answer e93c7f00\nok\n");
    EXPECT_TRUE(server_->IsRunning());
    ASSERT_TRUE(PumpUntil([&] { return server_->Connections() == 0; }, kWaitMs));
}

TEST_F(TimeServTest, RefusedRequestsGetNothing) {
    refuse_ = true;
    server_->Start();
    EXPECT_EQ(Client({"refused", "127.0.0.1"}), "ok\n");
    ASSERT_TRUE(PumpUntil([&] { return !done_.empty(); }, kWaitMs));
    EXPECT_EQ(done_.front(), kQueryRefused);
    EXPECT_EQ(server_->Connections(), 0u);
}

TEST_F(TimeServTest, TheCountWrapsIn2036) {
    const struct {
        std::int64_t now;
        const char* answer;
    } cases[] = {
        {2085978495, "answer ffffffff"},
        {2085978496, "answer 00000000"},
        {2085978500, "answer 00000004"},
    };
    server_->Start();
    for (const auto& c : cases) {
        clock_.Set(c.now);
        EXPECT_EQ(Client({"burst", "127.0.0.1", "1"}), std::string(c.answer) + "\nok\n");
    }
}

TEST_F(TimeServTest, StartIsAllOrNothing) {
    // Something else holds TCP port 37.
    const int taken = HoldTcpPort37();
    ASSERT_GE(taken, 0);

    const int before = OpenDescriptors();
    try {
        server_->Start();
        ADD_FAILURE() << "Start succeeded with TCP 37 taken";
    } catch (const ESocketException& e) {
        EXPECT_EQ(std::string(e.what()).substr(0, 28), "Error 10048 in function Bind");
    }
    EXPECT_FALSE(server_->IsRunning());
    EXPECT_EQ(starts_, 0);
    EXPECT_EQ(OpenDescriptors(), before);
    // The UDP listener opened first was closed again: its port is free.
    const int udp = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(37);
    EXPECT_EQ(::bind(udp, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ::close(udp);

    // UDP alone starts, and TCP joins once its port is free.
    server_->SetTimeProtocol({true, false});
    server_->Start();
    EXPECT_TRUE(server_->IsRunning());
    EXPECT_EQ(starts_, 1);
    ::close(taken);
    server_->SetTimeProtocol({true, true});
    EXPECT_EQ(Client({"burst", "127.0.0.1", "2"}), "answer e93c7f00\nok\n");
    // Taking both away stops the server.
    server_->SetTimeProtocol({false, false});
    EXPECT_FALSE(server_->IsRunning());
    EXPECT_EQ(stops_, 1);
}

} // namespace
