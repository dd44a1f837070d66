#include "web/UrlUtil.h"

#include "base/Text.h"

namespace qordex::web {
namespace {

bool IsSchemeChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

// The directory part of a base path: up to and including its last "/".
std::string BaseDirectory(std::string_view base) {
    const std::size_t slash = base.rfind('/');
    if (slash == std::string_view::npos)
        return "/";
    return std::string(base.substr(0, slash + 1));
}

// Splits "user:pass@host:port" (the text before the path).
void SplitAuthority(std::string_view authority, std::string& user, std::string& pass,
                    std::string& host, std::string& port) {
    const std::size_t at = authority.rfind('@');
    const std::size_t colon = authority.rfind(':');
    const std::size_t hostStart = at == std::string_view::npos ? 0 : at + 1;
    if (colon != std::string_view::npos && (at == std::string_view::npos || colon > at)) {
        port = authority.substr(colon + 1);
        host = authority.substr(hostStart, colon - hostStart);
    } else {
        host = authority.substr(hostStart);
    }
    if (at != std::string_view::npos) {
        const std::string_view info = authority.substr(0, at);
        const std::size_t sep = info.find(':');
        user = info.substr(0, sep);
        if (sep != std::string_view::npos)
            pass = info.substr(sep + 1);
    }
}

} // namespace

void ParseUrl(std::string_view url, std::string& proto, std::string& user, std::string& pass,
              std::string& host, std::string& port, std::string& path) {
    const std::string base = path;
    proto.clear();
    user.clear();
    pass.clear();
    host.clear();
    port.clear();
    path.clear();
    if (url.empty())
        return;

    if (url.substr(0, 2) == "./") {
        path = BaseDirectory(base) + std::string(url.substr(2));
        return;
    }
    if (url.substr(0, 3) == "../") {
        // RFC 3986 section 5.2: the base's file name goes, then one directory
        // per leading "../", never above the root.
        std::string dir = BaseDirectory(base);
        while (url.substr(0, 3) == "../") {
            url.remove_prefix(3);
            if (dir.size() > 1) {
                const std::size_t prev = dir.rfind('/', dir.size() - 2);
                dir.resize(prev == std::string::npos ? 1 : prev + 1);
            }
        }
        if (dir.empty() || dir[0] != '/')
            dir.insert(0, "/");
        path = dir + std::string(url);
        return;
    }

    std::string_view rest = url;
    const std::size_t sep = url.find("://");
    if (sep != std::string_view::npos) {
        const std::string scheme = AsciiLower(url.substr(0, sep));
        bool valid = !scheme.empty();
        for (char c : scheme)
            valid = valid && IsSchemeChar(c);
        if (valid) {
            proto = scheme;
            rest = url.substr(sep + 3);
        } else {
            proto = "http";
        }
    } else if (url[0] == '/') {
        proto = "http";
        if (url.size() < 2 || url[1] != '/') {
            path = url;
            return;
        }
        rest = url.substr(2); // "//host/path": a reference without its scheme
    } else if (StartsWithIgnoreCase(url, "http:")) {
        proto = "http";
        if (url.size() < 7 || url[6] != '/') {
            path = url.substr(5);
            return;
        }
        rest = url.substr(5);
    } else if (StartsWithIgnoreCase(url, "mailto:")) {
        proto = "mailto";
        rest = url.substr(7);
    }

    std::size_t pathStart = rest.find('/');
    const std::size_t query = rest.find('?');
    if (query < pathStart)
        pathStart = query;
    if (pathStart != std::string_view::npos)
        path = rest.substr(pathStart);
    SplitAuthority(rest.substr(0, pathStart), user, pass, host, port);
}

TUrlParts ParseUrl(std::string_view url, std::string_view base) {
    TUrlParts p;
    p.path = base;
    ParseUrl(url, p.proto, p.user, p.pass, p.host, p.port, p.path);
    return p;
}

std::string UrlDecode(std::string_view s) {
    std::string out;
    std::size_t i = 0;
    while (i < s.size() && s[i] != '&') {
        const char c = s[i];
        if (c == '+') {
            out += ' ';
            ++i;
        } else if (c == '%') {
            const std::string_view pair = s.substr(i + 1, 2);
            std::size_t j = 0;
            while (j < pair.size() && pair[j] == ' ')
                ++j;
            int value = 0, digits = 0;
            for (; j < pair.size() && HexDigitValue(pair[j]) >= 0; ++j, ++digits)
                value = value * 16 + HexDigitValue(pair[j]);
            if (digits == 0) {
                out += '%';
                ++i;
            } else {
                out += char(value);
                i += 1 + pair.size();
            }
        } else {
            out += c;
            ++i;
        }
    }
    return out;
}

std::string DocNameFromPath(std::string_view path) {
    path = path.substr(0, path.find('?'));
    if (path.empty() || path.back() == '/')
        return "document.htm";
    const std::size_t slash = path.rfind('/');
    if (slash != std::string_view::npos)
        path.remove_prefix(slash + 1);
    return std::string(path.substr(0, 255));
}

bool HasLineBreak(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

} // namespace qordex::web
