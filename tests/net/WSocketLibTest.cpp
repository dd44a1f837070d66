// The socket library's own functions: conversions, error texts, the send
// buffer block and the library bookkeeping.

#include "net/WSockBuf.h"
#include "net/WSocket.h"
#include "platform/ServiceNames.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

using namespace qordex;

namespace {

std::string ErrorOf(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const ESocketException& e) {
        return e.what();
    }
    return "(no exception)";
}

} // namespace

TEST(WSocketIsNumericAddr, Table) {
    struct Case {
        const char* text;
        bool numeric;
    } cases[] = {
        {"1.2.3.4", true},         {"  1.2.3.4  ", true},
        {"255.255.255.255", true}, {"0.0.0.0", true},
        {"1.2.3", false},          {"1..2.3", false},
        {".1.2.3", false},         {"1.2.3.256", false},
        {"1.2.3.4.", false},       {"1.2.3.4.5", false},
        {"256.1.1.1", false},      {"a.b.c.d", false},
        {"1.2.3.4x", false},       {"", false},
        {"1.2.3.4 x", false},      {"99999999999999999999.1.1.1", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(WSocketIsNumericAddr(c.text), c.numeric) << "'" << c.text << "'";
}

TEST(WSocketResolvePort, NumbersNamesAndLimits) {
    EXPECT_EQ(WSocketResolvePort("80abc", "tcp"), 80);
    EXPECT_EQ(WSocketResolvePort("0", "tcp"), 0);
    EXPECT_EQ(WSocketResolvePort("65535", "tcp"), 65535);
    // Names come from the system database or the built-in fallback, in any case.
    struct Case {
        const char* name;
        int port;
    } names[] = {{"ftp", 21},     {"ftp-data", 20}, {"smtp", 25},  {"SMTP", 25},  {"time", 37},
                 {"daytime", 13}, {"http", 80},     {"pop3", 110}, {"whois", 43}, {"domain", 53}};
    for (const Case& c : names)
        EXPECT_EQ(WSocketResolvePort(c.name, "tcp"), c.port) << c.name;
    EXPECT_EQ(WSocketResolvePort("time", "udp"), 37);
}

TEST(ServiceNames, BuiltInFallbackCoversTheNamesTheToolsUse) {
    // Used when the system has no services database.
    struct Case {
        const char* name;
        int port;
    } cases[] = {{"ftp", 21},  {"ftp-data", 20}, {"smtp", 25},  {"time", 37},  {"daytime", 13},
                 {"HTTP", 80}, {"pop3", 110},    {"whois", 43}, {"domain", 53}};
    for (const Case& c : cases)
        EXPECT_EQ(BuiltInServicePort(c.name), c.port) << c.name;
    EXPECT_FALSE(BuiltInServicePort("gopher").has_value());
}

TEST(WSocketResolvePort, Errors) {
    // A number above 65535 would be truncated into some other port.
    EXPECT_EQ(ErrorOf([] { WSocketResolvePort("65536", "tcp"); }),
              "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(ErrorOf([] { WSocketResolvePort("99999999999999999999", "tcp"); }),
              "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(ErrorOf([] { WSocketResolvePort("", "tcp"); }), "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(ErrorOf([] { WSocketResolvePort(std::string(32, '1'), "tcp"); }),
              "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(ErrorOf([] { WSocketResolvePort("80", ""); }), "WSocketResolvePort: Invalid Proto.");
    EXPECT_EQ(ErrorOf([] { WSocketResolvePort("nosuchservice", "tcp"); }),
              "WSocketResolvePort: Cannot convert port 'nosuchservice', Error #11004");
}

TEST(WSocketResolveProto, Table) {
    EXPECT_EQ(WSocketResolveProto("TCP"), 6);
    EXPECT_EQ(WSocketResolveProto(" udp "), 17);
    EXPECT_EQ(WSocketResolveProto("raw"), 255);
    EXPECT_EQ(WSocketResolveProto("17"), 17);
    EXPECT_EQ(WSocketResolveProto("6x"), 6);
    EXPECT_EQ(WSocketResolveProto("icmp"), 1);
    EXPECT_EQ(ErrorOf([] { WSocketResolveProto(""); }), "WSocketResolveProto: Invalid Protocol.");
    EXPECT_EQ(ErrorOf([] { WSocketResolveProto("nosuchproto"); }),
              "WSocketResolveProto: Cannot convert protocol 'nosuchproto', Error #11004");
}

TEST(WSocketResolveHost, NumericNamesAndErrors) {
    EXPECT_EQ(WSocketResolveHost(" 10.0.0.1 "), inet_addr("10.0.0.1"));
    EXPECT_EQ(WSocketResolveHost("255.255.255.255"), 0xFFFFFFFFu);
    EXPECT_EQ(WSocketResolveHost("localhost"), inet_addr("127.0.0.1"));
    EXPECT_EQ(ErrorOf([] { WSocketResolveHost(""); }), "WSocketResolveHost: '' Invalid Hostname.");
    std::string longName(257, 'a');
    EXPECT_EQ(ErrorOf([&] { WSocketResolveHost(longName); }),
              "WSocketResolveHost: '" + longName + "' Invalid Hostname.");
}

TEST(WSocketErrorText, KnownAndUnknown) {
    EXPECT_EQ(WSocketErrorText(10061), "Connection refused");
    EXPECT_EQ(WSocketErrorText(10057), "Socket is not connected");
    EXPECT_EQ(WSocketErrorText(0), "No Error");
    EXPECT_EQ(WSocketErrorText(11001), "Host not found");
    EXPECT_EQ(WSocketErrorText(12345), "Not a WinSock error");
}

TEST(GetLocalHostName, MatchesTheSystem) {
    char buf[256] = {};
    gethostname(buf, sizeof buf);
    EXPECT_EQ(GetLocalHostName(), std::string(buf).substr(0, 63));
}

TEST(TBuffer, WritePeekRemove) {
    TBuffer b(10);
    EXPECT_EQ(b.Write("abcdefgh", 8), 8);
    EXPECT_EQ(b.Write("XYZ", 3), 2); // only what fits
    EXPECT_EQ(b.Write("Q", 1), 0);   // full
    int len = 0;
    const char* p = b.Peek(len);
    ASSERT_EQ(len, 10);
    EXPECT_EQ(std::string(p, 10), "abcdefghXY");
    EXPECT_EQ(b.Remove(4), 4);
    p = b.Peek(len);
    EXPECT_EQ(std::string(p, std::size_t(len)), "efghXY");
    EXPECT_EQ(b.Remove(100), 6); // never more than is unread
    EXPECT_EQ(b.Peek(len), nullptr);
    EXPECT_EQ(len, 0);
    // Emptied: refilled from its start.
    EXPECT_EQ(b.Write("0123456789", 10), 10);
}

TEST(TBuffer, SizesAndResize) {
    TBuffer d(0);
    EXPECT_EQ(d.BufSize(), 1514);
    TBuffer b(4);
    b.Write("abcd", 4);
    b.SetBufSize(8);
    EXPECT_EQ(b.Write("efgh", 4), 4);
    int len = 0;
    const char* p = b.Peek(len);
    EXPECT_EQ(std::string(p, std::size_t(len)), "abcdefgh");
}

TEST(SocketLibrary, StartsOnUseAndStopsWithTheLastSocket) {
    ASSERT_EQ(WSocketLiveCount(), 0) << "another test leaked a socket";
    {
        TWSocket s;
        EXPECT_EQ(WSocketLiveCount(), 1);
        EXPECT_FALSE(WSocketLibraryLoaded()) << "construction does not start the library";
        // Before the start the requested version may change, for all sockets.
        s.SetReqVerHigh(2);
        TWSocket other;
        EXPECT_EQ(other.ReqVerHigh(), 2);
        s.SetReqVerHigh(1);
        s.SetProto("udp");
        s.SetAddr("127.0.0.1");
        s.SetPort("9");
        s.Connect();
        EXPECT_TRUE(WSocketLibraryLoaded());
        // Now it is refused, unless the value does not change.
        EXPECT_NO_THROW(s.SetReqVerLow(1));
        try {
            s.SetReqVerLow(2);
            ADD_FAILURE() << "no exception";
        } catch (const ESocketException& e) {
            EXPECT_NE(std::string(e.what()).find(
                          "in function SetReqVerLow: WinSock version can't be changed now"),
                      std::string::npos)
                << e.what();
        }
        EXPECT_EQ(s.ReqVerLow(), 1);
    }
    EXPECT_EQ(WSocketLiveCount(), 0);
    EXPECT_FALSE(WSocketLibraryLoaded());
    TWSocket again;
    again.SetReqVerLow(2); // allowed again: nothing is loaded
    again.SetReqVerLow(1);
}

TEST(SocketLibrary, WinsockInfoNamesThePlatform) {
    TWSADATA info;
    GetWinsockInfo(info);
    EXPECT_NE(info.szDescription.find("Linux"), std::string::npos) << info.szDescription;
    EXPECT_EQ(info.wVersion, 0x0101);
    EXPECT_FALSE(WSocketLibraryLoaded()) << "no socket lives, so the library stops again";
}
