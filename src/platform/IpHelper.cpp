#include "platform/IpHelper.h"

#include "base/Text.h"

// Before the kernel headers, which then leave out what it declares.
#include <net/if.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <linux/ethtool.h>
#include <linux/if_arp.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sockios.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qordex::ipsys {

IpSysError::IpSysError(int err) : std::runtime_error(std::strerror(err)), err_(err) {}

namespace {

// Largest request we build; every request here carries a few attributes.
constexpr size_t kRequestLimit = 512;
// One receive; the kernel never sends a single datagram larger than this
// when MSG_TRUNC tells us the size first.
constexpr size_t kReceiveLimit = 1 << 20;
// A proc file larger than this is cut (a socket table of ~100k rows).
constexpr size_t kProcFileLimit = 64u << 20;

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// A request under construction: header, family-specific body, attributes.
class NlRequest {
public:
    NlRequest(uint16_t type, uint16_t flags, const void* body, size_t bodyLen) {
        buf_.resize(NLMSG_SPACE(bodyLen));
        auto* h = reinterpret_cast<nlmsghdr*>(buf_.data());
        h->nlmsg_type = type;
        h->nlmsg_flags = static_cast<uint16_t>(NLM_F_REQUEST | flags);
        h->nlmsg_len = static_cast<uint32_t>(NLMSG_LENGTH(bodyLen));
        std::memcpy(NLMSG_DATA(h), body, bodyLen);
    }
    void Attr(uint16_t type, const void* data, size_t len) {
        size_t off = NLMSG_ALIGN(Header()->nlmsg_len);
        size_t total = off + RTA_SPACE(len);
        if (total > kRequestLimit)
            throw IpSysError(EINVAL);
        buf_.resize(total);
        auto* rta = reinterpret_cast<rtattr*>(buf_.data() + off);
        rta->rta_type = type;
        rta->rta_len = static_cast<uint16_t>(RTA_LENGTH(len));
        std::memcpy(RTA_DATA(rta), data, len);
        Header()->nlmsg_len = static_cast<uint32_t>(off + RTA_LENGTH(len));
    }
    void Attr32(uint16_t type, uint32_t v) { Attr(type, &v, sizeof v); }
    nlmsghdr* Header() { return reinterpret_cast<nlmsghdr*>(buf_.data()); }

private:
    std::vector<char> buf_;
};

// Sends one request and reads the answer: every message of a dump until
// NLMSG_DONE, or the acknowledgement of a change.  Throws the kernel's error.
void Transact(NlRequest& req, const std::function<void(const nlmsghdr*)>& onMessage) {
    Fd sock(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (sock.get() < 0)
        throw IpSysError(errno);
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    if (::bind(sock.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) < 0)
        throw IpSysError(errno);
    static std::atomic<uint32_t> seqCounter{1};
    uint32_t seq = seqCounter++;
    nlmsghdr* h = req.Header();
    h->nlmsg_seq = seq;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(sock.get(), h, h->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof kernel) < 0)
        throw IpSysError(errno);
    bool dump = (h->nlmsg_flags & NLM_F_DUMP) == NLM_F_DUMP;
    std::vector<char> buf(32768);
    for (;;) {
        // Peek at the size so that a large dump datagram is never cut.
        ssize_t want = ::recv(sock.get(), buf.data(), 0, MSG_PEEK | MSG_TRUNC);
        if (want < 0) {
            if (errno == EINTR)
                continue;
            throw IpSysError(errno);
        }
        if (static_cast<size_t>(want) > buf.size()) {
            if (static_cast<size_t>(want) > kReceiveLimit)
                throw IpSysError(EMSGSIZE);
            buf.resize(static_cast<size_t>(want));
        }
        ssize_t got = ::recv(sock.get(), buf.data(), buf.size(), 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw IpSysError(errno);
        }
        int len = static_cast<int>(got);
        for (auto* m = reinterpret_cast<const nlmsghdr*>(buf.data()); NLMSG_OK(m, len);
             m = NLMSG_NEXT(m, len)) {
            if (m->nlmsg_seq != seq)
                continue;
            if (m->nlmsg_type == NLMSG_DONE)
                return;
            if (m->nlmsg_type == NLMSG_ERROR) {
                auto* e = static_cast<const nlmsgerr*>(NLMSG_DATA(m));
                if (e->error != 0)
                    throw IpSysError(-e->error);
                return; // the acknowledgement
            }
            onMessage(m);
            if (!dump && !(m->nlmsg_flags & NLM_F_MULTI))
                return; // a single answer (route get)
        }
    }
}

template<typename Body>
void ForEachAttr(const nlmsghdr* m, const std::function<void(const rtattr*)>& fn) {
    const auto* body = static_cast<const Body*>(NLMSG_DATA(m));
    int len = static_cast<int>(m->nlmsg_len) - static_cast<int>(NLMSG_LENGTH(sizeof(Body)));
    const auto* rta = reinterpret_cast<const rtattr*>(reinterpret_cast<const char*>(body) +
                                                      NLMSG_ALIGN(sizeof(Body)));
    for (; RTA_OK(rta, len); rta = RTA_NEXT(rta, len))
        fn(rta);
}

uint32_t AttrU32(const rtattr* a) {
    uint32_t v = 0;
    if (RTA_PAYLOAD(a) >= sizeof v)
        std::memcpy(&v, RTA_DATA(a), sizeof v);
    return v;
}

std::string AttrString(const rtattr* a) {
    const char* p = static_cast<const char*>(RTA_DATA(a));
    size_t n = RTA_PAYLOAD(a);
    return std::string(p, strnlen(p, n));
}

std::string ReadFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw IpSysError(errno);
    Fd guard(fd);
    std::string out;
    char chunk[65536];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw IpSysError(errno);
        }
        if (n == 0)
            break;
        out.append(chunk, static_cast<size_t>(n));
        if (out.size() > kProcFileLimit)
            break;
    }
    return out;
}

// The proc files of the calling thread's network namespace: /proc/self
// follows the main thread, which may sit in another namespace.
std::string ProcNet(const std::string& file) {
    return ReadFile("/proc/thread-self/net/" + file);
}

void AddrRequest(uint16_t type, uint16_t flags, int index, uint32_t addr, int prefix) {
    if (prefix < 0 || prefix > 32)
        throw IpSysError(EINVAL);
    ifaddrmsg body{};
    body.ifa_family = AF_INET;
    body.ifa_prefixlen = static_cast<unsigned char>(prefix);
    body.ifa_index = static_cast<unsigned>(index);
    NlRequest req(type, static_cast<uint16_t>(NLM_F_ACK | flags), &body, sizeof body);
    req.Attr(IFA_LOCAL, &addr, 4);
    req.Attr(IFA_ADDRESS, &addr, 4);
    if (type == RTM_NEWADDR && prefix < 31) {
        uint32_t brd = addr | ~PrefixToMask(prefix);
        req.Attr(IFA_BROADCAST, &brd, 4);
    }
    Transact(req, [](const nlmsghdr*) {});
}

void NeighRequest(uint16_t type, uint16_t flags, int index, uint32_t addr,
                  const std::string& lladdr, uint16_t state, uint8_t ntf) {
    ndmsg body{};
    body.ndm_family = AF_INET;
    body.ndm_ifindex = index;
    body.ndm_state = state;
    body.ndm_flags = ntf;
    NlRequest req(type, static_cast<uint16_t>(NLM_F_ACK | flags), &body, sizeof body);
    req.Attr(NDA_DST, &addr, 4);
    if (!lladdr.empty())
        req.Attr(NDA_LLADDR, lladdr.data(), lladdr.size());
    Transact(req, [](const nlmsghdr*) {});
}

void RouteRequest(uint16_t type, uint16_t flags, const Route4& r) {
    if (r.prefix < 0 || r.prefix > 32)
        throw IpSysError(EINVAL);
    rtmsg body{};
    body.rtm_family = AF_INET;
    body.rtm_dst_len = static_cast<unsigned char>(r.prefix);
    body.rtm_table = RT_TABLE_MAIN;
    body.rtm_protocol = static_cast<unsigned char>(type == RTM_DELROUTE ? 0 : r.protocol);
    // A route that only drops or refuses (blackhole, unreachable) reaches
    // no link: it has no link scope.
    const bool unicast = r.type == RTN_UNSPEC || r.type == RTN_UNICAST;
    body.rtm_type = static_cast<unsigned char>(unicast ? unsigned{RTN_UNICAST} : r.type);
    body.rtm_scope = static_cast<unsigned char>(type == RTM_DELROUTE      ? RT_SCOPE_NOWHERE
                                                : (r.gateway || !unicast) ? RT_SCOPE_UNIVERSE
                                                                          : RT_SCOPE_LINK);
    NlRequest req(type, static_cast<uint16_t>(NLM_F_ACK | flags), &body, sizeof body);
    if (r.prefix > 0)
        req.Attr(RTA_DST, &r.dst, 4);
    if (r.gateway)
        req.Attr(RTA_GATEWAY, &r.gateway, 4);
    if (r.prefsrc && type != RTM_DELROUTE)
        req.Attr(RTA_PREFSRC, &r.prefsrc, 4);
    if (r.oif)
        req.Attr32(RTA_OIF, static_cast<uint32_t>(r.oif));
    if (type != RTM_DELROUTE || r.priority)
        req.Attr32(RTA_PRIORITY, r.priority);
    Transact(req, [](const nlmsghdr*) {});
}

Route4 ParseRoute(const nlmsghdr* m) {
    Route4 r;
    const auto* rt = static_cast<const rtmsg*>(NLMSG_DATA(m));
    r.prefix = rt->rtm_dst_len;
    r.protocol = rt->rtm_protocol;
    r.type = rt->rtm_type;
    r.scope = rt->rtm_scope;
    r.table = rt->rtm_table;
    ForEachAttr<rtmsg>(m, [&](const rtattr* a) {
        switch (a->rta_type) {
        case RTA_DST:
            r.dst = AttrU32(a);
            break;
        case RTA_GATEWAY:
            r.gateway = AttrU32(a);
            break;
        case RTA_OIF:
            r.oif = static_cast<int>(AttrU32(a));
            break;
        case RTA_PRIORITY:
            r.priority = AttrU32(a);
            break;
        case RTA_PREFSRC:
            r.prefsrc = AttrU32(a);
            break;
        case RTA_TABLE:
            r.table = AttrU32(a);
            break;
        case RTA_MULTIPATH: {
            // A multipath route: report its first hop.
            if (RTA_PAYLOAD(a) >= sizeof(rtnexthop)) {
                const auto* nh = static_cast<const rtnexthop*>(RTA_DATA(a));
                if (!r.oif)
                    r.oif = nh->rtnh_ifindex;
                int alen = nh->rtnh_len - static_cast<int>(sizeof(rtnexthop));
                const auto* na = reinterpret_cast<const rtattr*>(reinterpret_cast<const char*>(nh) +
                                                                 RTNH_ALIGN(sizeof(rtnexthop)));
                for (; alen > 0 && RTA_OK(na, alen); na = RTA_NEXT(na, alen))
                    if (na->rta_type == RTA_GATEWAY && !r.gateway)
                        r.gateway = AttrU32(na);
            }
            break;
        }
        default:
            break;
        }
    });
    return r;
}

} // namespace

std::vector<Link> Links() {
    ifinfomsg body{};
    body.ifi_family = AF_UNSPEC;
    NlRequest req(RTM_GETLINK, NLM_F_DUMP, &body, sizeof body);
    std::vector<Link> out;
    Transact(req, [&](const nlmsghdr* m) {
        if (m->nlmsg_type != RTM_NEWLINK)
            return;
        const auto* ifi = static_cast<const ifinfomsg*>(NLMSG_DATA(m));
        Link l;
        l.index = ifi->ifi_index;
        l.flags = ifi->ifi_flags;
        l.arpType = ifi->ifi_type;
        ForEachAttr<ifinfomsg>(m, [&](const rtattr* a) {
            switch (a->rta_type) {
            case IFLA_IFNAME:
                l.name = AttrString(a);
                break;
            case IFLA_IFALIAS:
                l.alias = AttrString(a);
                break;
            case IFLA_MTU:
                l.mtu = AttrU32(a);
                break;
            case IFLA_OPERSTATE:
                l.operState = RTA_PAYLOAD(a) ? *static_cast<const uint8_t*>(RTA_DATA(a)) : 0;
                break;
            case IFLA_ADDRESS:
                l.hwAddr.assign(static_cast<const char*>(RTA_DATA(a)), RTA_PAYLOAD(a));
                break;
            case IFLA_STATS64:
                if (RTA_PAYLOAD(a) >= sizeof(rtnl_link_stats64)) {
                    rtnl_link_stats64 s;
                    std::memcpy(&s, RTA_DATA(a), sizeof s);
                    l.rxBytes = s.rx_bytes;
                    l.txBytes = s.tx_bytes;
                    l.rxPackets = s.rx_packets;
                    l.txPackets = s.tx_packets;
                    l.rxErrors = s.rx_errors;
                    l.txErrors = s.tx_errors;
                    l.rxDropped = s.rx_dropped;
                    l.txDropped = s.tx_dropped;
                    l.multicast = s.multicast;
                }
                break;
            default:
                break;
            }
        });
        out.push_back(std::move(l));
    });
    return out;
}

std::vector<Addr4> Addresses4() {
    ifaddrmsg body{};
    body.ifa_family = AF_INET;
    NlRequest req(RTM_GETADDR, NLM_F_DUMP, &body, sizeof body);
    std::vector<Addr4> out;
    Transact(req, [&](const nlmsghdr* m) {
        if (m->nlmsg_type != RTM_NEWADDR)
            return;
        const auto* ifa = static_cast<const ifaddrmsg*>(NLMSG_DATA(m));
        if (ifa->ifa_family != AF_INET)
            return;
        Addr4 a;
        a.index = static_cast<int>(ifa->ifa_index);
        a.prefix = ifa->ifa_prefixlen;
        a.flags = ifa->ifa_flags;
        uint32_t address = 0;
        bool haveLocal = false;
        ForEachAttr<ifaddrmsg>(m, [&](const rtattr* at) {
            switch (at->rta_type) {
            case IFA_LOCAL:
                a.local = AttrU32(at);
                haveLocal = true;
                break;
            case IFA_ADDRESS:
                address = AttrU32(at);
                break;
            case IFA_BROADCAST:
                a.broadcast = AttrU32(at);
                break;
            case IFA_LABEL:
                a.label = AttrString(at);
                break;
            case IFA_FLAGS:
                a.flags = AttrU32(at);
                break;
            default:
                break;
            }
        });
        // On a point-to-point link IFA_ADDRESS is the peer; IFA_LOCAL is ours.
        if (!haveLocal)
            a.local = address;
        out.push_back(std::move(a));
    });
    return out;
}

std::vector<Route4> Routes4() {
    rtmsg body{};
    body.rtm_family = AF_INET;
    NlRequest req(RTM_GETROUTE, NLM_F_DUMP, &body, sizeof body);
    std::vector<Route4> out;
    Transact(req, [&](const nlmsghdr* m) {
        if (m->nlmsg_type != RTM_NEWROUTE)
            return;
        const auto* rt = static_cast<const rtmsg*>(NLMSG_DATA(m));
        if (rt->rtm_family != AF_INET)
            return;
        Route4 r = ParseRoute(m);
        if (r.table == RT_TABLE_MAIN)
            out.push_back(r);
    });
    return out;
}

std::vector<Neigh4> Neighbours4(bool proxy) {
    ndmsg body{};
    body.ndm_family = AF_INET;
    body.ndm_flags = proxy ? NTF_PROXY : 0;
    NlRequest req(RTM_GETNEIGH, NLM_F_DUMP, &body, sizeof body);
    std::vector<Neigh4> out;
    Transact(req, [&](const nlmsghdr* m) {
        if (m->nlmsg_type != RTM_NEWNEIGH)
            return;
        const auto* nd = static_cast<const ndmsg*>(NLMSG_DATA(m));
        if (nd->ndm_family != AF_INET)
            return;
        Neigh4 n;
        n.index = nd->ndm_ifindex;
        n.state = nd->ndm_state;
        n.flags = nd->ndm_flags;
        ForEachAttr<ndmsg>(m, [&](const rtattr* a) {
            if (a->rta_type == NDA_DST)
                n.addr = AttrU32(a);
            else if (a->rta_type == NDA_LLADDR)
                n.lladdr.assign(static_cast<const char*>(RTA_DATA(a)), RTA_PAYLOAD(a));
        });
        if (((n.flags & NTF_PROXY) != 0) == proxy)
            out.push_back(std::move(n));
    });
    return out;
}

Route4 RouteGet4(uint32_t dst) {
    rtmsg body{};
    body.rtm_family = AF_INET;
    body.rtm_dst_len = 32;
    NlRequest req(RTM_GETROUTE, 0, &body, sizeof body);
    req.Attr(RTA_DST, &dst, 4);
    Route4 out;
    bool got = false;
    Transact(req, [&](const nlmsghdr* m) {
        if (m->nlmsg_type == RTM_NEWROUTE && !got) {
            out = ParseRoute(m);
            got = true;
        }
    });
    if (!got)
        throw IpSysError(ENETUNREACH);
    return out;
}

uint64_t LinkSpeed(const std::string& name) {
    if (name.size() >= IFNAMSIZ)
        return 0;
    Fd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (sock.get() < 0)
        return 0;
    ethtool_cmd cmd{};
    cmd.cmd = ETHTOOL_GSET;
    ifreq ifr{};
    std::memcpy(ifr.ifr_name, name.c_str(), name.size());
    ifr.ifr_data = reinterpret_cast<char*>(&cmd);
    if (::ioctl(sock.get(), SIOCETHTOOL, &ifr) < 0)
        return 0;
    uint32_t mbps = ethtool_cmd_speed(&cmd);
    if (mbps == 0 || mbps == static_cast<uint32_t>(SPEED_UNKNOWN))
        return 0;
    return static_cast<uint64_t>(mbps) * 1000000u;
}

bool IsWireless(const std::string& name) {
    struct stat st;
    return name.find('/') == std::string::npos &&
           ::stat(("/sys/class/net/" + name + "/wireless").c_str(), &st) == 0;
}

void SetLinkUp(int index, bool up) {
    ifinfomsg body{};
    body.ifi_family = AF_UNSPEC;
    body.ifi_index = index;
    body.ifi_flags = up ? IFF_UP : 0;
    body.ifi_change = IFF_UP;
    NlRequest req(RTM_NEWLINK, NLM_F_ACK, &body, sizeof body);
    Transact(req, [](const nlmsghdr*) {});
}

void AddAddress4(int index, uint32_t addr, int prefix) {
    AddrRequest(RTM_NEWADDR, NLM_F_CREATE | NLM_F_EXCL, index, addr, prefix);
}

void DelAddress4(int index, uint32_t addr, int prefix) {
    AddrRequest(RTM_DELADDR, 0, index, addr, prefix);
}

void AddRoute4(const Route4& route, bool replace) {
    RouteRequest(RTM_NEWROUTE,
                 static_cast<uint16_t>(replace ? (NLM_F_CREATE | NLM_F_REPLACE)
                                               : (NLM_F_CREATE | NLM_F_EXCL)),
                 route);
}

void DelRoute4(const Route4& route) {
    RouteRequest(RTM_DELROUTE, 0, route);
}

void AddNeigh4(int index, uint32_t addr, const std::string& lladdr, bool permanent) {
    NeighRequest(RTM_NEWNEIGH, NLM_F_CREATE | NLM_F_REPLACE, index, addr, lladdr,
                 permanent ? NUD_PERMANENT : NUD_REACHABLE, 0);
}

void DelNeigh4(int index, uint32_t addr) {
    NeighRequest(RTM_DELNEIGH, 0, index, addr, {}, 0, 0);
}

void AddProxyNeigh4(int index, uint32_t addr) {
    NeighRequest(RTM_NEWNEIGH, NLM_F_CREATE | NLM_F_REPLACE, index, addr, {}, NUD_PERMANENT,
                 NTF_PROXY);
}

void DelProxyNeigh4(int index, uint32_t addr) {
    NeighRequest(RTM_DELNEIGH, 0, index, addr, {}, 0, NTF_PROXY);
}

SnmpTable ParseSnmp(const std::string& text) {
    // Each section is a line of names followed by a line of values, both
    // starting with "Section:".
    SnmpTable out;
    std::istringstream in(text);
    std::string names, values;
    while (std::getline(in, names) && std::getline(in, values)) {
        std::istringstream n(names), v(values);
        std::string section, section2;
        n >> section;
        v >> section2;
        if (section != section2 || section.empty() || section.back() != ':')
            break;
        section.pop_back();
        std::string name, value;
        auto& fields = out[section];
        while (n >> name && v >> value) {
            if (auto x = ParseDecimal(value, LLONG_MIN, LLONG_MAX))
                fields[name] = *x;
        }
    }
    return out;
}

SnmpTable Snmp() {
    return ParseSnmp(ProcNet("snmp"));
}

std::vector<Sock4> ParseSocketTable(const std::string& text) {
    // "  sl  local_address rem_address   st ..." then rows of
    // "   0: 0100007F:0035 00000000:0000 0A ...": the addresses are the
    // network-order words printed as host-order hex, the ports real ports.
    std::vector<Sock4> out;
    std::istringstream in(text);
    std::string line;
    std::getline(in, line); // header
    while (std::getline(in, line)) {
        unsigned slot, local, lport, remote, rport, state;
        if (std::sscanf(line.c_str(), " %u: %8X:%4X %8X:%4X %2X", &slot, &local, &lport, &remote,
                        &rport, &state) != 6)
            continue;
        Sock4 s;
        s.local = local;
        s.localPort = static_cast<uint16_t>(lport);
        s.remote = remote;
        s.remotePort = static_cast<uint16_t>(rport);
        s.state = static_cast<int>(state);
        out.push_back(s);
    }
    return out;
}

std::vector<Sock4> TcpSockets4() {
    return ParseSocketTable(ProcNet("tcp"));
}
std::vector<Sock4> UdpSockets4() {
    return ParseSocketTable(ProcNet("udp"));
}

std::string ReadIpv4Sysctl(const std::string& name) {
    if (name.find("..") != std::string::npos)
        throw IpSysError(EINVAL);
    std::string s = ReadFile("/proc/sys/net/ipv4/" + name);
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

void WriteIpv4Sysctl(const std::string& name, const std::string& value) {
    if (name.find("..") != std::string::npos)
        throw IpSysError(EINVAL);
    int fd = ::open(("/proc/sys/net/ipv4/" + name).c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        throw IpSysError(errno);
    Fd guard(fd);
    std::string line = value + "\n";
    if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        throw IpSysError(errno ? errno : EIO);
}

ResolverConf ParseResolverConf(const std::string& text) {
    ResolverConf out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        auto hash = line.find_first_of("#;");
        if (hash != std::string::npos)
            line.erase(hash);
        std::istringstream words(line);
        std::string key;
        if (!(words >> key))
            continue;
        std::string value;
        if (key == "nameserver") {
            if (words >> value)
                out.nameservers.push_back(value);
        } else if (key == "domain") {
            if (words >> value)
                out.domain = value;
        } else if (key == "search") {
            out.search.clear();
            while (words >> value)
                out.search.push_back(value);
        }
    }
    if (out.domain.empty() && !out.search.empty())
        out.domain = out.search.front();
    return out;
}

ResolverConf ReadResolverConf(const std::string& path) {
    try {
        return ParseResolverConf(ReadFile(path));
    } catch (const IpSysError&) {
        return {}; // no resolver configuration: no servers, no domain
    }
}

ResolverConf ReadMachineResolverConf(const std::string& path, const std::string& upstreamPath) {
    ResolverConf conf = ReadResolverConf(path);
    const bool stubOnly = !conf.nameservers.empty() &&
                          std::all_of(conf.nameservers.begin(), conf.nameservers.end(),
                                      [](const std::string& s) { return s == "127.0.0.53"; });
    if (stubOnly) {
        ResolverConf upstream = ReadResolverConf(upstreamPath);
        if (!upstream.nameservers.empty())
            conf.nameservers = std::move(upstream.nameservers);
    }
    return conf;
}

std::string Ip4ToText(uint32_t addr) {
    char buf[INET_ADDRSTRLEN];
    in_addr a;
    a.s_addr = addr;
    return ::inet_ntop(AF_INET, &a, buf, sizeof buf) ? buf : "";
}

bool TextToIp4(const std::string& text, uint32_t& addr) {
    in_addr a;
    if (::inet_pton(AF_INET, text.c_str(), &a) != 1)
        return false;
    addr = a.s_addr;
    return true;
}

uint32_t PrefixToMask(int prefix) {
    if (prefix <= 0)
        return 0;
    if (prefix >= 32)
        return 0xFFFFFFFFu;
    return htonl(~((1u << (32 - prefix)) - 1));
}

int MaskToPrefix(uint32_t mask) {
    uint32_t m = ntohl(mask);
    int prefix = 0;
    while (prefix < 32 && (m & (0x80000000u >> prefix)))
        ++prefix;
    return PrefixToMask(prefix) == mask ? prefix : -1;
}

} // namespace qordex::ipsys
