#include "net/WSocketLib.h"

#include "base/Text.h"
#include "platform/AsyncLookup.h"
#include "platform/ServiceNames.h"
#include "platform/SocketErrors.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <sys/utsname.h>
#include <unistd.h>

namespace qordex {

// ---- library bookkeeping ---------------------------------------------------

namespace {

// Guards the library state and the live count.
std::mutex g_libLock;
bool g_loaded = false;
int g_liveCount = 0;
std::uint8_t g_reqVerLow = 1;
std::uint8_t g_reqVerHigh = 1;

constexpr const char* kLibraryName = "wsock32.dll";

std::string Format(const char* fmt, const std::string& s, int n) {
    char buf[512];
    std::snprintf(buf, sizeof buf, fmt, s.c_str(), n);
    return buf;
}

// Starts the library (under the lock).  The version word must name a
// version that exists: major 1 or 2.
void LoadLibraryLocked() {
    if (g_loaded)
        return;
    if (g_reqVerLow < 1 || g_reqVerLow > 2)
        throw ESocketException(Format("%s: WSAStartup error #%d", kLibraryName, WSAVERNOTSUPPORTED),
                               WSAVERNOTSUPPORTED);
    g_loaded = true;
}

// A library function keeps the library started for the length of its call;
// without a live socket it stops again afterwards.
struct LibraryUse {
    LibraryUse() {
        std::lock_guard lock(g_libLock);
        LoadLibraryLocked();
        ++g_liveCount;
    }
    ~LibraryUse() { WSocketRemoveLiveSocket(); }
};

bool StartsWithDigit(const std::string& s) {
    for (char c : s) {
        if (c == ' ')
            continue;
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
    }
    return false;
}

// Leading decimal number after optional spaces ("80x" is 80); saturates
// instead of overflowing.
long LeadingNumber(const std::string& s) {
    std::size_t i = 0;
    while (i < s.size() && s[i] == ' ')
        ++i;
    long v = 0;
    for (; i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])); ++i) {
        v = v * 10 + (s[i] - '0');
        if (v > 10000000)
            v = 10000000;
    }
    return v;
}

} // namespace

void WSocketLoadLibrary() {
    std::lock_guard lock(g_libLock);
    LoadLibraryLocked();
}

void WSocketAddLiveSocket() {
    std::lock_guard lock(g_libLock);
    ++g_liveCount;
}

void WSocketRemoveLiveSocket() {
    std::lock_guard lock(g_libLock);
    if (--g_liveCount < 1)
        g_loaded = false; // the library stops with its last user
}

int WSocketLiveCount() {
    std::lock_guard lock(g_libLock);
    return g_liveCount;
}

bool WSocketLibraryLoaded() {
    std::lock_guard lock(g_libLock);
    return g_loaded;
}

std::uint8_t WSocketReqVerLow() {
    std::lock_guard lock(g_libLock);
    return g_reqVerLow;
}

std::uint8_t WSocketReqVerHigh() {
    std::lock_guard lock(g_libLock);
    return g_reqVerHigh;
}

namespace {

// The requested version can only change while the library is not running.
bool SetVersionByte(std::uint8_t& slot, std::uint8_t v) {
    std::lock_guard lock(g_libLock);
    if (g_loaded && v != slot)
        return false;
    slot = v;
    return true;
}

} // namespace

bool WSocketSetReqVerLow(std::uint8_t v) {
    return SetVersionByte(g_reqVerLow, v);
}

bool WSocketSetReqVerHigh(std::uint8_t v) {
    return SetVersionByte(g_reqVerHigh, v);
}

// ---- text conversions --------------------------------------------------------

bool WSocketIsNumericAddr(const std::string& s) {
    std::size_t i = 0, n = s.size();
    while (i < n && s[i] == ' ')
        ++i;
    if (i < n && s[i] == '.')
        return false;
    int dots = 0;
    long num = 0;
    while (i < n) {
        char c = s[i];
        if (std::isdigit(static_cast<unsigned char>(c))) {
            num = std::min(num * 10 + (c - '0'), 100000L);
            ++i;
        } else if (c == '.') {
            ++dots;
            if (dots > 3 || num >= 256 || i + 1 >= n ||
                !std::isdigit(static_cast<unsigned char>(s[i + 1])))
                return false;
            num = 0;
            ++i;
        } else {
            while (i < n && s[i] == ' ')
                ++i;
            if (i >= n)
                break;
            return false;
        }
    }
    return dots == 3 && num < 256;
}

std::uint32_t WSocketResolveHost(const std::string& host) {
    if (host.empty() || host.size() > 256)
        throw ESocketException("WSocketResolveHost: '" + host + "' Invalid Hostname.");
    LibraryUse use;
    std::string t = Trim(host);
    if (WSocketIsNumericAddr(t)) {
        std::uint32_t a = ::inet_addr(t.c_str());
        if (a == INADDR_NONE && t != "255.255.255.255")
            throw ESocketException("WSocketResolveHost: '" + host + "' Invalid IP address.");
        return a;
    }
    LookupResult r = ResolveHostBlocking(t);
    if (r.error != 0 || r.addrs.empty()) {
        int err = r.error ? r.error : WSANO_DATA;
        throw ESocketException(
            Format("WSocketResolveHost: Cannot convert host address '%s', Error #%d", host, err),
            err);
    }
    return r.addrs.front();
}

int WSocketResolvePort(const std::string& port, const std::string& proto) {
    if (port.empty() || port.size() >= 32)
        throw ESocketException("WSocketResolvePort: Invalid Port.");
    if (proto.empty() || proto.size() >= 32)
        throw ESocketException("WSocketResolvePort: Invalid Proto.");
    if (StartsWithDigit(port)) {
        long v = LeadingNumber(port);
        // A number beyond the 16-bit range would silently become another port.
        if (v > 65535)
            throw ESocketException("WSocketResolvePort: Invalid Port.");
        return int(v);
    }
    LibraryUse use;
    if (auto p = LookupServicePort(Trim(port), Trim(proto)))
        return *p;
    throw ESocketException(
        Format("WSocketResolvePort: Cannot convert port '%s', Error #%d", port, WSANO_DATA),
        WSANO_DATA);
}

int WSocketResolveProto(const std::string& proto) {
    if (proto.empty() || proto.size() >= 32)
        throw ESocketException("WSocketResolveProto: Invalid Protocol.");
    if (StartsWithDigit(proto))
        return int(std::min(LeadingNumber(proto), 255L));
    std::string p = AsciiLower(Trim(proto));
    if (p == "tcp")
        return 6;
    if (p == "udp")
        return 17;
    if (p == "raw")
        return 255;
    LibraryUse use;
    if (auto n = LookupProtocolNumber(p))
        return *n;
    throw ESocketException(
        Format("WSocketResolveProto: Cannot convert protocol '%s', Error #%d", proto, WSANO_DATA),
        WSANO_DATA);
}

std::string GetLocalHostName() {
    LibraryUse use;
    char buf[64] = {};
    if (::gethostname(buf, sizeof buf) != 0)
        throw ESocketException("Winsock.GetHostName failed", ErrnoToWsa(errno));
    buf[sizeof buf - 1] = 0;
    return buf;
}

std::uint16_t WSocket_htons(std::uint16_t v) {
    return htons(v);
}
std::uint16_t WSocket_ntohs(std::uint16_t v) {
    return ntohs(v);
}
std::uint32_t WSocket_htonl(std::uint32_t v) {
    return htonl(v);
}
std::uint32_t WSocket_ntohl(std::uint32_t v) {
    return ntohl(v);
}

std::uint32_t WSocket_inet_addr(const std::string& text) {
    LibraryUse use;
    return ::inet_addr(text.c_str());
}

std::string WSocket_inet_ntoa(std::uint32_t a) {
    char buf[INET_ADDRSTRLEN] = {};
    in_addr ia{};
    ia.s_addr = a;
    ::inet_ntop(AF_INET, &ia, buf, sizeof buf);
    return buf;
}

void GetWinsockInfo(TWSADATA& info) {
    LibraryUse use;
    {
        std::lock_guard lock(g_libLock);
        info.wVersion = std::uint16_t(g_reqVerHigh << 8 | g_reqVerLow);
        info.wHighVersion = 0x0202;
        utsname u{};
        std::string platform = "Linux";
        if (::uname(&u) == 0)
            platform = std::string(u.sysname) + " " + u.release;
        info.szDescription = "Qordex sockets on " + platform + " (BSD sockets)";
        info.szSystemStatus = "Running";
        info.iMaxSockets = 0xFFFF;
        info.iMaxUdpDg = 65507;
    }
}

} // namespace qordex
