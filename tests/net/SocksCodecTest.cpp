// The SOCKS messages as bytes: the requests the client writes and the
// verdicts on the proxy's replies, whole and arriving a byte at a time.

#include "net/SocksCodec.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

using namespace qordex::socks;

namespace {

std::string Bytes(std::initializer_list<int> v) {
    std::string s;
    for (int b : v)
        s.push_back(char(b));
    return s;
}

using Reader = Reply (*)(std::string_view);

struct ReplyCase {
    const char* name;
    Reader read;
    std::string reply;
    Reply::Status status;
    int code;            // when Failed
    std::string message; // when Failed
    std::size_t length;  // when Done
};

std::string Name(std::size_t n) {
    return std::string(n, 'n');
}

std::vector<ReplyCase> ReplyCases() {
    std::vector<ReplyCase> c = {
        {"method none", ReadMethodReply, Bytes({5, 0}), Reply::Done, 0, "", 2},
        {"method user/password", ReadMethodReply, Bytes({5, 2}), Reply::Done, 0, "", 2},
        {"method refused", ReadMethodReply, Bytes({5, 255}), Reply::Done, 0, "", 2},
        {"method wrong version", ReadMethodReply, Bytes({4, 0}), Reply::Failed, 20002,
         "socks version error", 0},
        {"auth accepted", ReadAuthReply, Bytes({1, 0}), Reply::Done, 0, "", 2},
        {"auth refused", ReadAuthReply, Bytes({1, 1}), Reply::Failed, 20015,
         "socks authentication failed", 0},
        {"auth wrong version", ReadAuthReply, Bytes({5, 0}), Reply::Failed, 20002,
         "socks version error", 0},
        {"v4 granted", ReadV4Reply, Bytes({0, 90, 0, 80, 127, 0, 0, 1}), Reply::Done, 0, "", 8},
        {"v4 rejected", ReadV4Reply, Bytes({0, 91, 0, 0, 0, 0, 0, 0}), Reply::Failed, 20016,
         "request rejected or failed", 0},
        {"v4 no identd", ReadV4Reply, Bytes({0, 92, 0, 0, 0, 0, 0, 0}), Reply::Failed, 20008,
         "connection refused", 0},
        {"v4 identd mismatch", ReadV4Reply, Bytes({0, 93, 0, 0, 0, 0, 0, 0}), Reply::Failed, 20015,
         "authentification failed", 0},
        {"v4 unassigned", ReadV4Reply, Bytes({0, 94, 0, 0, 0, 0, 0, 0}), Reply::Failed, 20012,
         "unassigned error #94", 0},
        {"v4 wrong version", ReadV4Reply, Bytes({4, 90, 0, 0, 0, 0, 0, 0}), Reply::Failed, 20002,
         "socks version error", 0},
        {"v5 ipv4", ReadV5Reply, Bytes({5, 0, 0, 1, 10, 0, 0, 1, 0, 80}), Reply::Done, 0, "", 10},
        {"v5 name of 15", ReadV5Reply, Bytes({5, 0, 0, 3, 15}) + Name(15) + Bytes({0, 80}),
         Reply::Done, 0, "", 22},
        // The longest bound name still fits the reply buffer.
        {"v5 name of 255", ReadV5Reply, Bytes({5, 0, 0, 3, 255}) + Name(255) + Bytes({0, 80}),
         Reply::Done, 0, "", 262},
        // An IPv6 bound address is valid (RFC 1928, section 6).
        {"v5 ipv6", ReadV5Reply, Bytes({5, 0, 0, 4}) + std::string(16, '\0') + Bytes({0, 80}),
         Reply::Done, 0, "", 22},
        {"v5 unknown address type", ReadV5Reply, Bytes({5, 0, 0, 9, 0}), Reply::Failed, 20011,
         "address type not supported", 0},
        {"v5 wrong version", ReadV5Reply, Bytes({4}), Reply::Failed, 20002, "socks version error",
         0},
        {"v5 unassigned", ReadV5Reply, Bytes({5, 9}), Reply::Failed, 20012, "unassigned error #9",
         0},
    };
    const char* texts[] = {"general SOCKS server failure", "connection not allowed by ruleset",
                           "network unreachable",          "host unreachable",
                           "connection refused",           "time to live expired",
                           "command not supported",        "address type not supported"};
    for (int code = 1; code <= 8; ++code)
        c.push_back({"v5 failure", ReadV5Reply, Bytes({5, code}), Reply::Failed, 20003 + code,
                     texts[code - 1], 0});
    return c;
}

} // namespace

TEST(SocksCodec, RepliesWholeAndCutShort) {
    for (const ReplyCase& c : ReplyCases()) {
        SCOPED_TRACE(c.name);
        Reply r = c.read(c.reply);
        ASSERT_EQ(r.status, c.status);
        if (c.status == Reply::Failed) {
            EXPECT_EQ(r.code, c.code);
            EXPECT_EQ(r.message, c.message);
        } else {
            EXPECT_EQ(r.length, c.length);
            // Bytes after the reply belong to the destination (nothing may
            // follow the answer to the credentials).
            if (c.read != ReadAuthReply) {
                EXPECT_EQ(c.read(c.reply + "data").length, c.length);
            }
        }
        // Every shorter prefix waits for more, unless it already shows the
        // failure: a reader never decides on bytes that have not come.
        for (std::size_t n = 0; n < c.reply.size(); ++n) {
            Reply part = c.read(std::string_view(c.reply).substr(0, n));
            if (part.status == Reply::Failed) {
                ASSERT_EQ(c.status, Reply::Failed) << "at " << n;
                EXPECT_EQ(part.code, c.code);
                break;
            }
            EXPECT_EQ(part.status, Reply::NeedMore) << "at " << n;
        }
    }
}

TEST(SocksCodec, TheAuthenticationAnswerIsJudgedOnBothBytes) {
    EXPECT_EQ(ReadAuthReply(Bytes({1})).status, Reply::NeedMore);
    EXPECT_EQ(ReadAuthReply(Bytes({1, 0})).status, Reply::Done);
    Reply tooLong = ReadAuthReply(Bytes({1, 0, 0}));
    EXPECT_EQ(tooLong.status, Reply::Failed);
    EXPECT_EQ(tooLong.code, 20001);
    EXPECT_EQ(tooLong.message, "too much data availaible");
}

TEST(SocksCodec, Requests) {
    EXPECT_EQ(Greeting(0), Bytes({5, 1, 0}));
    EXPECT_EQ(Greeting(2), Bytes({5, 1, 2}));
    EXPECT_EQ(*Credentials("bob", "pw"), Bytes({1, 3}) + "bob" + Bytes({2}) + "pw");
    EXPECT_EQ(*Credentials("", ""), Bytes({1, 0, 0}));
    // The name goes to the proxy as a name even when it is dotted.
    EXPECT_EQ(*V5Request("10.0.0.1", 8080),
              Bytes({5, 1, 0, 3, 8}) + "10.0.0.1" + Bytes({0x1F, 0x90}));
    EXPECT_EQ(*V4Request(80, inet_addr("192.0.2.7"), "me", ""),
              Bytes({4, 1, 0, 80, 192, 0, 2, 7}) + "me" + Bytes({0}));
    EXPECT_EQ(*V4Request(443, 0, "", "host.example"),
              Bytes({4, 1, 1, 187, 0, 0, 0, 1, 0}) + "host.example" + Bytes({0}));
}

TEST(SocksCodec, FieldsThatDoNotFitAreRefusedNotCut) {
    const std::string max(255, 'x'), over(256, 'x');
    EXPECT_EQ(V5Request(max, 1)->size(), 4 + 1 + 255 + 2u);
    EXPECT_FALSE(V5Request(over, 1));
    EXPECT_FALSE(V5Request("", 1));
    EXPECT_EQ(Credentials(max, max)->size(), 3 + 255 + 255u);
    EXPECT_FALSE(Credentials(over, "p"));
    EXPECT_FALSE(Credentials("u", over));
    EXPECT_FALSE(V4Request(1, 0, over, ""));
    EXPECT_FALSE(V4Request(1, 0, "", over));
    EXPECT_FALSE(V4Request(1, 0, std::string("a\0b", 3), "")); // would end early
}
