#include "base/LineReader.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace qordex;
using Result = TLineReader::Result;

namespace {

// What the reader makes of `input` fed in pieces of `piece` bytes (0: all at
// once): each line, a too-long line marked with a leading "!".
std::vector<std::string> Lines(const std::string& input, std::size_t piece, std::size_t maxLine,
                               bool acceptLF = false) {
    TLineReader r(maxLine);
    r.SetAcceptLF(acceptLF);
    std::vector<std::string> out;
    const std::size_t step = piece ? piece : std::max<std::size_t>(input.size(), 1);
    for (std::size_t at = 0; at < input.size(); at += step) {
        r.Append(std::string_view(input).substr(at, step));
        std::string line;
        for (Result res; (res = r.Next(line)) != Result::NeedMore;)
            out.push_back(res == Result::TooLong ? "!" + line : line);
        // However the bytes come, the reader never holds much more than a line.
        EXPECT_LE(r.Pending(), maxLine + 1 + step);
    }
    return out;
}

} // namespace

TEST(LineReader, SplitsAtCrLfWhateverThePieces) {
    struct Case {
        std::string input;
        std::vector<std::string> lines;
    } cases[] = {
        {"", {}},
        {"250 ok\r\n", {"250 ok"}},
        {"250-a\r\n250-b\r\n250 c\r\n", {"250-a", "250-b", "250 c"}},
        {"\r\n\r\n", {"", ""}},
        {"no end yet", {}},
        {"one\r\ntwo", {"one"}},
        // Only CR LF ends a line: lone CR and LF bytes stay inside it.
        {"a\nb\r\n", {"a\nb"}},
        {"a\rb\r\n", {"a\rb"}},
        {"a\r\r\n", {"a\r"}},
        {"\n\r\n", {"\n"}},
        {std::string("n\0ul\r\n", 6), {std::string("n\0ul", 4)}},
    };
    for (const Case& c : cases)
        for (std::size_t piece : {0, 1, 2, 3, 5})
            EXPECT_EQ(Lines(c.input, piece, 100), c.lines) << c.input << " in pieces of " << piece;
}

TEST(LineReader, AcceptLFEndsLinesAtBareLF) {
    for (std::size_t piece : {0, 1, 2})
        EXPECT_EQ(Lines("a\nb\r\nc\r\r\n\n", piece, 100, true),
                  (std::vector<std::string>{"a", "b", "c\r", ""}))
            << piece;
}

TEST(LineReader, LongLinesAreReportedOnceAndSkipped) {
    const std::string big(10000, 'x');
    struct Case {
        std::string input;
        std::vector<std::string> lines;
    } cases[] = {
        // Exactly the limit passes; one more byte is too long.
        {std::string(8, 'a') + "\r\n", {std::string(8, 'a')}},
        {std::string(9, 'a') + "\r\nnext\r\n", {"!" + std::string(8, 'a'), "next"}},
        // The line end split between two pieces while the rest is skipped.
        {"250 " + big + "\r\n250 ok\r\n", {"!250 xxxx", "250 ok"}},
        {big + "\r" + big + "\r\nok\r\n", {"!xxxxxxxx", "ok"}},
        // A lone LF inside a long line does not end it.
        {big + "\n" + big + "\r\nok\r\n", {"!xxxxxxxx", "ok"}},
    };
    for (const Case& c : cases)
        for (std::size_t piece : {0, 1, 7, 4096})
            EXPECT_EQ(Lines(c.input, piece, 8), c.lines) << "pieces of " << piece;
}

TEST(LineReader, ResetForgetsAPartialLine) {
    TLineReader r(100);
    std::string line;
    r.Append("half a li");
    EXPECT_EQ(r.Next(line), Result::NeedMore);
    EXPECT_EQ(r.Pending(), 9u);
    r.Reset();
    EXPECT_EQ(r.Pending(), 0u);
    r.Append("ne\r\n220 hi\r\n");
    ASSERT_EQ(r.Next(line), Result::Line);
    EXPECT_EQ(line, "ne");
    ASSERT_EQ(r.Next(line), Result::Line);
    EXPECT_EQ(line, "220 hi");
    EXPECT_EQ(r.Next(line), Result::NeedMore);
}

TEST(LineReader, ALongLineArrivingByteByByteCostsLinearTime) {
    // Each byte is searched once: a million bytes in single-byte pieces
    // would take minutes if every Append searched the line from its start.
    TLineReader r(2u << 20);
    std::string line;
    for (int i = 0; i < 1000000; ++i) {
        r.Append("y");
        ASSERT_EQ(r.Next(line), Result::NeedMore);
    }
    r.Append("\r\n");
    ASSERT_EQ(r.Next(line), Result::Line);
    EXPECT_EQ(line.size(), 1000000u);
}
