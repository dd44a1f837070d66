// The whois answer's line splitter: line ends of every kind, held-back
// ends, zero bytes, lines longer than a piece, and every way of cutting
// the same answer.

#include "diag/WhoisLines.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using qordex::diag::kWhoisPieceSize;
using qordex::diag::TWhoisLineSplitter;
using Lines = std::vector<std::string>;

namespace {

// Feeds the answer in pieces of `piece` bytes, then closes.
Lines Split(const std::string& answer, std::size_t piece) {
    TWhoisLineSplitter s;
    Lines out;
    for (std::size_t at = 0; at < answer.size(); at += piece)
        for (std::string& line : s.Feed(std::string_view(answer).substr(at, piece)))
            out.push_back(std::move(line));
    for (std::string& line : s.Finish())
        out.push_back(std::move(line));
    return out;
}

struct Case {
    const char* name;
    std::string answer;
    Lines lines;
};

std::string Repeat(std::size_t n, char c = 'a') {
    return std::string(n, c);
}

const Case kCases[] = {
    {"the four line ends", "a\r\nb\n\rc\rd\ne", {"a", "b", "c", "d", "e"}},
    {"abc CR LF de LF f, then the close", "abc\r\nde\nf", {"abc", "de", "f"}},
    {"CR CR is two ends", "a\r\rb", {"a", "", "b"}},
    {"LF LF is two ends", "a\n\nb", {"a", "", "b"}},
    {"CR LF CR LF", "a\r\n\r\nb", {"a", "", "b"}},
    {"LF CR LF: a pair, then a lone end", "a\n\r\nb", {"a", "", "b"}},
    {"a held line end at the close is not part of the line", "abc\r", {"abc"}},
    {"a held LF at the close", "abc\n", {"abc"}},
    {"an answer ending with CR LF adds no empty line", "abc\r\n", {"abc"}},
    {"a lone line end", "\n", {""}},
    {"zero bytes are dropped, not what follows them", std::string("ab\0cd\r\n\0e", 10),
     {"abcd", "e"}},
    {"Latin-1 bytes pass as they are", "R\xe9seaux IP Europ\xe9\x65ns\r\n\xff\xfe",
     {"R\xe9seaux IP Europ\xe9\x65ns", "\xff\xfe"}},
    {"a line of exactly one piece and its end: no empty line",
     Repeat(kWhoisPieceSize) + "\r\nnext\r\n", {Repeat(kWhoisPieceSize), "next"}},
    {"a piece then an empty line", Repeat(kWhoisPieceSize) + "\r\n\r\nz", {Repeat(kWhoisPieceSize), "", "z"}},
    {"a line of 10000 bytes in pieces, nothing lost", Repeat(10000, 'b') + "\nz",
     {Repeat(kWhoisPieceSize, 'b'), Repeat(kWhoisPieceSize, 'b'), Repeat(10000 - 2 * kWhoisPieceSize, 'b'),
      "z"}},
    {"two full pieces and the end right after", Repeat(2 * kWhoisPieceSize) + "\r",
     {Repeat(kWhoisPieceSize), Repeat(kWhoisPieceSize)}},
    {"a line one byte over a piece", Repeat(kWhoisPieceSize + 1) + "\n",
     {Repeat(kWhoisPieceSize), "a"}},
    {"empty answer", "", {}},
};

class WhoisLinesCase : public ::testing::TestWithParam<Case> {};

TEST_P(WhoisLinesCase, AllAtOnceByteByByteAndAtEverySplit) {
    const Case& c = GetParam();
    EXPECT_EQ(Split(c.answer, c.answer.size() + 1), c.lines) << "all at once";
    EXPECT_EQ(Split(c.answer, 1), c.lines) << "one byte at a time";
    if (c.answer.size() > 64)
        return; // the long ones are cut at every size below instead
    for (std::size_t cut = 1; cut < c.answer.size(); ++cut) {
        TWhoisLineSplitter s;
        Lines out = s.Feed(std::string_view(c.answer).substr(0, cut));
        for (std::string& l : s.Feed(std::string_view(c.answer).substr(cut)))
            out.push_back(l);
        for (std::string& l : s.Finish())
            out.push_back(l);
        EXPECT_EQ(out, c.lines) << "cut at " << cut;
    }
}

INSTANTIATE_TEST_SUITE_P(Answers, WhoisLinesCase, ::testing::ValuesIn(kCases),
                         [](const auto& info) {
                             std::string n;
                             for (char ch : std::string(info.param.name))
                                 n += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                             return n;
                         });

TEST(WhoisLines, ALineEndThatIsTheLastByteWaitsForTheNext) {
    TWhoisLineSplitter s;
    EXPECT_TRUE(s.Feed("abc\r").empty()) << "CR may be half of CR LF";
    EXPECT_EQ(s.Feed("\n"), Lines{"abc"}) << "a whole pair needs no next byte";
    EXPECT_TRUE(s.Feed("d\n").empty()) << "LF may be half of LF CR";
    EXPECT_EQ(s.Feed("e"), Lines{"d"});
    EXPECT_EQ(s.Finish(), Lines{"e"});
}

TEST(WhoisLines, LongLinesNeverStallAndTheBufferStaysSmall) {
    TWhoisLineSplitter s;
    std::size_t total = 0;
    for (int i = 0; i < 100; ++i) {
        for (const std::string& line : s.Feed(Repeat(1000, 'q')))
            total += line.size();
        EXPECT_LE(s.Held().size(), kWhoisPieceSize + 1);
    }
    for (const std::string& line : s.Finish())
        total += line.size();
    EXPECT_EQ(total, 100000u);
}

TEST(WhoisLines, LongAnswersCutAtManySizes) {
    const std::string answer = "head\r\n" + Repeat(kWhoisPieceSize - 1) + "\r\n" +
                               Repeat(kWhoisPieceSize) + "\n\r" + Repeat(3 * kWhoisPieceSize + 7, 'c') +
                               "\r" + std::string("\0x", 2) + "\n";
    const Lines whole = Split(answer, answer.size());
    for (std::size_t piece : {1u, 2u, 3u, 7u, 100u, 4094u, 4095u, 4096u, 8191u})
        EXPECT_EQ(Split(answer, piece), whole) << "pieces of " << piece;
}

} // namespace
