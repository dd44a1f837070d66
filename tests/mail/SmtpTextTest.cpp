#include "mail/SmtpText.h"
#include "crypto/Digest.h"
#include "mail/MimeUtil.h"
#include "mail/SmtpHeaders.h"

#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <regex>

using namespace qordex::mail;

namespace {

TSmtpHeaderFields ToolFields() {
    TSmtpHeaderFields f;
    f.hdrFrom = "Ann <ann@example.org>";
    f.hdrTo = "bob@example.org";
    f.hdrSubject = "Hello";
    return f;
}

// The header names of the lines, in order ("" for a continuation line).
std::vector<std::string> Names(const std::vector<std::string>& lines) {
    std::vector<std::string> names;
    for (const std::string& l : lines)
        names.push_back(l.empty() || l[0] == '\t' || l[0] == ' ' ? "" : l.substr(0, l.find(':')));
    return names;
}

std::vector<std::string> TextLines(std::string_view text, TSmtpDefaultEncoding enc,
                                   bool wrap = false) {
    std::vector<std::string> lines;
    std::size_t pos = text.empty() ? 0 : 1;
    while (pos > 0) {
        lines.push_back(NextTextBodyLine(text, pos, enc, wrap));
        if (lines.size() > 10000)
            break;
    }
    return lines;
}

TMailTime At(int year, int mon, int mday, int wday, int h, int m, int s, long offset,
             bool known = true) {
    TMailTime t;
    t.local.tm_year = year - 1900;
    t.local.tm_mon = mon - 1;
    t.local.tm_mday = mday;
    t.local.tm_wday = wday;
    t.local.tm_hour = h;
    t.local.tm_min = m;
    t.local.tm_sec = s;
    t.utc = t.local;
    t.zoneKnown = known;
    t.offsetMinutes = offset;
    return t;
}

} // namespace

TEST(SmtpReply, StatusAndContinuation) {
    const struct {
        const char* line;
        int status;
        bool continuation;
    } cases[] = {
        {"250 OK", 250, false},      {"250-first", 250, true},
        {"250", 250, false},         {"   220 spaces first", 220, false},
        {"+354 go", 354, false},     {"-5 odd", -5, false},
        {"", kSmtpNoStatus, false},  {"no digits", kSmtpNoStatus, false},
        {"-", kSmtpNoStatus, false}, {"99999999999999999999 huge", kSmtpNoStatus, false},
        {"2501x", 2501, false},
    };
    for (const auto& c : cases) {
        bool cont = !c.continuation;
        EXPECT_EQ(SmtpReplyStatus(c.line, cont), c.status) << c.line;
        EXPECT_EQ(cont, c.continuation) << c.line;
    }
}

TEST(SmtpReply, AuthMechanismsOfBothFormsWithoutDuplicates) {
    std::vector<std::string> list;
    for (const char* line : {"250-mail.example.org greets you", "250-AUTH=LOGIN PLAIN",
                             "250-auth login cram-md5", "250-SIZE 1000", "250 AUTH", "250-AUTH "})
        AddAuthMechanisms(line, list);
    EXPECT_EQ(list, (std::vector<std::string>{"LOGIN", "PLAIN", "CRAM-MD5"}));
}

TEST(SmtpAddress, SplitsDisplayNameAndAddress) {
    const struct {
        const char* text;
        const char* name;
        const char* address;
    } cases[] = {
        {"", "", ""},
        {"   ", "", ""},
        {"ann@example.org", "", "ann@example.org"},
        {"Ann <ann@example.org>", "Ann", "ann@example.org"},
        {"  <ann@example.org>", "", "ann@example.org"},
        {"\"Doe, Ann\" <ann@example.org>", "Doe, Ann", "ann@example.org"},
        {"'Ann' ann@example.org", "Ann", "ann@example.org"},
        {"\"Ann <x>\" <ann@example.org>", "Ann <x>", "ann@example.org"},
        {"Ann <ann@example.org", "Ann", "ann@example.org"},
        {"ann@example.org (Ann)", "ann@example.org", "(Ann)"},
        {"Ann", "Ann", ""},
        {"\"unclosed", "unclosed", ""},
    };
    for (const auto& c : cases) {
        std::string name, address;
        SplitAddress(c.text, name, address);
        EXPECT_EQ(name, c.name) << c.text;
        EXPECT_EQ(address, c.address) << c.text;
    }
}

TEST(SmtpAuth, PlainTokenHasAnEmptyAuthorizationIdentity) {
    // RFC 4616: authzid NUL authcid NUL passwd; the sender address is no part of it.
    EXPECT_EQ(DecodeBase64(AuthPlainToken("user", "pa ss")), std::string("\0user\0pa ss", 11));
}

TEST(SmtpAuth, CramAnswersTheRfcExampleAndHashesLongPasswords) {
    // RFC 2195, section 2.
    EXPECT_EQ(CramResponse("tim", "tanstaaftanstaaf",
                           "334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+", false),
              "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw");
    // A key longer than the 64-byte block stands for its digest (RFC 2104),
    // so two long passwords with the same first 64 bytes answer differently.
    const std::string longA(100, 'a'), longB = std::string(64, 'a') + std::string(36, 'b');
    const std::string line = "334 " + EncodeBase64("<1.2@x>");
    for (bool sha1 : {false, true}) {
        const std::string a = DecodeBase64(CramResponse("u", longA, line, sha1));
        const std::string keyed =
            sha1 ? qordex::crypto::HmacSha1(qordex::crypto::Sha1(longA), "<1.2@x>")
                 : qordex::crypto::HmacMd5(qordex::crypto::Md5(longA), "<1.2@x>");
        EXPECT_EQ(a, "u " + qordex::crypto::ToHex(keyed));
        EXPECT_NE(a, DecodeBase64(CramResponse("u", longB, line, sha1)));
    }
}

TEST(SmtpLines, StuffingAndWhatMayNotGoOut) {
    const struct {
        std::string line, sent;
        TSmtpLineFault fault;
    } cases[] = {
        {"", "", TSmtpLineFault::None},
        {".", "..", TSmtpLineFault::None},
        {".x", "..x", TSmtpLineFault::None},
        {" .x", " .x", TSmtpLineFault::None},
        {std::string(998, 'a'), std::string(998, 'a'), TSmtpLineFault::None},
        {std::string(999, 'a'), std::string(999, 'a'), TSmtpLineFault::TooLong},
        {"." + std::string(997, 'a'), ".." + std::string(997, 'a'), TSmtpLineFault::TooLong},
        {"a\rb", "a\rb", TSmtpLineFault::LineBreak},
        {"a\nb", "a\nb", TSmtpLineFault::LineBreak},
        {std::string("a\0b", 3), std::string("a\0b", 3), TSmtpLineFault::LineBreak},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StuffDot(c.line), c.sent);
        EXPECT_EQ(CheckMessageLine(StuffDot(c.line)), c.fault) << c.line.substr(0, 10);
    }
    EXPECT_TRUE(HasLineBreakOrNul("x\r\n.\r\nMAIL FROM:<a@b>"));
    EXPECT_FALSE(HasLineBreakOrNul("plain \t text"));
    EXPECT_EQ(SplitAtCrLf("a\r\n\tb\r\n"), (std::vector<std::string>{"a", "\tb", ""}));
}

TEST(SmtpHeaders, ToolSettingsGiveTheStandardBlock) {
    TSmtpHeaderFields f = ToolFields();
    const auto lines = BuildHeaderLines(f, "Sun, 1 Jan 2023 00:00:00 +0000", "id@host");
    EXPECT_EQ(Names(lines),
              (std::vector<std::string>{"From", "To", "Subject", "Sender", "Mime-Version",
                                        "Content-Type", "Date", "Message-ID", "X-Mailer"}));
    EXPECT_EQ(lines[0], "From: Ann <ann@example.org>");
    EXPECT_EQ(lines[3], "Sender: Ann <ann@example.org>");
    EXPECT_EQ(lines[5], "Content-Type: text/plain; charset=\"iso-8859-1\"");
    EXPECT_EQ(lines[7], "Message-ID: <id@host>");
    EXPECT_EQ(lines[8], "X-Mailer: Qordex SMTP Component V2.50");

    f = TSmtpHeaderFields();
    f.priority = smtpPriorityLowest;
    f.confirmReceipt = true;
    f.hdrFrom = "a@b";
    f.hdrReplyTo = "r@b";
    f.hdrReturnPath = "p@b";
    f.hdrCc = "c@b";
    const auto all = BuildHeaderLines(f, "D", "I");
    EXPECT_EQ(Names(all),
              (std::vector<std::string>{"Reply-To", "Return-Path", "From", "Cc", "Subject",
                                        "Sender", "Mime-Version", "Content-Type", "Date",
                                        "X-Priority", "Priority", "X-MSMail-Priority", "Message-ID",
                                        "Disposition-Notification-To", "X-Mailer"}));
    EXPECT_EQ(all[4], "Subject: ") << "an empty subject still has its line";
    EXPECT_EQ(all[9], "X-Priority: 5");
    EXPECT_EQ(all[10], "Priority: non-urgent");
    EXPECT_EQ(all[11], "X-MSMail-Priority: Low");
}

TEST(SmtpHeaders, EncodedWordsWhenEightBitTextIsNotAllowed) {
    TSmtpHeaderFields f = ToolFields();
    f.allow8bitChars = false;
    f.charSet = "utf-8";
    f.hdrTo = "J\xc3\xbcrgen M\xc3\xbcller <jm@example.org>, \"Doe, Ann\" <ann@example.org>";
    f.hdrSubject = "Gr\xc3\xbc\xc3\x9f"
                   "e";
    const auto lines = BuildHeaderLines(f, "D", "I");
    EXPECT_EQ(lines[1], "To: =?utf-8?Q?J=C3=BCrgen_M=C3=BCller?= <jm@example.org>, "
                        "\"Doe, Ann\" <ann@example.org>");
    EXPECT_EQ(lines[2], "Subject: =?utf-8?Q?Gr=C3=BC=C3=9Fe?=");
    // An ASCII subject is folded into the list, not encoded.
    f.hdrSubject = "plain";
    EXPECT_EQ(BuildHeaderLines(f, "D", "I")[2], "Subject: plain");
}

TEST(SmtpHeaders, NamesAreQuotedWithTheirQuotesEscaped) {
    std::vector<std::string> list;
    FormatAddressHeader(list, "To:", "\"Ann \\\"A\\\" Doe\" <a@b>; c@d", false, true, "utf-8", 'Q');
    // SplitAddress ends the name at the first inner quote; what it keeps is escaped.
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0], "To: \"Ann \\\\\" <a@b>, c@d");
    EXPECT_EQ(QuoteString("say \"hi\" \\ bye"), "\"say \\\"hi\\\" \\\\ bye\"");
}

TEST(SmtpHeaders, LinesTooLongForSmtpAreFoldedWhateverTheSetting) {
    TSmtpHeaderFields f = ToolFields();
    std::string to;
    for (int i = 0; i < 100; ++i)
        to += (i ? ", " : "") + std::string("user") + std::to_string(i) + "@example.org";
    f.hdrTo = to;
    const auto lines = BuildHeaderLines(f, "D", "I");
    std::string joined;
    for (const std::string& l : lines) {
        EXPECT_LE(l.size(), kMaxSmtpTextLine) << l.substr(0, 40);
        if (l.rfind("To:", 0) == 0 || (!l.empty() && l[0] == '\t' && joined.size() < 2000))
            joined += l;
    }
    EXPECT_NE(joined.find("user99@example.org"), std::string::npos);

    // A long non-ASCII subject becomes several encoded words.
    f.allow8bitChars = false;
    f.charSet = "utf-8";
    f.hdrSubject.clear();
    for (int i = 0; i < 300; ++i)
        f.hdrSubject += "\xc3\xa9";
    for (const std::string& l : BuildHeaderLines(f, "D", "I"))
        for (const std::string& piece : SplitAtCrLf(l))
            EXPECT_LE(piece.size(), kMaxSmtpTextLine);
}

TEST(SmtpHeaders, MailDateAndZone) {
    const struct {
        TMailTime t;
        const char* text;
    } cases[] = {
        {At(2023, 1, 1, 0, 0, 0, 0, 0), "Sun, 1 Jan 2023 00:00:00 +0000"},
        {At(2024, 2, 29, 4, 13, 5, 9, 60), "Thu, 29 Feb 2024 13:05:09 +0100"},
        {At(2024, 12, 31, 2, 23, 59, 59, -300), "Tue, 31 Dec 2024 23:59:59 -0500"},
        {At(2024, 7, 4, 4, 8, 0, 0, 330), "Thu, 4 Jul 2024 08:00:00 +0530"},
        {At(2024, 7, 4, 4, 8, 0, 0, -210), "Thu, 4 Jul 2024 08:00:00 -0330"},
        {At(2024, 7, 4, 4, 8, 0, 0, 0, false), "Thu, 4 Jul 2024 08:00:00 -0000"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MailDate(c.t), c.text);
}

TEST(SmtpHeaders, MailDateFollowsTheZoneOfTheMachine) {
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    const struct {
        const char* tz;
        const char* zone;
    } cases[] = {{"UTC0", "+0000"}, {"IST-5:30", "+0530"}, {"EST5", "-0500"}};
    const std::regex date(R"((Sun|Mon|Tue|Wed|Thu|Fri|Sat), \d{1,2} )"
                          R"((Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} )"
                          R"(\d\d:\d\d:\d\d [+-]\d{4})");
    for (const auto& c : cases) {
        setenv("TZ", c.tz, 1);
        tzset();
        const TMailTime now = MailTimeNow();
        const std::string text = MailDate(now);
        EXPECT_TRUE(std::regex_match(text, date)) << text;
        EXPECT_EQ(text.substr(text.size() - 5), c.zone) << c.tz;
        // The identifier is made of UTC, whatever the zone.
        char utc[16];
        std::strftime(utc, sizeof utc, "%Y%m%d%H", &now.utc);
        EXPECT_EQ(MessageIdText(now, {0, 1, 32766, 255}, "host").substr(0, 10), utc);
    }
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(SmtpHeaders, MessageIdAndBoundary) {
    TMailTime t = At(2024, 3, 7, 4, 9, 5, 2, 0);
    t.millis = 42;
    EXPECT_EQ(MessageIdText(t, {0, 1, 32766, 0xABC}, "pc"),
              "20240307090502042.000000017FFE0ABC@pc");
    EXPECT_EQ(MessageIdText(t, {0, 0, 0, 0}, "").substr(34), "@localhost");
    EXPECT_EQ(MultipartBoundary(t), "= Multipart Boundary 0307240905");
}

TEST(SmtpBody, WhenATextBodyGoesQuotedPrintable) {
    const struct {
        std::string text;
        bool allow8bit, qp;
    } cases[] = {
        {"plain\r\ntext", false, false},
        {"caf\xc3\xa9", false, true},
        {"caf\xc3\xa9", true, false},
        {"tab\tand\x01", true, false},
        {"tab\tand\x01", false, true},
        {std::string(998, 'a'), true, false},
        {std::string(999, 'a'), true, true},
        {"." + std::string(997, 'a'), true, true},
        {std::string("nul\0", 4), true, true},
        {"lone\rcr", true, true},
        {"lone\nlf", true, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(BodyNeedsQuotedPrintable(c.text, c.allow8bit), c.qp) << c.text.substr(0, 12);
}

TEST(SmtpBody, TextLinesByEncoding) {
    // 7bit lines keep their blanks; only the line end is cut.
    EXPECT_EQ(TextLines("  indented\r\n\ttab \r\n\r\nlast", smtpEnc7bit),
              (std::vector<std::string>{"  indented", "\ttab ", "", "last"}));
    EXPECT_EQ(TextLines("a\r\n", smtpEnc8bit), (std::vector<std::string>{"a", ""}));
    const auto wrapped =
        TextLines(std::string(50, 'x') + " " + std::string(50, 'y') + "\r\nz", smtpEnc7bit, true);
    EXPECT_EQ(wrapped, (std::vector<std::string>{std::string(50, 'x'), std::string(50, 'y'), "z"}));

    const std::string text = std::string(100, 'q') + "\r\n\xe9";
    std::string decoded;
    for (const std::string& l : TextLines(text, smtpEncQuotedPrintable)) {
        EXPECT_LE(l.size(), 75u);
        decoded += l.back() == '=' ? l.substr(0, l.size() - 1) : l;
    }
    EXPECT_NE(decoded.find("=0D=0A=E9"), std::string::npos);
    const auto b64 = TextLines(std::string(100, 'b'), smtpEncBase64);
    ASSERT_EQ(b64.size(), 2u);
    EXPECT_EQ(b64[0].size(), 76u);
    EXPECT_EQ(DecodeBase64(b64[0] + b64[1]), std::string(100, 'b'));
}

TEST(SmtpMime, ContentTypeRewrite) {
    const struct {
        const char* line;
        const char* boundary;
        TSmtpDefaultEncoding enc;
        const char* out;
    } cases[] = {
        {"Content-Type: text/plain; charset=\"x\"", "B", smtpEnc7bit,
         "Content-Type: multipart/mixed;\r\n\tboundary=\"B\""},
        {"content-type: text/html", "", smtpEncQuotedPrintable,
         "content-type: text/html\r\nContent-Transfer-Encoding: quoted-printable"},
        {"Content-Type: text/plain", "", smtpEnc7bit, "Content-Type: text/plain"},
        {"Content-Type: image/gif", "", smtpEncBase64, "Content-Type: image/gif"},
        {"Subject: x", "B", smtpEnc8bit, "Subject: x"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RewriteContentTypeLine(c.line, c.boundary, c.enc), c.out);
}

TEST(SmtpMime, AttachmentNamesAreQuotedSafely) {
    const auto lines = AttachmentPartHeader("B", "a \"q\" \\ b.txt", "text/plain", true, false,
                                            smtpEnc7bit, "utf-8");
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "--B", "Content-Type: text/plain;", "\tname=\"a \\\"q\\\" \\\\ b.txt\"",
                         "Content-Transfer-Encoding: base64", "Content-Disposition: attachment;",
                         "\tfilename=\"a \\\"q\\\" \\\\ b.txt\""}));
    // A long name folded, and a non-ASCII one encoded: never a line with CR LF.
    for (const auto& l :
         AttachmentPartHeader("B", std::string(90, 'n') + " " + "x.bin", "application/octet-stream",
                              true, true, smtpEnc7bit, "utf-8"))
        EXPECT_EQ(l.find_first_of("\r\n"), std::string::npos);
    const auto encoded = AttachmentPartHeader("B", "\xc3\xa9t\xc3\xa9.txt", "text/plain", false,
                                              false, smtpEnc7bit, "utf-8");
    EXPECT_EQ(encoded[2], "\tname=\"=?utf-8?Q?=C3=A9t=C3=A9=2Etxt?=\"");
    EXPECT_EQ(FileNameOnly("/tmp/dir/file.bin"), "file.bin");
}
