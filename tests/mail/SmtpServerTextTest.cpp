// The SMTP server's reading of command lines and message lines.

#include "mail/SmtpServerText.h"
#include "mail/SmtpServerTool.h"

#include <ctime>
#include <gtest/gtest.h>

using namespace qordex::mail;

TEST(SmtpServerText, CommandWordAndHelloName) {
    const struct {
        const char* line;
        const char* word;
        const char* name;
    } cases[] = {
        {"HELO client.test", "HELO", "client.test"},
        {"ehlo  [127.0.0.1] extra", "EHLO", "[127.0.0.1]"},
        {"Helo", "HELO", ""},
        {"", "", ""},
        {"mail FROM:<a@b>", "MAIL", "FROM:<a@b>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(SmtpCommandWord(c.line), c.word);
        EXPECT_EQ(SmtpHelloName(c.line), c.name);
    }
}

TEST(SmtpServerText, PathArguments) {
    const struct {
        const char* line;
        bool rcpt;
        const char* address;
    } cases[] = {
        {"MAIL FROM:<a.b-c_d@x.org>", false, "a.b-c_d@x.org"},
        {"MAIL FROM: <a@x.org> SIZE=1234", false, "a@x.org"},
        {"MAIL FROM:<>", false, ""},
        {"MAIL FROM:a+tag@x.org", false, "atag@x.org"},
        {"RCPT TO:<a+tag@x.org>", true, "a+tag@x.org"},
        {"RCPT TO:<../../etc/passwd>", true, "....etcpasswd"},
        {"RCPT TO:<a/b\\c@x>", true, "abc@x"},
        {"RCPT", true, ""},
        {"RCPT TO:<unterminated@x", true, "unterminated@x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(SmtpPathArgument(c.line, c.rcpt), c.address);
    }
    EXPECT_EQ(SmtpArgument("VRFY  someone ", 5), "someone");
    EXPECT_EQ(SmtpArgument("HELP", 5), "");
}

TEST(SmtpServerText, UnstuffRemovesOneDot) {
    EXPECT_EQ(SmtpUnstuff(".."), ".");
    EXPECT_EQ(SmtpUnstuff("..x"), ".x");
    EXPECT_EQ(SmtpUnstuff(".x"), "x");
    EXPECT_EQ(SmtpUnstuff("x."), "x.");
    EXPECT_EQ(SmtpUnstuff(""), "");
}

TEST(SmtpServerText, MessageFileNames) {
    std::tm tm{};
    tm.tm_mday = 7;
    tm.tm_mon = 2;
    tm.tm_year = 126;
    tm.tm_hour = 9;
    tm.tm_min = 5;
    tm.tm_sec = 3;
    tm.tm_isdst = -1;
    const std::int64_t when = std::mktime(&tm);
    EXPECT_EQ(MessageFileName("a@b.c", when, 0), "a@b.c-070326090503.eml");
    EXPECT_EQ(MessageFileName("a@b.c", when, 2), "a@b.c-070326090503-2.eml");
    EXPECT_EQ(MessageFileName("", when, 0), "null-070326090503.eml");
    // A recipient long enough to break the system's name limit is cut.
    EXPECT_LE(MessageFileName(std::string(5000, 'r'), when, 9999).size(), 255u);
}
