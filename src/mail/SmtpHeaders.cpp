#include "mail/SmtpHeaders.h"

#include "base/Text.h"
#include "mail/SmtpText.h"

#include <cstdio>
#include <sys/time.h>

namespace qordex::mail {
namespace {

constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string Format(const char* fmt, auto... args) {
    char buf[128];
    const int n = std::snprintf(buf, sizeof buf, fmt, args...);
    return std::string(buf, std::size_t(n > 0 ? n : 0));
}

bool NeedsEncodedWords(std::string_view text, bool allow8bit) {
    return !allow8bit && HasNonAsciiChars(text);
}

// Adds a generated line; one that would not fit an SMTP line is folded
// whatever the folding setting says.
void AddLine(std::vector<std::string>& list, std::string line, bool fold) {
    if (fold || line.size() > kMaxSmtpTextLine)
        FoldHeaderIntoList(list, line);
    else
        list.push_back(std::move(line));
}

void AddAddressHeader(std::vector<std::string>& list, const TSmtpHeaderFields& f,
                      std::string_view name, std::string_view value, char encType) {
    const std::string v = Trim(value);
    if (v.empty())
        return;
    if (f.allow8bitChars && !f.foldHeaders)
        AddLine(list, std::string(name) + " " + v, false);
    else
        FormatAddressHeader(list, name, v, f.foldHeaders, f.allow8bitChars, f.charSet, encType);
}

void AddSubject(std::vector<std::string>& list, const TSmtpHeaderFields& f, char encType) {
    const std::string subject = Trim(f.hdrSubject);
    if (NeedsEncodedWords(subject, f.allow8bitChars)) {
        std::string line = "Subject: " + HdrEncodeInLine(subject, Rfc822Specials(), encType,
                                                         f.foldHeaders, 66, f.charSet);
        // One unfolded encoded word can outgrow an SMTP line: fold it then.
        if (!f.foldHeaders && line.size() > kMaxSmtpTextLine)
            line = "Subject: " +
                   HdrEncodeInLine(subject, Rfc822Specials(), encType, true, 66, f.charSet);
        list.push_back(std::move(line));
        return;
    }
    const bool fold = !f.allow8bitChars || f.foldHeaders;
    AddLine(list, "Subject: " + subject, fold);
}

} // namespace

const char* EncodingName(TSmtpDefaultEncoding e) {
    switch (e) {
    case smtpEnc8bit:
        return "8bit";
    case smtpEncQuotedPrintable:
        return "quoted-printable";
    case smtpEncBase64:
        return "base64";
    case smtpEnc7bit:
        break;
    }
    return "7bit";
}

const char* ContentTypeText(TSmtpContentType t) {
    return t == smtpHtml ? "text/html" : "text/plain";
}

std::string QuoteString(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

void FormatAddressHeader(std::vector<std::string>& list, std::string_view name,
                         std::string_view value, bool fold, bool allow8bit,
                         std::string_view charset, char encType) {
    static const TCharSet separators = MakeCharSet(",;");
    static const TCharSet quotes = MakeCharSet("\"'");
    std::string joined;
    for (std::size_t pos = 1; pos <= value.size();) {
        std::string piece = WrapLine(value, "\r\n", separators, 1, quotes, pos);
        std::size_t first = piece.find_first_not_of(" \t");
        piece.erase(0, first == std::string::npos ? piece.size() : first);
        while (!piece.empty() && (piece.back() == ',' || piece.back() == ';'))
            piece.pop_back();
        if (piece.empty())
            continue;
        std::string displayName, address;
        SplitAddress(piece, displayName, address);
        if (!joined.empty())
            joined += ' ';
        if (displayName.empty()) {
            joined += address + ",";
            continue;
        }
        if (NeedsEncodedWords(displayName, allow8bit))
            joined += HdrEncodeInLine(displayName, Rfc822Specials(), encType, fold,
                                      76 - int(name.size()), charset);
        else
            joined += QuoteString(displayName);
        joined += " <" + address + ">,";
    }
    while (!joined.empty() && joined.back() == ',')
        joined.pop_back();
    std::string line = Trim(name) + " " + Trim(joined);
    const bool long77 = line.size() >= 77;
    AddLine(list, std::move(line), fold && long77);
}

std::vector<std::string> BuildHeaderLines(const TSmtpHeaderFields& f, std::string_view date,
                                          std::string_view messageId) {
    const char encType = f.defaultEncoding == smtpEncBase64 ? 'B' : 'Q';
    std::vector<std::string> list;
    AddAddressHeader(list, f, "Reply-To:", f.hdrReplyTo, encType);
    AddAddressHeader(list, f, "Return-Path:", f.hdrReturnPath, encType);
    AddAddressHeader(list, f, "From:", f.hdrFrom, encType);
    AddAddressHeader(list, f, "To:", f.hdrTo, encType);
    AddAddressHeader(list, f, "Cc:", f.hdrCc, encType);
    AddSubject(list, f, encType);
    AddAddressHeader(list, f, "Sender:", Trim(f.hdrSender).empty() ? f.hdrFrom : f.hdrSender,
                     encType);
    list.push_back("Mime-Version: 1.0");
    list.push_back(std::string("Content-Type: ") + ContentTypeText(f.contentType) + "; charset=\"" +
                   f.charSet + "\"");
    list.push_back("Date: " + std::string(date));
    if (f.priority != smtpPriorityNone) {
        list.push_back("X-Priority: " + std::to_string(int(f.priority)));
        if (f.priority <= smtpPriorityHigh) {
            list.push_back("Priority: urgent");
            list.push_back("X-MSMail-Priority: High");
        } else if (f.priority == smtpPriorityNormal) {
            list.push_back("Priority: Normal");
            list.push_back("X-MSMail-Priority: Normal");
        } else {
            list.push_back("Priority: non-urgent");
            list.push_back("X-MSMail-Priority: Low");
        }
    }
    list.push_back("Message-ID: <" + std::string(messageId) + ">");
    if (f.confirmReceipt && !f.hdrFrom.empty())
        AddAddressHeader(list, f, "Disposition-Notification-To:", f.hdrFrom, encType);
    list.push_back("X-Mailer: Qordex SMTP Component V2.50");
    return list;
}

TMailTime MailTimeNow() {
    TMailTime t;
    timeval tv{};
    ::gettimeofday(&tv, nullptr);
    const std::time_t now = tv.tv_sec;
    t.millis = int(tv.tv_usec / 1000);
    const bool local = ::localtime_r(&now, &t.local) != nullptr;
    ::gmtime_r(&now, &t.utc);
    t.zoneKnown = local;
    t.offsetMinutes = local ? t.local.tm_gmtoff / 60 : 0;
    if (!local)
        t.local = t.utc;
    return t;
}

std::string MailDate(const TMailTime& t) {
    const std::tm& l = t.local;
    std::string zone = "-0000";
    if (t.zoneKnown) {
        const long m = t.offsetMinutes < 0 ? -t.offsetMinutes : t.offsetMinutes;
        zone = Format("%c%02ld%02ld", t.offsetMinutes < 0 ? '-' : '+', m / 60, m % 60);
    }
    return Format("%s, %d %s %04d %02d:%02d:%02d ", kDays[(l.tm_wday % 7 + 7) % 7], l.tm_mday,
                  kMonths[(l.tm_mon % 12 + 12) % 12], l.tm_year + 1900, l.tm_hour, l.tm_min,
                  l.tm_sec) +
           zone;
}

std::string MessageIdText(const TMailTime& t, const std::array<int, 4>& randoms,
                          std::string_view host) {
    const std::tm& u = t.utc;
    std::string id = Format("%04d%02d%02d%02d%02d%02d%03d.", u.tm_year + 1900, u.tm_mon + 1,
                            u.tm_mday, u.tm_hour, u.tm_min, u.tm_sec, t.millis);
    for (int r : randoms)
        id += Format("%04X", unsigned(r) & 0xFFFFu);
    return id + "@" + (host.empty() ? std::string("localhost") : std::string(host));
}

std::string MultipartBoundary(const TMailTime& t) {
    const std::tm& l = t.local;
    return Format("= Multipart Boundary %02d%02d%02d%02d%02d", l.tm_mon + 1, l.tm_mday,
                  l.tm_year % 100, l.tm_hour, l.tm_min);
}

bool BodyNeedsQuotedPrintable(std::string_view text, bool allow8bit) {
    if (!allow8bit)
        for (char ch : text) {
            const auto c = static_cast<unsigned char>(ch);
            if (c < 9 || c == 11 || c == 12 || (c >= 14 && c <= 31) || c >= 127)
                return true;
        }
    for (const std::string& line : SplitAtCrLf(text))
        if (CheckMessageLine(StuffDot(line)) != TSmtpLineFault::None)
            return true;
    return false;
}

std::string NextTextBodyLine(std::string_view text, std::size_t& pos, TSmtpDefaultEncoding encoding,
                             bool wrap) {
    if (pos == 0)
        return {};
    std::string line;
    switch (encoding) {
    case smtpEncQuotedPrintable:
        line = EncodeQPLine(text, 75, TCharSet(), false, pos, true);
        break;
    case smtpEncBase64:
        line = EncodeBase64TextLine(text, 76, pos);
        break;
    case smtpEnc7bit:
    case smtpEnc8bit:
        if (pos > text.size()) {
            // The text ended with a line end: its last line is empty.
            pos = 0;
            return {};
        }
        if (wrap) {
            static const TCharSet breaks = MakeCharSet("\t ,-.");
            line = WrapLine(text, "\r\n", breaks, 76, TCharSet(), pos);
            // A soft break leaves the blank it broke at; the reader never sees it.
            while (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
                line.pop_back();
        } else {
            const std::size_t end = text.find("\r\n", pos - 1);
            if (end == std::string_view::npos) {
                line = text.substr(pos - 1);
                pos = 0;
            } else {
                line = text.substr(pos - 1, end - pos + 1);
                pos = end + 3;
            }
        }
        if (pos == kWrapLineEnd)
            pos = 0;
        return line;
    }
    if (pos > text.size())
        pos = 0;
    return line;
}

std::string RewriteContentTypeLine(std::string_view line, std::string_view boundary,
                                   TSmtpDefaultEncoding bodyEncoding) {
    if (!boundary.empty()) {
        if (StartsWithIgnoreCase(line, "CONTENT-TYPE:"))
            return "Content-Type: multipart/mixed;\r\n\tboundary=\"" + std::string(boundary) + "\"";
    } else if (StartsWithIgnoreCase(line, "CONTENT-TYPE: TEXT") && bodyEncoding != smtpEnc7bit) {
        return std::string(line) + "\r\nContent-Transfer-Encoding: " + EncodingName(bodyEncoding);
    }
    return std::string(line);
}

std::vector<std::string> MultipartPreamble(std::string_view boundary, TSmtpContentType type,
                                           std::string_view charset,
                                           TSmtpDefaultEncoding bodyEncoding) {
    return {"This is a multipart MIME message.",
            "",
            "--" + std::string(boundary),
            std::string("Content-Type: ") + ContentTypeText(type) + "; charset=\"" +
                std::string(charset) + "\"",
            std::string("Content-Transfer-Encoding: ") + EncodingName(bodyEncoding),
            ""};
}

std::vector<std::string> AttachmentPartHeader(std::string_view boundary, std::string_view fileName,
                                              std::string_view contentType, bool allow8bit,
                                              bool fold, TSmtpDefaultEncoding bodyEncoding,
                                              std::string_view charset) {
    std::string name(fileName);
    if (NeedsEncodedWords(fileName, allow8bit)) {
        name = HdrEncodeInLine(fileName, Rfc822Specials(),
                               bodyEncoding == smtpEncBase64 ? 'B' : 'Q', fold, 63, charset);
    } else if (fileName.size() + 12 > 76 && fold) {
        static const TCharSet breaks = [] {
            TCharSet set = MakeCharSet(" ");
            for (int c = '0'; c <= '9'; ++c)
                set.set(std::size_t(c));
            for (int c = 'a'; c <= 'z'; ++c)
                set.set(std::size_t(c)).set(std::size_t(c - 'a' + 'A'));
            return set;
        }();
        name = FoldText(fileName, breaks, 63);
    }
    const std::string quoted = QuoteString(name);
    std::vector<std::string> lines;
    for (const std::string& text :
         {"--" + std::string(boundary), "Content-Type: " + std::string(contentType) + ";",
          "\tname=" + quoted, std::string("Content-Transfer-Encoding: base64"),
          std::string("Content-Disposition: attachment;"), "\tfilename=" + quoted})
        // A folded name goes out as several lines.
        for (std::string& piece : SplitAtCrLf(text))
            lines.push_back(std::move(piece));
    return lines;
}

std::string FileNameOnly(std::string_view path) {
    const std::size_t slash = path.find_last_of('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

} // namespace qordex::mail
