// How a received datagram becomes the lines the UDP listener shows, and how
// a socket failure is printed.

#include "tools/UdpDatagram.h"
#include "platform/SocketErrors.h"
#include "tools/FailureText.h"
#include "tools/UdpListener.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

using namespace qordex;
using Lines = std::vector<std::string>;

TEST(DatagramEntries, SplitsAtLineEndsAndDropsEmptyLines) {
    using namespace std::string_literals;
    struct Case {
        std::string bytes;
        Lines lines;
    } cases[] = {
        {"hello\r\nworld", {"hello", "world"}},
        {"\r\n", {}},
        {"", {}},
        {"one", {"one"}},
        {"a\n\rb", {"a", "b"}},
        {"a\r\rb\n\n\nc\r", {"a", "b", "c"}},
        {"\n\r\n\rx", {"x"}},
        {"tab\there\r\n", {"tab\there"}},
        // Bytes other than CR and LF, zero included, belong to the line.
        {"a\0b\r\nc"s, {"a\0b"s, "c"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DatagramEntries(c.bytes, true), c.lines) << testing::PrintToString(c.bytes);
}

TEST(DatagramEntries, WithoutLineEndOneEntryUpToTheFirstZero) {
    using namespace std::string_literals;
    struct Case {
        std::string bytes;
        Lines lines;
    } cases[] = {
        {"hello\r\nworld", {"hello\r\nworld"}}, {"\r\n", {"\r\n"}}, {"", {}}, {"\0after"s, {}},
        {"before\0after"s, {"before"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DatagramEntries(c.bytes, false), c.lines) << testing::PrintToString(c.bytes);
}

TEST(DatagramEntries, AFullBufferIsShownWhole) {
    // A datagram that fills the receive buffer has no terminating zero after
    // it: what is shown is those bytes, not one more.
    const std::string full(kDatagramBufferSize, 'x');
    EXPECT_EQ(DatagramEntries(full, false), Lines{full});
    EXPECT_EQ(DatagramEntries(full, true), Lines{full});
}

TEST(SenderLine, DottedAddressColonPort) {
    struct Case {
        const char* addr;
        std::uint16_t port;
        const char* line;
    } cases[] = {
        {"10.0.0.5", 4000, "10.0.0.5:4000"},
        {"127.0.0.1", 0, "127.0.0.1:0"},
        {"255.255.255.255", 65535, "255.255.255.255:65535"},
        {"0.0.0.0", 600, "0.0.0.0:600"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SenderLine(inet_addr(c.addr), htons(c.port)), c.line);
}

TEST(SenderFilter, KindsAndWhatTheyAccept) {
    const std::uint32_t here = inet_addr("127.0.0.1");
    const std::uint32_t hostName = inet_addr("127.0.1.1");
    const std::uint32_t other = inet_addr("192.0.2.7");

    SenderFilter any = SenderFilter::FromText(" 0.0.0.0 ");
    EXPECT_EQ(any.Type(), SenderFilter::AnySender);
    EXPECT_TRUE(any.Accepts(other));
    EXPECT_TRUE(any.Accepts(here));

    SenderFilter one = SenderFilter::FromText("192.0.2.7");
    EXPECT_EQ(one.Type(), SenderFilter::OneAddress);
    EXPECT_TRUE(one.Accepts(other));
    EXPECT_FALSE(one.Accepts(here));
    EXPECT_FALSE(one.Accepts(inet_addr("192.0.2.8")));

    // 127.0.0.1 means this machine, whatever its host name maps to.
    for (const char* text : {"127.0.0.1", "localhost"}) {
        SenderFilter self = SenderFilter::FromText(text);
        EXPECT_EQ(self.Type(), SenderFilter::ThisMachine) << text;
        EXPECT_TRUE(self.Accepts(here));
        EXPECT_TRUE(self.Accepts(hostName));
        EXPECT_FALSE(self.Accepts(other));
    }

    // Another loopback address is one address like any other.
    SenderFilter loop2 = SenderFilter::FromText("127.0.0.2");
    EXPECT_EQ(loop2.Type(), SenderFilter::OneAddress);
    EXPECT_FALSE(loop2.Accepts(here));
}

TEST(SenderFilter, NoAddressThrows) {
    for (const char* text : {"", "   ", "300.1.2.3", "no-such-host.invalid"})
        EXPECT_THROW(SenderFilter::FromText(text), ESocketException) << '"' << text << '"';
}

TEST(FailureLines, SplitsTheMessageAndExplainsLowPorts) {
    const ESocketException denied("Error 10013 in function Bind\r\nPermission denied", WSAEACCES);
    EXPECT_EQ(FailureLines(denied, "600"),
              (Lines{"Error 10013 in function Bind", "Permission denied",
                     "Ports below 1024 need root (or the capability cap_net_bind_service)."}));
    EXPECT_EQ(FailureLines(denied, "5600"),
              (Lines{"Error 10013 in function Bind", "Permission denied"}));
    const ESocketException inUse("Error 10048 in function Bind\r\nAddress already in use", 10048);
    EXPECT_EQ(FailureLines(inUse, "600"),
              (Lines{"Error 10048 in function Bind", "Address already in use"}));
    const ESocketException plain("listen: WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(FailureLines(plain, ""), Lines{"listen: WSocketResolvePort: Invalid Port."});
}
