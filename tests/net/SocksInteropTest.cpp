// The SOCKS client through real proxies from Debian, each run in the
// foreground on 127.0.0.1 from a temporary directory and stopped by the
// test: microsocks (version 5, without and with user/password) and dante
// (versions 4 and 5).  Behind them, an echo server of ours on loopback.

#include "SocksTestUtil.h"
#include "support/Process.h"
#include "support/TestData.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <unistd.h>

using namespace qordex;
using namespace qordex::test;

namespace {

struct ProxySettings {
    explicit ProxySettings(int proxyPort, std::string socksLevel = "5")
        : port(std::to_string(proxyPort)), level(std::move(socksLevel)) {}
    std::string port, level, user, password;
    bool authenticate = false;
};

void PointAtProxy(TWSocket& s, const ProxySettings& p) {
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort(p.port);
    s.SetSocksLevel(p.level);
    s.SetSocksUsercode(p.user);
    s.SetSocksPassword(p.password);
    s.SetSocksAuthentication(p.authenticate ? socksAuthenticateUsercode : socksNoAuthentication);
}

// Sends `payload` through the proxy to the echo server and collects the
// answer; returns the error of OnSessionConnected (0 when it worked).
int RoundTrip(const ProxySettings& proxy, EchoServer& echo, const std::string& payload,
              std::string& echoed, const std::string& destination = "127.0.0.1") {
    TWSocket c;
    int connectError = -1;
    c.OnSessionConnected = [&](TCustomWSocket* s, std::uint16_t e) {
        connectError = e;
        if (e == 0)
            s->SendText(payload);
    };
    c.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
        char buf[16384];
        for (int n; (n = s->Receive(buf, sizeof buf)) > 0;)
            echoed.append(buf, std::size_t(n));
    };
    PointAtProxy(c, proxy);
    c.SetAddr(destination);
    c.SetPort(echo.Port());
    c.Connect();
    EXPECT_TRUE(
        Pump([&] { return echoed.size() >= payload.size() || c.State() == wsClosed; }, 30000));
    c.Close();
    return connectError;
}

// A proxy program in the foreground, stopped when the object goes.
struct RealProxy {
    QTemporaryDir dir;
    std::unique_ptr<Background> proc;
    int port = FreeTcpPort();

    bool Start(const std::vector<std::string>& argv) {
        proc = std::make_unique<Background>(argv);
        return WaitForTcpPort(port, 10000);
    }
    std::string Path(const char* name) const {
        return dir.filePath(QString::fromUtf8(name)).toStdString();
    }
};

// Dante's configuration for a proxy on 127.0.0.1:port that connects
// loopback clients to loopback destinations, with no authentication.
std::string DanteConfig(int port, const std::string& log) {
    return "logoutput: " + log +
           "\n"
           "internal: 127.0.0.1 port = " +
           std::to_string(port) +
           "\n"
           "external: 127.0.0.1\n"
           "clientmethod: none\n"
           "socksmethod: none\n"
           "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
           "socks pass { from: 127.0.0.0/8 to: 127.0.0.0/8 command: connect }\n";
}

} // namespace

TEST(SocksInterop, MicrosocksWithoutAndWithUserAndPassword) {
    if (!HasProgram("microsocks"))
        GTEST_SKIP() << "microsocks is not installed";
    EchoServer echo;
    const std::string payload = RandomBytes(256 * 1024, 11);
    {
        RealProxy proxy;
        ASSERT_TRUE(
            proxy.Start({"microsocks", "-i", "127.0.0.1", "-p", std::to_string(proxy.port)}));
        std::string echoed;
        EXPECT_EQ(RoundTrip(ProxySettings(proxy.port), echo, payload, echoed), 0);
        EXPECT_TRUE(echoed == payload) << echoed.size() << " bytes came back";
    }
    RealProxy proxy;
    ASSERT_TRUE(proxy.Start({"microsocks", "-i", "127.0.0.1", "-p", std::to_string(proxy.port),
                             "-u", "alice", "-P", "s3cret"}));
    ProxySettings good(proxy.port);
    good.user = "alice";
    good.password = "s3cret";
    good.authenticate = true;
    std::string echoed;
    EXPECT_EQ(RoundTrip(good, echo, payload, echoed), 0);
    EXPECT_TRUE(echoed == payload) << echoed.size() << " bytes came back";

    // A wrong password and no credentials at all are both refused.
    ProxySettings wrong = good;
    wrong.password = "guess";
    std::string none;
    EXPECT_EQ(RoundTrip(wrong, echo, payload, none), 20015);
    ProxySettings without(proxy.port);
    EXPECT_EQ(RoundTrip(without, echo, payload, none), 20003);
    EXPECT_TRUE(none.empty());
}

TEST(SocksInterop, DanteVersions4And5) {
    if (!HasProgram("danted"))
        GTEST_SKIP() << "dante-server is not installed";
    RealProxy proxy;
    ASSERT_TRUE(proxy.dir.isValid());
    const std::string config = proxy.Path("danted.conf");
    const std::string log = proxy.Path("danted.log");
    {
        QFile f(QString::fromStdString(config));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray::fromStdString(DanteConfig(proxy.port, log)));
    }
    if (!proxy.Start({"danted", "-f", config, "-p", proxy.Path("danted.pid"), "-N", "1"})) {
        QFile f(QString::fromStdString(log));
        f.open(QIODevice::ReadOnly);
        if (::geteuid() != 0)
            GTEST_SKIP() << "dante did not start without root: " << f.readAll().toStdString();
        FAIL() << "dante did not start: " << f.readAll().toStdString();
    }
    EchoServer echo;
    const std::string payload = RandomBytes(256 * 1024, 12);
    for (const std::string level : {"5", "4"}) {
        SCOPED_TRACE("level " + level);
        std::string echoed;
        EXPECT_EQ(RoundTrip(ProxySettings(proxy.port, level), echo, payload, echoed), 0);
        EXPECT_TRUE(echoed == payload) << echoed.size() << " bytes came back";
    }
    // The name goes to the proxy, which resolves it.
    std::string echoed;
    EXPECT_EQ(RoundTrip(ProxySettings(proxy.port), echo, "by name", echoed, "localhost"), 0);
    EXPECT_EQ(echoed, "by name");

    // Line mode over the proxied stream.
    TWSocket c;
    std::vector<std::string> lines;
    c.SetLineMode(true);
    c.OnSessionConnected = [](TCustomWSocket* s, std::uint16_t) {
        s->SendText("first\r\nsecond\r\nthi");
        s->SendText("rd\r\n");
    };
    c.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
        lines.push_back(s->ReceiveText());
    };
    PointAtProxy(c, ProxySettings(proxy.port));
    Target(c, echo.Port());
    c.Connect();
    ASSERT_TRUE(Pump([&] { return lines.size() >= 3 || c.State() == wsClosed; }));
    EXPECT_EQ(lines, (std::vector<std::string>{"first\r\n", "second\r\n", "third\r\n"}));
}
