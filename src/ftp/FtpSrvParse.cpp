#include "ftp/FtpSrvParse.h"

#include <cstdio>
#include <vector>

namespace qordex::ftp {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
bool IsAlnum(char c) {
    return IsDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + std::int64_t(doe) - 719468;
}

int DaysInMonth(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0))
        return 29;
    return days[m - 1];
}

int Digits(std::string_view s, std::size_t pos, std::size_t n) {
    int v = 0;
    for (std::size_t i = 0; i < n; ++i)
        v = v * 10 + (s[pos + i] - '0');
    return v;
}

} // namespace

std::string TrimBlanks(std::string_view s) {
    std::size_t a = 0, b = s.size();
    while (a < b && IsBlank(s[a]))
        ++a;
    while (b > a && IsBlank(s[b - 1]))
        --b;
    return std::string(s.substr(a, b - a));
}

FtpCommandLine ParseFtpCommand(std::string_view line) {
    std::string clean;
    clean.reserve(line.size());
    for (std::size_t i = 0; i < line.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        if (c != 255) {
            clean.push_back(char(c));
            continue;
        }
        if (i + 1 < line.size() && static_cast<unsigned char>(line[i + 1]) == 255)
            clean.push_back(char(255));
        ++i; // the escaped byte goes with the IAC
    }
    FtpCommandLine out;
    std::size_t i = 0;
    while (i < clean.size() && IsBlank(clean[i]))
        ++i;
    while (i < clean.size() && IsAlnum(clean[i])) {
        char c = clean[i++];
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
        out.keyword.push_back(c);
    }
    while (i < clean.size() && IsBlank(clean[i]))
        ++i;
    out.params = clean.substr(i);
    return out;
}

std::optional<PortArgument> ParsePortArgument(std::string_view p) {
    unsigned n[6] = {};
    std::size_t i = 0;
    for (int k = 0; k < 6; ++k) {
        while (i < p.size() && IsBlank(p[i]))
            ++i;
        std::size_t start = i;
        unsigned v = 0;
        while (i < p.size() && IsDigit(p[i]) && i - start < 4)
            v = v * 10 + unsigned(p[i++] - '0');
        if (i == start || v > 255 || (i < p.size() && IsDigit(p[i])))
            return std::nullopt;
        n[k] = v;
        while (i < p.size() && IsBlank(p[i]))
            ++i;
        if (k < 5) {
            if (i >= p.size() || p[i] != ',')
                return std::nullopt;
            ++i;
        }
    }
    if (i != p.size())
        return std::nullopt;
    PortArgument out;
    out.addr = std::to_string(n[0]) + "." + std::to_string(n[1]) + "." + std::to_string(n[2]) +
               "." + std::to_string(n[3]);
    out.port = std::uint16_t(n[4] * 256 + n[5]);
    return out;
}

std::optional<std::int64_t> ParseRestOffset(std::string_view p) {
    std::size_t i = 0;
    while (i < p.size() && IsBlank(p[i]))
        ++i;
    std::int64_t v = 0;
    for (; i < p.size() && IsDigit(p[i]); ++i) {
        const int d = p[i] - '0';
        if (v > (INT64_MAX - d) / 10)
            return std::nullopt;
        v = v * 10 + d;
    }
    return v;
}

MdtmArgument ParseMdtmArgument(std::string_view p) {
    MdtmArgument out;
    std::size_t digits = 0;
    while (digits < p.size() && IsDigit(p[digits]))
        ++digits;
    if (digits != 14) {
        out.name = std::string(p);
        return out;
    }
    out.hasTime = true;
    const int y = Digits(p, 0, 4), mo = Digits(p, 4, 2), d = Digits(p, 6, 2);
    const int h = Digits(p, 8, 2), mi = Digits(p, 10, 2), s = Digits(p, 12, 2);
    if (mo < 1 || mo > 12 || d < 1 || d > DaysInMonth(y, mo) || h > 23 || mi > 59 || s > 59) {
        out.valid = false;
        return out;
    }
    out.utc = DaysFromCivil(y, unsigned(mo), unsigned(d)) * 86400 + h * 3600 + mi * 60 + s;
    std::size_t i = 14;
    std::size_t zoneStart = i;
    while (i < p.size() && (p[i] == '+' || p[i] == '-' || IsDigit(p[i])))
        ++i;
    if (i > zoneStart) {
        out.hasZone = true;
        // The first four characters are a signed count of minutes.
        std::string_view z = p.substr(zoneStart, std::min<std::size_t>(4, i - zoneStart));
        int sign = 1;
        std::size_t k = 0;
        if (k < z.size() && (z[k] == '+' || z[k] == '-'))
            sign = z[k++] == '-' ? -1 : 1;
        int minutes = 0;
        for (; k < z.size() && IsDigit(z[k]); ++k)
            minutes = minutes * 10 + (z[k] - '0');
        out.utc += std::int64_t(sign) * minutes * 60;
    }
    while (i < p.size() && IsBlank(p[i]))
        ++i;
    out.name = std::string(p.substr(i, 999));
    return out;
}

std::optional<std::string> ResolveVirtualPath(std::string_view cwd, std::string_view arg) {
    if (arg.find('\0') != std::string_view::npos || cwd.find('\0') != std::string_view::npos)
        return std::nullopt;
    std::string joined;
    const bool absolute = !arg.empty() && (arg[0] == '/' || arg[0] == '\\');
    if (!absolute) {
        joined = std::string(cwd);
        joined.push_back('/');
    }
    joined.append(arg);
    std::vector<std::string> parts;
    std::string seg;
    auto flush = [&]() -> bool {
        if (seg.size() > kMaxNameComponent)
            return false;
        if (seg == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!seg.empty() && seg != ".") {
            parts.push_back(seg);
        }
        seg.clear();
        return true;
    };
    for (char c : joined) {
        if (c == '/' || c == '\\') {
            if (!flush())
                return std::nullopt;
        } else {
            seg.push_back(c);
        }
    }
    if (!flush())
        return std::nullopt;
    std::string out;
    for (const std::string& s : parts)
        out += "/" + s;
    if (out.empty())
        out = "/";
    if (out.size() > kMaxVirtualPath)
        return std::nullopt;
    return out;
}

std::string AsDirectory(std::string_view v) {
    std::string out(v);
    if (out.empty() || out.back() != '/')
        out.push_back('/');
    return out;
}

std::string FormatListLine(const FtpDirEntry& e, int currentYear) {
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::string attr = "-rw-rw-rw-";
    if (e.isDir)
        attr[0] = 'd';
    if (e.readOnly)
        attr[2] = attr[5] = attr[8] = '-';
    auto endsWith = [&](const char* ext) {
        const std::size_t n = 4;
        if (e.name.size() < n)
            return false;
        for (std::size_t i = 0; i < n; ++i) {
            char c = e.name[e.name.size() - n + i];
            if (c >= 'a' && c <= 'z')
                c = char(c - 'a' + 'A');
            if (c != ext[i])
                return false;
        }
        return true;
    };
    if (endsWith(".EXE") || endsWith(".COM") || endsWith(".BAT"))
        attr[3] = attr[6] = attr[9] = 'x';
    std::tm tm{};
    const std::time_t even = e.modified - (e.modified & 1); // two-second resolution
    localtime_r(&even, &tm);
    char last[16];
    if (tm.tm_year + 1900 == currentYear)
        std::snprintf(last, sizeof last, "%2.2d:%2.2d", tm.tm_hour, tm.tm_min);
    else
        std::snprintf(last, sizeof last, "%5d", tm.tm_year + 1900);
    char mid[64];
    std::snprintf(mid, sizeof mid, "%11lld %s %2.2d %5s ", static_cast<long long>(e.size),
                  kMonths[tm.tm_mon], tm.tm_mday, last);
    return attr + "   1 ftp      ftp  " + mid + e.name + "\r\n";
}

std::string FormatUtcStamp(std::time_t t) {
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

std::string FormatFacts(const FtpDirEntry& e) {
    std::string f;
    if (!e.isDir)
        f = "size=" + std::to_string(e.size) + ";type=file;perm=" + (e.readOnly ? "r;" : "fdrwa;");
    else if (e.name == ".")
        f = "size=0;type=cdir;perm=fdelcmp;";
    else if (e.name == "..")
        f = "size=0;type=pdir;perm=fdelcmp;";
    else
        f = "size=0;type=dir;perm=fdelcmp;";
    return f + "create=" + FormatUtcStamp(e.created) + ";modify=" + FormatUtcStamp(e.modified) +
           "; " + e.name;
}

} // namespace qordex::ftp
