#pragma once
// The machine's IPv4 configuration and state as Linux offers it: rtnetlink
// for links, addresses, routes and neighbours; the proc file system for the
// socket tables, the protocol counters and the IPv4 sysctls.  Everything
// reads the network namespace of the calling thread.  Addresses are IPv4
// addresses in network byte order, as stored in a sockaddr_in.
//
// A failure throws IpSysError with the errno value of the failed call.

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace qordex::ipsys {

class IpSysError : public std::runtime_error {
public:
    explicit IpSysError(int err);
    int Errno() const { return err_; }

private:
    int err_;
};

struct Link {
    int index = 0;
    std::string name;
    std::string alias;  // the interface's alias, empty when none
    unsigned flags = 0; // IFF_UP, IFF_LOOPBACK, ...
    unsigned mtu = 0;
    unsigned arpType = 0;   // ARPHRD_*
    std::string hwAddr;     // hardware address bytes
    unsigned operState = 0; // IF_OPER_*
    uint64_t rxBytes = 0, txBytes = 0, rxPackets = 0, txPackets = 0;
    uint64_t rxErrors = 0, txErrors = 0, rxDropped = 0, txDropped = 0, multicast = 0;
};

struct Addr4 {
    int index = 0;
    uint32_t local = 0;     // the address of this host
    uint32_t broadcast = 0; // 0 when the address has none
    int prefix = 0;
    unsigned flags = 0; // IFA_F_*
    std::string label;
};

struct Route4 {
    uint32_t dst = 0;
    int prefix = 0;
    uint32_t gateway = 0; // 0 for a directly connected route
    int oif = 0;
    uint32_t priority = 0; // the route's metric
    uint32_t prefsrc = 0;
    unsigned protocol = 0; // RTPROT_*
    unsigned type = 0;     // RTN_*
    unsigned scope = 0;    // RT_SCOPE_*
    unsigned table = 0;
};

struct Neigh4 {
    int index = 0;
    uint32_t addr = 0;
    std::string lladdr; // empty while unresolved
    unsigned state = 0; // NUD_*
    unsigned flags = 0; // NTF_*
};

struct Sock4 {
    uint32_t local = 0;
    uint16_t localPort = 0; // host byte order: the real port
    uint32_t remote = 0;
    uint16_t remotePort = 0;
    int state = 0; // Linux TCP state (TCP_ESTABLISHED ...), 7 for UDP
};

struct ResolverConf {
    std::vector<std::string> nameservers; // in file order
    std::string domain;                   // "domain", else the first "search" entry
    std::vector<std::string> search;
};

// Queries.
std::vector<Link> Links();
std::vector<Addr4> Addresses4();
// Routes of the main table.
std::vector<Route4> Routes4();
// IPv4 neighbours (proxy entries when `proxy`).
std::vector<Neigh4> Neighbours4(bool proxy = false);
// The kernel's choice of route towards `dst` (oif, gateway, prefsrc, type).
Route4 RouteGet4(uint32_t dst);
// Link speed in bit/s; 0 when the driver does not tell.
uint64_t LinkSpeed(const std::string& name);
bool IsWireless(const std::string& name);

// Changes (they need CAP_NET_ADMIN).
void SetLinkUp(int index, bool up);
void AddAddress4(int index, uint32_t addr, int prefix);
void DelAddress4(int index, uint32_t addr, int prefix);
void AddRoute4(const Route4& route, bool replace);
void DelRoute4(const Route4& route);
void AddNeigh4(int index, uint32_t addr, const std::string& lladdr, bool permanent);
void DelNeigh4(int index, uint32_t addr);
void AddProxyNeigh4(int index, uint32_t addr);
void DelProxyNeigh4(int index, uint32_t addr);

// /proc/net/snmp: section ("Ip", "Icmp", "Tcp", "Udp") -> field -> value.
using SnmpTable = std::map<std::string, std::map<std::string, long long>>;
SnmpTable Snmp();
// Parses the text of /proc/net/snmp.
SnmpTable ParseSnmp(const std::string& text);

// /proc/net/tcp and /proc/net/udp in the kernel's order.
std::vector<Sock4> TcpSockets4();
std::vector<Sock4> UdpSockets4();
// Parses the text of /proc/net/tcp or /proc/net/udp.
std::vector<Sock4> ParseSocketTable(const std::string& text);

// /proc/sys/net/ipv4/<name> of this namespace.
std::string ReadIpv4Sysctl(const std::string& name);
void WriteIpv4Sysctl(const std::string& name, const std::string& value);

ResolverConf ReadResolverConf(const std::string& path = "/etc/resolv.conf");
// The servers this machine's resolver really asks.  When `path` names only the
// local caching stub (127.0.0.53), the servers behind it are those of
// `upstreamPath`; its own domain and search list still hold.
ResolverConf
ReadMachineResolverConf(const std::string& path = "/etc/resolv.conf",
                        const std::string& upstreamPath = "/run/systemd/resolve/resolv.conf");
ResolverConf ParseResolverConf(const std::string& text);

// Helpers.
std::string Ip4ToText(uint32_t addr);
// Parses dotted IPv4; false for anything else.
bool TextToIp4(const std::string& text, uint32_t& addr);
uint32_t PrefixToMask(int prefix);
// The prefix length of a contiguous mask, or -1.
int MaskToPrefix(uint32_t mask);

} // namespace qordex::ipsys
