// The POP3 client's rules over bytes: number readers, APOP and CRAM
// answers, dot-unstuffing, header capture and GetAll's file names.

#include "mail/Pop3Text.h"
#include "crypto/Digest.h"
#include "mail/MimeUtil.h"

#include <climits>
#include <gtest/gtest.h>
#include <vector>

using namespace qordex::mail;

TEST(Pop3Text, TwoNumberReader) {
    struct Case {
        std::string line;
        int first, second;
    } cases[] = {
        {"+OK 3 4500", 3, 4500},
        {"1 123", 1, 123},
        {"+OK 2 320 extra words", 2, 320},
        {"+OK\t7\t\t8", 7, 8},
        {"+OK 12", 0, 0},       // no second value: both 0
        {"+OK", 0, 0},          // no number at all
        {"+OK 5 x9", 0, 0},     // something else than a number after the first
        {"+OK 0 0", 0, 0},      //
        {"-ERR 4 lines", 0, 0}, // the reader does not judge the status
        {"+OK 99999999999 5", INT_MAX, 5},
        {"+OK 1 99999999999999999999", 1, INT_MAX},
        {"", 0, 0},
    };
    for (const Case& c : cases) {
        int a = -1, b = -1;
        ReadTwoNumbers(c.line, a, b);
        EXPECT_EQ(a, c.first) << c.line;
        EXPECT_EQ(b, c.second) << c.line;
    }
}

TEST(Pop3Text, NumberAndIdReaders) {
    EXPECT_EQ(ReadNumber("+OK 4"), 4);
    EXPECT_EQ(ReadNumber("+OK 17 is the last"), 17);
    EXPECT_EQ(ReadNumber("+OK"), 0);

    struct Case {
        std::string line;
        int number;
        std::string id;
    } cases[] = {
        {"+OK 1 abc", 1, "abc"},
        {"2 QhdPYR:00WBw1Ph7x7", 2, "QhdPYR:00WBw1Ph7x7"},
        {"3   spaced\ttail", 3, "spaced"},
        {"4\t../../x", 4, "../../x"},
        {"5 %2F\\weird~!", 5, "%2F\\weird~!"},
        {"6 caf\xc3\xa9", 6, "caf"}, // the id stops at the first byte outside "!" to "~"
        {"7", 7, ""},
        {"+OK", 0, ""},
    };
    for (const Case& c : cases) {
        int n = -1;
        std::string id = "stale";
        ReadNumberAndId(c.line, n, id);
        EXPECT_EQ(n, c.number) << c.line;
        EXPECT_EQ(id, c.id) << c.line;
    }
}

TEST(Pop3Text, ApopTimestampAndDigest) {
    // RFC 1939, section 7.
    const std::string greeting = "+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>";
    EXPECT_EQ(ApopTimestamp(greeting), "<1896.697170952@dbc.mtview.ca.us>");
    EXPECT_EQ(ApopDigest(ApopTimestamp(greeting), "tanstaaf"), "c4c9334bac560ecc979e58001b3e22fb");

    struct Case {
        std::string greeting, timestamp;
    } cases[] = {
        {"+OK ready", ""},         {"+OK <no end", ""},  {"+OK no start>", ""},
        {"+OK a> <b> <c>", "<b>"}, {"+OK <<x>", "<<x>"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ApopTimestamp(c.greeting), c.timestamp) << c.greeting;
}

TEST(Pop3Text, CramAnswers) {
    // RFC 2195's example, arriving after "+ ".
    const std::string challenge = "<1896.697170952@postoffice.reston.mci.net>";
    const std::string line = "+ " + EncodeBase64(challenge);
    EXPECT_EQ(DecodeBase64(Pop3CramResponse("tim", "tanstaaftanstaaf", line, false)),
              "tim b913a602c7eda7a495b4e6e7334d3890");
    EXPECT_EQ(DecodeBase64(Pop3CramResponse("tim", "tanstaaftanstaaf", line, true)),
              "tim " +
                  qordex::crypto::ToHex(qordex::crypto::HmacSha1("tanstaaftanstaaf", challenge)));
    // A key longer than the hash's block is hashed first (RFC 2104), never
    // cut: two long keys with the same first 64 bytes give different answers.
    const std::string longKey(100, 'k');
    const std::string otherLongKey = std::string(64, 'k') + std::string(36, 'z');
    for (const bool sha1 : {false, true}) {
        const std::string digestOfKey =
            sha1 ? qordex::crypto::Sha1(longKey) : qordex::crypto::Md5(longKey);
        EXPECT_EQ(Pop3CramResponse("u", longKey, line, sha1),
                  Pop3CramResponse("u", digestOfKey, line, sha1));
        EXPECT_NE(Pop3CramResponse("u", longKey, line, sha1),
                  Pop3CramResponse("u", otherLongKey, line, sha1));
    }
}

TEST(Pop3Text, DotUnstuffing) {
    struct Case {
        std::string line, data;
    } cases[] = {
        {"..", "."},    // a lone dot of the message
        {"..x", ".x"},  // a line that began with a dot
        {"...", ".."},  //
        {".x", ".x"},   // a single dot and text: delivered unchanged
        {"x..", "x.."}, //
        {"", ""},       //
        {".", "."},     // the end line is the engine's business
    };
    for (const Case& c : cases)
        EXPECT_EQ(UnstuffDot(c.line), c.data) << c.line;
}

TEST(Pop3Text, LineBreaksInCredentials) {
    for (const std::string& bad :
         std::vector<std::string>{"a\rb", "a\nb", std::string("a\0b", 3), "\r\n"})
        EXPECT_TRUE(HasPop3LineBreak(bad));
    for (const std::string& good :
         std::vector<std::string>{" spaced ", "tab\there", "caf\xc3\xa9", ""})
        EXPECT_FALSE(HasPop3LineBreak(good));
}

TEST(Pop3Text, HeaderCapture) {
    TPop3HeaderCapture h;
    h.Reset();
    const std::vector<std::string> lines = {
        "Return-Path: <bounce@example.org>",
        "From: Ann <ann@example.org>",
        "To: bob@example.org",
        "Cc: one@example.org",
        "Subject: first part",
        "\tsecond part",
        " third part",
        "X-Other: ignored",
        " continuation of an ignored header",
        "cC:two@example.org",
        "DATE : Mon, 1 Jan 2024 10:00:00 +0000",
        "Message-ID: <id@example.org>",
        "Reply-To: r@example.org",
        "In-Reply-To: <prev@example.org>",
        "a line without a colon",
    };
    for (const std::string& l : lines)
        EXPECT_FALSE(h.Feed(l)) << l;
    EXPECT_TRUE(h.InHeader());
    EXPECT_TRUE(h.Feed(""));
    EXPECT_FALSE(h.InHeader());
    // After the header nothing changes, and no later empty line ends it again.
    EXPECT_FALSE(h.Feed("Subject: in the body"));
    EXPECT_FALSE(h.Feed(""));

    EXPECT_EQ(h.returnPath, "<bounce@example.org>");
    EXPECT_EQ(h.from, "Ann <ann@example.org>");
    EXPECT_EQ(h.to, "bob@example.org");
    EXPECT_EQ(h.subject, "first partsecond partthird part");
    EXPECT_EQ(h.cc, "one@example.org, two@example.org");
    EXPECT_EQ(h.date, "Mon, 1 Jan 2024 10:00:00 +0000");
    EXPECT_EQ(h.messageId, "<id@example.org>");
    EXPECT_EQ(h.replyTo, "r@example.org");
    EXPECT_EQ(h.inReplyTo, "<prev@example.org>");

    h.Reset();
    EXPECT_TRUE(h.InHeader());
    EXPECT_EQ(h.subject, "");
    EXPECT_EQ(h.cc, "");
}

TEST(Pop3Text, HeaderFieldsHaveALimit) {
    TPop3HeaderCapture h;
    h.Reset();
    h.Feed("Subject: " + std::string(20000, 's'));
    EXPECT_EQ(h.subject.size(), kMaxPop3HeaderField);
    // Folded parts and repeated Cc headers stop at the limit too.
    for (int i = 0; i < 100; ++i) {
        h.Feed(" " + std::string(500, 'f'));
        h.Feed("Cc: " + std::string(500, 'c'));
    }
    EXPECT_EQ(h.subject.size(), kMaxPop3HeaderField);
    EXPECT_EQ(h.cc.size(), kMaxPop3HeaderField);
}

TEST(Pop3Text, GetAllFileNames) {
    struct Case {
        std::string uidl, name;
    } cases[] = {
        {"abc", "Msg abc.txt"},
        {"000000016b1abb00", "Msg 000000016b1abb00.txt"},
        {"A-z_0.9", "Msg A-z_0.9.txt"},
        {"../x", "Msg ..%2Fx.txt"},
        {"../../etc/passwd", "Msg ..%2F..%2Fetc%2Fpasswd.txt"},
        {"..", "Msg ...txt"},
        {"a\\b", "Msg a%5Cb.txt"},
        {"50%", "Msg 50%25.txt"},
        {"a:b~c", "Msg a%3Ab%7Ec.txt"},
        {std::string("n\0l", 3), "Msg n%00l.txt"},
        {"\xff\x80", "Msg %FF%80.txt"},
        {std::string(247, 'x'), "Msg " + std::string(247, 'x') + ".txt"}, // 255 bytes
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Pop3MessageFileName(c.uidl), c.name) << c.uidl;
        EXPECT_EQ(c.name.find('/'), std::string::npos);
    }
    struct Bad {
        std::string uidl, why;
    } bad[] = {
        {"", "empty unique id"},
        {std::string(248, 'x'), "unique id too long for a file name"},
        {std::string(100, '/'), "unique id too long for a file name"},
        {std::string(300, 'y'), "unique id too long for a file name"},
    };
    for (const Bad& b : bad) {
        std::string why;
        EXPECT_EQ(Pop3MessageFileName(b.uidl, &why), "") << b.uidl;
        EXPECT_EQ(why, b.why);
    }
}
