#pragma once
// The IP helper layer: one wrapper per operation of the machine's IP helper
// service, with the records the Net information tool prints.  On Linux the
// wrappers sit on rtnetlink, the proc file system and the IPv4 sysctls
// (platform/IpHelper.h).  Every failure throws EIpHlpError naming the
// operation; what Linux has no counterpart for fails with the "not supported"
// code.
//
// Operations with a variable-size result return a pointer; a null pointer is
// "no buffer": the query succeeded without data and the caller prints nothing.
// Addresses are IPv4 addresses in network byte order; ports are real ports.

#include "diag/IpHlpError.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qordex::diag {

// Interface types (the platform's numbering).
constexpr uint32_t kIfTypeOther = 1;
constexpr uint32_t kIfTypeEthernet = 6;
constexpr uint32_t kIfTypePpp = 23;
constexpr uint32_t kIfTypeLoopback = 24;
constexpr uint32_t kIfTypeSlip = 28;
constexpr uint32_t kIfTypePropVirtual = 53;
constexpr uint32_t kIfTypeIeee80211 = 71;
constexpr uint32_t kIfTypeTunnel = 131;
constexpr uint32_t kIfTypeIeee1394 = 144;
constexpr uint32_t kIfTypeInfiniband = 199;

// Admin and operational status of an interface.
constexpr uint32_t kIfAdminUp = 1;
constexpr uint32_t kIfAdminDown = 2;

// ARP entry types.
constexpr uint32_t kIpNetTypeOther = 1;
constexpr uint32_t kIpNetTypeInvalid = 2;
constexpr uint32_t kIpNetTypeDynamic = 3;
constexpr uint32_t kIpNetTypeStatic = 4;

// Route types and protocols.
constexpr uint32_t kRouteTypeOther = 1;
constexpr uint32_t kRouteTypeInvalid = 2;
constexpr uint32_t kRouteTypeDirect = 3;
constexpr uint32_t kRouteTypeIndirect = 4;
constexpr uint32_t kRouteProtoOther = 1;
constexpr uint32_t kRouteProtoLocal = 2;
constexpr uint32_t kRouteProtoNetMgmt = 3;

// TCP states.
constexpr uint32_t kTcpStateClosed = 1;
constexpr uint32_t kTcpStateListen = 2;
constexpr uint32_t kTcpStateSynSent = 3;
constexpr uint32_t kTcpStateSynRcvd = 4;
constexpr uint32_t kTcpStateEstab = 5;
constexpr uint32_t kTcpStateFinWait1 = 6;
constexpr uint32_t kTcpStateFinWait2 = 7;
constexpr uint32_t kTcpStateCloseWait = 8;
constexpr uint32_t kTcpStateClosing = 9;
constexpr uint32_t kTcpStateLastAck = 10;
constexpr uint32_t kTcpStateTimeWait = 11;
constexpr uint32_t kTcpStateDeleteTcb = 12;

struct IP_ADDR_STRING {
    std::string IpAddress; // dotted text
    std::string IpMask;
};

struct FIXED_INFO {
    std::string HostName;
    std::string DomainName;
    std::optional<IP_ADDR_STRING> CurrentDnsServer;
    std::vector<IP_ADDR_STRING> DnsServerList;
    uint32_t NodeType = 0;
    std::string ScopeId;
    uint32_t EnableRouting = 0;
    uint32_t EnableProxy = 0;
    uint32_t EnableDns = 0;
};

struct IP_ADAPTER_INFO {
    std::string AdapterName;
    std::string Description;
    std::string Address; // hardware address bytes
    uint32_t Index = 0;
    uint32_t Type = 0;
    uint32_t DhcpEnabled = 0;
    std::optional<IP_ADDR_STRING> CurrentIpAddress;
    std::vector<IP_ADDR_STRING> IpAddressList;
    std::vector<IP_ADDR_STRING> GatewayList;
};

struct IP_PER_ADAPTER_INFO {
    uint32_t AutoconfigEnabled = 0;
    uint32_t AutoconfigActive = 0;
    std::vector<IP_ADDR_STRING> CurrentDnsServer; // empty: none
    std::vector<IP_ADDR_STRING> DnsServerList;
};

struct IP_ADAPTER_INDEX_MAP {
    uint32_t Index = 0;
    std::string Name;
};

struct IP_INTERFACE_INFO {
    std::vector<IP_ADAPTER_INDEX_MAP> Adapter;
};

struct MIB_IFROW {
    std::string wszName;
    uint32_t dwIndex = 0;
    uint32_t dwType = 0;
    uint32_t dwMtu = 0;
    uint64_t dwSpeed = 0; // bit/s; wide, as links run above 2^31 bit/s
    std::string bPhysAddr;
    uint32_t dwAdminStatus = 0;
    uint32_t dwOperStatus = 0;
    uint64_t dwInOctets = 0, dwInUcastPkts = 0, dwInNUcastPkts = 0, dwInDiscards = 0,
             dwInErrors = 0;
    uint64_t dwOutOctets = 0, dwOutUcastPkts = 0, dwOutDiscards = 0, dwOutErrors = 0;
    std::string bDescr;
};
using MIB_IFTABLE = std::vector<MIB_IFROW>;

struct MIB_IPADDRROW {
    uint32_t dwAddr = 0;
    uint32_t dwIndex = 0;
    uint32_t dwMask = 0;
    uint32_t dwBCastAddr = 0; // the broadcast address, 0 when none
    uint32_t dwReasmSize = 0;
};
using MIB_IPADDRTABLE = std::vector<MIB_IPADDRROW>;

struct MIB_IPNETROW {
    uint32_t dwIndex = 0;
    std::string bPhysAddr;
    uint32_t dwAddr = 0;
    uint32_t dwType = 0;
};
using MIB_IPNETTABLE = std::vector<MIB_IPNETROW>;

struct MIB_IPSTATS {
    uint32_t dwForwarding = 0; // 1 forwarding, 2 not forwarding
    uint32_t dwDefaultTTL = 0;
    uint64_t dwInReceives = 0, dwInHdrErrors = 0, dwInAddrErrors = 0, dwForwDatagrams = 0,
             dwInUnknownProtos = 0, dwInDiscards = 0, dwInDelivers = 0, dwOutRequests = 0,
             dwRoutingDiscards = 0, dwOutDiscards = 0, dwOutNoRoutes = 0, dwReasmTimeout = 0,
             dwReasmReqds = 0, dwReasmOks = 0, dwReasmFails = 0, dwFragOks = 0, dwFragFails = 0,
             dwFragCreates = 0;
    uint32_t dwNumIf = 0, dwNumAddr = 0, dwNumRoutes = 0;
};

struct MIBICMPSTATS {
    uint64_t dwMsgs = 0, dwErrors = 0, dwDestUnreachs = 0, dwTimeExcds = 0, dwParmProbs = 0,
             dwSrcQuenchs = 0, dwRedirects = 0, dwEchos = 0, dwEchoReps = 0, dwTimestamps = 0,
             dwTimestampReps = 0, dwAddrMasks = 0, dwAddrMaskReps = 0;
};

struct MIB_ICMP {
    MIBICMPSTATS icmpInStats;
    MIBICMPSTATS icmpOutStats;
};

struct MIB_IPFORWARDROW {
    uint32_t dwForwardDest = 0;
    uint32_t dwForwardMask = 0;
    uint32_t dwForwardPolicy = 0;
    uint32_t dwForwardNextHop = 0;
    uint32_t dwForwardIfIndex = 0;
    uint32_t dwForwardType = 0;
    uint32_t dwForwardProto = 0;
    uint32_t dwForwardAge = 0;
    uint32_t dwForwardNextHopAS = 0;
    int32_t dwForwardMetric1 = 0; // -1: unused
    int32_t dwForwardMetric2 = -1;
    int32_t dwForwardMetric3 = -1;
    int32_t dwForwardMetric4 = -1;
    int32_t dwForwardMetric5 = -1;
};
using MIB_IPFORWARDTABLE = std::vector<MIB_IPFORWARDROW>;

struct MIB_TCPSTATS {
    int64_t dwRtoAlgorithm = 0, dwRtoMin = 0, dwRtoMax = 0, dwMaxConn = 0;
    int64_t dwActiveOpens = 0, dwPassiveOpens = 0, dwAttemptFails = 0, dwEstabResets = 0,
            dwCurrEstab = 0, dwInSegs = 0, dwOutSegs = 0, dwRetransSegs = 0, dwInErrs = 0,
            dwOutRsts = 0, dwNumConns = 0;
};

struct MIB_UDPSTATS {
    int64_t dwInDatagrams = 0, dwNoPorts = 0, dwInErrors = 0, dwOutDatagrams = 0, dwNumAddrs = 0;
};

struct MIB_TCPROW {
    uint32_t dwState = 0;
    uint32_t dwLocalAddr = 0;
    uint32_t dwLocalPort = 0; // the real port number
    uint32_t dwRemoteAddr = 0;
    uint32_t dwRemotePort = 0;
};
using MIB_TCPTABLE = std::vector<MIB_TCPROW>;

struct MIB_UDPROW {
    uint32_t dwLocalAddr = 0;
    uint32_t dwLocalPort = 0;
};
using MIB_UDPTABLE = std::vector<MIB_UDPROW>;

// Network configuration and adapters.
std::unique_ptr<FIXED_INFO> GetNetworkParams();
std::unique_ptr<std::vector<IP_ADAPTER_INFO>> GetAdaptersInfo();
std::unique_ptr<IP_PER_ADAPTER_INFO> GetPerAdapterInfo(uint32_t index);
uint32_t GetNumberOfInterfaces();
uint32_t GetAdapterIndex(const std::string& name);
// Unidirectional adapters have no Linux counterpart: not supported.
uint32_t GetUniDirectionalAdapterInfo();
std::unique_ptr<IP_INTERFACE_INFO> GetInterfaceInfo();
uint32_t GetFriendlyIfIndex(uint32_t index);

// Interfaces.
std::unique_ptr<MIB_IFTABLE> GetIfTable(bool sorted);
void GetIfEntry(MIB_IFROW& row);       // row.dwIndex set
void SetIfEntry(const MIB_IFROW& row); // dwIndex and dwAdminStatus

// Addresses.  The NTE context of an address is the address itself as a
// host-order number; its instance is the interface index.
std::unique_ptr<MIB_IPADDRTABLE> GetIpAddrTable(bool sorted);
void AddIPAddress(uint32_t addr, uint32_t mask, uint32_t ifIndex, uint32_t& nteContext,
                  uint32_t& nteInstance);
void DeleteIPAddress(uint32_t nteContext);
void IpReleaseAddress(const IP_ADAPTER_INDEX_MAP& adapter);
void IpRenewAddress(const IP_ADAPTER_INDEX_MAP& adapter);

// ARP.
std::unique_ptr<MIB_IPNETTABLE> GetIpNetTable(bool sorted);
void CreateIpNetEntry(const MIB_IPNETROW& row);
void DeleteIpNetEntry(const MIB_IPNETROW& row);
void FlushIpNetTable(uint32_t ifIndex);
void CreateProxyArpEntry(uint32_t addr, uint32_t mask, uint32_t ifIndex);
void DeleteProxyArpEntry(uint32_t addr, uint32_t mask, uint32_t ifIndex);
// Resolves `dest` on its link; returns the hardware address bytes.
std::string SendARP(uint32_t dest, uint32_t src);

// IP and ICMP.
MIB_IPSTATS GetIpStatistics();
// Applies the default TTL, and forwarding only where it differs from now.
void SetIpStatistics(const MIB_IPSTATS& stats);
MIB_ICMP GetIcmpStatistics();
void SetIpTTL(uint32_t ttl);

// Routing.
std::unique_ptr<MIB_IPFORWARDTABLE> GetIpForwardTable(bool sorted);
void CreateIpForwardEntry(const MIB_IPFORWARDROW& row);
void DeleteIpForwardEntry(const MIB_IPFORWARDROW& row);
void SetIpForwardEntry(const MIB_IPFORWARDROW& row);
MIB_IPFORWARDROW GetBestRoute(uint32_t dest, uint32_t src);
uint32_t GetBestInterface(uint32_t dest);
// Sends ICMP echo requests with rising TTL, 1 to `maxHops`, until `dest`
// answers; false when it never did.  `error`, when given, then tells why:
// kErrorInvalidParameter, kErrorAccessDenied (no ICMP socket may be opened)
// or kErrorHostUnreachable.
bool GetRTTAndHopCount(uint32_t dest, uint32_t& hopCount, uint32_t maxHops, uint32_t& rtt,
                       unsigned long* error = nullptr);

// TCP and UDP.
MIB_TCPSTATS GetTcpStatistics();
MIB_UDPSTATS GetUdpStatistics();
std::unique_ptr<MIB_TCPTABLE> GetTcpTable(bool sorted);
std::unique_ptr<MIB_UDPTABLE> GetUdpTable(bool sorted);
// Only state 12 (delete the connection) is defined, and Linux cannot do it
// through the table: not supported.
void SetTcpEntry(const MIB_TCPROW& row);

// Router: a counted request to forward IPv4.  The first request turns
// forwarding on; withdrawing the last one restores what was there before.
// Failures are reported as the general operating-system error.
void EnableRouter();
// Returns the count of requests still standing.
uint32_t UnenableRouter();
// Withdraws every request still standing, as when their owner goes away;
// forwarding is back to what it was before the first.  Never throws.
void WithdrawRouterRequests();

// The adapter-address query of the NetBIOS service, emulated over the
// interfaces: each interface is a LANA numbered by its interface index.
constexpr unsigned char kNrcGoodRet = 0x00;
constexpr unsigned char kNrcBridge = 0x23;    // no such LANA
constexpr unsigned char kNrcEnvNotDef = 0x34; // the service is not available
// Command enumerate: the LANA numbers, or an error code.
unsigned char NetbiosLanaEnum(std::vector<unsigned char>& lanas);
unsigned char NetbiosReset(unsigned char lana);
// Command adapter status: the hardware address bytes (6).
unsigned char NetbiosAdapterStatus(unsigned char lana, std::string& mac);

// Text helpers shared by the commands.
std::string IpText(uint32_t addr);

} // namespace qordex::diag
