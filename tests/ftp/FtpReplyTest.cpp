// Reply lines and reply texts: splitting at any byte boundary, long lines,
// the end of a multi-line reply, the 227 numbers, quoted directories.

#include "ftp/FtpReply.h"
#include "ftp/FtpText.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace qordex::ftp;

namespace {

std::vector<std::string> Lines(TReplyLineReader& r, const std::string& bytes, std::size_t piece) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < bytes.size(); i += piece)
        r.Feed(std::string_view(bytes).substr(i, piece),
               [&](std::string_view l) { out.emplace_back(l); });
    return out;
}

TEST(ReplyLineReader, SplitsTheSameWhateverTheReadSizes) {
    const std::string stream = "220-Welcome\r\n220 ready\r\n331 pass\n\r\n230 ok\r\r\n";
    const std::vector<std::string> want = {"220-Welcome", "220 ready", "331 pass", "", "230 ok"};
    for (std::size_t piece = 1; piece <= stream.size(); ++piece) {
        TReplyLineReader r;
        EXPECT_EQ(Lines(r, stream, piece), want) << piece;
        EXPECT_EQ(r.Pending(), 0u);
    }
}

TEST(ReplyLineReader, WithoutAcceptLFOnlyCRLFEndsALine) {
    TReplyLineReader r;
    r.SetAcceptLF(false);
    EXPECT_EQ(Lines(r, "200 a\nb\r\n200 c\r\n", 3),
              (std::vector<std::string>{"200 a\nb", "200 c"}));
}

TEST(ReplyLineReader, ALongLineIsCutAndItsRestDropped) {
    TReplyLineReader r;
    // The rest of an over-long line starts with digits: it must not pass
    // for a reply of its own.
    const std::string longLine = "250-" + std::string(kMaxReplyLine, 'x') + "226 fake\r\n";
    for (std::size_t piece : {std::size_t(1), std::size_t(7), std::size_t(5000)}) {
        const auto lines = Lines(r, longLine + "250 end\r\n", piece);
        ASSERT_EQ(lines.size(), 2u) << piece;
        EXPECT_EQ(lines[0].size(), kMaxReplyLine);
        EXPECT_EQ(lines[1], "250 end");
        EXPECT_LE(r.Pending(), kMaxReplyLine);
    }
}

TEST(ReplyLineReader, ResetDropsThePartialLine) {
    TReplyLineReader r;
    EXPECT_TRUE(Lines(r, "220 par", 100).empty());
    r.Reset();
    EXPECT_EQ(Lines(r, "tial\r\n", 100), std::vector<std::string>{"tial"});
}

TEST(ReplyTracker, MultiLineEndsOnlyOnTheSameCodeAndASpace) {
    using K = TReplyTracker::Kind;
    const struct {
        const char* line;
        K kind;
    } script[] = {
        {"230-Welcome", K::Continuation}, {"  inner text", K::Inner},
        {"123 digits inside", K::Inner}, // RFC 959 4.2: inner lines may start with digits
        {"230-still going", K::Inner},    {"2301 not the end", K::Inner},
        {"230 done", K::Final},           {"no code here", K::Inner},
        {"200 single", K::Final},         {"200", K::Final},
        {"211-FEAT", K::Continuation},    {"211", K::Final},
    };
    TReplyTracker t;
    for (const auto& s : script) {
        EXPECT_EQ(t.Add(s.line), s.kind) << s.line;
    }
    EXPECT_FALSE(t.InMultiLine());
    EXPECT_EQ(t.Code(), 211);
}

TEST(ReplyCode, ThreeDigitsOrNothing) {
    EXPECT_EQ(ReplyCode("226 ok"), 226);
    EXPECT_EQ(ReplyCode("22"), -1);
    EXPECT_EQ(ReplyCode("2x6"), -1);
    EXPECT_EQ(ReplyCode("550"), 550);
}

TEST(PasvReply, FindsTheSixNumbersAnywhere) {
    const struct {
        const char* reply;
        bool ok;
        std::uint8_t h0, h3;
        std::uint16_t port;
    } cases[] = {
        {"227 Entering Passive Mode (127,0,0,1,195,80).", true, 127, 1, 195 * 256 + 80},
        {"227 Entering Passive Mode 10,1,2,3,4,5", true, 10, 3, 4 * 256 + 5},
        {"227 =192,168,0,9,0,21", true, 192, 9, 21},
        {"227 ( 1 , 2 , 3 , 4 , 255 , 255 )", true, 1, 4, 65535},
        {"227 (256,0,0,1,10,10)", false, 0, 0, 0},
        {"227 (1,2,3,4,10,300)", false, 0, 0, 0},
        {"227 (1,2,3,4,10)", false, 0, 0, 0},
        {"227 (1,2,3,4,10,0001)", false, 0, 0, 0},
        {"227 no numbers", false, 0, 0, 0},
        {"227 (1,2,,3,4,5,6)", false, 0, 0, 0},
        {"", false, 0, 0, 0},
    };
    for (const auto& c : cases) {
        const auto a = ParsePasvReply(c.reply);
        ASSERT_EQ(a.has_value(), c.ok) << c.reply;
        if (!a)
            continue;
        EXPECT_EQ(a->host[0], c.h0) << c.reply;
        EXPECT_EQ(a->host[3], c.h3) << c.reply;
        EXPECT_EQ(a->port, c.port) << c.reply;
    }
}

TEST(ReplyTexts, PortCommandDirectoriesSizesStatistics) {
    EXPECT_EQ(FormatPortCommand(htonl(0x7F000001), 0xC350), "PORT 127,0,0,1,195,80");
    EXPECT_EQ(QuotedDirectory("257 \"/a \"\"q\"\" b\" created"), "/a \"q\" b");
    EXPECT_EQ(QuotedDirectory("257 \"/home\""), "/home");
    EXPECT_FALSE(QuotedDirectory("250 CWD ok").has_value());
    EXPECT_EQ(SizeFromReply("213 5000000000"), 5000000000LL);
    EXPECT_FALSE(SizeFromReply("213 ").has_value());
    EXPECT_FALSE(SizeFromReply("213 99999999999999999999999").has_value());
    EXPECT_TRUE(HasCommandBreak(std::string("a\0b", 3)));
    EXPECT_TRUE(HasCommandBreak("a\rb"));
    EXPECT_TRUE(HasCommandBreak("a\nb"));
    EXPECT_FALSE(HasCommandBreak("a b"));
    EXPECT_EQ(ProxyUserCommand("u", "h", "2121"), "USER u@h:2121");
    EXPECT_EQ(ProxyUserCommand("u", "h", "FTP"), "USER u@h");
    EXPECT_EQ(ProxyUserCommand("u", "h", "21"), "USER u@h");
    EXPECT_EQ(TransferStatistics(1000, 20, true), "1000 bytes received in 20 milliseconds");
    EXPECT_EQ(TransferStatistics(10000, 5000, false),
              "10000 bytes sent in 5 seconds (2000 Bytes/sec)");
    EXPECT_EQ(TransferStatistics(std::int64_t(5) << 32, 10000, true),
              "21474836480 bytes received in 10 seconds (2147483000 Bytes/sec)");
}

} // namespace
