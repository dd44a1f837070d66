// The rules of the TCP/UDP client tool that do not need a socket: the line
// end list, frame lines, the text view of a received block, and what Send
// makes of the message box.

#include "tools/TcpClientTool.h"

#include <gtest/gtest.h>

using namespace qordex::tools;
using Lines = std::vector<std::string>;

TEST(TcpClientTool, LineEndItems) {
    const std::pair<const char*, std::string> cases[] = {
        {"LF (10)", "\n"},         {"CR (13)", "\r"}, {"LF CR (10 13)", "\n\r"},
        {"CR LF (13 10)", "\r\n"}, {"NO", ""},        {"something else", ""},
    };
    for (const auto& [item, bytes] : cases)
        EXPECT_EQ(LineEndFromItem(item), bytes) << item;
    EXPECT_STREQ(kLineEndItems[kDefaultLineEndItem], "CR LF (13 10)");
}

TEST(TcpClientTool, FrameLines) {
    const std::pair<std::string, std::string> cases[] = {
        {std::string("\0\x01"
                     "A",
                     3),
         " 0 1 41"},
        {"", ""},
        {"\x0f\x10\xff", " F 10 FF"},
        {"\r\n", " D A"},
    };
    for (const auto& [bytes, line] : cases)
        EXPECT_EQ(FrameHexLine(bytes), line);
}

TEST(TcpClientTool, TextViewOfABlock) {
    struct Case {
        std::string block;
        bool textMode;
        Lines entries;
    };
    const Case cases[] = {
        {"one\r\ntwo\r\n", true, {"one", "two"}},
        {"one\ntwo", true, {"one", "two"}},       // a rest without LF is a line too
        {"a\r\n\r\nb\n", true, {"a", "", "b"}},   // an empty line stays
        {"cr\rinside\r\n", true, {"cr\rinside"}}, // only the CR before LF goes
        {"\r\n", true, {""}},
        {"", true, {}},
        {std::string("ab\0cd\n", 6), true, {"ab"}}, // the view stops at a zero byte
        {std::string("\0\x01"
                     "A",
                     3),
         true,
         {}},
        {"raw\r\nblock", false, {"raw\r\nblock"}},
        {std::string("x\0y", 3), false, {"x"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ReceivedTextEntries(c.block, c.textMode), c.entries) << c.block;
}

TEST(TcpClientTool, MessageLinesAndWhatSendMakesOfThem) {
    EXPECT_EQ(MessageLines("a\nb"), (Lines{"a", "b"}));
    EXPECT_EQ(MessageLines("a\r\nb\r\n"), (Lines{"a", "b"}));
    EXPECT_EQ(MessageLines("a\n\nb"), (Lines{"a", "", "b"}));
    EXPECT_EQ(MessageLines(""), Lines{});

    struct Case {
        std::string text;
        bool multiline;
        std::string terminator;
        std::string bytes;
        Lines shown;
    };
    const Case cases[] = {
        {"a\nb", true, "\r\n", "a\r\nb\r\n", {"a", "b"}},
        {"a\nb", false, "\r\n", "a\r\n", {"a"}},
        {"hello", false, "", "hello", {"hello"}},
        {"hello", false, "\n\r", "hello\n\r", {"hello"}},
        {"", false, "\r\n", "\r\n", {""}},
        {"", true, "\r\n", "", {}},
    };
    for (const Case& c : cases) {
        const OutgoingMessage m = BuildMessage(c.text, c.multiline, c.terminator);
        EXPECT_EQ(m.bytes, c.bytes) << c.text;
        EXPECT_EQ(m.shown, c.shown) << c.text;
    }
}
