// The answer reader's codecs: lines, status and header lines, chunked bodies.
// Each is fed whole and one byte at a time.

#include "web/HttpReader.h"

#include <gtest/gtest.h>

using namespace qordex::web;

namespace {

// Feeds a line buffer the way the engine does: what fits, or 25 bytes at a
// time while it is full; returns the lines in order.
std::vector<std::string> Lines(const std::string& input, std::size_t piece) {
    THttpLineBuffer buf;
    std::vector<std::string> lines;
    std::size_t pos = 0;
    std::string line;
    while (pos < input.size()) {
        if (!buf.Full()) {
            const std::size_t n = std::min({piece, buf.Room(), input.size() - pos});
            pos += buf.Append(input.data() + pos, n);
        } else {
            const std::size_t n = std::min({piece, kHttpLongLineScratch, input.size() - pos});
            buf.CutOverlong(input.data() + pos, n);
            pos += n;
        }
        while (buf.NextLine(line))
            lines.push_back(line);
    }
    return lines;
}

struct Decoded {
    std::string data;
    std::size_t used = 0;
    THttpChunkDecoder::Step step;
    std::vector<unsigned long long> sizes;
};

Decoded Decode(const std::string& input, std::size_t piece) {
    THttpChunkDecoder d;
    Decoded r;
    auto onData = [&](const char* p, std::size_t n) { r.data.append(p, n); };
    auto onSize = [&](unsigned long long s) { r.sizes.push_back(s); };
    auto ended = [&] {
        return d.State() == THttpChunkDecoder::Step::Done ||
               d.State() == THttpChunkDecoder::Step::Failed;
    };
    int guard = 0;
    while (r.used < input.size() && !ended()) {
        const std::size_t n = std::min(piece, input.size() - r.used);
        std::size_t off = 0;
        // Feed stops after each callback (possibly having used nothing).
        while (off < n && !ended() && ++guard < 100000)
            off += d.Feed(input.data() + r.used + off, n - off, onData, onSize);
        r.used += off;
    }
    r.step = d.State();
    return r;
}

} // namespace

TEST(HttpLineBuffer, SplitsLinesWholeAndByteByByte) {
    const std::string input = "HTTP/1.1 200 OK\r\nA: 1\nB:2\r\n\r\nrest";
    for (std::size_t piece : {std::size_t(1), std::size_t(3), std::size_t(8190)}) {
        EXPECT_EQ(Lines(input, piece),
                  (std::vector<std::string>{"HTTP/1.1 200 OK", "A: 1", "B:2", ""}))
            << piece;
    }
}

TEST(HttpLineBuffer, KeepsTheRawLine) {
    THttpLineBuffer buf;
    buf.Append("ab\r\ncd\n", 7);
    std::string line, raw;
    ASSERT_TRUE(buf.NextLine(line, &raw));
    EXPECT_EQ(line, "ab");
    EXPECT_EQ(raw, "ab\r\n");
    ASSERT_TRUE(buf.NextLine(line, &raw));
    EXPECT_EQ(raw, "cd\n");
    EXPECT_FALSE(buf.NextLine(line, &raw));
}

TEST(HttpLineBuffer, CutsAnOverlongLineAndReadsOn) {
    // 20000 bytes without a line feed: the buffer fills, the reader skips in
    // 25-byte steps, and the line feed's step puts its tail in place.
    const std::string input = std::string(20000, 'L') + "\r\nNext: 1\r\n\r\n";
    for (std::size_t piece : {std::size_t(1), std::size_t(7), std::size_t(100000)}) {
        const auto lines = Lines(input, piece);
        ASSERT_EQ(lines.size(), 3u) << piece;
        EXPECT_LE(lines[0].size(), kHttpLineBufferSize) << piece;
        EXPECT_GE(lines[0].size(), kHttpLineBufferSize - kHttpLongLineScratch) << piece;
        EXPECT_EQ(lines[0].find_first_not_of('L'), std::string::npos) << piece;
        EXPECT_EQ(lines[1], "Next: 1");
        EXPECT_EQ(lines[2], "");
    }
}

TEST(HttpLineBuffer, ScratchWithoutLineFeedIsDropped) {
    THttpLineBuffer buf;
    const std::string full(kHttpLineBufferSize, 'x');
    buf.Append(full.data(), full.size());
    ASSERT_TRUE(buf.Full());
    buf.CutOverlong("yyyy", 4);
    EXPECT_EQ(buf.Size(), kHttpLineBufferSize);
    buf.CutOverlong("yy\nzz", 5);
    EXPECT_EQ(buf.Size(), kHttpLineBufferSize + 1);
    std::string line;
    ASSERT_TRUE(buf.NextLine(line));
    EXPECT_EQ(line, std::string(kHttpLineBufferSize - 2, 'x'));
    EXPECT_EQ(buf.Held(), "zz");
}

TEST(ParseStatusLine, ReadsVersionCodeAndReason) {
    const struct {
        const char* line;
        bool ok;
        const char* version;
        int code;
        const char* reason;
    } cases[] = {
        {"HTTP/1.1 200 OK", true, "1.1", 200, "OK"},
        {"HTTP/1.0 404 Not Found", true, "1.0", 404, "Not Found"},
        {"HTTP/1.1 302", true, "1.1", 302, ""},
        {"HTTP/1.1   301 Moved", true, "1.1", 301, "Moved"},
        {"HTTP/1.1 abc", true, "1.1", 0, ""},
        {"HTTP/1.1", true, "1.1", 0, ""},
        {"HTTP/2 200 OK", false, "", 0, ""},
        {"http/1.1 200 OK", false, "", 0, ""},
        {"<html>", false, "", 0, ""},
    };
    for (const auto& c : cases) {
        const auto s = ParseStatusLine(c.line);
        ASSERT_EQ(s.has_value(), c.ok) << c.line;
        if (!s)
            continue;
        EXPECT_EQ(s->version, c.version) << c.line;
        EXPECT_EQ(s->code, c.code) << c.line;
        EXPECT_EQ(s->reason, c.reason) << c.line;
    }
}

TEST(ParseHeaderLine, LowersTheNameAndSkipsBlanks) {
    auto f = ParseHeaderLine("Content-Type:   text/HTML ");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->name, "content-type");
    EXPECT_EQ(f->value, "text/HTML ");
    f = ParseHeaderLine("Location:http://h/a:b");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->value, "http://h/a:b");
    EXPECT_FALSE(ParseHeaderLine("no colon here"));
}

TEST(ParseContentLength, NegativeAndMalformedAreUnknown) {
    const struct {
        const char* v;
        long long n;
    } cases[] = {{"12", 12},  {" 12 ", 12}, {"0", 0},    {"-5", -1},
                 {"abc", -1}, {"", -1},     {"1 2", -1}, {"99999999999999999999", -1}};
    for (const auto& c : cases)
        EXPECT_EQ(ParseContentLength(c.v), c.n) << c.v;
}

TEST(IsChunkedCoding, OnlyWhenChunkedComesLast) {
    EXPECT_TRUE(IsChunkedCoding("chunked"));
    EXPECT_TRUE(IsChunkedCoding("Chunked"));
    EXPECT_TRUE(IsChunkedCoding("gzip, chunked"));
    EXPECT_FALSE(IsChunkedCoding("chunked, gzip"));
    EXPECT_FALSE(IsChunkedCoding("identity"));
    EXPECT_FALSE(IsChunkedCoding(""));
}

TEST(THttpChunkDecoder, DecodesWholeAndByteByByte) {
    const std::string body = "4\r\nWiki\r\n5;name=val\r\npedia\r\nE\r\n in\r\n\r\nchunks.\r\n"
                             "0\r\nX-Trailer: one\r\nX-Other: two\r\n\r\n";
    const std::string input = body + "HTTP/1.1 200 OK\r\n";
    for (std::size_t piece : {std::size_t(1), std::size_t(2), std::size_t(5), input.size()}) {
        const Decoded d = Decode(input, piece);
        EXPECT_EQ(d.data, "Wikipedia in\r\n\r\nchunks.") << piece;
        EXPECT_EQ(d.step, THttpChunkDecoder::Step::Done) << piece;
        EXPECT_EQ(d.used, body.size()) << piece; // the next answer is not touched
        EXPECT_EQ(d.sizes, (std::vector<unsigned long long>{4, 5, 14, 0})) << piece;
    }
}

TEST(THttpChunkDecoder, EndsAfterTheLastChunkWithoutTrailer) {
    for (std::size_t piece : {std::size_t(1), std::size_t(64)}) {
        const Decoded d = Decode("4\r\nabcd\r\n0\r\n\r\nX", piece);
        EXPECT_EQ(d.data, "abcd");
        EXPECT_EQ(d.step, THttpChunkDecoder::Step::Done);
        EXPECT_EQ(d.used, 14u);
    }
}

TEST(THttpChunkDecoder, RefusesSizesItCannotHold) {
    const struct {
        const char* input;
        THttpChunkDecoder::Step step;
    } cases[] = {
        {"fffffffffffffff\r\n", THttpChunkDecoder::Step::Data}, // 15 digits: accepted
        {"1000000000000000\r\nabcd", THttpChunkDecoder::Step::Failed},
        {"00000000000000001\r\n", THttpChunkDecoder::Step::Failed},
        {"zz\r\nWiki\r\n", THttpChunkDecoder::Step::Failed},
        {"\r\n", THttpChunkDecoder::Step::Failed},
    };
    for (const auto& c : cases)
        for (std::size_t piece : {std::size_t(1), std::size_t(100)})
            EXPECT_EQ(Decode(c.input, piece).step, c.step) << c.input << " / " << piece;
}

TEST(THttpChunkDecoder, ReportsEachDeliveryAsItsLastAct) {
    // Feed returns right after a callback, so an owner freed there is not touched.
    THttpChunkDecoder d;
    const std::string in = "3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n";
    int calls = 0;
    std::size_t used = 0;
    std::string out;
    while (used < in.size() && d.State() != THttpChunkDecoder::Step::Done) {
        const std::size_t k = d.Feed(
            in.data() + used, in.size() - used,
            [&](const char* p, std::size_t n) {
                ++calls;
                out.append(p, n);
            },
            [&](unsigned long long) { ++calls; });
        ASSERT_GT(k, 0u);
        used += k;
    }
    EXPECT_EQ(out, "abcde");
    EXPECT_EQ(calls, 5); // three sizes, two data pieces
}
