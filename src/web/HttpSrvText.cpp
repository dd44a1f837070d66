#include "web/HttpSrvText.h"

#include "base/Text.h"
#include "crypto/Digest.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <optional>

namespace qordex::web {

namespace {

constexpr long long kMaxLength = std::numeric_limits<long long>::max();

std::string AsciiUpper(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    return out;
}

// The next word of `s` from `pos` (up to a space), skipping spaces before it.
std::string_view NextWord(std::string_view s, std::size_t& pos) {
    while (pos < s.size() && s[pos] == ' ')
        ++pos;
    const std::size_t start = pos;
    while (pos < s.size() && s[pos] != ' ')
        ++pos;
    return s.substr(start, pos - start);
}

bool ParseRequestLine(std::string_view line, THttpRequestHead& head) {
    std::size_t pos = 0;
    const std::string_view method = NextWord(line, pos);
    const std::string_view target = NextWord(line, pos);
    const std::string_view version = NextWord(line, pos);
    if (method.empty() || target.empty() || !NextWord(line, pos).empty())
        return false;
    head.method = AsciiUpper(method);
    const std::size_t q = target.find('?');
    head.path = std::string(target.substr(0, q));
    head.params = q == std::string_view::npos ? std::string() : std::string(target.substr(q + 1));
    head.version = version.empty() ? std::string("HTTP/1.0") : AsciiUpper(Trim(version));
    return true;
}

} // namespace

THttpHeadResult ParseRequestHead(std::string_view data, THttpRequestHead& head,
                                 const THttpHeadLimits& limits) {
    THttpHeadResult r;
    std::size_t pos = 0;
    // Empty lines before the request line are not part of any request.
    for (;;) {
        if (pos < data.size() && data[pos] == '\n') {
            ++pos;
        } else if (pos + 1 < data.size() && data[pos] == '\r' && data[pos + 1] == '\n') {
            pos += 2;
        } else {
            break;
        }
    }
    const std::size_t start = pos;
    bool first = true;
    head = THttpRequestHead{};
    for (;;) {
        const std::size_t lf = data.find('\n', pos);
        const std::size_t lineEnd = lf == std::string_view::npos ? data.size() : lf;
        if (lineEnd - pos > limits.maxLine || lineEnd - start > limits.maxHead) {
            r.status = THttpHeadStatus::TooLarge;
            return r;
        }
        if (lf == std::string_view::npos) {
            r.status = THttpHeadStatus::NeedMore;
            return r;
        }
        std::string_view line = data.substr(pos, lf - pos);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        pos = lf + 1;
        if (first) {
            if (!ParseRequestLine(line, head)) {
                r.status = THttpHeadStatus::Bad;
                return r;
            }
            first = false;
            continue;
        }
        if (line.empty()) {
            r.status = THttpHeadStatus::Done;
            r.consumed = pos;
            return r;
        }
        if (head.headers.size() >= limits.maxFields) {
            r.status = THttpHeadStatus::TooLarge;
            return r;
        }
        head.headers.emplace_back(line);
    }
}

void ApplyHeaderLine(THttpRequestFields& f, std::string_view line, std::string_view version,
                     std::string_view serverPort) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos)
        return;
    const std::string name = AsciiLower(TrimView(line.substr(0, colon)));
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
        value.remove_prefix(1);
    const std::string v(value);
    if (name == "content-type") {
        f.contentType = v;
    } else if (name == "content-length") {
        const std::string_view t = TrimView(value);
        const bool digits =
            !t.empty() && std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; });
        const auto n = digits ? ParseDecimal(t, 0, kMaxLength) : std::nullopt;
        if (!n || (f.hasContentLength && *n != f.contentLength))
            f.badContentLength = true;
        else
            f.contentLength = *n;
        f.hasContentLength = true;
    } else if (name == "transfer-encoding") {
        f.hasTransferEncoding = true;
    } else if (name == "accept") {
        f.accept = v;
    } else if (name == "referer") {
        f.referer = v;
    } else if (name == "accept-language") {
        f.acceptLanguage = v;
    } else if (name == "accept-encoding") {
        f.acceptEncoding = v;
    } else if (name == "user-agent") {
        f.userAgent = v;
    } else if (name == "authorization") {
        f.auth = v;
    } else if (name == "cookie") {
        f.cookie = v;
    } else if (name == "host") {
        f.host = v;
        const std::size_t c = v.find(':');
        if (c != std::string::npos) {
            f.hostName = v.substr(0, c);
            f.hostPort = v.substr(c + 1, 100);
        } else {
            f.hostName = v;
            f.hostPort = std::string(serverPort);
        }
    } else if (name == "connection") {
        f.connection = v;
        if (version == "HTTP/1.0")
            f.keepAlive = EqualsIgnoreCase(TrimView(value), "keep-alive");
        else if (version == "HTTP/1.1")
            f.keepAlive = !EqualsIgnoreCase(TrimView(value), "close");
    } else if (name == "range") {
        f.range = v;
    }
}

// ---- paths ---------------------------------------------------------------------

std::string UrlDecodePath(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size()) {
            const int hi = HexDigitValue(s[i + 1]), lo = HexDigitValue(s[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out += char(hi * 16 + lo);
                i += 2;
                continue;
            }
        }
        out += s[i];
    }
    return out;
}

std::string UrlEncodeName(std::string_view s) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '.') {
            out += c;
        } else {
            out += '%';
            out += hex[u >> 4];
            out += hex[u & 15];
        }
    }
    return out;
}

std::string HtmlEscape(std::string_view s) {
    static const char* const latin1[96] = {
        "nbsp",   "iexcl", "cent",   "pound",  "curren", "yen",    "brvbar", "sect",
        "uml",    "copy",  "ordf",   "laquo",  "not",    "shy",    "reg",    "macr",
        "deg",    "plusmn", "sup2",  "sup3",   "acute",  "micro",  "para",   "middot",
        "cedil",  "sup1",  "ordm",   "raquo",  "frac14", "frac12", "frac34", "iquest",
        "Agrave", "Aacute", "Acirc", "Atilde", "Auml",   "Aring",  "AElig",  "Ccedil",
        "Egrave", "Eacute", "Ecirc", "Euml",   "Igrave", "Iacute", "Icirc",  "Iuml",
        "ETH",    "Ntilde", "Ograve", "Oacute", "Ocirc", "Otilde", "Ouml",   "times",
        "Oslash", "Ugrave", "Uacute", "Ucirc", "Uuml",   "Yacute", "THORN",  "szlig",
        "agrave", "aacute", "acirc", "atilde", "auml",   "aring",  "aelig",  "ccedil",
        "egrave", "eacute", "ecirc", "euml",   "igrave", "iacute", "icirc",  "iuml",
        "eth",    "ntilde", "ograve", "oacute", "ocirc", "otilde", "ouml",   "divide",
        "oslash", "ugrave", "uacute", "ucirc", "uuml",   "yacute", "thorn",  "yuml"};
    std::string out;
    char prev = 0;
    for (const char c : s) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
        case '\t': out += "&nbsp;"; break;
        case '\n': out += "\n<BR>"; break;
        case '"': out += "&#34;"; break;
        case '&': out += "&amp;"; break;
        case '\'': out += "&#39;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case ' ': out += prev == ' ' ? "&nbsp;" : " "; break;
        default:
            if (u >= 160) {
                out += '&';
                out += latin1[u - 160];
                out += ';';
            } else {
                out += c;
            }
        }
        prev = c;
    }
    return out;
}

std::string NormalisePosixPath(std::string_view path) {
    std::vector<std::string_view> segs;
    std::size_t pos = 0;
    while (pos <= path.size()) {
        std::size_t slash = path.find('/', pos);
        if (slash == std::string_view::npos)
            slash = path.size();
        const std::string_view seg = path.substr(pos, slash - pos);
        if (seg == "..") {
            if (!segs.empty())
                segs.pop_back();
        } else if (!seg.empty() && seg != ".") {
            segs.push_back(seg);
        }
        pos = slash + 1;
    }
    std::string out;
    for (const auto& seg : segs) {
        out += '/';
        out += seg;
    }
    const bool trailing = !path.empty() && path.back() == '/' && !segs.empty();
    if (out.empty() || trailing)
        out += '/';
    return out;
}

TPathCheck MapRequestPath(std::string_view path, std::string& relative) {
    relative.clear();
    if (path.empty() || path.front() != '/')
        return TPathCheck::Bad;
    // An escaped separator would let a name hide a step out of its folder.
    for (std::size_t i = 0; i + 2 < path.size(); ++i) {
        if (path[i] != '%')
            continue;
        const std::string code = AsciiLower(path.substr(i + 1, 2));
        if (code == "2f" || code == "5c")
            return TPathCheck::Bad;
    }
    const std::string decoded = UrlDecodePath(path);
    if (decoded.find('\0') != std::string::npos)
        return TPathCheck::Bad;
    const std::string norm = NormalisePosixPath(decoded);
    relative = norm.substr(1);
    return TPathCheck::Ok;
}

// ---- ranges ----------------------------------------------------------------------

void ParseRangeHeader(std::string_view value, THttpRangeList& list) {
    list.clear();
    value = TrimView(value);
    const std::size_t eq = value.find('=');
    if (eq == std::string_view::npos || !EqualsIgnoreCase(TrimView(value.substr(0, eq)), "bytes"))
        return;
    std::string_view rest = value.substr(eq + 1);
    auto number = [](std::string_view t) -> std::optional<long long> {
        if (t.empty() || !std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return std::nullopt;
        return ParseDecimal(t, 0, kMaxLength);
    };
    while (true) {
        const std::size_t comma = rest.find(',');
        const std::string_view piece = TrimView(rest.substr(0, comma));
        const std::size_t dash = piece.find('-');
        if (dash != std::string_view::npos) {
            const std::string_view a = TrimView(piece.substr(0, dash));
            const std::string_view b = TrimView(piece.substr(dash + 1));
            const auto from = number(a), to = number(b);
            const bool okA = a.empty() || from, okB = b.empty() || to;
            if (okA && okB && !(a.empty() && b.empty()) && !(from && to && *to < *from))
                list.push_back({from ? *from : -1, to ? *to : -1});
        }
        if (comma == std::string_view::npos)
            break;
        rest = rest.substr(comma + 1);
    }
}

TRangePlan PlanRanges(const THttpRangeList& list, long long size,
                      std::vector<TResolvedRange>& parts) {
    parts.clear();
    if (list.empty() || list.size() > kMaxRanges)
        return TRangePlan::Whole;
    long long total = 0;
    for (const THttpRange& r : list) {
        TResolvedRange p;
        if (r.RangeFrom < 0) {
            if (r.RangeTo <= 0)
                return TRangePlan::Unsatisfiable;
            p.start = r.RangeTo >= size ? 0 : size - r.RangeTo;
            p.end = size;
        } else {
            p.start = r.RangeFrom;
            p.end = r.RangeTo < 0 || r.RangeTo >= size ? size : r.RangeTo + 1;
        }
        if (p.start >= size || p.start >= p.end)
            return TRangePlan::Unsatisfiable;
        // Compared before adding: on the largest sizes the sum itself would overflow.
        if (p.end - p.start > size - total)
            return TRangePlan::Whole;
        total += p.end - p.start;
        parts.push_back(p);
    }
    return TRangePlan::Partial;
}

std::string ContentRangeText(const TResolvedRange& range, long long size) {
    return std::to_string(range.start) + "-" + std::to_string(range.end - 1) + "/" +
           std::to_string(size);
}

// ---- answers ---------------------------------------------------------------------

std::string DocumentContentType(std::string_view fileName) {
    const std::size_t slash = fileName.find_last_of('/');
    const std::string_view base = slash == std::string_view::npos ? fileName : fileName.substr(slash + 1);
    const std::size_t dot = base.find_last_of('.');
    const std::string ext = dot == std::string_view::npos ? std::string() : AsciiLower(base.substr(dot + 1));
    static const std::pair<const char*, const char*> table[] = {
        {"htm", "text/html"},
        {"html", "text/html"},
        {"gif", "image/gif"},
        {"bmp", "image/bmp"},
        {"jpg", "image/jpeg"},
        {"jpeg", "image/jpeg"},
        {"tif", "image/tiff"},
        {"tiff", "image/tiff"},
        {"txt", "text/plain"},
        {"css", "text/css"},
        {"wav", "audio/x-wav"},
        {"ico", "image/x-icon"},
        {"wml", "text/vnd.wap.wml"},
        {"wbmp", "image/vnd.wap.wbmp"},
        {"wmlc", "application/vnd.wap.wmlc"},
        {"wmlscript", "text/vnd.wap.wmlscript"},
        {"wmlscriptc", "application/vnd.wap.wmlscriptc"},
        {"pdf", "application/pdf"},
    };
    for (const auto& [e, type] : table)
        if (ext == e)
            return type;
    return "application/binary";
}

std::string HttpDate(std::time_t t) {
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s, %2.2d %s %4.4d %2.2d:%2.2d:%2.2d GMT", days[tm.tm_wday % 7],
                  tm.tm_mday, months[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                  tm.tm_sec);
    return buf;
}

namespace {
std::string FixedBody(const char* status, std::string_view path, const char* verdict) {
    return std::string("<HTML><HEAD><TITLE>") + status + "</TITLE></HEAD><BODY><H1>" + status +
           "</H1>The requested URL " + HtmlEscape(path) + verdict + "<P></BODY></HTML>\r\n";
}
} // namespace

std::string Answer404Body(std::string_view path) {
    return FixedBody("404 Not Found", path, " was not found on this server.");
}
std::string Answer403Body(std::string_view path) {
    return FixedBody("403 Forbidden", path, " is Forbidden on this server.");
}
std::string Answer401Body(std::string_view path) {
    return FixedBody("401 Unauthorized", path, " is Unauthorized on this server.");
}

// ---- listings --------------------------------------------------------------------

std::string FormatDirEntry(std::string_view path, const THttpDirEntry& e) {
    if (e.VolumeID || e.Name == "." || e.Name == "..")
        return {};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::string attr = "-rw--";
    if (e.Directory)
        attr[0] = 'd';
    if (e.ReadOnly)
        attr[2] = '-';
    if (e.SysFile)
        attr[3] = 's';
    if (e.Hidden)
        attr[4] = 'h';
    const std::string size = e.Directory ? std::string() : std::to_string(e.Size());
    char date[32], time[32];
    std::snprintf(date, sizeof date, "%s %2.2d, %4.4d", months[(e.Month + 11) % 12], e.Day, e.Year);
    std::snprintf(time, sizeof time, "%2.2d:%2.2d:%2.2d", e.Hour, e.Min, e.Sec);
    std::string link;
    if (path == "/")
        link = "/" + UrlEncodeName(e.Name);
    else if (!path.empty() && path.back() == '/')
        link = std::string(path) + UrlEncodeName(e.Name);
    else
        link = std::string(path) + "/" + UrlEncodeName(e.Name);
    return "<TD>" + attr + "</TD><TD ALIGN=\"right\">" + size +
           "</TD><TD WIDTH=\"10\"></TD><TD>" + date + "</TD><TD WIDTH=\"10\"></TD><TD>" + time +
           "</TD><TD WIDTH=\"10\"></TD><TD><A HREF=\"" + HtmlEscape(link) + "\">" +
           HtmlEscape(e.Name) + "</A></TD>\r\n";
}

namespace {
// A request path made safe to stand inside a quoted attribute: every byte
// outside the unreserved set and "/" is escaped the way URLs escape.
std::string EscapeLinkPath(std::string_view path) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : path) {
        const auto u = static_cast<unsigned char>(c);
        if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') ||
            std::string_view("/._-~%").find(c) != std::string_view::npos) {
            out += c;
        } else {
            out += '%';
            out += hex[u >> 4];
            out += hex[u & 15];
        }
    }
    return out;
}
} // namespace

std::string BuildDirListText(std::string_view rawPath, const std::vector<THttpDirEntry>& dirs,
                             const std::vector<THttpDirEntry>& files) {
    const std::string path = EscapeLinkPath(rawPath);
    std::string out =
        "<HTML>\r\n<HEAD>\r\n<STYLE TYPE=\"text/css\">\r\n.dirline { font-family: arial; "
        "font-size: normal; color: black }\r\n</STYLE>\r\n<TITLE>Directory List</TITLE>\r\n"
        "</HEAD>\r\n<BODY><P>Directory of " +
        HtmlEscape(NormalisePosixPath(rawPath)) + ":</P><P CLASS=dirline>\r\n<TABLE>\r\n";
    if (path != "/") {
        std::string p = path;
        if (!p.empty() && p.back() == '/')
            p.pop_back();
        const std::size_t slash = p.rfind('/');
        std::string parent = slash == std::string::npos ? std::string() : p.substr(0, slash + 1);
        if (parent != "/" && !parent.empty())
            parent.pop_back();
        if (!parent.empty())
            out += "<TR><TD><A HREF=\"" + parent + "\">[To Parent Directrory]</A></TD></TR>";
    }
    if (dirs.empty() && files.empty()) {
        out += "<TR><TD>No file</TD></TR>";
    } else {
        long long total = 0;
        for (const auto& d : dirs)
            out += "<TR>" + FormatDirEntry(path, d) + "</TR>\r\n";
        for (const auto& f : files) {
            out += "<TR>" + FormatDirEntry(path, f) + "</TR>\r\n";
            total += f.Size();
        }
        out += "<TR><TD COLSPAN=\"8\">Total: " + std::to_string(dirs.size() + files.size()) +
               " file(s), " + std::to_string(total) + " byte(s)</TD></TR>";
    }
    out += "</TABLE></P></BODY></HTML>\r\n";
    return out;
}

// ---- Digest ------------------------------------------------------------------------

TDigestFields ParseDigestAuthorization(std::string_view value) {
    TDigestFields f;
    value = TrimView(value);
    if (!StartsWithIgnoreCase(value, "digest "))
        return f;
    std::string_view rest = value.substr(7);
    while (true) {
        rest = TrimView(rest);
        if (rest.empty())
            break;
        const std::size_t eq = rest.find('=');
        if (eq == std::string_view::npos)
            return f;
        const std::string name = AsciiLower(TrimView(rest.substr(0, eq)));
        rest = TrimView(rest.substr(eq + 1));
        std::string v;
        if (!rest.empty() && rest.front() == '"') {
            std::size_t i = 1;
            for (; i < rest.size() && rest[i] != '"'; ++i) {
                if (rest[i] == '\\' && i + 1 < rest.size())
                    ++i;
                v += rest[i];
            }
            if (i >= rest.size())
                return f;
            rest = rest.substr(i + 1);
        } else {
            const std::size_t comma = rest.find(',');
            v = std::string(TrimView(rest.substr(0, comma)));
            rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma);
        }
        rest = TrimView(rest);
        if (!rest.empty() && rest.front() == ',')
            rest.remove_prefix(1);
        if (name == "username") f.username = v;
        else if (name == "realm") f.realm = v;
        else if (name == "qop") f.qop = v;
        else if (name == "algorithm") f.algorithm = v;
        else if (name == "nonce") f.nonce = v;
        else if (name == "nc") f.nc = v;
        else if (name == "uri") f.uri = v;
        else if (name == "cnonce") f.cnonce = v;
        else if (name == "opaque") f.opaque = v;
        else if (name == "response") f.response = v;
    }
    if (f.algorithm.empty())
        f.algorithm = "MD5";
    f.ok = !f.username.empty() && !f.nonce.empty() && !f.response.empty() &&
           (EqualsIgnoreCase(f.algorithm, "MD5") || EqualsIgnoreCase(f.algorithm, "MD5-sess"));
    return f;
}

std::string DigestResponse(const TDigestFields& f, std::string_view password,
                           std::string_view method, std::string_view entityBody) {
    using crypto::Md5;
    using crypto::ToHex;
    std::string ha1 = ToHex(Md5(f.username + ":" + f.realm + ":" + std::string(password)));
    if (EqualsIgnoreCase(f.algorithm, "MD5-sess"))
        ha1 = ToHex(Md5(ha1 + ":" + f.nonce + ":" + f.cnonce));
    std::string a2 = std::string(method) + ":" + f.uri;
    if (EqualsIgnoreCase(f.qop, "auth-int"))
        a2 += ":" + ToHex(Md5(entityBody));
    const std::string ha2 = ToHex(Md5(a2));
    if (f.qop.empty())
        return ToHex(Md5(ha1 + ":" + f.nonce + ":" + ha2));
    return ToHex(Md5(ha1 + ":" + f.nonce + ":" + f.nc + ":" + f.cnonce + ":" + f.qop + ":" + ha2));
}

} // namespace qordex::web
