// NTLM messages, DES and the responses, against published values.

#include "crypto/Des.h"
#include "mail/MimeUtil.h"
#include "web/NtlmMsgs.h"

#include <gtest/gtest.h>

using namespace qordex;
using namespace qordex::web;

namespace {

std::string Hex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out += char(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

std::string ToHex(std::string_view s) {
    static const char d[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out += d[c >> 4];
        out += d[c & 15];
    }
    return out;
}

unsigned U16(const std::string& m, std::size_t at) {
    return unsigned((unsigned char)m[at]) | (unsigned((unsigned char)m[at + 1]) << 8);
}
unsigned U32(const std::string& m, std::size_t at) {
    return U16(m, at) | (U16(m, at + 2) << 16);
}
std::string Field(const std::string& m, std::size_t at) {
    return m.substr(U32(m, at + 4), U16(m, at));
}

// A type-2 message with a target name and target information.
std::string Type2(const std::string& challenge, bool unicode) {
    auto wide = [&](const std::string& s) {
        if (!unicode)
            return s;
        std::string w;
        for (char c : s)
            w += std::string(1, c) + '\0';
        return w;
    };
    const std::string name = wide("DOMAIN");
    std::string info;
    auto item = [&](int type, const std::string& v) {
        info += char(type);
        info += '\0';
        info += char(v.size());
        info += '\0';
        info += v;
    };
    item(1, wide("SERVER"));
    item(2, wide("DOM"));
    info += std::string(4, '\0');
    std::string m = std::string("NTLMSSP\0", 8) + std::string("\2\0\0\0", 4);
    m += char(name.size()) + std::string(1, '\0') + char(name.size()) + std::string(1, '\0');
    m += std::string("\x30\0\0\0", 4);
    m += unicode ? std::string("\x01\x02\x81\x00", 4) : std::string("\x02\x02\x81\x00", 4);
    m += challenge + std::string(8, '\0');
    m += char(info.size()) + std::string(1, '\0') + char(info.size()) + std::string(1, '\0');
    m += char(0x30 + name.size()) + std::string(3, '\0');
    return m + name + info;
}

} // namespace

TEST(Des, EncryptsThePublishedBlock) {
    EXPECT_EQ(ToHex(crypto::DesEncryptBlock(Hex("133457799bbcdff1"), Hex("0123456789abcdef"))),
              "85e813540f0ab405");
}

TEST(Des, SpreadsSevenBytesWithOddParity) {
    const std::string key = crypto::DesKeyFrom56(Hex("ffffffffffffff"));
    EXPECT_EQ(ToHex(key), "fefefefefefefefe");
    for (unsigned char c : crypto::DesKeyFrom56(Hex("0123456789abcd")))
        EXPECT_EQ(__builtin_popcount(c) % 2, 1);
    // Weak keys are used, not refused.
    EXPECT_EQ(crypto::DesEncryptBlock(Hex("0101010101010101"), "KGS!@#$%").size(), 8u);
}

TEST(Ntlm, TypeOneIsAlwaysTheSame) {
    EXPECT_EQ(NtlmGetMessage1(), "TlRMTVNTUAABAAAAB4IAAAAAAAAAAAAAAAAAAAAAAAA=");
    EXPECT_EQ(NtlmGetMessage1().size(), 44u);
}

TEST(Ntlm, ResponsesMatchThePublishedValues) {
    const std::string challenge = Hex("0123456789abcdef");
    EXPECT_EQ(ToHex(NtlmLmResponse("Password", challenge)),
              "98def7b87f88aa5dafe2df779688a172def11c7d5ccdef13");
    EXPECT_EQ(ToHex(NtlmNtResponse("Password", challenge)),
              "67c43011f30298a2ad35ece64f16331c44bdbed927841f94");
}

TEST(Ntlm, TypeThreeLaysOutItsBuffers) {
    const std::string challenge = Hex("0123456789abcdef");
    const std::string m = mail::DecodeBase64(NtlmGetMessage3("User", "Password", "WS", challenge));
    ASSERT_GE(m.size(), 64u);
    EXPECT_EQ(m.substr(0, 8), std::string("NTLMSSP\0", 8));
    EXPECT_EQ(U32(m, 8), 3u);
    EXPECT_EQ(U32(m, 60), 0x00008205u);
    EXPECT_EQ(U16(m, 28), 0u);  // domain: empty
    EXPECT_EQ(U32(m, 32), 64u); // ... at the payload's start
    EXPECT_EQ(Field(m, 36), std::string("U\0s\0e\0r\0", 8));
    EXPECT_EQ(U32(m, 40), 64u);
    EXPECT_EQ(Field(m, 44), std::string("W\0S\0", 4));
    EXPECT_EQ(U32(m, 48), 72u);
    EXPECT_EQ(U32(m, 16), 76u); // LM after the names
    EXPECT_EQ(U32(m, 24), 100u);
    EXPECT_EQ(ToHex(Field(m, 12)), "98def7b87f88aa5dafe2df779688a172def11c7d5ccdef13");
    EXPECT_EQ(ToHex(Field(m, 20)), "67c43011f30298a2ad35ece64f16331c44bdbed927841f94");
    EXPECT_EQ(m.substr(52, 8), std::string(8, '\0'));
    EXPECT_EQ(m.size(), 124u);
}

TEST(Ntlm, TextsAreUtf16OfTheirCharacters) {
    EXPECT_EQ(ToUtf16Le("J\xc3\xb6ran"), std::string("J\0\xf6\0r\0a\0n\0", 10));
    EXPECT_EQ(ToUtf16Le("\xe2\x82\xac"), std::string("\xac\x20", 2)); // the euro sign
    EXPECT_EQ(ToUtf16Le("\xf6"), std::string("\xf6\0", 2));           // not UTF-8: Latin-1
    // The NT hash is of the characters: "ä" in UTF-8 and in Latin-1 is the
    // same password, which widened UTF-8 bytes would not be.
    const std::string c = Hex("0123456789abcdef");
    EXPECT_EQ(NtlmNtResponse("p\xc3\xa4ss", c), NtlmNtResponse("p\xe4ss", c));
    EXPECT_NE(NtlmNtResponse("p\xc3\xa4ss", c), NtlmNtResponse("pass", c));
}

TEST(Ntlm, TypeTwoIsRead) {
    const std::string challenge = Hex("0123456789abcdef");
    for (bool unicode : {true, false}) {
        const TNTLM_Msg2_Info info = NtlmGetMessage2(mail::EncodeBase64(Type2(challenge, unicode)));
        EXPECT_TRUE(info.Success);
        EXPECT_EQ(info.Challenge, challenge);
        EXPECT_EQ(info.TargetName, "DOMAIN");
        EXPECT_EQ(info.ServerName, "SERVER");
        EXPECT_EQ(info.DomainName, "DOM");
    }
}

TEST(Ntlm, TypeTwoCutAnywhereNeverReadsPastItsEnd) {
    const std::string full = Type2(Hex("0123456789abcdef"), true);
    for (std::size_t n = 0; n <= full.size(); ++n) {
        const TNTLM_Msg2_Info info = NtlmGetMessage2(mail::EncodeBase64(full.substr(0, n)));
        EXPECT_EQ(info.Success, n >= 32) << n;
        EXPECT_EQ(info.Challenge.size(), 8u);
        if (n < full.size() - 4) { // the list's end marker may go
            EXPECT_TRUE(info.DomainName.empty()) << n;
        }
    }
}

TEST(Ntlm, TypeTwoWithWildOffsetsLeavesTheNamesEmpty) {
    std::string m = Type2(Hex("0123456789abcdef"), true);
    m[16] = '\xff'; // target name offset far past the end
    m[17] = '\xff';
    m[44] = '\xf0'; // target information too
    m[45] = '\xff';
    m[46] = '\xff';
    m[47] = '\xff';
    const TNTLM_Msg2_Info info = NtlmGetMessage2(mail::EncodeBase64(m));
    EXPECT_TRUE(info.Success);
    EXPECT_TRUE(info.TargetName.empty());
    EXPECT_TRUE(info.ServerName.empty());
    EXPECT_EQ(info.Challenge, Hex("0123456789abcdef"));
    EXPECT_FALSE(NtlmGetMessage2("").Success);
    EXPECT_FALSE(NtlmGetMessage2("TlRMTVNT").Success);
}
