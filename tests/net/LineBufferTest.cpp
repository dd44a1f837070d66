// The line layer's buffer without a socket: lines found however the bytes
// are cut, and the keyboard editing of interactive sessions.

#include "net/LineBuffer.h"

#include <gtest/gtest.h>

#include <vector>

using namespace qordex;

namespace {

// Feeds `input` in pieces of `step` bytes (0: all at once) and takes every
// line as soon as it is complete; what is left at the end comes last.
std::vector<std::string> Split(const std::string& input, const std::string& end, std::size_t step) {
    LineBuffer b;
    std::vector<std::string> lines;
    if (step == 0)
        step = input.size() + 1;
    for (std::size_t at = 0; at < input.size(); at += step) {
        b.Append(std::string_view(input).substr(at, step));
        while (std::size_t n = b.FindLine(end)) {
            std::string line(n, '\0');
            EXPECT_EQ(b.Take(line.data(), n), n);
            lines.push_back(line);
        }
    }
    if (!b.Empty())
        lines.emplace_back(b.Data(), b.Size());
    return lines;
}

struct SplitCase {
    std::string input, end;
    std::vector<std::string> lines;
};

} // namespace

TEST(LineBuffer, LinesAreTheSameHoweverTheBytesArrive) {
    const std::vector<SplitCase> cases = {
        {"AB\r\nCD\r\n", "\r\n", {"AB\r\n", "CD\r\n"}},
        {"AB\r\nCD", "\r\n", {"AB\r\n", "CD"}},
        {"\r\n\r\nx", "\r\n", {"\r\n", "\r\n", "x"}},
        {"a\nb\n", "\n", {"a\n", "b\n"}},
        {"a\rb\r\n", "\r\n", {"a\rb\r\n"}},
        {"one.END.two.ENDtail", "END", {"one.END", ".two.END", "tail"}},
        {"EENEND", "END", {"EENEND"}},
        {"no terminator", "\r\n", {"no terminator"}},
    };
    for (const SplitCase& c : cases) {
        for (std::size_t step = 0; step <= c.input.size(); ++step) {
            SCOPED_TRACE(testing::Message() << "input " << c.input << ", step " << step);
            EXPECT_EQ(Split(c.input, c.end, step), c.lines);
        }
    }
}

TEST(LineBuffer, ALineReadInPartsKeepsItsRestAtTheFront) {
    LineBuffer b;
    b.Append("hello\r\nworld\r\n");
    ASSERT_EQ(b.FindLine("\r\n"), 7u);
    char part[3];
    ASSERT_EQ(b.Take(part, 3), 3u);
    EXPECT_EQ(std::string(part, 3), "hel");
    char peek[4];
    ASSERT_EQ(b.Take(peek, 4, true), 4u);
    EXPECT_EQ(std::string(peek, 4), "lo\r\n");
    EXPECT_EQ(b.FindLine("\r\n"), 4u);
    b.Drop(4);
    EXPECT_EQ(b.FindLine("\r\n"), 7u);
    EXPECT_EQ(std::string(b.Data(), b.Size()), "world\r\n");
}

TEST(LineBuffer, ManyLinesAndALongOneInSmallPieces) {
    std::string input;
    for (int i = 0; i < 2000; ++i)
        input += "line " + std::to_string(i) + "\r\n";
    input += std::string(200000, 'x') + "\r\n";
    std::vector<std::string> lines = Split(input, "\r\n", 7);
    ASSERT_EQ(lines.size(), 2001u);
    EXPECT_EQ(lines[1999], "line 1999\r\n");
    EXPECT_EQ(lines.back().size(), 200002u);
}

struct EditCase {
    std::string held, fresh;
    std::string text; // held and fresh bytes after editing
    std::size_t kept; // bytes before the first one that changed
    std::string echo; // what goes back to the typist
};

TEST(LineBuffer, EditingBackspaceAndTab) {
    const std::vector<EditCase> cases = {
        {"", "abx\bc\r\n", "abc\r\n", 0, "abx\b \bc\r\n"},
        {"ab", "\b\bz", "z", 0, "\b \b\b \bz"},
        {"", "\ba", "a", 0, "a"}, // nothing to erase: nothing echoed for it
        {"abc", "\tz", "abc     z", 3, "     z"},
        {"abcdefgh", "\t", "abcdefgh        ", 8, "        "},
        {"", "\t\b\b", "      ", 0, "        \b \b\b \b"},
        {"", "plain\r\n", "plain\r\n", 0, "plain\r\n"},
    };
    for (const EditCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "held " << c.held << ", fresh " << c.fresh);
        std::string text = c.held + c.fresh;
        LineEditResult r = EditLineBuffer(text, c.held.size(), true);
        EXPECT_EQ(text, c.text);
        EXPECT_EQ(r.held, c.kept);
        EXPECT_EQ(r.echo, c.echo);
        std::string quiet = c.held + c.fresh;
        EXPECT_TRUE(EditLineBuffer(quiet, c.held.size(), false).echo.empty());
        EXPECT_EQ(quiet, c.text);
    }
}

TEST(LineBuffer, AnEditedTerminatorIsFoundAgain) {
    LineBuffer b;
    b.Append("ab\r");
    EXPECT_EQ(b.FindLine("\r\n"), 0u);
    b.Append("\bc\r\n"); // the CR typed first is taken back
    b.Edit(3, false);
    EXPECT_EQ(std::string(b.Data(), b.Size()), "abc\r\n");
    EXPECT_EQ(b.FindLine("\r\n"), 5u);
}
