// DNS messages as bytes: the query, names, the response decoder on sound and
// hostile messages, the TCP framing and the dump lines.

#include "diag/DnsCodec.h"
#include "diag/DnsReport.h"
#include "diag/DnsServers.h"
#include "platform/IpHelper.h"

#include "diag/DnsTestMessages.h"
#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <set>

using namespace qordex::diag;
using qordex::test::DnsMsg;
using qordex::test::kQName;
using namespace std::literals;

namespace {

std::string Label(std::size_t n, char c = 'a') {
    return std::string(n, c);
}

// A name of `encoded` bytes on the wire: labels of 63 and one shorter.
std::string NameOfEncodedSize(std::size_t encoded) {
    std::string name;
    std::size_t left = encoded - 1; // the final zero byte
    while (left > 0) {
        std::size_t take = std::min<std::size_t>(64, left); // a length byte + up to 63
        if (left - take == 1)
            take -= 2; // never leave a single byte: a label needs two
        if (!name.empty())
            name += '.';
        name += Label(take - 1, char('a' + name.size() % 26));
        left -= take;
    }
    return name;
}

DnsResponse Decode(std::string_view msg) {
    DnsResponse r;
    EXPECT_TRUE(DecodeDnsResponse(msg, r));
    return r;
}

std::string Dotted(std::uint32_t addr) {
    return qordex::ipsys::Ip4ToText(addr);
}

} // namespace

TEST(DnsRequest, HeaderAndQuestionBytes) {
    const std::string req = BuildDnsRequest(0x1234, "www.example.com", kDnsTypeMx);
    DnsMsg expected;
    expected.Header(0x1234, 0x0100, 1, 0).Question("www.example.com", 15);
    EXPECT_EQ(req, expected.bytes);
    EXPECT_EQ(BuildDnsRequestHeader(1), std::string("\0\1\1\0\0\1\0\0\0\0\0\0", 12));
}

TEST(DnsRequest, NamesAcceptedAndRefused) {
    struct Case {
        std::string name;
        bool ok;
        std::string encoded; // expected wire form when ok and not empty here
    } cases[] = {
        {"a.b", true, std::string("\1a\1b\0", 5)},
        {"a.b.", true, std::string("\1a\1b\0", 5)}, // a trailing dot adds nothing
        {".", true, std::string("\0", 1)},          // the root
        {Label(63), true, ""},
        {Label(63) + ".x", true, ""},
        {Label(64), false, ""},
        {"x." + Label(64) + ".y", false, ""},
        {"", false, ""},
        {"a..b", false, ""},
        {".a", false, ""},
        {"..", false, ""},
        {"a.b..", false, ""},
        {NameOfEncodedSize(255), true, ""},
        {NameOfEncodedSize(256), false, ""},
        {NameOfEncodedSize(255) + ".", true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("name of " + std::to_string(c.name.size()) +
                     " bytes: " + c.name.substr(0, 40));
        if (!c.ok) {
            EXPECT_THROW(EncodeDnsName(c.name), EDnsQueryException);
            EXPECT_THROW(BuildDnsRequest(1, c.name, kDnsTypeA), EDnsQueryException);
            continue;
        }
        const std::string enc = EncodeDnsName(c.name);
        if (!c.encoded.empty()) {
            EXPECT_EQ(enc, c.encoded);
        }
        EXPECT_LE(enc.size(), kMaxDnsName);
        EXPECT_LE(BuildDnsRequest(1, c.name, kDnsTypeA).size(), kMaxDnsQuery);
    }
    EXPECT_EQ(EncodeDnsName(NameOfEncodedSize(255)).size(), 255u);
}

TEST(DnsRequest, ReverseNames) {
    EXPECT_EQ(ReverseDnsName("192.0.2.1"), "1.2.0.192.in-addr.arpa");
    EXPECT_EQ(ReverseDnsName("10.1"), "1.10.in-addr.arpa");
    // The text is not checked here; an empty part is refused when encoded.
    EXPECT_THROW(EncodeDnsName(ReverseDnsName("1.2.3.4.")), EDnsQueryException);
}

TEST(DnsDecode, HeaderFieldsAndThreeAddresses) {
    DnsMsg m;
    m.Header(0xBEEF, 0x8000 | (2 << 11) | 0x0400 | 0x0200 | 0x0100 | 0x0080 | 3, 1, 3, 2, 4)
        .Question("h.test", 1)
        .A(kQName, 300, "10.0.0.1")
        .A(kQName, 301, "10.0.0.2")
        .A(kQName, 0xFFFFFFFF, "10.0.0.3");
    const DnsResponse r = Decode(m);
    EXPECT_EQ(r.id, 0xBEEF);
    EXPECT_EQ(r.responseCode, 3);
    EXPECT_EQ(r.opCode, 2);
    EXPECT_EQ(r.authoritative, 1);
    EXPECT_EQ(r.truncation, 1);
    EXPECT_EQ(r.recursionAvailable, 1);
    EXPECT_EQ(r.qdCount, 1);
    EXPECT_EQ(r.anCount, 3);
    EXPECT_EQ(r.nsCount, 2);
    EXPECT_EQ(r.arCount, 4);
    EXPECT_EQ(r.questionName, "h.test");
    EXPECT_EQ(r.questionType, 1);
    EXPECT_EQ(r.questionClass, 1);
    ASSERT_EQ(r.answers.size(), 3u);
    ASSERT_EQ(r.addresses.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(r.answers[i].name, "h.test");
        EXPECT_EQ(r.answers[i].tag, i);
        EXPECT_EQ(Dotted(r.addresses[i]), "10.0.0." + std::to_string(i + 1));
    }
    EXPECT_EQ(r.answers[2].ttl, 0xFFFFFFFFu);
    EXPECT_EQ(r.buf, m.bytes);
}

TEST(DnsDecode, NotAResponse) {
    DnsResponse r;
    r.id = 77;
    DnsMsg query;
    query.Header(1, 0x0100, 1, 0).Question("a.b", 1);
    EXPECT_FALSE(DecodeDnsResponse(query, r)); // QR clear
    EXPECT_FALSE(DecodeDnsResponse(std::string_view("\0\1\x81\x80\0\0\0\0\0\0\0", 11), r));
    EXPECT_FALSE(DecodeDnsResponse({}, r));
    EXPECT_EQ(r.id, 77) << "an ignored message leaves the decoded fields alone";
    EXPECT_TRUE(DecodeDnsResponse(std::string_view("\0\1\x81\x80\0\0\0\0\0\0\0\0", 12), r));
    EXPECT_EQ(r.id, 1);
    EXPECT_EQ(r.questionName, "");
    EXPECT_EQ(r.questionType, 0);
}

TEST(DnsDecode, RecordKinds) {
    DnsMsg m;
    m.Header(1, 0x8180, 1, 6).Question("x.test", 15);
    const std::uint16_t mxName = std::uint16_t(m.Size() + 12 + 2);
    m.Pointer(kQName).Fields(15, 60, 2 + 6).U16(10).Name("mail");      // "mail" alone
    m.Labels("c").Pointer(kQName).Fields(5, 60, 2).Pointer(mxName);    // CNAME
    m.Pointer(kQName).Fields(12, 60, 6).Labels("ptr").Pointer(kQName); // PTR ends in a pointer
    m.Pointer(kQName).Fields(29, 60, 16).Raw(std::string(16, '\x07')); // LOC of 16 bytes
    m.Pointer(kQName).Fields(1, 60, 4).Raw("\x7f\0\0\1"sv);
    m.Pointer(kQName).Fields(16, 60, 3).Raw("\2hi"); // TXT: listed, nothing decoded
    const DnsResponse r = Decode(m);
    ASSERT_EQ(r.answers.size(), 6u);
    EXPECT_EQ(r.answers[0].tag, 0);
    EXPECT_EQ(r.mxPreference.at(0), 10);
    EXPECT_EQ(r.mxExchange.at(0), "mail");
    EXPECT_EQ(r.answers[1].name, "c.x.test");
    EXPECT_EQ(r.answers[1].type, 5);
    EXPECT_EQ(r.answers[1].tag, -1);
    EXPECT_EQ(r.answers[2].tag, 0);
    EXPECT_EQ(r.hostnames.at(0), "ptr.x.test");
    EXPECT_EQ(r.answers[3].tag, -1);
    EXPECT_EQ(r.locInfo[0], 7);
    EXPECT_EQ(r.locInfo[15], 7);
    EXPECT_EQ(r.answers[4].tag, 0);
    EXPECT_EQ(Dotted(r.addresses.at(0)), "127.0.0.1");
    EXPECT_EQ(r.answers[5].type, 16);
    EXPECT_EQ(r.answers[5].tag, -1);
}

// A pointer ends the name: the record's fields follow its two bytes.
TEST(DnsDecode, APointerEndsTheName) {
    DnsMsg m;
    m.Header(1, 0x8180, 1, 1).Question("example.com", 1);
    m.Labels("www").Pointer(kQName).Fields(1, 5, 4).Raw("\1\2\3\4");
    const DnsResponse r = Decode(m);
    ASSERT_EQ(r.answers.size(), 1u);
    EXPECT_EQ(r.answers[0].name, "www.example.com");
    EXPECT_EQ(r.answers[0].type, 1);
    EXPECT_EQ(r.answers[0].ttl, 5u);
    EXPECT_EQ(Dotted(r.addresses.at(0)), "1.2.3.4");
}

TEST(DnsDecode, CountsBeyondTheLimits) {
    // 60 records: the first 50 are kept.
    DnsMsg sixty;
    sixty.Header(1, 0x8180, 1, 60).Question("h.test", 1);
    for (int i = 0; i < 60; ++i)
        sixty.A(kQName, 1, "10.0.1." + std::to_string(i));
    DnsResponse r = Decode(sixty);
    EXPECT_EQ(r.anCount, 60);
    EXPECT_EQ(r.answers.size(), 50u);
    EXPECT_EQ(r.addresses.size(), 50u);
    EXPECT_EQ(Dotted(r.addresses.back()), "10.0.1.49");

    // A header that claims 65535 answers and carries one.
    DnsMsg liar;
    liar.Header(1, 0x8180, 1, 65535).Question("h.test", 1).A(kQName, 1, "10.9.9.9");
    r = Decode(liar);
    EXPECT_EQ(r.anCount, 65535);
    EXPECT_EQ(r.answers.size(), 1u);

    // At most ten host names.
    DnsMsg ptrs;
    ptrs.Header(1, 0x8180, 1, 12).Question("1.0.0.10.in-addr.arpa", 12);
    for (int i = 0; i < 12; ++i)
        ptrs.Pointer(kQName).Fields(12, 1, 4).Name("p" + std::to_string(i % 10));
    r = Decode(ptrs);
    EXPECT_EQ(r.answers.size(), 12u);
    EXPECT_EQ(r.hostnames.size(), 10u);
    EXPECT_EQ(r.answers[9].tag, 9);
    EXPECT_EQ(r.answers[10].tag, -1);
}

// Hostile messages: each ends the decoding at its fault, keeps what came
// before and never reads outside the message.
TEST(DnsDecode, MalformedMessagesStopAtTheFault) {
    struct Case {
        const char* what;
        DnsMsg msg;
        std::size_t answers; // records decoded before the fault
        std::size_t addresses;
        const char* question;
    };
    auto base = [](std::uint16_t an) {
        DnsMsg m;
        m.Header(1, 0x8180, 1, an).Question("h.test", 1).A(kQName, 1, "10.0.0.1");
        return m;
    };
    const std::uint16_t afterFirst = std::uint16_t(base(2).Size());
    std::vector<Case> cases;
    {
        DnsMsg m = base(2);
        m.Pointer(afterFirst).Fields(1, 1, 4).Raw("\1\1\1\1"); // points at itself
        cases.push_back({"self pointer", m, 1, 1, "h.test"});
    }
    {
        DnsMsg m = base(2);
        m.Pointer(std::uint16_t(afterFirst + 2)).Pointer(afterFirst); // two pointing at each other
        cases.push_back({"pointer pair", m, 1, 1, "h.test"});
    }
    {
        DnsMsg m = base(2);
        m.Pointer(0x3FFF);
        cases.push_back({"pointer past the end", m, 1, 1, "h.test"});
    }
    {
        DnsMsg m = base(2);
        m.Byte(0xC0); // half a pointer
        cases.push_back({"cut pointer", m, 1, 1, "h.test"});
    }
    {
        DnsMsg m = base(2);
        m.Byte(20).Raw("abc"); // a label longer than what is left
        cases.push_back({"cut label", m, 1, 1, "h.test"});
    }
    {
        DnsMsg m = base(3);
        m.Pointer(kQName).Fields(1, 1, 5).Raw("\1\2\3\4\5"); // A with 5 bytes: not stored
        m.Pointer(kQName).Fields(1, 1, 3).Raw("\1\2\3");     // A with 3 bytes: not stored
        cases.push_back({"A RDLENGTH not 4", m, 3, 1, "h.test"});
    }
    {
        DnsMsg m = base(3);
        m.Pointer(kQName).Fields(15, 1, 2).U16(5);         // MX without a name
        m.Pointer(kQName).Fields(15, 1, 3).U16(5).Byte(9); // MX name runs out of RDATA
        cases.push_back({"MX RDLENGTH too short", m, 3, 1, "h.test"});
    }
    {
        DnsMsg m = base(2);
        m.Pointer(kQName).Fields(1, 1, 40).Raw("\1\2\3\4"); // RDATA past the end
        cases.push_back({"RDATA past the end", m, 1, 1, "h.test"});
    }
    {
        DnsMsg m = base(2);
        m.Pointer(kQName).Raw("\0\1\0"sv); // fields cut short
        cases.push_back({"fields past the end", m, 1, 1, "h.test"});
    }
    {
        DnsMsg m;
        m.Header(1, 0x8180, 1, 1).Labels("q").Pointer(kQName); // the question points at itself
        cases.push_back({"question loops", m, 0, 0, ""});
    }
    {
        DnsMsg m;
        m.Header(1, 0x8180, 1, 1).Name("h.test").Byte(0); // the question's type is cut
        cases.push_back({"question cut", m, 0, 0, ""});
    }
    {
        // A name longer than 255 bytes through a chain of backward pointers.
        DnsMsg m;
        m.Header(1, 0x8180, 0, 1);
        std::uint16_t prev = 0;
        for (int i = 0; i < 10; ++i) {
            const std::uint16_t here = std::uint16_t(m.Size());
            m.Labels(Label(40));
            if (i == 0)
                m.Byte(0);
            else
                m.Pointer(prev);
            prev = here;
        }
        m.Pointer(prev).Fields(1, 1, 4).Raw("\1\2\3\4");
        cases.push_back({"name over 255 bytes", m, 0, 0, ""});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // Copied to the heap at the exact size, so that a sanitizer sees any
        // read past the end.
        std::unique_ptr<char[]> exact(new char[c.msg.Size()]);
        std::memcpy(exact.get(), c.msg.bytes.data(), c.msg.Size());
        DnsResponse r;
        ASSERT_TRUE(DecodeDnsResponse(std::string_view(exact.get(), c.msg.Size()), r));
        EXPECT_EQ(r.answers.size(), c.answers);
        EXPECT_EQ(r.addresses.size(), c.addresses);
        EXPECT_EQ(r.questionName, c.question);
        EXPECT_EQ(r.buf.size(), c.msg.Size());
    }
}

TEST(DnsDecode, FurtherQuestionsAreSteppedOver) {
    DnsMsg m;
    m.Header(1, 0x8180, 2, 1).Question("first.test", 1).Question("second.test", 15);
    m.A(kQName, 9, "192.0.2.9");
    const DnsResponse r = Decode(m);
    EXPECT_EQ(r.questionName, "first.test");
    ASSERT_EQ(r.answers.size(), 1u);
    EXPECT_EQ(Dotted(r.addresses.at(0)), "192.0.2.9");
}

TEST(DnsDecode, LabelBytesAreCopiedAsTheyAre) {
    DnsMsg m;
    m.Header(1, 0x8180, 1, 0).Byte(3).Raw(std::string("a.\xff", 3)).Byte(0).U16(1).U16(1);
    EXPECT_EQ(Decode(m).questionName, std::string("a.\xff", 3));
}

TEST(DnsTcpFramer, CollectsAMessageFromPiecesOfAnySize) {
    DnsMsg m;
    m.Header(7, 0x8180, 1, 0).Question("split.test", 1);
    std::string stream;
    stream += char(m.Size() >> 8);
    stream += char(m.Size() & 0xFF);
    stream += m.bytes;
    stream += "trailing";
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        DnsTcpFramer f;
        std::size_t used = f.Feed(std::string_view(stream).substr(0, cut));
        EXPECT_EQ(used, std::min(cut, m.Size() + 2));
        if (!f.Complete())
            used += f.Feed(std::string_view(stream).substr(cut));
        ASSERT_TRUE(f.Complete()) << cut;
        EXPECT_EQ(used, m.Size() + 2);
        EXPECT_EQ(f.Message(), m.bytes);
        EXPECT_EQ(f.Missing(), 0u);
    }
    DnsTcpFramer f;
    for (char c : stream.substr(0, stream.size() - 8)) {
        EXPECT_FALSE(f.Complete());
        EXPECT_EQ(f.Feed(std::string_view(&c, 1)), 1u);
    }
    EXPECT_TRUE(f.Complete());
    f.Reset();
    EXPECT_EQ(f.Missing(), 2u);
    EXPECT_FALSE(f.Complete());
    EXPECT_EQ(f.Feed(std::string_view("\0\0", 2)), 2u);
    EXPECT_TRUE(f.Complete()) << "a zero length is an empty message";
}

TEST(DnsDump, RowsOfSixteen) {
    std::string bytes;
    for (int i = 0; i < 20; ++i)
        bytes += char(i < 10 ? 'A' + i : i - 10 + 250 - 5);
    const auto lines = DnsDumpLines(bytes);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Response dump (20 bytes):");
    EXPECT_EQ(lines[1], "  ABCDEFGHIJ<245><246><247><248><249><250>");
    EXPECT_EQ(lines[2], "  <251><252><253><254>");
    EXPECT_EQ(DnsDumpLines(std::string(16, ' ')).size(), 2u) << "no empty last row";
    EXPECT_EQ(DnsDumpLines("\x1f~\x7f").at(1), "  <31>~<127>");
    EXPECT_EQ(DnsDumpLines("").size(), 1u);
}

TEST(DnsReport, RequestIdLine) {
    EXPECT_EQ(DnsRequestIdLine(1), "Request ID         : 1");
    EXPECT_EQ(DnsRequestIdLine(65535), "Request ID         : 65535");
}

TEST(DnsServerList, RootAndSecondaryServers) {
    const auto& rows = DnsServerRows();
    ASSERT_EQ(rows.size(), 136u);
    EXPECT_STREQ(rows[0].address, "- Root Servers");
    EXPECT_STREQ(rows[14].address, "- Secondary Servers");
    std::set<std::string> seen;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const DnsServerRow& row = rows[i];
        SCOPED_TRACE(row.address);
        const bool title = i == 0 || i == 14;
        EXPECT_EQ(row.IsTitle(), title);
        if (title) {
            EXPECT_STREQ(row.description, "");
            continue;
        }
        std::uint32_t addr = 0;
        EXPECT_TRUE(qordex::ipsys::TextToIp4(row.address, addr));
        EXPECT_EQ(Dotted(addr), row.address) << "written in canonical dotted form";
        EXPECT_TRUE(seen.insert(row.address).second) << "listed twice";
        EXPECT_STRNE(row.description, "");
    }
    for (int i = 0; i < 13; ++i)
        EXPECT_EQ(std::string(rows[1 + i].domainName),
                  std::string(1, char('a' + i)) + ".root-servers.net");
    EXPECT_STREQ(rows[1].address, "198.41.0.4");
    EXPECT_STREQ(rows[2].address, "170.247.170.2");
}
