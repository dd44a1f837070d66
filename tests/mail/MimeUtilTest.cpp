#include "mail/MimeUtil.h"
#include "mail/UUEnc.h"

#include "support/TestData.h"
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <sstream>

using namespace qordex::mail;

namespace {

using qordex::test::RandomBytes;

// Every piece of a text, as a caller loops over the 1-based position.
std::vector<std::string> QPPieces(std::string_view text, std::size_t maxLen,
                                  const TCharSet& prot = {}, bool underscore = false) {
    std::vector<std::string> pieces;
    std::size_t pos = 1;
    while (pos <= text.size()) {
        const std::size_t before = pos;
        pieces.push_back(EncodeQPLine(text, maxLen, prot, underscore, pos, true));
        if (pos == before) {
            ADD_FAILURE() << "EncodeQPLine did not move on at " << pos;
            break;
        }
    }
    return pieces;
}

std::vector<std::string> WrapPieces(std::string_view line, std::string_view breakText,
                                    std::string_view breaks, std::size_t maxCol,
                                    std::string_view quotes = {}) {
    std::vector<std::string> pieces;
    std::size_t pos = 1;
    while (pos <= line.size())
        pieces.push_back(
            WrapLine(line, breakText, MakeCharSet(breaks), maxCol, MakeCharSet(quotes), pos));
    return pieces;
}

std::vector<std::string> SplitWords(const std::string& s) {
    std::vector<std::string> words;
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = s.find("\r\n\t", start);
        words.push_back(s.substr(start, at - start));
        if (at == std::string::npos)
            return words;
        start = at + 3;
    }
}

} // namespace

TEST(ContentTypeForFile, MapsTheExtensionInAnyCase) {
    const struct {
        const char* name;
        const char* type;
    } cases[] = {
        {"photo.JPEG", "image/jpeg"},
        {"photo.jpg", "image/jpeg"},
        {"page.htm", "text/html"},
        {"page.Html", "text/html"},
        {"anim.gif", "image/gif"},
        {"pic.BMP", "image/bmp"},
        {"notes.txt", "text/plain"},
        {"README", "application/octet-stream"},
        {"archive.tar.gz", "application/octet-stream"},
        {"trailing.", "application/octet-stream"},
        {"", "application/octet-stream"},
        {"dir.txt/file", "application/octet-stream"},
        {"report.txt.exe", "application/octet-stream"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ContentTypeForFile(c.name), c.type) << c.name;
}

TEST(Base64, EncodesWithPaddingAndNoLineBreaks) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foobar", "Zm9vYmFy"},
        {std::string("\xFF\xFE\x00", 3), "//4A"},
        {"Aladdin:open sesame", "QWxhZGRpbjpvcGVuIHNlc2FtZQ=="},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EncodeBase64(c.in), c.out);
        EXPECT_EQ(DecodeBase64(c.out), c.in) << c.out;
    }
    EXPECT_EQ(EncodeBase64(std::string(300, 'x')).find('\n'), std::string::npos);
}

TEST(Base64, DecodeStaysInsideAShortFinalGroup) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"Zg", "f"},        {"Zm8", "fo"},        {"Z", ""},          {"Zm9vZ", "foo"},
        {"Zm9vZg", "foof"}, {"Zm9vZm8", "foofo"}, {"Zg==Zg==", "ff"},
    };
    for (const auto& c : cases) {
        // An exact-size heap copy, so that a read past the end is caught by
        // the sanitizer build.
        auto buf = std::make_unique<char[]>(c.in.size() + 1);
        std::copy(c.in.begin(), c.in.end(), buf.get());
        EXPECT_EQ(DecodeBase64(std::string_view(buf.get(), c.in.size())), c.out) << c.in;
    }
}

TEST(Base64, RoundTripsEverySmallSize) {
    for (std::size_t n = 0; n < 200; ++n) {
        const std::string data = RandomBytes(n, unsigned(n));
        ASSERT_EQ(DecodeBase64(EncodeBase64(data)), data) << n;
    }
}

TEST(Base64FileLine, CutsAfterEighteenGroupsAndReportsMore) {
    const struct {
        std::size_t size;
        std::vector<std::pair<std::size_t, bool>> lines; // length, more flag
    } cases[] = {
        {0, {{0, false}}},
        {1, {{4, false}}},
        {53, {{72, false}}},
        {54, {{72, true}, {0, false}}},
        {55, {{72, true}, {4, false}}},
        {108, {{72, true}, {72, true}, {0, false}}},
    };
    for (const auto& c : cases) {
        const std::string data = RandomBytes(c.size, 7);
        std::istringstream in(data);
        std::string all;
        for (const auto& [length, more] : c.lines) {
            bool gotMore = !more;
            const std::string line = EncodeBase64FileLine(in, gotMore);
            EXPECT_EQ(line.size(), length) << c.size;
            EXPECT_EQ(gotMore, more) << c.size;
            all += line;
        }
        EXPECT_EQ(DecodeBase64(all), data) << c.size;
    }
}

TEST(Base64TextLine, CarriesFiftySevenBytesPerSeventySixCharacters) {
    const std::string text = RandomBytes(200, 3);
    std::size_t pos = 1;
    std::vector<std::string> lines;
    while (pos <= text.size())
        lines.push_back(EncodeBase64TextLine(text, 76, pos));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], EncodeBase64(text.substr(0, 57)));
    EXPECT_EQ(lines[1].size(), 76u);
    EXPECT_EQ(lines[3], EncodeBase64(text.substr(171)));
    EXPECT_EQ(pos, 202u); // moved on by three per group, past the end

    // A maximum that is not a multiple of four finishes the group it starts.
    pos = 1;
    EXPECT_EQ(EncodeBase64TextLine(text, 75, pos).size(), 76u);
    // A maximum too small for one group still moves on.
    pos = 1;
    EXPECT_EQ(EncodeBase64TextLine(text, 0, pos).size(), 4u);
    EXPECT_EQ(pos, 4u);
}

TEST(QuotedPrintableLine, CutsWithASoftBreakWithinTheMaximum) {
    std::size_t pos = 1;
    const std::string letters(200, 'a');
    EXPECT_EQ(EncodeQPLine(letters, 75, {}, false, pos, true), std::string(74, 'a') + "=");
    EXPECT_EQ(pos, 75u);

    pos = 1;
    std::string triples;
    for (int i = 0; i < 24; ++i)
        triples += "=E9";
    EXPECT_EQ(EncodeQPLine(std::string(100, '\xE9'), 75, {}, false, pos, true), triples + "=");
    EXPECT_EQ(pos, 25u);

    for (const std::size_t m : {4u, 10u, 75u, 76u})
        for (const auto& piece : QPPieces(RandomBytes(500, unsigned(m)), m))
            EXPECT_LE(piece.size(), m);
}

TEST(QuotedPrintableLine, EncodesBytesAsTheRulesSay) {
    const struct {
        std::string in;
        std::string prot;
        bool underscore;
        std::string out;
    } cases[] = {
        {"x y=z", "", false, "x y=3Dz"},
        {"a\r\nb", "", false, "a=0D=0Ab"},
        {"tab\there", "", false, "tab=09here"},
        {"a b", "", true, "a_b"},
        {"(x)", "()", false, "=28x=29"},
        {"~\x7F\x80", "", false, "~=7F=80"},
        // Trailing white space before the caller's line break would be
        // stripped by relays (RFC 2045, 6.7 rule 3).
        {"abc ", "", false, "abc=20"},
        {"abc  ", "", false, "abc =20"},
        {"abc\t", "", false, "abc=09"},
        {" ", "", false, "=20"},
        {"abc ", "", true, "abc_"},
    };
    for (const auto& c : cases) {
        std::size_t pos = 1;
        EXPECT_EQ(EncodeQPLine(c.in, 76, MakeCharSet(c.prot), c.underscore, pos, false), c.out)
            << c.in;
        EXPECT_EQ(pos, c.in.size() + 1);
    }
}

TEST(QuotedPrintableLine, WithoutLimitEncodesTheWholeRest) {
    const std::string text(300, 'b');
    std::size_t pos = 11;
    EXPECT_EQ(EncodeQPLine(text, 20, {}, false, pos, false), std::string(290, 'b'));
    EXPECT_EQ(pos, 301u);
}

TEST(QuotedPrintableLine, PiecesDecodeBackToTheText) {
    for (unsigned seed = 0; seed < 20; ++seed) {
        const std::string text = RandomBytes(seed * 37, seed);
        std::string joined;
        for (const auto& piece : QPPieces(text, 76))
            joined += piece + "\r\n";
        EXPECT_EQ(DecodeString(joined, cmQuoted), text) << seed;
    }
}

TEST(QuotedPrintableLine, ATinyMaximumStillMovesOn) {
    const auto pieces = QPPieces("\x01\x02 x", 2);
    ASSERT_EQ(pieces.size(), 4u);
    EXPECT_EQ(pieces[0], "=01=");
}

TEST(HasNonAsciiChars, OnlyTabLineEndsAndPrintablesAreSafe) {
    EXPECT_FALSE(HasNonAsciiChars(std::string_view("Plain text\twith\r\nline ends ~")));
    EXPECT_FALSE(HasNonAsciiChars(std::string_view("")));
    EXPECT_TRUE(HasNonAsciiChars(std::string_view("caf\xC3\xA9")));
    EXPECT_TRUE(HasNonAsciiChars(std::string_view("bell\x07")));
    EXPECT_TRUE(HasNonAsciiChars(std::string_view("del\x7F")));
    EXPECT_TRUE(HasNonAsciiChars(std::string_view("zero\0here", 9)));
    // The zero-terminated variant stops at the zero byte.
    EXPECT_FALSE(HasNonAsciiChars("zero\0\x80"));
    EXPECT_TRUE(HasNonAsciiChars("\x80"));
}

TEST(WrapLine, DoesNotSplitInsideQuotes) {
    const std::string line = "\"Doe, John\" <john@example.com>, \"Roe, Jane\" <jane@example.com>";
    const auto pieces = WrapPieces(line, "\r\n\t", ",", 10, "\"");
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0], "\"Doe, John\" <john@example.com>,");
    EXPECT_EQ(pieces[1], " \"Roe, Jane\" <jane@example.com>");
}

TEST(WrapLine, CutsAtTheLastBreakPointOnceTheColumnIsPassed) {
    const struct {
        std::string line, breakText, breaks;
        std::size_t maxCol;
        std::vector<std::string> pieces;
    } cases[] = {
        {"aaa,bbb,ccc", "", ",", 5, {"aaa,", "bbb,", "ccc"}},
        {"aa bb cc", "", " ", 76, {"aa bb cc"}},
        {"one two three four", "", " ", 9, {"one two ", "three ", "four"}},
        // No break point after the maximum: not cut before the next one.
        {"aaaaaaaaaaaaaaaaaaaa bb", "", " ", 5, {"aaaaaaaaaaaaaaaaaaaa ", "bb"}},
        // An explicit break is removed from the piece, in any letter case.
        {"abc\r\n\tdef", "\r\n\t", " ", 76, {"abc", "def"}},
        {"one<br>two<BR>three", "<br>", "", 76, {"one", "two", "three"}},
        {"", "", " ", 5, {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(WrapPieces(c.line, c.breakText, c.breaks, c.maxCol), c.pieces) << c.line;
}

TEST(WrapLine, EndsWithTheLargestPosition) {
    std::size_t pos = 1;
    EXPECT_EQ(WrapLine("short", "", MakeCharSet(" "), 76, {}, pos), "short");
    EXPECT_EQ(pos, kWrapLineEnd);
    pos = 3;
    EXPECT_EQ(WrapLine("a b c", "", MakeCharSet(" "), 1, {}, pos), "b ");
    EXPECT_EQ(pos, 5u);
}

TEST(FoldHeaderIntoList, CutsLongHeadersIntoTabbedLines) {
    std::string header = "To: ";
    for (int i = 0; i < 12; ++i)
        header += (i ? ", " : "") + std::string("\"User ") + char('A' + i) + "\" <user" +
                  std::to_string(i) + "@example.com>";
    std::vector<std::string> list{"Existing: line"};
    FoldHeaderIntoList(list, header);
    ASSERT_GT(list.size(), 3u);
    EXPECT_EQ(list[0], "Existing: line");
    EXPECT_EQ(list[1].rfind("To: ", 0), 0u);
    std::string rejoined, original;
    for (std::size_t i = 1; i < list.size(); ++i) {
        EXPECT_LE(list[i].size(), 78u) << list[i];
        if (i > 1) {
            EXPECT_EQ(list[i][0], '\t');
        }
        for (char c : list[i])
            if (c != ' ' && c != '\t')
                rejoined += c;
    }
    for (char c : header)
        if (c != ' ')
            original += c;
    EXPECT_EQ(rejoined, original);

    std::vector<std::string> empty;
    FoldHeaderIntoList(empty, "");
    EXPECT_TRUE(empty.empty());

    std::vector<std::string> folded;
    FoldHeaderIntoList(folded, "Subject: first\r\n\tsecond");
    EXPECT_EQ(folded, (std::vector<std::string>{"Subject: first", "\tsecond"}));

    // No continuation line of white space only.
    std::vector<std::string> blank;
    FoldHeaderIntoList(blank, "Subject: a\r\n\t  \r\n\tb\r\n\t");
    EXPECT_EQ(blank, (std::vector<std::string>{"Subject: a", "\tb"}));
}

TEST(FoldText, JoinsTrimmedPiecesWithCrLfTab) {
    EXPECT_EQ(FoldText("a long attachment name.txt", MakeCharSet(" "), 8),
              "a long\r\n\tattachment\r\n\tname.txt");
    EXPECT_EQ(FoldText("short", MakeCharSet(" "), 76), "short");
    EXPECT_EQ(FoldText("", MakeCharSet(" "), 76), "");
    EXPECT_EQ(FoldText("a\r\n\t\r\n\tb", MakeCharSet(" "), 76), "a\r\n\tb");
}

TEST(HdrEncodeInLine, RejectsAShortCharsetAndUnknownType) {
    try {
        HdrEncodeInLine("x", {}, 'Q', false, 76, "utf");
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Function 'HdrEncodeInLine', invalid CharSet: utf");
    }
    try {
        HdrEncodeInLine("x", {}, 'X', false, 76, "utf-8");
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Function 'HdrEncodeInLine', invalid EncType: X");
    }
}

TEST(HdrEncodeInLine, QWordsFitTheColumnWithSpacesAsUnderscores) {
    const std::string subject = "R\xE9sum\xE9 of the caf\xE9 meeting: na\xEFve questions about "
                                "the cr\xE8me br\xFBl\xE9"
                                "e budget for next year";
    const std::string out = HdrEncodeInLine(subject, Rfc822Specials(), 'Q', true, 66, "ISO-8859-1");
    const auto words = SplitWords(out);
    ASSERT_GT(words.size(), 1u);
    for (const auto& w : words) {
        EXPECT_LE(w.size(), 66u) << w;
        EXPECT_EQ(w.rfind("=?iso-8859-1?Q?", 0), 0u) << w;
        EXPECT_EQ(w.substr(w.size() - 2), "?=");
        EXPECT_EQ(w.find(' '), std::string::npos) << w;
    }
    EXPECT_NE(out.find("R=E9sum=E9_of_the_caf=E9"), std::string::npos) << out;
    // A special is protected: the colon becomes =3A.
    EXPECT_NE(out.find("meeting=3A"), std::string::npos) << out;
}

TEST(HdrEncodeInLine, WithoutFoldGivesExactlyOneWord) {
    const std::string text = std::string(200, '\xE9') + " x_y?z=";
    for (char type : {'B', 'Q'}) {
        const std::string out = HdrEncodeInLine(text, {}, type, false, 30, "utf-8");
        EXPECT_EQ(out.find("\r\n"), std::string::npos) << type;
        EXPECT_EQ(out.rfind(std::string("=?utf-8?") + type + "?", 0), 0u);
    }
    EXPECT_EQ(HdrEncodeInLine("abc", {}, 'B', false, 76, "utf-8"), "=?utf-8?B?YWJj?=");
    EXPECT_EQ(HdrEncodeInLine("a b_c?d=e", {}, 'Q', false, 76, "utf-8"),
              "=?utf-8?Q?a_b=5Fc=3Fd=3De?=");
    EXPECT_EQ(HdrEncodeInLine("", {}, 'Q', true, 76, "utf-8"), "");
}

TEST(HdrEncodeInLine, BWordsFitTheColumn) {
    const std::string text = RandomBytes(100, 11);
    const std::string out = HdrEncodeInLine(text, {}, 'B', true, 40, "utf-8");
    std::string payload;
    for (const auto& w : SplitWords(out)) {
        EXPECT_LE(w.size(), 40u) << w;
        ASSERT_EQ(w.rfind("=?utf-8?B?", 0), 0u);
        payload += w.substr(10, w.size() - 12);
    }
    EXPECT_EQ(DecodeBase64(payload), text);
    // Below 25 the column becomes 25; a long charset still yields words.
    for (const auto& w : SplitWords(HdrEncodeInLine(text, {}, 'B', true, 10, "utf-8")))
        EXPECT_LE(w.size(), 25u);
    EXPECT_FALSE(HdrEncodeInLine(text, {}, 'Q', true, 25, "x-a-very-long-charset-name").empty());
}

TEST(FileStream, OpensAndClearsTheVariable) {
    auto missing = OpenFileStream("/nonexistent/qordex-mime-test");
    EXPECT_EQ(missing, nullptr);
    auto self = OpenFileStream("/proc/self/cmdline");
    ASSERT_NE(self, nullptr);
    bool more = false;
    EXPECT_FALSE(EncodeBase64FileLine(*self, more).empty());
    CloseFileStream(self);
    EXPECT_EQ(self, nullptr);
}

TEST(HdrEncodeInLine, FoldedWordsAreCutWhereTheRulesSay) {
    // "=?iso-8859-1?X?" is 15 characters: a Q word has room for a piece of
    // 66 - 15 - 2 = 49 with its soft break, which is dropped; a B word takes
    // groups while its length stays within 66.
    const struct {
        std::string text;
        char type;
        std::vector<std::size_t> payloads; // encoded characters of each word
    } cases[] = {
        {std::string(100, 'a'), 'Q', {48, 48, 4}},
        {std::string(100, '\xE9'), 'Q', {48, 48, 48, 48, 48, 48, 12}},
        {std::string(40, 'a') + std::string(10, '\xE9'), 'Q', {46, 24}},
        {std::string(100, 'a'), 'B', {48, 48, 40}},
        {std::string(36, 'a'), 'B', {48}},
        {std::string(37, 'a'), 'B', {48, 4}},
    };
    for (const auto& c : cases) {
        const std::string out = HdrEncodeInLine(c.text, {}, c.type, true, 66, "iso-8859-1");
        std::vector<std::size_t> payloads;
        for (const auto& w : SplitWords(out))
            payloads.push_back(w.size() - 17);
        EXPECT_EQ(payloads, c.payloads) << c.type << " " << out;
    }
}

namespace {

// The bytes of one "Q" word's encoded text.
std::string DecodeQWord(std::string_view encoded) {
    std::string bytes;
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] == '_')
            bytes += ' ';
        else if (encoded[i] == '=' && i + 2 < encoded.size()) {
            bytes += char(std::stoi(std::string(encoded.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else
            bytes += encoded[i];
    }
    return bytes;
}

bool IsWholeUtf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const std::size_t n = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
        if (n == 0 || i + n > s.size())
            return false;
        for (std::size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
                return false;
        i += n;
    }
    return true;
}

} // namespace

TEST(HdrEncodeInLine, Utf8WordsHoldWholeCharacters) {
    // Two-, three- and four-byte characters after 0 to 5 letters, so that
    // every cut position meets the middle of some character.
    const std::string chars[] = {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
    for (std::size_t shift = 0; shift < 6; ++shift)
        for (const auto& ch : chars) {
            std::string text(shift, 'a');
            for (int i = 0; i < 40; ++i)
                text += ch + (i % 3 ? "" : " ");
            for (char type : {'Q', 'B'})
                for (int maxCol : {25, 40, 66, 76}) {
                    const std::string out =
                        HdrEncodeInLine(text, Rfc822Specials(), type, true, maxCol, "UTF-8");
                    std::string joined;
                    for (const auto& w : SplitWords(out)) {
                        ASSERT_LE(w.size(), std::size_t(maxCol)) << w;
                        const std::string payload = w.substr(10, w.size() - 12);
                        const std::string bytes =
                            type == 'Q' ? DecodeQWord(payload) : DecodeBase64(payload);
                        EXPECT_TRUE(IsWholeUtf8(bytes)) << type << maxCol << " " << w;
                        joined += bytes;
                    }
                    EXPECT_EQ(joined, text) << type << maxCol;
                }
        }
    // Other charsets keep their byte-wise cuts: three groups a word here.
    const std::string text = "a" + std::string(4, ' ') + "\xE2\x82\xAC\xE2\x82\xAC";
    EXPECT_EQ(HdrEncodeInLine(text, {}, 'B', true, 25, "x-user"),
              "=?x-user?B?" + EncodeBase64(text.substr(0, 9)) + "?=\r\n\t=?x-user?B?" +
                  EncodeBase64(text.substr(9)) + "?=");
    EXPECT_EQ(HdrEncodeInLine(text, {}, 'B', true, 25, "utf-8"),
              "=?utf-8?B?" + EncodeBase64(text.substr(0, 8)) + "?=\r\n\t=?utf-8?B?" +
                  EncodeBase64(text.substr(8)) + "?=");
}
