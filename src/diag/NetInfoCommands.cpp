#include "diag/NetInfoCommands.h"

#include "base/Text.h"
#include "diag/IpHlpApi.h"

#include <arpa/inet.h>
#include <climits>
#include <cstdarg>
#include <cstdio>

namespace qordex::diag {

namespace {

// GetRTTAndHopCount tries this many hops at most.
constexpr uint32_t kRttMaxHops = 15;

std::string Fmt(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

std::string Fmt(const char* fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0)
        return {};
    if (static_cast<size_t>(n) < sizeof buf)
        return std::string(buf, static_cast<size_t>(n));
    std::string out(static_cast<size_t>(n) + 1, '\0');
    va_start(ap, fmt);
    std::vsnprintf(out.data(), out.size(), fmt, ap);
    va_end(ap);
    out.resize(static_cast<size_t>(n));
    return out;
}

template<typename T> std::string Num(T v) {
    return std::to_string(v);
}

// Text fields end at their first zero character, as the platform's do.
std::string Text(const std::string& s) {
    return s.substr(0, s.find('\0'));
}

// An answer, or nullopt when the user cancelled or left it empty.
std::optional<std::string> AskText(NetInfoIO& io, const char* prompt) {
    auto answer = io.Ask(prompt);
    if (!answer || answer->empty()) {
        io.Cancelled(prompt);
        return std::nullopt;
    }
    return answer;
}

// A decimal integer within [lo, hi]; anything else is the conversion error.
std::optional<long long> AskInt(NetInfoIO& io, const char* prompt, long long lo = INT_MIN,
                                long long hi = INT_MAX) {
    auto answer = AskText(io, prompt);
    if (!answer)
        return std::nullopt;
    if (auto v = ParseDecimal(TrimView(*answer), lo, hi))
        return v;
    throw EConvertError(NotAnIntegerMessage(*answer));
}

std::optional<uint32_t> AskIndex(NetInfoIO& io, const char* prompt) {
    auto v = AskInt(io, prompt);
    if (!v)
        return std::nullopt;
    return static_cast<uint32_t>(*v);
}

// Dotted IPv4: text that is no address becomes the all-ones address.
uint32_t ToAddr(const std::string& text) {
    in_addr a;
    return ::inet_pton(AF_INET, text.c_str(), &a) == 1 ? a.s_addr : INADDR_NONE;
}

// Dotted IPv4 for operation `function`.  Text that is no address is that
// operation's invalid parameter, raised before anything changes: read as the
// all-ones address it would pass as a valid mask and quietly turn a subnet
// into a single host.
std::optional<uint32_t> AskAddr(NetInfoIO& io, const char* prompt, const char* function) {
    auto answer = AskText(io, prompt);
    if (!answer)
        return std::nullopt;
    in_addr a;
    if (::inet_pton(AF_INET, Trim(*answer).c_str(), &a) != 1)
        throw EIpHlpError(function, kErrorInvalidParameter);
    return a.s_addr;
}

// "00-1A-2B-3C-4D-5E" or with colons; empty when the text is no address.
std::string ParseHardwareAddress(const std::string& text) {
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        const int hi = HexDigitValue(text[i]);
        const int lo = i + 1 < text.size() ? HexDigitValue(text[i + 1]) : -1;
        if (hi < 0 || lo < 0)
            return {};
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        if (i == text.size())
            break;
        if (text[i] != '-' && text[i] != ':')
            return {};
        ++i;
        if (i == text.size())
            return {};
    }
    return out;
}

const char kIfHeader[] = "     Index Type   Mtu      Speed Admin";

void IfRowLines(NetInfoIO& io, const MIB_IFROW& r) {
    io.Line(kIfHeader);
    // Speeds above 2^31 bit/s are common: the column is 64-bit.
    io.Line(Fmt("%10u %4u %5u %10llu %5u", r.dwIndex, r.dwType, r.dwMtu,
                static_cast<unsigned long long>(r.dwSpeed), r.dwAdminStatus));
    io.Line(" Description: " + Text(r.bDescr));
}

void IpStatsLines(NetInfoIO& io, const MIB_IPSTATS& s) {
    io.Line(" dwForwarding: " + Num(s.dwForwarding));
    io.Line(" dwInReceives: " + Num(s.dwInReceives));
    io.Line(" dwDefaultTTL: " + Num(s.dwDefaultTTL));
    io.Line(" dwInReceives: " + Num(s.dwInReceives));
    io.Line(" dwInHdrErrors: " + Num(s.dwInHdrErrors));
    io.Line(" dwInAddrErrors: " + Num(s.dwInAddrErrors));
    io.Line(" dwForwDatagrams: " + Num(s.dwForwDatagrams));
    io.Line(" dwInUnknownProtos: " + Num(s.dwInUnknownProtos));
    io.Line(" dwInDiscards: " + Num(s.dwInDiscards));
    io.Line(" dwInDelivers: " + Num(s.dwInDelivers));
    io.Line(" dwOutRequests: " + Num(s.dwOutRequests));
    io.Line(" dwRoutingDiscards: " + Num(s.dwRoutingDiscards));
    io.Line(" dwOutDiscards: " + Num(s.dwOutDiscards));
    io.Line(" dwOutNoRoutes: " + Num(s.dwOutNoRoutes));
    io.Line(" dwReasmTimeout: " + Num(s.dwReasmTimeout));
    io.Line(" dwReasmReqds: " + Num(s.dwReasmReqds));
    io.Line(" dwReasmOks: " + Num(s.dwReasmOks));
    io.Line(" dwReasmFails: " + Num(s.dwReasmFails));
    io.Line(" dwFragOks: " + Num(s.dwFragOks));
    io.Line(" dwFragFails: " + Num(s.dwFragFails));
    io.Line(" dwFragCreates: " + Num(s.dwFragCreates));
    io.Line(" dwNumIf: " + Num(s.dwNumIf));
    io.Line(" dwNumAddr: " + Num(s.dwNumAddr));
    io.Line(" dwNumRoutes: " + Num(s.dwNumRoutes));
}

void IcmpStatsLines(NetInfoIO& io, const MIBICMPSTATS& s) {
    io.Line(" dwMsgs: " + Num(s.dwMsgs));
    io.Line(" dwErrors: " + Num(s.dwErrors));
    io.Line(" dwDestUnreachs: " + Num(s.dwDestUnreachs));
    io.Line(" dwTimeExcds: " + Num(s.dwTimeExcds));
    io.Line(" dwParmProbs: " + Num(s.dwParmProbs));
    io.Line(" dwSrcQuenchs: " + Num(s.dwSrcQuenchs));
    io.Line(" dwRedirects: " + Num(s.dwRedirects));
    io.Line(" dwEchos: " + Num(s.dwEchos));
    io.Line(" dwEchoReps: " + Num(s.dwEchoReps));
    io.Line(" dwTimestamps: " + Num(s.dwTimestamps));
    io.Line(" dwTimestampReps: " + Num(s.dwTimestampReps));
    io.Line(" dwAddrMasks: " + Num(s.dwAddrMasks));
    io.Line(" dwAddrMaskReps: " + Num(s.dwAddrMaskReps));
}

// --- Network Configuration -------------------------------------------------

void RunGetNetworkParams(NetInfoIO& io) {
    io.Line("GetNetworkParams");
    auto p = GetNetworkParams();
    if (!p)
        return;
    io.Line("HostName:" + Text(p->HostName));
    io.Line("DomainName:" + Text(p->DomainName));
    io.Line("NodeType:" + Num(p->NodeType));
    io.Line("ScopeId:" + Text(p->ScopeId));
    io.Line("EnableRouting:" + Num(p->EnableRouting));
    io.Line("EnableProxy:" + Num(p->EnableProxy));
    io.Line("EnableDns:" + Num(p->EnableDns));
    if (p->CurrentDnsServer) {
        io.Line("CurrentDnsServer Address:" + Text(p->CurrentDnsServer->IpAddress));
        io.Line("CurrentDnsServer Mask:" + Text(p->CurrentDnsServer->IpMask));
    } else {
        io.Line("CurrentDnsServer:nil");
    }
    for (const auto& s : p->DnsServerList) {
        io.Line("DnsServer Address:" + Text(s.IpAddress));
        io.Line("DnsServer Mask:" + Text(s.IpMask));
    }
}

// --- Managing Network Adapters ----------------------------------------------

void RunGetAdaptersInfo(NetInfoIO& io) {
    io.Line("GetAdaptersInfo");
    auto list = GetAdaptersInfo();
    if (!list)
        return;
    for (const auto& a : *list) {
        io.Line("AdapterName: " + Text(a.AdapterName));
        io.Line("Description: " + Text(a.Description));
        io.Line("Index: " + Num(a.Index));
        io.Line("Type: " + Num(a.Type));
        io.Line("DhcpEnabled: " + Num(a.DhcpEnabled ? 1 : 0));
        if (a.CurrentIpAddress) {
            io.Line("CurrentIpAddress.IpAddress:" + Text(a.CurrentIpAddress->IpAddress));
            io.Line("CurrentIpAddress.IpMask:" + Text(a.CurrentIpAddress->IpMask));
        } else {
            io.Line("CurrentIpAddress: nil");
        }
        for (const auto& ip : a.IpAddressList) {
            io.Line("-----------");
            io.Line("IpAddressList.IpAddress " + Text(ip.IpAddress));
            io.Line("IpAddressList.IpMask " + Text(ip.IpMask));
        }
        io.Line("-----------");
        io.Line("GetPerAdapterInfo");
        try {
            auto per = GetPerAdapterInfo(a.Index);
            if (!per)
                continue;
            io.Line("AutoconfigEnabled: " + Num(per->AutoconfigEnabled));
            io.Line("AutoconfigActive: " + Num(per->AutoconfigActive));
            if (per->CurrentDnsServer.empty())
                io.Line("CurrentDnsServer: nil");
            for (const auto& s : per->CurrentDnsServer) {
                io.Line("CurrentDnsServer.IpAddress: " + Text(s.IpAddress));
                io.Line("CurrentDnsServer.IpMask: " + Text(s.IpMask));
            }
            for (const auto& s : per->DnsServerList) {
                io.Line("DnsServerList.IpAddress: " + Text(s.IpAddress));
                io.Line("DnsServerList.IpMask: " + Text(s.IpMask));
            }
        } catch (const EIpHlpError& e) {
            io.Error(e.what());
        }
    }
}

void RunGetAdapterIndex(NetInfoIO& io) {
    io.Line("GetAdapterIndex");
    auto name = AskText(io, "Input the name of adapter");
    if (!name)
        return;
    io.Line("AdapterIndex: " + Num(GetAdapterIndex(*name)));
}

void RunGetUniDirAdapterInfo(NetInfoIO& io) {
    io.Line("GetUniDirectionalAdapterInfo");
    io.Line("Number of UniDirectional adapters: " + Num(GetUniDirectionalAdapterInfo()));
}

void RunGetMACaddress(NetInfoIO& io) {
    io.Line("GetMACaddress");
    std::vector<unsigned char> lanas;
    unsigned char err = NetbiosLanaEnum(lanas);
    if (err != kNrcGoodRet) {
        io.Line(Fmt("LanaEnum err=%2.2x", err));
        return;
    }
    for (size_t i = 0; i < lanas.size(); ++i) {
        err = NetbiosReset(lanas[i]);
        if (err != kNrcGoodRet) {
            io.Line(Fmt("Reset Lana %d err=%2.2x", static_cast<int>(i), err));
            return;
        }
        std::string mac;
        std::string text = "??:??:??:??:??:??";
        if (NetbiosAdapterStatus(lanas[i], mac) == kNrcGoodRet && mac.size() >= 6) {
            const auto* b = reinterpret_cast<const unsigned char*>(mac.data());
            text = Fmt("%2.2x:%2.2x:%2.2x:%2.2x:%2.2x:%2.2x", b[0], b[1], b[2], b[3], b[4], b[5]);
        }
        io.Line(Fmt("Lana %x = %s", lanas[i], text.c_str()));
    }
}

// --- Managing Interfaces ----------------------------------------------------

void RunGetNumberOfInterfaces(NetInfoIO& io) {
    io.Line("GetNumberOfInterfaces");
    io.Line("Number Of Interfaces: " + Num(GetNumberOfInterfaces()));
}

void RunGetInterfaceInfo(NetInfoIO& io) {
    io.Line("GetInterfaceInfo");
    auto info = GetInterfaceInfo();
    if (!info)
        return;
    io.Line("Number of adapters: " + Num(info->Adapter.size()));
    for (size_t i = 0; i < info->Adapter.size(); ++i) {
        io.Line("Adapter N " + Num(i + 1));
        io.Line(" Name: " + Text(info->Adapter[i].Name));
        io.Line(" Index: " + Num(info->Adapter[i].Index));
    }
}

void RunGetFriendlyIfIndex(NetInfoIO& io) {
    auto index = AskIndex(io, "Input interface index");
    if (!index)
        return;
    io.Line("GetFriendlyIfIndex");
    io.Line("FriendlyIfIndex: " + Num(GetFriendlyIfIndex(*index)));
}

void RunGetIfTable(NetInfoIO& io) {
    io.Line("GetIfTable");
    auto table = GetIfTable(false);
    if (!table)
        return;
    io.Line("Number of entries: " + Num(table->size()));
    for (const auto& r : *table)
        IfRowLines(io, r);
}

void RunGetIfEntry(NetInfoIO& io) {
    auto index = AskIndex(io, "Input interface index");
    if (!index)
        return;
    io.Line("GetIfEntry");
    MIB_IFROW row;
    row.dwIndex = *index;
    GetIfEntry(row);
    IfRowLines(io, row);
}

void RunSetIfEntry(NetInfoIO& io) {
    io.Line("SetIfEntry");
    auto index = AskIndex(io, "Input interface index");
    if (!index)
        return;
    auto status = AskInt(io, "Input interface admin status (0 - down, 1- up)");
    if (!status)
        return;
    MIB_IFROW row;
    row.dwIndex = *index;
    // The prompt's 0 is the platform's "down" (2); 1 and 2 are taken as they are.
    row.dwAdminStatus = *status == 0 ? kIfAdminDown : static_cast<uint32_t>(*status);
    SetIfEntry(row);
    MIB_IFROW back;
    back.dwIndex = *index;
    GetIfEntry(back);
    IfRowLines(io, back);
}

// --- IP Addresses -------------------------------------------------------------

void RunGetIpAddrTable(NetInfoIO& io) {
    io.Line("GetIpAddrTable");
    auto table = GetIpAddrTable(false);
    if (!table)
        return;
    io.Line("NumEntries:" + Num(table->size()));
    io.Line("Adapter N            Addr            Mask       BCastAddr ReasmSize");
    for (const auto& r : *table)
        io.Line(Fmt("%10u %15s %15s %15s %u", r.dwIndex, IpText(r.dwAddr).c_str(),
                    IpText(r.dwMask).c_str(), IpText(r.dwBCastAddr).c_str(), r.dwReasmSize));
}

void RunAddIPAddress(NetInfoIO& io) {
    io.Line("AddIPAddress");
    auto index = AskIndex(io, "Input adapter index");
    if (!index)
        return;
    auto addr = AskAddr(io, "Input new adapter IP address", "AddIPAddress");
    if (!addr)
        return;
    auto mask = AskAddr(io, "Input new adapter IP mask", "AddIPAddress");
    if (!mask)
        return;
    uint32_t context = 0, instance = 0;
    AddIPAddress(*addr, *mask, *index, context, instance);
    io.Line("NTEContext: " + Num(context));
    io.Line("NTEInstance: " + Num(instance));
}

void RunDeleteIPAddress(NetInfoIO& io) {
    io.Line("DeleteIPAddress");
    // A context is a 32-bit value: accept it signed or unsigned.
    auto context = AskInt(io, "Input NTEContext", INT_MIN, UINT_MAX);
    if (!context)
        return;
    DeleteIPAddress(static_cast<uint32_t>(*context));
    io.Line("Delete successful.");
}

void RunIpReleaseAddress(NetInfoIO& io) {
    io.Line("IpReleaseAddress");
    auto index = AskIndex(io, "Input adapter index");
    if (!index)
        return;
    auto name = io.Ask("Input adapter name"); // an empty name is accepted
    if (!name)
        return;
    IpReleaseAddress({*index, *name});
    io.Line("Release successful.");
}

void RunIpRenewAddress(NetInfoIO& io) {
    auto index = AskIndex(io, "Input adapter index");
    if (!index)
        return;
    auto name = AskText(io, "Input adapter name");
    if (!name)
        return;
    IpRenewAddress({*index, *name});
}

// --- Using the ARP ------------------------------------------------------------

void RunGetIpNetTable(NetInfoIO& io) {
    io.Line("GetIpNetTable");
    auto table = GetIpNetTable(false);
    if (!table)
        return;
    io.Line("NumEntries:" + Num(table->size()));
    for (const auto& r : *table) {
        io.Line("Adapter N " + Num(r.dwIndex));
        std::string phys;
        for (unsigned char b : r.bPhysAddr)
            phys += Num(static_cast<unsigned>(b));
        io.Line("Phys. address: " + phys);
        io.Line("Address: " + IpText(r.dwAddr) + " type: " + Num(r.dwType));
    }
}

void RunCreateIpNetEntry(NetInfoIO& io) {
    auto addr = AskAddr(io, "Input adapter IP address", "CreateIpNetEntry");
    if (!addr)
        return;
    // The entry gets the hardware address the user names, on the interface
    // that reaches the address.
    auto hw = AskText(io, "Input physical address");
    if (!hw)
        return;
    MIB_IPNETROW row;
    row.dwAddr = *addr;
    row.bPhysAddr = ParseHardwareAddress(Trim(*hw));
    if (row.bPhysAddr.empty())
        throw EIpHlpError("CreateIpNetEntry", kErrorInvalidParameter);
    row.dwIndex = GetBestInterface(*addr);
    row.dwType = kIpNetTypeStatic;
    CreateIpNetEntry(row);
    io.Line("CreateIpNetEntry successful.");
}

void RunDeleteIpNetEntry(NetInfoIO& io) {
    auto index = AskIndex(io, "Input adapter index");
    if (!index)
        return;
    auto addr = AskAddr(io, "Input adapter address", "DeleteIpNetEntry");
    if (!addr)
        return;
    MIB_IPNETROW row;
    row.dwIndex = *index;
    row.dwAddr = *addr;
    DeleteIpNetEntry(row);
    io.Line("DeleteIpNetEntry successful.");
}

void RunFlushIpNetTable(NetInfoIO& io) {
    auto index = AskIndex(io, "Input adapter index");
    if (!index)
        return;
    FlushIpNetTable(*index);
    io.Line("FlushIpNetTable successful.");
}

void RunSendARP(NetInfoIO& io) {
    // Cancelling goes on with an empty address.
    auto answer = io.Ask("Input destination IP");
    uint32_t dest = ToAddr(answer ? Trim(*answer) : std::string());
    io.Line("SendARP");
    std::string mac = SendARP(dest, 0);
    std::string text;
    for (size_t i = 0; i < mac.size(); ++i) {
        if (i)
            text += "-";
        text += Fmt("%02X", static_cast<unsigned char>(mac[i]));
    }
    io.Line("MacAddr :" + text);
}

void ProxyArp(NetInfoIO& io, const char* caption, bool create) {
    io.Line(caption);
    auto addr = AskAddr(io, "Input adapter IP address", caption);
    if (!addr)
        return;
    auto mask = AskAddr(io, "Input adapter IP mask", caption);
    if (!mask)
        return;
    // The entry belongs on the interface the user names.
    auto index = AskIndex(io, "Input interface index");
    if (!index)
        return;
    if (create)
        CreateProxyArpEntry(*addr, *mask, *index);
    else
        DeleteProxyArpEntry(*addr, *mask, *index);
}

void RunCreateProxyArpEntry(NetInfoIO& io) {
    ProxyArp(io, "CreateProxyArpEntry", true);
}
void RunDeleteProxyArpEntry(NetInfoIO& io) {
    ProxyArp(io, "DeleteProxyArpEntry", false);
}

// --- IP and ICMP --------------------------------------------------------------

void RunGetIpStatistics(NetInfoIO& io) {
    io.Line("GetIpStatistics");
    IpStatsLines(io, GetIpStatistics());
}

void RunGetIcmpStatistics(NetInfoIO& io) {
    io.Line("GetIcmpStatistics");
    MIB_ICMP s = GetIcmpStatistics();
    io.Line(" InStats");
    IcmpStatsLines(io, s.icmpInStats);
    io.Line(" OutStats");
    IcmpStatsLines(io, s.icmpOutStats);
}

void RunSetIpStatistics(NetInfoIO& io) {
    io.Line("GetIpStatistics");
    auto ttl = AskInt(io, "Input new TTL");
    if (!ttl)
        return;
    MIB_IPSTATS s = GetIpStatistics();
    // Only the TTL changes: forwarding stays as it is.
    s.dwForwarding = 0xFFFFFFFFu;
    s.dwDefaultTTL = static_cast<uint32_t>(*ttl);
    io.Line("SetIpStatistics");
    SetIpStatistics(s);
}

void RunSetIpTTL(NetInfoIO& io) {
    io.Line("SetIpTTL");
    auto ttl = AskInt(io, "Input new TTL");
    if (!ttl)
        return;
    SetIpTTL(static_cast<uint32_t>(*ttl));
}

// --- Routing ------------------------------------------------------------------

void RunGetIpForwardTable(NetInfoIO& io) {
    io.Line("GetIpForwardTable");
    // Sorted, as the row numbers of the route actions count in this order.
    auto table = GetIpForwardTable(true);
    if (!table)
        return;
    io.Line(" dwNumEntries:" + Num(table->size()));
    io.Line("     Destination            Mask Policy         Gateway Interface       Age Metric");
    for (const auto& r : *table)
        io.Line(Fmt(" %15s %15s %6u %15s %9u %10u %2d %2d %2d %2d %2d",
                    IpText(r.dwForwardDest).c_str(), IpText(r.dwForwardMask).c_str(),
                    r.dwForwardPolicy, IpText(r.dwForwardNextHop).c_str(), r.dwForwardIfIndex,
                    r.dwForwardAge, r.dwForwardMetric1, r.dwForwardMetric2, r.dwForwardMetric3,
                    r.dwForwardMetric4, r.dwForwardMetric5));
}

void RunCreateIpForwardEntry(NetInfoIO& io) {
    auto dest = AskAddr(io, "Input destination address", "CreateIpForwardEntry");
    if (!dest)
        return;
    auto mask = AskAddr(io, "Input Mask", "CreateIpForwardEntry");
    if (!mask)
        return;
    auto hop = AskAddr(io, "Next Hop", "CreateIpForwardEntry");
    if (!hop)
        return;
    auto index = AskIndex(io, "Interface index");
    if (!index)
        return;
    io.Line("CreateIpForwardEntry");
    MIB_IPFORWARDROW row;
    row.dwForwardDest = *dest;
    row.dwForwardMask = *mask;
    row.dwForwardPolicy = 0;
    row.dwForwardNextHop = *hop;
    row.dwForwardIfIndex = *index;
    row.dwForwardType = 3;
    row.dwForwardProto = 2;
    row.dwForwardAge = 0;
    row.dwForwardNextHopAS = 0;
    row.dwForwardMetric1 = 1;
    row.dwForwardMetric2 = row.dwForwardMetric3 = row.dwForwardMetric4 = row.dwForwardMetric5 = -1;
    CreateIpForwardEntry(row);
    io.Line("Success");
}

// Row n (1-based) of the sorted route table, or nullopt after the error.
std::optional<MIB_IPFORWARDROW> AskRouteRow(NetInfoIO& io) {
    auto n = AskInt(io, "Input Row # ");
    if (!n)
        return std::nullopt;
    auto table = GetIpForwardTable(true);
    size_t count = table ? table->size() : 0;
    if (*n < 1 || static_cast<unsigned long long>(*n) > count) {
        io.Error("Invalid IP entry");
        return std::nullopt;
    }
    return (*table)[static_cast<size_t>(*n - 1)];
}

void RunDeleteIpForwardEntry(NetInfoIO& io) {
    auto row = AskRouteRow(io);
    if (!row)
        return;
    io.Line("DeleteIpForwardEntry");
    DeleteIpForwardEntry(*row);
    io.Line("Success");
}

void RunSetIpForwardEntry(NetInfoIO& io) {
    auto row = AskRouteRow(io);
    if (!row)
        return;
    row->dwForwardProto = 3;
    row->dwForwardPolicy = 0;
    row->dwForwardAge = 1;
    io.Line("SetIpForwardEntry");
    SetIpForwardEntry(*row);
    io.Line("Success");
}

void RunGetBestRoute(NetInfoIO& io) {
    io.Line("GetBestRoute");
    auto dest = AskAddr(io, "Input Destination Address", "GetBestRoute");
    if (!dest)
        return;
    MIB_IPFORWARDROW r = GetBestRoute(*dest, 0);
    io.Line(" dwForwardDest:" + IpText(r.dwForwardDest));
    io.Line(" dwForwardMask:" + IpText(r.dwForwardMask));
    io.Line(" dwForwardPolicy:" + Num(r.dwForwardPolicy));
    io.Line(" dwForwardNextHop:" + IpText(r.dwForwardNextHop));
    io.Line(" dwForwardIfIndex:" + Num(r.dwForwardIfIndex));
    io.Line(" dwForwardType:" + Num(r.dwForwardType));
    io.Line(" dwForwardProto:" + Num(r.dwForwardProto));
    io.Line(" dwForwardAge:" + Num(r.dwForwardAge));
    io.Line(" dwForwardNextHopAS:" + Num(r.dwForwardNextHopAS));
    io.Line(" dwForwardMetric1:" + Num(r.dwForwardMetric1));
    io.Line(" dwForwardMetric2:" + Num(r.dwForwardMetric2));
    io.Line(" dwForwardMetric3:" + Num(r.dwForwardMetric3));
    io.Line(" dwForwardMetric4:" + Num(r.dwForwardMetric4));
    io.Line(" dwForwardMetric5:" + Num(r.dwForwardMetric5));
}

void RunGetBestInterface(NetInfoIO& io) {
    auto dest = AskAddr(io, "Input Destination Address", "GetBestInterface");
    if (!dest)
        return;
    io.Line("GetBestInterface");
    io.Line("BestIfIndex: " + Num(GetBestInterface(*dest)));
}

void RunGetRTTAndHopCount(NetInfoIO& io) {
    auto dest = AskAddr(io, "Input Destination Address", "GetRTTAndHopCount");
    if (!dest)
        return;
    io.Line("GetRTTAndHopCount");
    uint32_t hops = 0, rtt = 0;
    // A failed measurement is reported, not printed as a result.
    unsigned long error = kErrorHostUnreachable;
    if (!GetRTTAndHopCount(*dest, hops, kRttMaxHops, rtt, &error))
        throw EIpHlpError("GetRTTAndHopCount", error);
    io.Line("HopCount: " + Num(hops));
    io.Line("RTT: " + Num(rtt));
}

// --- TCP UDP Statistic --------------------------------------------------------

void RunGetTcpStatistics(NetInfoIO& io) {
    io.Line("GetTcpStatistics");
    MIB_TCPSTATS s = GetTcpStatistics();
    io.Line(" dwRtoAlgorithm:" + Num(s.dwRtoAlgorithm));
    io.Line(" dwRtoMin:" + Num(s.dwRtoMin));
    io.Line(" dwRtoMax:" + Num(s.dwRtoMax));
    io.Line(" dwMaxConn:" + Num(s.dwMaxConn));
    io.Line(" dwActiveOpens:" + Num(s.dwActiveOpens));
    io.Line(" dwPassiveOpens:" + Num(s.dwPassiveOpens));
    io.Line(" dwAttemptFails:" + Num(s.dwAttemptFails));
    io.Line(" dwEstabResets:" + Num(s.dwEstabResets));
    io.Line(" dwCurrEstab:" + Num(s.dwCurrEstab));
    io.Line(" dwInSegs:" + Num(s.dwInSegs));
    io.Line(" dwOutSegs:" + Num(s.dwOutSegs));
    io.Line(" dwRetransSegs:" + Num(s.dwRetransSegs));
    io.Line(" dwInErrs:" + Num(s.dwInErrs));
    io.Line(" dwOutRsts:" + Num(s.dwOutRsts));
    io.Line(" dwNumConns:" + Num(s.dwNumConns));
}

void RunGetUdpStatistics(NetInfoIO& io) {
    io.Line("GetUdpStatistics");
    MIB_UDPSTATS s = GetUdpStatistics();
    io.Line(" dwInDatagrams:" + Num(s.dwInDatagrams));
    io.Line(" dwNoPorts:" + Num(s.dwNoPorts));
    io.Line(" dwInErrors:" + Num(s.dwInErrors));
    io.Line(" dwOutDatagrams:" + Num(s.dwOutDatagrams));
    io.Line(" dwNumAddrs:" + Num(s.dwNumAddrs));
}

void RunGetTcpTable(NetInfoIO& io) {
    io.Line("GetTcpTable");
    // The same order as SetTcpEntry counts its rows in.
    auto table = GetTcpTable(true);
    if (!table)
        return;
    io.Line(" NumEntries: " + Num(table->size()));
    io.Line("   Local Address  Port  Remote Address  Port State");
    for (const auto& r : *table)
        io.Line(Fmt(" %15s %5u %15s %5u %5u", IpText(r.dwLocalAddr).c_str(), r.dwLocalPort,
                    IpText(r.dwRemoteAddr).c_str(), r.dwRemotePort, r.dwState));
}

void RunGetUdpTable(NetInfoIO& io) {
    io.Line("GetUdpTable");
    auto table = GetUdpTable(true);
    if (!table)
        return;
    io.Line(" NumEntries: " + Num(table->size()));
    io.Line("   Local Address Port");
    for (const auto& r : *table)
        io.Line(Fmt(" %15s %5u", IpText(r.dwLocalAddr).c_str(), r.dwLocalPort));
}

void RunSetTcpEntry(NetInfoIO& io) {
    auto n = AskInt(io, "Input Row # ");
    if (!n)
        return;
    auto table = GetTcpTable(true);
    size_t count = table ? table->size() : 0;
    if (*n < 1 || static_cast<unsigned long long>(*n) > count)
        return;
    io.Line("SetTcpEntry");
    MIB_TCPROW row = (*table)[static_cast<size_t>(*n - 1)];
    row.dwState = kTcpStateDeleteTcb;
    SetTcpEntry(row);
    io.Line("Success");
}

// --- Router -------------------------------------------------------------------

void RunEnableRouter(NetInfoIO& io) {
    io.Line("EnableRouter");
    EnableRouter();
    io.Line("Success");
}

void RunUnenableRouter(NetInfoIO& io) {
    io.Line("UnEnableRouter");
    io.Line(" Count: " + Num(UnenableRouter()));
}

} // namespace

const std::vector<NetInfoCommand>& NetInfoCommands() {
    static const std::string kIfIndex = "Input interface index";
    static const std::string kAdapterIndex = "Input adapter index";
    static const std::string kDestination = "Input Destination Address";
    static const std::string kRow = "Input Row # ";
    static const std::string kTtl = "Input new TTL";
    static const std::vector<NetInfoCommand> table{
        {"GetNetworkParams",
         "BtNetworkParams",
         "Network Configuration",
         RunGetNetworkParams,
         {},
         "Shows the host and domain names, the node type, the routing, proxy and DNS flags "
         "and the DNS servers."},
        {"GetAdaptersInfo",
         "BtGetAdaptersInfo",
         "Managing Network Adapters",
         RunGetAdaptersInfo,
         {},
         "Lists every adapter with its addresses and its own DNS servers."},
        {"GetAdapterIndex",
         "BtGetAdapterIndex",
         "Managing Network Adapters",
         RunGetAdapterIndex,
         {"Input the name of adapter"},
         "Shows the interface index of the adapter named."},
        {"GetUniDirAdapterInfo",
         "BtGetUniDirAdapterInfo",
         "Managing Network Adapters",
         RunGetUniDirAdapterInfo,
         {},
         "Counts the receive-only adapters."},
        {"GetMACaddress",
         "GetMACBt",
         "Managing Network Adapters",
         RunGetMACaddress,
         {},
         "Shows the hardware address of every adapter."},
        {"GetNumberOfInterfaces",
         "BtGetNumberOfInterfaces",
         "Managing Interfaces",
         RunGetNumberOfInterfaces,
         {},
         "Counts the interfaces."},
        {"GetInterfaceInfo",
         "BtGetInterfaceInfo",
         "Managing Interfaces",
         RunGetInterfaceInfo,
         {},
         "Lists the name and index of every adapter."},
        {"GetFriendlyIfIndex",
         "BtGetFriendlyIfIndex",
         "Managing Interfaces",
         RunGetFriendlyIfIndex,
         {kIfIndex},
         "Shows the short form of an interface index."},
        {"GetIfTable",
         "BtGetIfTable",
         "Managing Interfaces",
         RunGetIfTable,
         {},
         "Shows the row of every interface: index, type, MTU, speed and admin status."},
        {"GetIfEntry",
         "BtGetIfEntry",
         "Managing Interfaces",
         RunGetIfEntry,
         {kIfIndex},
         "Shows the row of one interface."},
        {"SetIfEntry",
         "BtSetIfEntry",
         "Managing Interfaces",
         RunSetIfEntry,
         {kIfIndex, "Input interface admin status (0 - down, 1- up)"},
         "Takes an interface down (0) or up (1) and shows its row."},
        {"GetIpAddrTable",
         "BGetIpAddrTable",
         "IP Addresses",
         RunGetIpAddrTable,
         {},
         "Lists every IPv4 address with its interface, mask and broadcast address."},
        {"AddIPAddress",
         "BtAddIPAddress",
         "IP Addresses",
         RunAddIPAddress,
         {kAdapterIndex, "Input new adapter IP address", "Input new adapter IP mask"},
         "Adds an IPv4 address to an adapter and shows its context number."},
        {"DeleteIPAddress",
         "BtDeleteIPAddress",
         "IP Addresses",
         RunDeleteIPAddress,
         {"Input NTEContext"},
         "Removes the address that AddIPAddress gave this context."},
        {"IpReleaseAddress",
         "BtIpReleaseAddress",
         "IP Addresses",
         RunIpReleaseAddress,
         {kAdapterIndex, "Input adapter name"},
         "Releases the DHCP lease of an adapter (the name may be empty)."},
        {"IpRenewAddress",
         "BtIpRenewAddress",
         "IP Addresses",
         RunIpRenewAddress,
         {kAdapterIndex, "Input adapter name"},
         "Renews the DHCP lease of an adapter."},
        {"GetIpNetTable",
         "BtGetIpNetTable",
         "Using the ARP",
         RunGetIpNetTable,
         {},
         "Lists the ARP table."},
        {"CreateIpNetEntry",
         "BtCreateIpNetEntry",
         "Using the ARP",
         RunCreateIpNetEntry,
         {"Input adapter IP address", "Input physical address"},
         "Adds a static ARP entry for the address, with the hardware address given "
         "(00-11-22-33-44-55), on the interface that reaches it."},
        {"DeleteIpNetEntry",
         "BtDeleteIpNetEntry",
         "Using the ARP",
         RunDeleteIpNetEntry,
         {kAdapterIndex, "Input adapter address"},
         "Removes an ARP entry."},
        {"FlushIpNetTable",
         "BtFlushIpNetTable",
         "Using the ARP",
         RunFlushIpNetTable,
         {kAdapterIndex},
         "Removes every ARP entry of an interface."},
        {"SendARP",
         "BtSendARP",
         "Using the ARP",
         RunSendARP,
         {"Input destination IP"},
         "Asks a neighbour for its hardware address."},
        {"CreateProxyArpEntry",
         "BtCreateProxyArpEntry",
         "Using the ARP",
         RunCreateProxyArpEntry,
         {"Input adapter IP address", "Input adapter IP mask", kIfIndex},
         "Answers ARP requests for the address on the interface."},
        {"DeleteProxyArpEntry",
         "BtDeleteProxyArpEntry",
         "Using the ARP",
         RunDeleteProxyArpEntry,
         {"Input adapter IP address", "Input adapter IP mask", kIfIndex},
         "Stops answering ARP requests for the address on the interface."},
        {"GetIpStatistics",
         "BtGetIpStatistics",
         "IP and ICMP",
         RunGetIpStatistics,
         {},
         "Shows the IPv4 counters."},
        {"GetIcmpStatistics",
         "BtGetIcmpStatistics",
         "IP and ICMP",
         RunGetIcmpStatistics,
         {},
         "Shows the ICMP counters, incoming and outgoing."},
        {"SetIpStatistics",
         "BtSetIpStatistics",
         "IP and ICMP",
         RunSetIpStatistics,
         {kTtl},
         "Sets the default time to live through the statistics record."},
        {"SetIpTTL",
         "BtSetIpTTL",
         "IP and ICMP",
         RunSetIpTTL,
         {kTtl},
         "Sets the default time to live."},
        {"GetIpForwardTable",
         "BtGetIpForwardTable",
         "Routing",
         RunGetIpForwardTable,
         {},
         "Lists the routes, sorted; the row numbers of the route operations count in this order."},
        {"CreateIpForwardEntry",
         "BtCreateIpForwardEntry",
         "Routing",
         RunCreateIpForwardEntry,
         {"Input destination address", "Input Mask", "Next Hop", "Interface index"},
         "Adds a route."},
        {"DeleteIpForwardEntry",
         "BtDeleteIpForwardEntry",
         "Routing",
         RunDeleteIpForwardEntry,
         {kRow},
         "Removes route number n of GetIpForwardTable."},
        {"SetIpForwardEntry",
         "BtSetIpForwardEntry",
         "Routing",
         RunSetIpForwardEntry,
         {kRow},
         "Writes route number n of GetIpForwardTable back as a static route."},
        {"GetBestRoute",
         "BtGetBestRoute",
         "Routing",
         RunGetBestRoute,
         {kDestination},
         "Shows the route the system takes to the address."},
        {"GetBestInterface",
         "BtGetBestInterface",
         "Routing",
         RunGetBestInterface,
         {kDestination},
         "Shows the interface the system sends to the address through."},
        {"GetRTTAndHopCount",
         "BtGetRTTAndHopCount",
         "Routing",
         RunGetRTTAndHopCount,
         {kDestination},
         "Measures the hops and the round trip to the address (15 hops at most)."},
        {"GetTcpStatistics",
         "BtGetTcpStatistics",
         "TCP UDP Statistic",
         RunGetTcpStatistics,
         {},
         "Shows the TCP counters."},
        {"GetUdpStatistics",
         "BtGetUdpStatistics",
         "TCP UDP Statistic",
         RunGetUdpStatistics,
         {},
         "Shows the UDP counters."},
        {"GetTcpTable",
         "BtGetTcpTable",
         "TCP UDP Statistic",
         RunGetTcpTable,
         {},
         "Lists the TCP connections; ports in network byte order, as the system stores them."},
        {"GetUdpTable",
         "BtGetUdpTable",
         "TCP UDP Statistic",
         RunGetUdpTable,
         {},
         "Lists the UDP endpoints."},
        {"SetTcpEntry",
         "BtSetTcpEntry",
         "TCP UDP Statistic",
         RunSetTcpEntry,
         {kRow},
         "Ends TCP connection number n of GetTcpTable."},
        {"EnableRouter",
         "BtEnableRouter",
         "Router",
         RunEnableRouter,
         {},
         "Asks for IPv4 forwarding; the request stands until it is withdrawn."},
        {"UnenableRouter",
         "BtUnenableRouter",
         "Router",
         RunUnenableRouter,
         {},
         "Withdraws one request for IPv4 forwarding made by this program."},
    };
    return table;
}

} // namespace qordex::diag
