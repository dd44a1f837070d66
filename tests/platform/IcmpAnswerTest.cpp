// Reading ICMP answers from bytes: what a raw or a datagram socket may
// deliver while an echo request is in flight.

#include "platform/IcmpAnswer.h"

#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace qordex;

namespace {

using Bytes = std::vector<std::uint8_t>;

const std::uint32_t kUs = inet_addr("10.1.0.1");
const std::uint32_t kDest = inet_addr("10.3.0.1");
const std::uint32_t kRouter = inet_addr("10.1.0.2");
const std::uint32_t kOther = inet_addr("10.9.9.9");
constexpr std::uint16_t kId = 0x1234, kSeq = 0x0042;

void Put16(Bytes& b, std::size_t at, std::uint16_t v) {
    b[at] = std::uint8_t(v >> 8);
    b[at + 1] = std::uint8_t(v);
}

void Put32Raw(Bytes& b, std::size_t at, std::uint32_t v) {
    std::memcpy(&b[at], &v, 4);
}

// An IPv4 header of `ihl` words carrying `payload` with protocol `proto`.
Bytes Ip(std::uint32_t src, std::uint32_t dst, const Bytes& payload, std::uint8_t proto = 1,
         int ihl = 5, std::uint8_t ttl = 61, bool dontFragment = false) {
    Bytes b(std::size_t(ihl) * 4, 0);
    b[0] = std::uint8_t(0x40 | ihl);
    b[1] = 0x10; // type of service
    Put16(b, 2, std::uint16_t(b.size() + payload.size()));
    b[6] = dontFragment ? 0x40 : 0;
    b[8] = ttl;
    b[9] = proto;
    Put32Raw(b, 12, src);
    Put32Raw(b, 16, dst);
    Put16(b, 10, InternetChecksum(b.data(), b.size()));
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

// An ICMP message with a correct checksum.
Bytes Icmp(std::uint8_t type, std::uint8_t code, std::uint16_t id, std::uint16_t seq,
           const Bytes& body = {}) {
    Bytes b(8, 0);
    b[0] = type;
    b[1] = code;
    Put16(b, 4, id);
    Put16(b, 6, seq);
    b.insert(b.end(), body.begin(), body.end());
    Put16(b, 2, InternetChecksum(b.data(), b.size()));
    return b;
}

Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// An error report from the router quoting a request (its IP header and first 8 bytes).
Bytes Report(std::uint8_t type, std::uint8_t code, const Bytes& quotedDatagram) {
    const int ihl = quotedDatagram[0] & 0x0f;
    Bytes quote(quotedDatagram.begin(),
                quotedDatagram.begin() +
                    std::min<std::ptrdiff_t>(ihl * 4 + 8, std::ptrdiff_t(quotedDatagram.size())));
    return Ip(kRouter, kUs, Icmp(type, code, 0, 0, quote));
}

Bytes OurRequest(std::uint32_t dst = kDest, std::uint16_t id = kId, std::uint16_t seq = kSeq,
                 int ihl = 5) {
    return Ip(kUs, dst, Icmp(kIcmpEchoRequest, 0, id, seq, Text("payload")), 1, ihl);
}

IcmpEchoKey Key(bool checkIdentifier = true) {
    IcmpEchoKey k;
    k.dest = kDest;
    k.identifier = kId;
    k.sequence = kSeq;
    k.checkIdentifier = checkIdentifier;
    return k;
}

Bytes BadChecksum(Bytes b, std::size_t icmpAt) {
    b[icmpAt + 2] ^= 0x01;
    return b;
}

Bytes Cut(Bytes b, std::size_t n) {
    b.resize(n);
    return b;
}

} // namespace

TEST(IcmpAnswer, RawDatagramsOfEveryKind) {
    const Bytes reply = Ip(kDest, kUs, Icmp(kIcmpEchoReply, 0, kId, kSeq, Text("payload")));
    Bytes badIhl = reply;
    badIhl[0] = 0x44; // four words: shorter than any IPv4 header
    Bytes longIhl = Cut(reply, 30);
    longIhl[0] = 0x4f; // sixty bytes of header in a thirty-byte datagram
    Bytes version6 = reply;
    version6[0] = 0x65;
    Bytes udpQuoted = OurRequest();
    udpQuoted[9] = 17;
    struct Case {
        const char* what;
        Bytes bytes;
        IcmpVerdict verdict;
        std::uint32_t status;
    } cases[] = {
        {"our echo reply", reply, IcmpVerdict::EchoReply, ipSuccess},
        {"short IP header", Cut(reply, 19), IcmpVerdict::Malformed, 0},
        {"header length under 20", badIhl, IcmpVerdict::Malformed, 0},
        {"header length beyond the datagram", longIhl, IcmpVerdict::Malformed, 0},
        {"not IPv4", version6, IcmpVerdict::Malformed, 0},
        {"no room for the ICMP header", Cut(reply, 27), IcmpVerdict::Malformed, 0},
        {"bad checksum", BadChecksum(reply, 20), IcmpVerdict::Malformed, 0},
        {"not ICMP", Ip(kDest, kUs, Icmp(kIcmpEchoReply, 0, kId, kSeq), 17), IcmpVerdict::Malformed,
         0},
        {"foreign identifier", Ip(kDest, kUs, Icmp(kIcmpEchoReply, 0, kId + 1, kSeq)),
         IcmpVerdict::Foreign, 0},
        {"earlier sequence", Ip(kDest, kUs, Icmp(kIcmpEchoReply, 0, kId, kSeq - 1)),
         IcmpVerdict::Foreign, 0},
        {"our own request seen on loopback", OurRequest(), IcmpVerdict::Foreign, 0},
        {"time exceeded quoting ours", Report(kIcmpTimeExceeded, 0, OurRequest()),
         IcmpVerdict::ErrorReport, ipTtlExpiredTransit},
        {"port unreachable quoting ours", Report(kIcmpDestUnreachable, 3, OurRequest()),
         IcmpVerdict::ErrorReport, ipDestPortUnreachable},
        {"report quoting a header with options",
         Report(kIcmpDestUnreachable, 1, OurRequest(kDest, kId, kSeq, 6)), IcmpVerdict::ErrorReport,
         ipDestHostUnreachable},
        {"report quoting another destination", Report(kIcmpTimeExceeded, 0, OurRequest(kOther)),
         IcmpVerdict::Foreign, 0},
        {"report quoting another identifier",
         Report(kIcmpTimeExceeded, 0, OurRequest(kDest, kId + 1)), IcmpVerdict::Foreign, 0},
        {"report quoting another sequence",
         Report(kIcmpTimeExceeded, 0, OurRequest(kDest, kId, kSeq + 1)), IcmpVerdict::Foreign, 0},
        {"report quoting a UDP datagram", Report(kIcmpDestUnreachable, 3, udpQuoted),
         IcmpVerdict::Foreign, 0},
        {"report with a cut quote", Report(kIcmpTimeExceeded, 0, Cut(OurRequest(), 24)),
         IcmpVerdict::Malformed, 0},
        {"redirect", Ip(kRouter, kUs, Icmp(5, 0, 0, 0, Cut(OurRequest(), 28))),
         IcmpVerdict::Foreign, 0},
    };
    for (const Case& c : cases) {
        const IcmpAnswer a =
            ReadIcmpAnswer(c.bytes.data(), c.bytes.size(), IcmpFraming::IpDatagram, Key());
        EXPECT_EQ(a.verdict, c.verdict) << c.what;
        if (a.verdict == IcmpVerdict::EchoReply || a.verdict == IcmpVerdict::ErrorReport) {
            EXPECT_EQ(a.status, c.status) << c.what;
        }
    }
}

TEST(IcmpAnswer, ReplyCarriesItsSenderOptionsAndData) {
    const Bytes reply =
        Ip(kDest, kUs, Icmp(kIcmpEchoReply, 0, kId, kSeq, Text("echoed")), 1, 5, 57, true);
    const IcmpAnswer a = ReadIcmpAnswer(reply.data(), reply.size(), IcmpFraming::IpDatagram, Key());
    ASSERT_EQ(a.verdict, IcmpVerdict::EchoReply);
    EXPECT_EQ(a.from, kDest);
    EXPECT_EQ(a.ttl, 57);
    EXPECT_EQ(a.tos, 0x10);
    EXPECT_EQ(a.flags, kIpFlagDontFragment);
    EXPECT_EQ(std::string(reply.begin() + std::ptrdiff_t(a.dataOffset),
                          reply.begin() + std::ptrdiff_t(a.dataOffset + a.dataSize)),
              "echoed");

    const Bytes report = Report(kIcmpTimeExceeded, 0, OurRequest());
    const IcmpAnswer r =
        ReadIcmpAnswer(report.data(), report.size(), IcmpFraming::IpDatagram, Key());
    ASSERT_EQ(r.verdict, IcmpVerdict::ErrorReport);
    EXPECT_EQ(r.from, kRouter) << "the node that sent the report answered";
    EXPECT_EQ(r.dataSize, 0u);
}

TEST(IcmpAnswer, DatagramSocketMessages) {
    // The kernel chose the identifier and checked the checksum.
    const Bytes reply = Icmp(kIcmpEchoReply, 0, 0x7777, kSeq, Text("data"));
    struct Case {
        const char* what;
        Bytes bytes;
        IcmpVerdict verdict;
    } cases[] = {
        {"reply under the kernel's identifier", reply, IcmpVerdict::EchoReply},
        {"reply with a checksum the kernel already took", BadChecksum(reply, 0),
         IcmpVerdict::EchoReply},
        {"earlier sequence", Icmp(kIcmpEchoReply, 0, 0x7777, kSeq - 1), IcmpVerdict::Foreign},
        {"shorter than a header", Cut(reply, 7), IcmpVerdict::Malformed},
        {"empty", {}, IcmpVerdict::Malformed},
    };
    for (const Case& c : cases) {
        const IcmpAnswer a =
            ReadIcmpAnswer(c.bytes.data(), c.bytes.size(), IcmpFraming::Message, Key(false));
        EXPECT_EQ(a.verdict, c.verdict) << c.what;
    }
    const IcmpAnswer a =
        ReadIcmpAnswer(reply.data(), reply.size(), IcmpFraming::Message, Key(false));
    EXPECT_EQ(a.dataOffset, 8u);
    EXPECT_EQ(a.dataSize, 4u);
}

TEST(IcmpAnswer, EveryCutOfAnAnswerIsRefused) {
    for (const Bytes& whole : {Ip(kDest, kUs, Icmp(kIcmpEchoReply, 0, kId, kSeq, Text("abc"))),
                               Report(kIcmpTimeExceeded, 0, OurRequest())}) {
        for (std::size_t n = 0; n < whole.size(); ++n) {
            const IcmpAnswer a = ReadIcmpAnswer(whole.data(), n, IcmpFraming::IpDatagram, Key());
            EXPECT_EQ(a.verdict, IcmpVerdict::Malformed) << "cut at " << n;
        }
    }
}
