#pragma once
// What the SMTP client writes between DATA and the final dot, as plain
// functions: the standard header lines, address headers, the mail date and
// message identifier, the MIME part headers and the lines of a text body.

#include "mail/MimeUtil.h"

#include <array>
#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace qordex::mail {

enum TSmtpPriority {
    smtpPriorityNone,
    smtpPriorityHighest,
    smtpPriorityHigh,
    smtpPriorityNormal,
    smtpPriorityLow,
    smtpPriorityLowest,
};
enum TSmtpDefaultEncoding { smtpEnc7bit, smtpEnc8bit, smtpEncQuotedPrintable, smtpEncBase64 };
enum TSmtpContentType { smtpHtml, smtpPlainText };

// "7bit", "8bit", "quoted-printable", "base64".
const char* EncodingName(TSmtpDefaultEncoding e);
// "text/html" or "text/plain".
const char* ContentTypeText(TSmtpContentType t);

// The message properties that the header lines are made of.
struct TSmtpHeaderFields {
    std::string hdrFrom, hdrTo, hdrCc, hdrReplyTo, hdrReturnPath, hdrSubject, hdrSender;
    TSmtpPriority priority = smtpPriorityNone;
    bool confirmReceipt = false;
    std::string charSet = "iso-8859-1";
    TSmtpContentType contentType = smtpPlainText;
    TSmtpDefaultEncoding defaultEncoding = smtpEnc7bit;
    bool allow8bitChars = true;
    bool foldHeaders = false;
};

// The standard header lines in their order (Reply-To ... X-Mailer), without
// the empty line that ends them.  A line made longer than an SMTP line may
// be is folded even when folding is off; a line may hold CR LF tab where
// it was folded.
std::vector<std::string> BuildHeaderLines(const TSmtpHeaderFields& f, std::string_view date,
                                          std::string_view messageId);

// Adds an address header ("To", "a@b, \"Name\" <c@d>") to the list: each
// address of the comma or semicolon separated value with its display name
// quoted, or encoded when 8-bit text is not allowed.
void FormatAddressHeader(std::vector<std::string>& list, std::string_view name,
                         std::string_view value, bool fold, bool allow8bit,
                         std::string_view charset, char encType);

// The text in double quotes, with a backslash before every double quote and
// backslash inside it (RFC 5322 quoted-string).
std::string QuoteString(std::string_view text);

// A moment as the mail headers need it.
struct TMailTime {
    std::tm local{};
    std::tm utc{};
    int millis = 0;
    bool zoneKnown = false;
    long offsetMinutes = 0; // local time minus UTC
};
TMailTime MailTimeNow();

// "Sun, 1 Jan 2023 13:05:09 +0100": English names whatever the locale;
// UTC is "+0000" and "-0000" says that the zone is unknown (RFC 5322, 3.3).
std::string MailDate(const TMailTime& t);
// "yyyymmddhhnnsszzz." (UTC), four random numbers as four upper-case hex
// digits each, "@" and the host (the caller adds the angle brackets).
std::string MessageIdText(const TMailTime& t, const std::array<int, 4>& randoms,
                          std::string_view host);
// "= Multipart Boundary mmddyyhhnn" from the local time.
std::string MultipartBoundary(const TMailTime& t);

// Whether a text body for 7bit or 8bit has to go quoted-printable instead:
// bytes that 8-bit text may not carry when it is not allowed, or, always, a
// line that could not go on the wire as it is (too long, a NUL, a lone CR
// or LF).  `text` is the body's lines joined by CR LF.
bool BodyNeedsQuotedPrintable(std::string_view text, bool allow8bit);

// The next line of a text body from the 1-based position `pos` (0 when the
// text part is finished, which this call also sets once the end is passed).
// 7bit and 8bit lines go as they are, only their CR LF cut (wrapped at
// column 76 with `wrap`); quoted-printable lines are at most 75 characters;
// Base64 lines carry 57 bytes.
std::string NextTextBodyLine(std::string_view text, std::size_t& pos, TSmtpDefaultEncoding encoding,
                             bool wrap);

// The header-line rewrite of the MIME layer: with a boundary the
// Content-Type line becomes multipart/mixed; without one a text
// Content-Type line gets its transfer encoding on a second line (unless 7bit).
std::string RewriteContentTypeLine(std::string_view line, std::string_view boundary,
                                   TSmtpDefaultEncoding bodyEncoding);

// The first lines of a multipart body: preamble, the text part delimiter and
// its header lines, up to the empty line before the text.
std::vector<std::string> MultipartPreamble(std::string_view boundary, TSmtpContentType type,
                                           std::string_view charset,
                                           TSmtpDefaultEncoding bodyEncoding);

// The part header lines of one attachment (delimiter to filename), without
// the empty line that ends them.
std::vector<std::string> AttachmentPartHeader(std::string_view boundary, std::string_view fileName,
                                              std::string_view contentType, bool allow8bit,
                                              bool fold, TSmtpDefaultEncoding bodyEncoding,
                                              std::string_view charset);

// The file name without its folder.
std::string FileNameOnly(std::string_view path);

} // namespace qordex::mail
