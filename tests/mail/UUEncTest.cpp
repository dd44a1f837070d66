#include "mail/UUEnc.h"

#include "support/TestData.h"
#include <gtest/gtest.h>
#include <random>
#include <sstream>
#include <vector>

using namespace qordex::mail;

namespace {

using qordex::test::RandomBytes;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t at = text.find("\r\n", start);
        if (at == std::string::npos) {
            ADD_FAILURE() << "last line without CR LF";
            break;
        }
        lines.push_back(text.substr(start, at - start));
        start = at + 2;
    }
    return lines;
}

const char* ModeName(int mode) {
    return mode == cmBase64 ? "base64" : mode == cmUUencode ? "uu" : "quoted";
}

} // namespace

TEST(EncodeStream, WritesTheLinesOfEachMode) {
    std::string letters100(100, 'q');
    const struct {
        int mode;
        std::string in, out;
    } cases[] = {
        {cmBase64, "", ""},
        {cmUUencode, "", ""},
        {cmQuoted, "", ""},
        {cmBase64, "abc", "YWJj\r\n"},
        {cmBase64, "a", "YQ==\r\n"},
        {cmUUencode, "abc", "#86)C\r\n"},
        {cmUUencode, "a", "!80``\r\n"},
        {cmUUencode, "ab", "\"86(`\r\n"},
        {cmUUencode, std::string(3, '\0'), "#    \r\n"},
        {cmQuoted, "x y=z", "x=20y=3Dz\r\n"},
        {cmQuoted, "a\r\nb", "a=0D=0Ab\r\n"},
        {cmQuoted, "\t\x7F\x80\xFF!~", "=09\x7F=80=FF!~\r\n"},
        {cmQuoted, letters100, std::string(75, 'q') + "\r\n" + std::string(25, 'q') + "\r\n"},
        // A line closes at 75 or more: an escape may take it to 77.
        {cmQuoted, std::string(74, 'q') + "\xE9" + "z", std::string(74, 'q') + "=E9\r\nz\r\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(EncodeString(c.in, c.mode), c.out) << ModeName(c.mode) << " " << c.in;
}

TEST(EncodeStream, LinesOfBase64AndUUencodeHoldFiftySevenBytes) {
    const std::string b57 = EncodeString(RandomBytes(57, 1), cmBase64);
    ASSERT_EQ(Lines(b57).size(), 1u);
    EXPECT_EQ(Lines(b57)[0].size(), 76u);
    const auto b58 = Lines(EncodeString(RandomBytes(58, 1), cmBase64));
    ASSERT_EQ(b58.size(), 2u);
    EXPECT_EQ(b58[1].size(), 4u);
    EXPECT_EQ(b58[1].substr(2), "==");

    const auto uu = Lines(EncodeString(RandomBytes(120, 2), cmUUencode));
    ASSERT_EQ(uu.size(), 3u);
    EXPECT_EQ(uu[0].size(), 77u);
    EXPECT_EQ(uu[0][0], 'Y');
    EXPECT_EQ(uu[2][0], char(32 + 6));
    for (const auto& line : uu)
        EXPECT_EQ(line.find('`', 1) == std::string::npos || line.size() < 77, true);
}

TEST(DecodeStream, FollowsTheRulesForEachMode) {
    const struct {
        int mode;
        std::string in, out;
    } cases[] = {
        {cmBase64, "YQ==", "a"},
        {cmBase64, " Y Q\r\n=\t= ", "a"},
        {cmBase64, "YW\r\nJj\r\n", "abc"},
        {cmBase64, "YQ==YQ==", "aa"},
        {cmBase64, "Y===", ""},
        {cmBase64, "YWJ", "ab"}, // a group cut short by the end
        {cmBase64, "Y", ""},
        {cmBase64, "YW-j", "a`#"}, // padding inside a group counts as 0
        {cmUUencode, "#86)C\r\n", "abc"},
        {cmUUencode, "!80``\r\n", "a"},
        {cmUUencode, "\"86(`\r\n", "ab"},
        {cmUUencode, "#    \r\n", std::string(3, '\0')},
        {cmUUencode, "\r\n#86)C\r\n\r\n!80``\r\n", "abca"},
        // The length character decides how many bytes a line gives.
        {cmUUencode, ")86)C````>'EZ\n", std::string("abc\0\0\0xyz", 9)},
        {cmUUencode, "$86)C9```\n", "abcd"},
        {cmUUencode, "$86)C9   \n", "abcd"},
        {cmUUencode, "$86)C9\n", "abcd"}, // trailing spaces a relay stripped
        {cmUUencode, "#\r\n", std::string(3, '\0')},
        {cmUUencode, "#86", std::string("a`\0", 3)}, // cut short: the rest counts as zero
        {cmUUencode, "#86)CXYZ\n", "abc"},           // what follows the data is no data
        // Space and grave accent both give an empty line; text lines are skipped.
        {cmUUencode, "begin 644 abc.txt\n#86)C\n`\nend\n", "abc"},
        {cmUUencode, "begin 600 x\r\n!80``\r\n \r\nend\r\n", "a"},
        {cmUUencode, "  #86)C\n", ""}, // a space is a length of zero
        {cmQuoted, "a=20b", "a b"},
        {cmQuoted, "a=\r\nb", "ab"},
        {cmQuoted, "x=3dy", "xy"},
        {cmQuoted, "a\r\nb", "ab"},
        {cmQuoted, "ab=", "ab"},
        {cmQuoted, "ab=4", "ab4"},
        {cmQuoted, "\xE9\t\x01 ~", "\xE9 ~"},
        {cmQuoted, "=E9=e9=G0=3D", "\xE9="},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DecodeString(c.in, c.mode), c.out) << ModeName(c.mode) << " " << c.in;
}

TEST(CodecRoundTrip, EveryModeGivesTheBytesBackAroundEachBoundary) {
    const std::size_t sizes[] = {0, 1, 2, 3, 56, 57, 58, 75, 76, 77, 114, 3 * 1024 * 1024 + 7};
    for (int mode : {cmUUencode, cmBase64, cmQuoted}) {
        for (std::size_t n : sizes) {
            const std::string data = RandomBytes(n, unsigned(n) + unsigned(mode));
            const std::string encoded = EncodeString(data, mode);
            ASSERT_EQ(DecodeString(encoded, mode), data) << ModeName(mode) << " " << n;
            if (n == 0) {
                EXPECT_TRUE(encoded.empty());
            }
            const auto lines = Lines(encoded);
            for (std::size_t i = 0; i < lines.size(); ++i) {
                const std::size_t len = lines[i].size();
                const bool last = i + 1 == lines.size();
                if (mode == cmBase64)
                    ASSERT_TRUE(last ? len <= 76 && len % 4 == 0 : len == 76) << i;
                else if (mode == cmUUencode)
                    ASSERT_TRUE(last ? len <= 77 : len == 77) << i;
                else
                    ASSERT_TRUE(last ? len <= 77 : len >= 75 && len <= 77) << i;
            }
        }
    }
}

TEST(CodecRoundTrip, ALineCutAnywhereStillDecodes) {
    // Base64 and Quoted ignore where the lines of their text end.
    const std::string data = RandomBytes(500, 9);
    for (int mode : {cmBase64, cmQuoted}) {
        std::string encoded = EncodeString(data, mode);
        std::string moved;
        for (char c : encoded)
            if (c != '\r' && c != '\n')
                moved += c;
        EXPECT_EQ(DecodeString(moved, mode), data) << ModeName(mode);
    }
}

TEST(CodecStreams, ReadFromTheCurrentPositionAndAppend) {
    std::istringstream in("skipabc");
    in.seekg(4);
    std::ostringstream out;
    out << "head:";
    EncodeStream(in, out, cmBase64);
    EXPECT_EQ(out.str(), "head:YWJj\r\n");

    std::istringstream enc("xxYWJj\r\n");
    enc.seekg(2);
    std::ostringstream dec;
    DecodeStream(enc, dec, cmBase64);
    EXPECT_EQ(dec.str(), "abc");
}

TEST(CodecStreams, ReportProgressBeforeEachLineOrStep) {
    const std::string data = RandomBytes(200, 5);
    std::vector<std::int64_t> positions;
    std::int64_t total = 0;
    auto progress = [&](std::int32_t context, std::int64_t pos, std::int64_t size) {
        EXPECT_EQ(context, 42);
        positions.push_back(pos);
        total = size;
    };
    std::istringstream in(data);
    std::ostringstream out;
    EncodeStream(in, out, cmBase64, progress, 42);
    EXPECT_EQ(positions, (std::vector<std::int64_t>{0, 57, 114, 171}));
    EXPECT_EQ(total, 200);

    positions.clear();
    std::istringstream q("a=41b");
    std::ostringstream qout;
    DecodeStream(q, qout, cmQuoted, progress, 42);
    EXPECT_EQ(positions, (std::vector<std::int64_t>{0, 1, 4, 5}));
    EXPECT_EQ(qout.str(), "aAb");
}

// Without a progress report the coders take whole buffers at once; with one
// they go a line or a group at a time.  Both ways give the same text, also
// for text full of the characters the fast way leaves to the careful one, and
// across the reader's buffer boundaries.
TEST(CodecStreams, WholeBuffersGiveWhatStepsGive) {
    auto run = [](bool stepwise, bool encode, const std::string& in, int mode) {
        std::istringstream source(in);
        std::ostringstream target;
        TProgressProc progress;
        if (stepwise)
            progress = [](std::int32_t, std::int64_t, std::int64_t) {};
        if (encode)
            EncodeStream(source, target, mode, progress);
        else
            DecodeStream(source, target, mode, progress);
        return std::move(target).str();
    };
    std::mt19937 gen(77);
    const std::string noise = " \t\r\n=\x01*-_.~\x80\xff";
    for (std::size_t size : {std::size_t(0), std::size_t(1), std::size_t(57), std::size_t(1000),
                             std::size_t(1024 * 1024 - 1), std::size_t(1024 * 1024 + 5)}) {
        const std::string data = RandomBytes(size, unsigned(size));
        for (int mode : {cmBase64, cmUUencode, cmQuoted}) {
            const std::string fast = run(false, true, data, mode);
            ASSERT_TRUE(fast == run(true, true, data, mode)) << ModeName(mode) << " " << size;
            // Encoded text with stray bytes sprinkled in, and plain garbage.
            std::string dirty;
            for (char c : fast) {
                if (gen() % 50 == 0)
                    dirty += noise[gen() % noise.size()];
                dirty += c;
            }
            for (const std::string& text : {fast, dirty, data})
                ASSERT_TRUE(run(false, false, text, mode) == run(true, false, text, mode))
                    << ModeName(mode) << " " << size;
        }
    }
}

TEST(CodecStreams, RejectAnUnknownMode) {
    std::istringstream in("x");
    std::ostringstream out;
    EXPECT_THROW(EncodeStream(in, out, 3), std::invalid_argument);
    EXPECT_THROW(DecodeStream(in, out, -1), std::invalid_argument);
}

namespace {

// A source that tells its position but cannot seek to its end, as some
// devices and wrapped streams do.
class NoEndSeekBuf : public std::stringbuf {
public:
    using std::stringbuf::stringbuf;

protected:
    pos_type seekoff(off_type off, std::ios_base::seekdir dir,
                     std::ios_base::openmode which) override {
        if (dir == std::ios_base::end)
            return pos_type(off_type(-1));
        return std::stringbuf::seekoff(off, dir, which);
    }
};

} // namespace

TEST(CodecStreams, ASourceThatCannotSeekToItsEndIsStillRead) {
    NoEndSeekBuf buf(std::string("skipabc"));
    std::istream in(&buf);
    in.seekg(4);
    std::ostringstream out;
    std::int64_t size = 0;
    EncodeStream(in, out, cmBase64, [&](std::int32_t, std::int64_t, std::int64_t s) { size = s; });
    EXPECT_EQ(out.str(), "YWJj\r\n");
    EXPECT_EQ(size, -1);
}
