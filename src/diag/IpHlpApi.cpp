#include "diag/IpHlpApi.h"

#include "diag/Icmp.h"
#include "platform/IpHelper.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>

#include <linux/neighbour.h>
#include <linux/rtnetlink.h>
#include <mutex>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <tuple>
#include <unistd.h>

namespace qordex::diag {

using namespace qordex::ipsys;

namespace {

// How long SendARP waits for the neighbour to answer: the kernel sends its
// probes a second apart, three of them by default.
constexpr auto kArpWait = std::chrono::milliseconds(3000);
constexpr auto kArpPoll = std::chrono::milliseconds(50);
// What Linux reassembles at most.
constexpr uint32_t kReasmSize = 65535;
// "Use the current value" in SetIpStatistics.
constexpr uint32_t kUseCurrent = 0xFFFFFFFFu;
// How long GetRTTAndHopCount waits for the answer to each probe.
constexpr int kHopTimeoutMs = 1000;

// Runs one platform call and turns its failure into the operation's error.
template<typename Fn> auto Call(const char* function, Fn fn) -> decltype(fn()) {
    try {
        return fn();
    } catch (const IpSysError& e) {
        throw EIpHlpError(function, ErrnoToIpHlp(e.Errno()));
    }
}

uint32_t HostOrder(uint32_t addr) {
    return ntohl(addr);
}

uint32_t IfType(const Link& l) {
    switch (l.arpType) {
    case ARPHRD_ETHER:
    case ARPHRD_EETHER:
        return IsWireless(l.name) ? kIfTypeIeee80211 : kIfTypeEthernet;
    case ARPHRD_LOOPBACK:
        return kIfTypeLoopback;
    case ARPHRD_PPP:
        return kIfTypePpp;
    case ARPHRD_SLIP:
    case ARPHRD_CSLIP:
        return kIfTypeSlip;
    case ARPHRD_IEEE80211:
    case ARPHRD_IEEE80211_PRISM:
    case ARPHRD_IEEE80211_RADIOTAP:
        return kIfTypeIeee80211;
    case ARPHRD_TUNNEL:
    case ARPHRD_TUNNEL6:
    case ARPHRD_SIT:
    case ARPHRD_IPGRE:
        return kIfTypeTunnel;
    case ARPHRD_IEEE1394:
        return kIfTypeIeee1394;
    case ARPHRD_INFINIBAND:
        return kIfTypeInfiniband;
    case ARPHRD_NONE:
        return kIfTypePropVirtual;
    default:
        return kIfTypeOther;
    }
}

uint32_t OperStatus(const Link& l) {
    // The platform's scale: 0 non-operational ... 5 operational.
    switch (l.operState) {
    case 6:
        return 5; // up
    case 5:
        return 3; // dormant
    case 2:       // down
    case 3:
        return 2; // lower layer down
    case 1:
        return 0; // not present
    default:      // unknown: the link's own flags decide (loopback, tun)
        return (l.flags & IFF_UP) && (l.flags & IFF_RUNNING) ? 5 : 2;
    }
}

MIB_IFROW IfRow(const Link& l) {
    MIB_IFROW r;
    r.wszName = l.name;
    r.dwIndex = static_cast<uint32_t>(l.index);
    r.dwType = IfType(l);
    r.dwMtu = l.mtu;
    r.dwSpeed = LinkSpeed(l.name);
    r.bPhysAddr = l.hwAddr;
    r.dwAdminStatus = (l.flags & IFF_UP) ? kIfAdminUp : kIfAdminDown;
    r.dwOperStatus = OperStatus(l);
    r.dwInOctets = l.rxBytes;
    r.dwInUcastPkts = l.rxPackets >= l.multicast ? l.rxPackets - l.multicast : 0;
    r.dwInNUcastPkts = l.multicast;
    r.dwInDiscards = l.rxDropped;
    r.dwInErrors = l.rxErrors;
    r.dwOutOctets = l.txBytes;
    r.dwOutUcastPkts = l.txPackets;
    r.dwOutDiscards = l.txDropped;
    r.dwOutErrors = l.txErrors;
    r.bDescr = l.alias.empty() ? l.name : l.alias;
    return r;
}

// Adapters are the interfaces that reach a network: all but loopback.
std::vector<Link> Adapters() {
    std::vector<Link> out;
    for (auto& l : Links())
        if (!(l.flags & IFF_LOOPBACK))
            out.push_back(std::move(l));
    return out;
}

bool LinkExists(uint32_t index) {
    for (const auto& l : Links())
        if (static_cast<uint32_t>(l.index) == index)
            return true;
    return false;
}

IP_ADDR_STRING AddrString(uint32_t addr, uint32_t mask) {
    return {Ip4ToText(addr), Ip4ToText(mask)};
}

// DNS servers come from the resolver configuration; their mask is unused.
std::vector<IP_ADDR_STRING> DnsServers(const ResolverConf& conf) {
    std::vector<IP_ADDR_STRING> out;
    for (const auto& s : conf.nameservers)
        out.push_back({s, ""});
    return out;
}

uint32_t IpNetType(unsigned state) {
    if (state & NUD_PERMANENT)
        return kIpNetTypeStatic;
    if (state & (NUD_REACHABLE | NUD_STALE | NUD_DELAY | NUD_PROBE))
        return kIpNetTypeDynamic;
    if (state & (NUD_INCOMPLETE | NUD_FAILED))
        return kIpNetTypeInvalid;
    return kIpNetTypeOther;
}

// The ARP table proper: entries of links that resolve addresses.
std::vector<Neigh4> ArpEntries() {
    std::vector<Neigh4> out;
    for (auto& n : Neighbours4())
        if (n.state != NUD_NONE && !(n.state & NUD_NOARP))
            out.push_back(std::move(n));
    return out;
}

uint32_t RouteProto(unsigned protocol) {
    switch (protocol) {
    case RTPROT_KERNEL:
        return kRouteProtoLocal;
    case RTPROT_BOOT:
    case RTPROT_STATIC:
    case RTPROT_DHCP:
        return kRouteProtoNetMgmt;
    case RTPROT_RA:
        return 4; // learnt from ICMP router advertisements
    case RTPROT_RIP:
        return 8;
    case RTPROT_ISIS:
        return 9;
    case RTPROT_OSPF:
        return 13;
    case RTPROT_BGP:
        return 14;
    default:
        return kRouteProtoOther;
    }
}

MIB_IPFORWARDROW ForwardRow(const Route4& r) {
    MIB_IPFORWARDROW row;
    row.dwForwardDest = r.dst;
    row.dwForwardMask = PrefixToMask(r.prefix);
    row.dwForwardPolicy = 0;
    row.dwForwardNextHop = r.gateway;
    row.dwForwardIfIndex = static_cast<uint32_t>(r.oif);
    if (r.type != RTN_UNICAST && r.type != RTN_LOCAL)
        row.dwForwardType = kRouteTypeInvalid;
    else
        row.dwForwardType = r.gateway ? kRouteTypeIndirect : kRouteTypeDirect;
    row.dwForwardProto = RouteProto(r.protocol);
    row.dwForwardAge = 0;
    row.dwForwardNextHopAS = 0;
    row.dwForwardMetric1 = static_cast<int32_t>(r.priority);
    return row;
}

// The route a row names; the mask must be contiguous and cover the
// destination.
Route4 RouteOf(const char* function, const MIB_IPFORWARDROW& row) {
    int prefix = MaskToPrefix(row.dwForwardMask);
    if (prefix < 0 || (row.dwForwardDest & ~row.dwForwardMask) != 0)
        throw EIpHlpError(function, kErrorInvalidParameter);
    Route4 r;
    r.dst = row.dwForwardDest;
    r.prefix = prefix;
    r.oif = static_cast<int>(row.dwForwardIfIndex);
    // A next hop of 0 or of one of our own addresses means a directly
    // connected route.
    r.gateway = row.dwForwardNextHop;
    if (r.gateway)
        for (const auto& a : Call(function, [] { return Addresses4(); }))
            if (a.local == r.gateway)
                r.gateway = 0;
    r.priority = row.dwForwardMetric1 > 0 ? static_cast<uint32_t>(row.dwForwardMetric1) : 0;
    r.protocol = row.dwForwardProto == kRouteProtoNetMgmt ? RTPROT_STATIC : RTPROT_BOOT;
    return r;
}

// What the row cannot say about a route already in the table: its kind
// (a blackhole is deleted as a blackhole) and its preferred source address,
// which rewriting the route must not drop.
void KeepWhatTheRowLeavesOut(const char* function, Route4& r) {
    for (const auto& old : Call(function, [] { return Routes4(); }))
        if (old.dst == r.dst && old.prefix == r.prefix && old.oif == r.oif &&
            old.gateway == r.gateway && old.priority == r.priority) {
            r.type = old.type;
            r.prefsrc = old.prefsrc;
            return;
        }
}

uint32_t TcpState(int linuxState) {
    switch (linuxState) {
    case 1:
        return kTcpStateEstab;
    case 2:
        return kTcpStateSynSent;
    case 3:
        return kTcpStateSynRcvd;
    case 4:
        return kTcpStateFinWait1;
    case 5:
        return kTcpStateFinWait2;
    case 6:
        return kTcpStateTimeWait;
    case 7:
        return kTcpStateClosed;
    case 8:
        return kTcpStateCloseWait;
    case 9:
        return kTcpStateLastAck;
    case 10:
        return kTcpStateListen;
    case 11:
        return kTcpStateClosing;
    case 12:
        return kTcpStateSynRcvd; // a request socket waiting for its ACK
    default:
        return kTcpStateClosed;
    }
}

long long Field(const SnmpTable& t, const char* section, const char* name) {
    auto s = t.find(section);
    if (s == t.end())
        return 0;
    auto f = s->second.find(name);
    return f == s->second.end() ? 0 : f->second;
}

uint64_t Counter(const SnmpTable& t, const char* section, const char* name) {
    long long v = Field(t, section, name);
    return v < 0 ? 0 : static_cast<uint64_t>(v);
}

MIBICMPSTATS IcmpStats(const SnmpTable& t, const std::string& dir) {
    auto f = [&](const char* name) { return Counter(t, "Icmp", (dir + name).c_str()); };
    MIBICMPSTATS s;
    s.dwMsgs = f("Msgs");
    s.dwErrors = f("Errors");
    s.dwDestUnreachs = f("DestUnreachs");
    s.dwTimeExcds = f("TimeExcds");
    s.dwParmProbs = f("ParmProbs");
    s.dwSrcQuenchs = f("SrcQuenchs");
    s.dwRedirects = f("Redirects");
    s.dwEchos = f("Echos");
    s.dwEchoReps = f("EchoReps");
    s.dwTimestamps = f("Timestamps");
    s.dwTimestampReps = f("TimestampReps");
    s.dwAddrMasks = f("AddrMasks");
    s.dwAddrMaskReps = f("AddrMaskReps");
    return s;
}

void CheckProxyArgs(const char* function, uint32_t addr, uint32_t mask, uint32_t ifIndex) {
    if (addr == 0 || addr == 0xFFFFFFFFu)
        throw EIpHlpError(function, kErrorInvalidParameter);
    // Linux answers for single addresses; a whole subnet needs the
    // interface-wide switch, which is not what this entry asks for.
    if (mask != 0xFFFFFFFFu)
        throw EIpHlpError(function, kErrorNotSupported);
    if (!Call(function, [&] { return LinkExists(ifIndex); }))
        throw EIpHlpError(function, kErrorInvalidParameter);
}

struct RouterState {
    std::mutex lock;
    uint32_t count = 0;
    std::string before; // ip_forward before the first request
};

RouterState& Router() {
    static RouterState s;
    return s;
}

} // namespace

std::string IpText(uint32_t addr) {
    return Ip4ToText(addr);
}

std::unique_ptr<FIXED_INFO> GetNetworkParams() {
    return Call("GetNetworkParams", [] {
        auto info = std::make_unique<FIXED_INFO>();
        char host[256] = {};
        if (::gethostname(host, sizeof host - 1) < 0)
            throw IpSysError(errno);
        info->HostName = host;
        ResolverConf conf = ReadMachineResolverConf();
        info->DomainName = conf.domain;
        if (info->DomainName.empty()) {
            char domain[256] = {};
            if (::getdomainname(domain, sizeof domain - 1) == 0 && std::string(domain) != "(none)")
                info->DomainName = domain;
        }
        info->DnsServerList = DnsServers(conf);
        // The resolver asks the first server first: that is the current one.
        if (!info->DnsServerList.empty())
            info->CurrentDnsServer = info->DnsServerList.front();
        // No NetBIOS name service: broadcast node without scope.
        info->NodeType = 1;
        info->EnableRouting = ReadIpv4Sysctl("ip_forward") == "1" ? 1 : 0;
        info->EnableProxy = ReadIpv4Sysctl("conf/all/proxy_arp") == "1" ? 1 : 0;
        info->EnableDns = info->DnsServerList.empty() ? 0 : 1;
        return info;
    });
}

std::unique_ptr<std::vector<IP_ADAPTER_INFO>> GetAdaptersInfo() {
    auto out = Call("GetAdaptersInfo", [] {
        auto list = std::make_unique<std::vector<IP_ADAPTER_INFO>>();
        auto addrs = Addresses4();
        auto routes = Routes4();
        for (const auto& l : Adapters()) {
            IP_ADAPTER_INFO a;
            a.AdapterName = l.name;
            a.Description = l.alias.empty() ? l.name : l.alias;
            a.Address = l.hwAddr;
            a.Index = static_cast<uint32_t>(l.index);
            a.Type = IfType(l);
            for (const auto& ad : addrs) {
                if (ad.index != l.index)
                    continue;
                a.IpAddressList.push_back(AddrString(ad.local, PrefixToMask(ad.prefix)));
                // An address with a lifetime was leased, not configured.
                if (!(ad.flags & IFA_F_PERMANENT))
                    a.DhcpEnabled = 1;
            }
            if (!a.IpAddressList.empty())
                a.CurrentIpAddress = a.IpAddressList.front();
            else
                a.IpAddressList.push_back({"0.0.0.0", "0.0.0.0"});
            for (const auto& r : routes)
                if (r.oif == l.index && r.prefix == 0 && r.gateway)
                    a.GatewayList.push_back({Ip4ToText(r.gateway), "255.255.255.255"});
            list->push_back(std::move(a));
        }
        return list;
    });
    if (out->empty())
        throw EIpHlpError("GetAdaptersInfo", kErrorNoData);
    return out;
}

std::unique_ptr<IP_PER_ADAPTER_INFO> GetPerAdapterInfo(uint32_t index) {
    return Call("GetPerAdapterInfo", [&] {
        bool found = false;
        auto info = std::make_unique<IP_PER_ADAPTER_INFO>();
        for (const auto& l : Links())
            found = found || static_cast<uint32_t>(l.index) == index;
        if (!found)
            throw IpSysError(EINVAL);
        // Link-local autoconfiguration counts as active when the adapter
        // holds an address of 169.254/16.
        for (const auto& a : Addresses4())
            if (static_cast<uint32_t>(a.index) == index &&
                (HostOrder(a.local) & 0xFFFF0000u) == 0xA9FE0000u)
                info->AutoconfigEnabled = info->AutoconfigActive = 1;
        // Every adapter uses the machine's resolver configuration.
        info->DnsServerList = DnsServers(ReadMachineResolverConf());
        return info;
    });
}

uint32_t GetNumberOfInterfaces() {
    return Call("GetNumberOfInterfaces", [] { return static_cast<uint32_t>(Links().size()); });
}

uint32_t GetAdapterIndex(const std::string& name) {
    return Call("GetAdapterIndex", [&] {
        for (const auto& l : Links())
            if (l.name == name)
                return static_cast<uint32_t>(l.index);
        throw IpSysError(EINVAL);
    });
}

uint32_t GetUniDirectionalAdapterInfo() {
    throw EIpHlpError("GetUniDirectionalAdapterInfo", kErrorNotSupported);
}

std::unique_ptr<IP_INTERFACE_INFO> GetInterfaceInfo() {
    auto info = Call("GetInterfaceInfo", [] {
        auto out = std::make_unique<IP_INTERFACE_INFO>();
        for (const auto& l : Adapters())
            out->Adapter.push_back({static_cast<uint32_t>(l.index), l.name});
        return out;
    });
    if (info->Adapter.empty())
        return nullptr;
    return info;
}

uint32_t GetFriendlyIfIndex(uint32_t index) {
    return index;
}

std::unique_ptr<MIB_IFTABLE> GetIfTable(bool sorted) {
    auto table = Call("GetIfTable", [] {
        auto t = std::make_unique<MIB_IFTABLE>();
        for (const auto& l : Links())
            t->push_back(IfRow(l));
        return t;
    });
    if (table->empty())
        return nullptr;
    if (sorted)
        std::stable_sort(table->begin(), table->end(),
                         [](const auto& a, const auto& b) { return a.dwIndex < b.dwIndex; });
    return table;
}

void GetIfEntry(MIB_IFROW& row) {
    Call("GetIfEntry", [&] {
        for (const auto& l : Links())
            if (static_cast<uint32_t>(l.index) == row.dwIndex) {
                row = IfRow(l);
                return;
            }
        throw IpSysError(EINVAL);
    });
}

void SetIfEntry(const MIB_IFROW& row) {
    if (row.dwAdminStatus != kIfAdminUp && row.dwAdminStatus != kIfAdminDown)
        throw EIpHlpError("SetIfEntry", kErrorInvalidParameter);
    Call("SetIfEntry", [&] {
        if (!LinkExists(row.dwIndex))
            throw IpSysError(EINVAL);
        SetLinkUp(static_cast<int>(row.dwIndex), row.dwAdminStatus == kIfAdminUp);
    });
}

std::unique_ptr<MIB_IPADDRTABLE> GetIpAddrTable(bool sorted) {
    auto table = Call("GetIpAddrTable", [] {
        auto t = std::make_unique<MIB_IPADDRTABLE>();
        for (const auto& a : Addresses4()) {
            MIB_IPADDRROW r;
            r.dwAddr = a.local;
            r.dwIndex = static_cast<uint32_t>(a.index);
            r.dwMask = PrefixToMask(a.prefix);
            r.dwBCastAddr = a.broadcast;
            r.dwReasmSize = kReasmSize;
            t->push_back(r);
        }
        return t;
    });
    if (table->empty())
        return nullptr;
    if (sorted)
        std::stable_sort(table->begin(), table->end(), [](const auto& a, const auto& b) {
            return HostOrder(a.dwAddr) < HostOrder(b.dwAddr);
        });
    return table;
}

void AddIPAddress(uint32_t addr, uint32_t mask, uint32_t ifIndex, uint32_t& nteContext,
                  uint32_t& nteInstance) {
    int prefix = MaskToPrefix(mask);
    if (prefix < 0 || addr == 0 || addr == 0xFFFFFFFFu)
        throw EIpHlpError("AddIPAddress", kErrorInvalidParameter);
    Call("AddIPAddress", [&] {
        if (!LinkExists(ifIndex))
            throw IpSysError(EINVAL);
        AddAddress4(static_cast<int>(ifIndex), addr, prefix);
    });
    nteContext = HostOrder(addr);
    nteInstance = ifIndex;
}

void DeleteIPAddress(uint32_t nteContext) {
    uint32_t addr = htonl(nteContext);
    Call("DeleteIPAddress", [&] {
        for (const auto& a : Addresses4())
            if (a.local == addr) {
                DelAddress4(a.index, a.local, a.prefix);
                return;
            }
        throw IpSysError(EINVAL);
    });
}

void IpReleaseAddress(const IP_ADAPTER_INDEX_MAP&) {
    throw EIpHlpError("IpReleaseAddress", kErrorNotSupported);
}

void IpRenewAddress(const IP_ADAPTER_INDEX_MAP&) {
    throw EIpHlpError("IpRenewAddress", kErrorNotSupported);
}

std::unique_ptr<MIB_IPNETTABLE> GetIpNetTable(bool sorted) {
    auto table = Call("GetIpNetTable", [] {
        auto t = std::make_unique<MIB_IPNETTABLE>();
        for (const auto& n : ArpEntries())
            t->push_back({static_cast<uint32_t>(n.index), n.lladdr, n.addr, IpNetType(n.state)});
        return t;
    });
    if (table->empty())
        throw EIpHlpError("GetIpNetTable", kErrorNoData);
    if (sorted)
        std::stable_sort(table->begin(), table->end(), [](const auto& a, const auto& b) {
            return std::make_tuple(a.dwIndex, HostOrder(a.dwAddr)) <
                   std::make_tuple(b.dwIndex, HostOrder(b.dwAddr));
        });
    return table;
}

void CreateIpNetEntry(const MIB_IPNETROW& row) {
    if (row.bPhysAddr.empty() || row.bPhysAddr.size() > 32 || row.dwAddr == 0 ||
        row.dwAddr == 0xFFFFFFFFu)
        throw EIpHlpError("CreateIpNetEntry", kErrorInvalidParameter);
    Call("CreateIpNetEntry", [&] {
        AddNeigh4(static_cast<int>(row.dwIndex), row.dwAddr, row.bPhysAddr,
                  row.dwType != kIpNetTypeDynamic);
    });
}

void DeleteIpNetEntry(const MIB_IPNETROW& row) {
    Call("DeleteIpNetEntry", [&] { DelNeigh4(static_cast<int>(row.dwIndex), row.dwAddr); });
}

void FlushIpNetTable(uint32_t ifIndex) {
    Call("FlushIpNetTable", [&] {
        if (!LinkExists(ifIndex))
            throw IpSysError(EINVAL);
        for (const auto& n : ArpEntries()) {
            if (static_cast<uint32_t>(n.index) != ifIndex)
                continue;
            try {
                DelNeigh4(n.index, n.addr);
            } catch (const IpSysError& e) {
                if (e.Errno() != ENOENT) // gone meanwhile
                    throw;
            }
        }
    });
}

void CreateProxyArpEntry(uint32_t addr, uint32_t mask, uint32_t ifIndex) {
    CheckProxyArgs("CreateProxyArpEntry", addr, mask, ifIndex);
    Call("CreateProxyArpEntry", [&] { AddProxyNeigh4(static_cast<int>(ifIndex), addr); });
}

void DeleteProxyArpEntry(uint32_t addr, uint32_t mask, uint32_t ifIndex) {
    CheckProxyArgs("DeleteProxyArpEntry", addr, mask, ifIndex);
    Call("DeleteProxyArpEntry", [&] { DelProxyNeigh4(static_cast<int>(ifIndex), addr); });
}

std::string SendARP(uint32_t dest, uint32_t) {
    const char* fn = "SendARP";
    uint32_t host = HostOrder(dest);
    if (dest == 0 || dest == 0xFFFFFFFFu || (host & 0xF0000000u) == 0xE0000000u)
        throw EIpHlpError(fn, kErrorInvalidParameter);
    return Call(fn, [&]() -> std::string {
        // One of our own addresses: its link's hardware address.
        for (const auto& a : Addresses4())
            if (a.local == dest)
                for (const auto& l : Links())
                    if (l.index == a.index)
                        return l.hwAddr;
        auto resolved = [&](std::string& mac) {
            for (const auto& n : Neighbours4())
                if (n.addr == dest && !n.lladdr.empty() &&
                    (n.state & (NUD_PERMANENT | NUD_NOARP | NUD_REACHABLE | NUD_STALE | NUD_DELAY |
                                NUD_PROBE))) {
                    mac = n.lladdr;
                    return true;
                }
            return false;
        };
        std::string mac;
        if (resolved(mac))
            return mac;
        // Only a neighbour on one of our links can be resolved.
        Route4 route = RouteGet4(dest);
        if (route.gateway || route.type != RTN_UNICAST)
            throw IpSysError(EHOSTUNREACH);
        // Make the kernel resolve the address: one empty datagram to the
        // discard port starts its probes; then watch the neighbour table.
        int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (s < 0)
            throw IpSysError(errno);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(9);
        sa.sin_addr.s_addr = dest;
        ssize_t sent =
            ::sendto(s, "", 0, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        (void)sent; // an error here shows as an unresolved neighbour
        ::close(s);
        auto deadline = std::chrono::steady_clock::now() + kArpWait;
        while (std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(kArpPoll);
            if (resolved(mac))
                return mac;
        }
        throw IpSysError(EHOSTUNREACH);
    });
}

MIB_IPSTATS GetIpStatistics() {
    return Call("GetIpStatistics", [] {
        SnmpTable t = Snmp();
        MIB_IPSTATS s;
        s.dwForwarding = static_cast<uint32_t>(Field(t, "Ip", "Forwarding"));
        s.dwDefaultTTL = static_cast<uint32_t>(Field(t, "Ip", "DefaultTTL"));
        s.dwInReceives = Counter(t, "Ip", "InReceives");
        s.dwInHdrErrors = Counter(t, "Ip", "InHdrErrors");
        s.dwInAddrErrors = Counter(t, "Ip", "InAddrErrors");
        s.dwForwDatagrams = Counter(t, "Ip", "ForwDatagrams");
        s.dwInUnknownProtos = Counter(t, "Ip", "InUnknownProtos");
        s.dwInDiscards = Counter(t, "Ip", "InDiscards");
        s.dwInDelivers = Counter(t, "Ip", "InDelivers");
        s.dwOutRequests = Counter(t, "Ip", "OutRequests");
        s.dwOutDiscards = Counter(t, "Ip", "OutDiscards");
        s.dwOutNoRoutes = Counter(t, "Ip", "OutNoRoutes");
        s.dwReasmTimeout = Counter(t, "Ip", "ReasmTimeout");
        s.dwReasmReqds = Counter(t, "Ip", "ReasmReqds");
        s.dwReasmOks = Counter(t, "Ip", "ReasmOKs");
        s.dwReasmFails = Counter(t, "Ip", "ReasmFails");
        s.dwFragOks = Counter(t, "Ip", "FragOKs");
        s.dwFragFails = Counter(t, "Ip", "FragFails");
        s.dwFragCreates = Counter(t, "Ip", "FragCreates");
        s.dwNumIf = static_cast<uint32_t>(Links().size());
        s.dwNumAddr = static_cast<uint32_t>(Addresses4().size());
        s.dwNumRoutes = static_cast<uint32_t>(Routes4().size());
        return s;
    });
}

void SetIpStatistics(const MIB_IPSTATS& stats) {
    const char* fn = "SetIpStatistics";
    bool setForwarding = stats.dwForwarding != kUseCurrent;
    bool setTtl = stats.dwDefaultTTL != kUseCurrent;
    if ((setForwarding && stats.dwForwarding != 1 && stats.dwForwarding != 2) ||
        (setTtl && (stats.dwDefaultTTL < 1 || stats.dwDefaultTTL > 255)))
        throw EIpHlpError(fn, kErrorInvalidParameter);
    Call(fn, [&] {
        if (setForwarding) {
            std::string want = stats.dwForwarding == 1 ? "1" : "0";
            // Rewriting the same value still resets per-interface settings.
            if (ReadIpv4Sysctl("ip_forward") != want)
                WriteIpv4Sysctl("ip_forward", want);
        }
        if (setTtl)
            WriteIpv4Sysctl("ip_default_ttl", std::to_string(stats.dwDefaultTTL));
    });
}

MIB_ICMP GetIcmpStatistics() {
    return Call("GetIcmpStatistics", [] {
        SnmpTable t = Snmp();
        return MIB_ICMP{IcmpStats(t, "In"), IcmpStats(t, "Out")};
    });
}

void SetIpTTL(uint32_t ttl) {
    if (ttl < 1 || ttl > 255)
        throw EIpHlpError("SetIpTTL", kErrorInvalidParameter);
    Call("SetIpTTL", [&] { WriteIpv4Sysctl("ip_default_ttl", std::to_string(ttl)); });
}

std::unique_ptr<MIB_IPFORWARDTABLE> GetIpForwardTable(bool sorted) {
    auto table = Call("GetIpForwardTable", [] {
        auto t = std::make_unique<MIB_IPFORWARDTABLE>();
        for (const auto& r : Routes4())
            t->push_back(ForwardRow(r));
        return t;
    });
    if (table->empty())
        return nullptr;
    if (sorted)
        std::stable_sort(table->begin(), table->end(), [](const auto& a, const auto& b) {
            return std::make_tuple(HostOrder(a.dwForwardDest), HostOrder(a.dwForwardMask),
                                   a.dwForwardMetric1, HostOrder(a.dwForwardNextHop),
                                   a.dwForwardIfIndex) <
                   std::make_tuple(HostOrder(b.dwForwardDest), HostOrder(b.dwForwardMask),
                                   b.dwForwardMetric1, HostOrder(b.dwForwardNextHop),
                                   b.dwForwardIfIndex);
        });
    return table;
}

void CreateIpForwardEntry(const MIB_IPFORWARDROW& row) {
    Route4 r = RouteOf("CreateIpForwardEntry", row);
    Call("CreateIpForwardEntry", [&] { AddRoute4(r, false); });
}

void DeleteIpForwardEntry(const MIB_IPFORWARDROW& row) {
    Route4 r = RouteOf("DeleteIpForwardEntry", row);
    KeepWhatTheRowLeavesOut("DeleteIpForwardEntry", r);
    Call("DeleteIpForwardEntry", [&] { DelRoute4(r); });
}

void SetIpForwardEntry(const MIB_IPFORWARDROW& row) {
    Route4 r = RouteOf("SetIpForwardEntry", row);
    KeepWhatTheRowLeavesOut("SetIpForwardEntry", r);
    Call("SetIpForwardEntry", [&] { AddRoute4(r, true); });
}

MIB_IPFORWARDROW GetBestRoute(uint32_t dest, uint32_t) {
    return Call("GetBestRoute", [&] {
        Route4 chosen = RouteGet4(dest);
        if (chosen.type == RTN_LOCAL) {
            // An address of this host: the route to itself.
            MIB_IPFORWARDROW row = ForwardRow(chosen);
            row.dwForwardDest = dest;
            row.dwForwardMask = 0xFFFFFFFFu;
            row.dwForwardNextHop = dest;
            row.dwForwardType = kRouteTypeDirect;
            row.dwForwardProto = kRouteProtoLocal;
            return row;
        }
        if (chosen.type != RTN_UNICAST)
            throw IpSysError(ENETUNREACH);
        // The kernel names the way (interface and gateway); the table entry
        // that leads there carries destination, mask, metric and origin.
        const Route4* best = nullptr;
        auto routes = Routes4();
        for (const auto& r : routes) {
            uint32_t mask = PrefixToMask(r.prefix);
            if ((dest & mask) != r.dst || r.type != RTN_UNICAST || r.oif != chosen.oif ||
                r.gateway != chosen.gateway)
                continue;
            if (!best || r.prefix > best->prefix ||
                (r.prefix == best->prefix && r.priority < best->priority))
                best = &r;
        }
        if (best)
            return ForwardRow(*best);
        // Chosen by a policy rule outside the main table.
        MIB_IPFORWARDROW row = ForwardRow(chosen);
        row.dwForwardDest = dest;
        row.dwForwardMask = 0xFFFFFFFFu;
        return row;
    });
}

uint32_t GetBestInterface(uint32_t dest) {
    return Call("GetBestInterface", [&] {
        Route4 r = RouteGet4(dest);
        if (r.type != RTN_UNICAST && r.type != RTN_LOCAL)
            throw IpSysError(ENETUNREACH);
        return static_cast<uint32_t>(r.oif);
    });
}

bool GetRTTAndHopCount(uint32_t dest, uint32_t& hopCount, uint32_t maxHops, uint32_t& rtt,
                       unsigned long* error) {
    hopCount = rtt = 0;
    auto fail = [error](unsigned long code) {
        if (error)
            *error = code;
        return false;
    };
    if (dest == 0 || dest == 0xFFFFFFFFu || maxHops == 0 || maxHops > 255)
        return fail(kErrorInvalidParameter);
    std::unique_ptr<TICMP> icmp;
    try {
        icmp = std::make_unique<TICMP>();
    } catch (const TICMPException&) {
        return fail(kErrorAccessDenied); // neither kind of ICMP socket is allowed
    }
    try {
        icmp->SetAddress(Ip4ToText(dest));
        icmp->SetTimeout(kHopTimeoutMs);
        for (uint32_t ttl = 1; ttl <= maxHops; ++ttl) {
            icmp->SetTTL(static_cast<int>(ttl));
            if (icmp->Ping() == 0) {
                // A silent hop: the ones after it may still answer.
                if (icmp->ErrorCode() == ipReqTimedOut)
                    continue;
                break;
            }
            const IcmpEchoReply& reply = icmp->Reply();
            if (reply.Status == ipTtlExpiredTransit)
                continue;
            if (reply.Status != ipSuccess || reply.Address != dest)
                break;
            hopCount = ttl;
            rtt = reply.RoundTripTime;
            return true;
        }
    } catch (const TICMPException&) {
    }
    return fail(kErrorHostUnreachable);
}

MIB_TCPSTATS GetTcpStatistics() {
    return Call("GetTcpStatistics", [] {
        SnmpTable t = Snmp();
        auto f = [&](const char* n) { return static_cast<int64_t>(Field(t, "Tcp", n)); };
        MIB_TCPSTATS s;
        s.dwRtoAlgorithm = f("RtoAlgorithm");
        s.dwRtoMin = f("RtoMin");
        s.dwRtoMax = f("RtoMax");
        s.dwMaxConn = f("MaxConn");
        s.dwActiveOpens = f("ActiveOpens");
        s.dwPassiveOpens = f("PassiveOpens");
        s.dwAttemptFails = f("AttemptFails");
        s.dwEstabResets = f("EstabResets");
        s.dwCurrEstab = f("CurrEstab");
        s.dwInSegs = f("InSegs");
        s.dwOutSegs = f("OutSegs");
        s.dwRetransSegs = f("RetransSegs");
        s.dwInErrs = f("InErrs");
        s.dwOutRsts = f("OutRsts");
        s.dwNumConns = static_cast<int64_t>(TcpSockets4().size());
        return s;
    });
}

MIB_UDPSTATS GetUdpStatistics() {
    return Call("GetUdpStatistics", [] {
        SnmpTable t = Snmp();
        auto f = [&](const char* n) { return static_cast<int64_t>(Field(t, "Udp", n)); };
        MIB_UDPSTATS s;
        s.dwInDatagrams = f("InDatagrams");
        s.dwNoPorts = f("NoPorts");
        s.dwInErrors = f("InErrors");
        s.dwOutDatagrams = f("OutDatagrams");
        s.dwNumAddrs = static_cast<int64_t>(UdpSockets4().size());
        return s;
    });
}

std::unique_ptr<MIB_TCPTABLE> GetTcpTable(bool sorted) {
    auto table = Call("GetTcpTable", [] {
        auto t = std::make_unique<MIB_TCPTABLE>();
        for (const auto& s : TcpSockets4())
            t->push_back({TcpState(s.state), s.local, s.localPort, s.remote, s.remotePort});
        return t;
    });
    if (table->empty())
        return nullptr;
    if (sorted)
        std::stable_sort(table->begin(), table->end(), [](const auto& a, const auto& b) {
            return std::make_tuple(HostOrder(a.dwLocalAddr), a.dwLocalPort,
                                   HostOrder(a.dwRemoteAddr), a.dwRemotePort) <
                   std::make_tuple(HostOrder(b.dwLocalAddr), b.dwLocalPort,
                                   HostOrder(b.dwRemoteAddr), b.dwRemotePort);
        });
    return table;
}

std::unique_ptr<MIB_UDPTABLE> GetUdpTable(bool sorted) {
    auto table = Call("GetUdpTable", [] {
        auto t = std::make_unique<MIB_UDPTABLE>();
        for (const auto& s : UdpSockets4())
            t->push_back({s.local, s.localPort});
        return t;
    });
    if (table->empty())
        return nullptr;
    if (sorted)
        std::stable_sort(table->begin(), table->end(), [](const auto& a, const auto& b) {
            return std::make_tuple(HostOrder(a.dwLocalAddr), a.dwLocalPort) <
                   std::make_tuple(HostOrder(b.dwLocalAddr), b.dwLocalPort);
        });
    return table;
}

void SetTcpEntry(const MIB_TCPROW& row) {
    if (row.dwState != kTcpStateDeleteTcb)
        throw EIpHlpError("SetTcpEntry", kErrorInvalidParameter);
    throw EIpHlpError("SetTcpEntry", kErrorNotSupported);
}

void EnableRouter() {
    RouterState& r = Router();
    std::lock_guard<std::mutex> g(r.lock);
    try {
        if (r.count == 0) {
            r.before = ReadIpv4Sysctl("ip_forward");
            if (r.before != "1")
                WriteIpv4Sysctl("ip_forward", "1");
        }
    } catch (const IpSysError& e) {
        throw EIpHlpError::OsError(ErrnoToIpHlp(e.Errno()));
    }
    ++r.count;
}

uint32_t UnenableRouter() {
    RouterState& r = Router();
    std::lock_guard<std::mutex> g(r.lock);
    if (r.count == 0)
        throw EIpHlpError::OsError(kErrorInvalidParameter);
    if (r.count == 1 && r.before != "1") {
        try {
            WriteIpv4Sysctl("ip_forward", "0");
        } catch (const IpSysError& e) {
            throw EIpHlpError::OsError(ErrnoToIpHlp(e.Errno()));
        }
    }
    return --r.count;
}

void WithdrawRouterRequests() {
    RouterState& r = Router();
    std::lock_guard<std::mutex> g(r.lock);
    if (r.count == 0)
        return;
    r.count = 0;
    if (r.before != "1") {
        try {
            WriteIpv4Sysctl("ip_forward", "0");
        } catch (const IpSysError&) {
            // Nothing to tell anyone any more; the setting stays as it is.
        }
    }
}

unsigned char NetbiosLanaEnum(std::vector<unsigned char>& lanas) {
    lanas.clear();
    try {
        for (const auto& l : Links())
            // A LANA number is one byte, and 255 ends the list.
            if (l.index >= 0 && l.index < 255)
                lanas.push_back(static_cast<unsigned char>(l.index));
    } catch (const IpSysError&) {
        lanas.clear();
        return kNrcEnvNotDef;
    }
    return kNrcGoodRet;
}

unsigned char NetbiosReset(unsigned char lana) {
    try {
        return LinkExists(lana) ? kNrcGoodRet : kNrcBridge;
    } catch (const IpSysError&) {
        return kNrcEnvNotDef;
    }
}

unsigned char NetbiosAdapterStatus(unsigned char lana, std::string& mac) {
    mac.clear();
    try {
        for (const auto& l : Links())
            if (l.index == lana) {
                if (l.hwAddr.size() != 6)
                    return kNrcBridge; // no hardware address of that form
                mac = l.hwAddr;
                return kNrcGoodRet;
            }
    } catch (const IpSysError&) {
        return kNrcEnvNotDef;
    }
    return kNrcBridge;
}

} // namespace qordex::diag
