#include "diag/NetInfoCommands.h"

namespace qordex::diag {

namespace {

void RunGetNetworkParams(NetInfoIO& io) {
    io.Line("GetNetworkParams");
}

void RunGetAdaptersInfo(NetInfoIO& io) {
    io.Line("GetAdaptersInfo");
}

void RunGetAdapterIndex(NetInfoIO& io) {
    io.Line("GetAdapterIndex");
}

void RunGetUniDirAdapterInfo(NetInfoIO& io) {
    io.Line("GetUniDirectionalAdapterInfo");
}

void RunGetMACaddress(NetInfoIO& io) {
    io.Line("GetMACaddress");
}

void RunGetNumberOfInterfaces(NetInfoIO& io) {
    io.Line("GetNumberOfInterfaces");
}

void RunGetInterfaceInfo(NetInfoIO& io) {
    io.Line("GetInterfaceInfo");
}

void RunGetFriendlyIfIndex(NetInfoIO& io) {
    io.Line("GetFriendlyIfIndex");
}

void RunGetIfTable(NetInfoIO& io) {
    io.Line("GetIfTable");
}

void RunGetIfEntry(NetInfoIO& io) {
    io.Line("GetIfEntry");
}

void RunSetIfEntry(NetInfoIO& io) {
    io.Line("SetIfEntry");
}

void RunGetIpAddrTable(NetInfoIO& io) {
    io.Line("GetIpAddrTable");
}

void RunAddIPAddress(NetInfoIO& io) {
    io.Line("AddIPAddress");
}

void RunDeleteIPAddress(NetInfoIO& io) {
    io.Line("DeleteIPAddress");
}

void RunIpReleaseAddress(NetInfoIO& io) {
    io.Line("IpReleaseAddress");
}

void RunIpRenewAddress(NetInfoIO& io) {
    (void)io;
}

void RunGetIpNetTable(NetInfoIO& io) {
    io.Line("GetIpNetTable");
}

void RunCreateIpNetEntry(NetInfoIO& io) {
    io.Line("CreateIpNetEntry successful.");
}

void RunDeleteIpNetEntry(NetInfoIO& io) {
    io.Line("DeleteIpNetEntry successful.");
}

void RunFlushIpNetTable(NetInfoIO& io) {
    io.Line("FlushIpNetTable successful.");
}

void RunSendARP(NetInfoIO& io) {
    io.Line("SendARP");
}

void RunCreateProxyArpEntry(NetInfoIO& io) {
    io.Line("CreateProxyArpEntry");
}

void RunDeleteProxyArpEntry(NetInfoIO& io) {
    io.Line("DeleteProxyArpEntry");
}

void RunGetIpStatistics(NetInfoIO& io) {
    io.Line("GetIpStatistics");
}

void RunGetIcmpStatistics(NetInfoIO& io) {
    io.Line("GetIcmpStatistics");
}

void RunSetIpStatistics(NetInfoIO& io) {
    io.Line("GetIpStatistics");
}

void RunSetIpTTL(NetInfoIO& io) {
    io.Line("SetIpTTL");
}

void RunGetIpForwardTable(NetInfoIO& io) {
    io.Line("GetIpForwardTable");
}

void RunCreateIpForwardEntry(NetInfoIO& io) {
    io.Line("CreateIpForwardEntry");
}

void RunDeleteIpForwardEntry(NetInfoIO& io) {
    io.Line("DeleteIpForwardEntry");
}

void RunSetIpForwardEntry(NetInfoIO& io) {
    io.Line("SetIpForwardEntry");
}

void RunGetBestRoute(NetInfoIO& io) {
    io.Line("GetBestRoute");
}

void RunGetBestInterface(NetInfoIO& io) {
    io.Line("GetBestInterface");
}

void RunGetRTTAndHopCount(NetInfoIO& io) {
    io.Line("GetRTTAndHopCount");
}

void RunGetTcpStatistics(NetInfoIO& io) {
    io.Line("GetTcpStatistics");
}

void RunGetUdpStatistics(NetInfoIO& io) {
    io.Line("GetUdpStatistics");
}

void RunGetTcpTable(NetInfoIO& io) {
    io.Line("GetTcpTable");
}

void RunGetUdpTable(NetInfoIO& io) {
    io.Line("GetUdpTable");
}

void RunSetTcpEntry(NetInfoIO& io) {
    io.Line("SetTcpEntry");
}

void RunEnableRouter(NetInfoIO& io) {
    io.Line("EnableRouter");
}

void RunUnenableRouter(NetInfoIO& io) {
    io.Line("UnEnableRouter");
}

} // namespace

const std::vector<NetInfoCommand>& NetInfoCommands() {
    static const std::vector<NetInfoCommand> table{
        {"GetNetworkParams", "BtNetworkParams", "Network Configuration", RunGetNetworkParams},
        {"GetAdaptersInfo", "BtGetAdaptersInfo", "Managing Network Adapters", RunGetAdaptersInfo},
        {"GetAdapterIndex", "BtGetAdapterIndex", "Managing Network Adapters", RunGetAdapterIndex},
        {"GetUniDirAdapterInfo", "BtGetUniDirAdapterInfo", "Managing Network Adapters",
         RunGetUniDirAdapterInfo},
        {"GetMACaddress", "GetMACBt", "Managing Network Adapters", RunGetMACaddress},
        {"GetNumberOfInterfaces", "BtGetNumberOfInterfaces", "Managing Interfaces",
         RunGetNumberOfInterfaces},
        {"GetInterfaceInfo", "BtGetInterfaceInfo", "Managing Interfaces", RunGetInterfaceInfo},
        {"GetFriendlyIfIndex", "BtGetFriendlyIfIndex", "Managing Interfaces",
         RunGetFriendlyIfIndex},
        {"GetIfTable", "BtGetIfTable", "Managing Interfaces", RunGetIfTable},
        {"GetIfEntry", "BtGetIfEntry", "Managing Interfaces", RunGetIfEntry},
        {"SetIfEntry", "BtSetIfEntry", "Managing Interfaces", RunSetIfEntry},
        {"GetIpAddrTable", "BGetIpAddrTable", "IP Addresses", RunGetIpAddrTable},
        {"AddIPAddress", "BtAddIPAddress", "IP Addresses", RunAddIPAddress},
        {"DeleteIPAddress", "BtDeleteIPAddress", "IP Addresses", RunDeleteIPAddress},
        {"IpReleaseAddress", "BtIpReleaseAddress", "IP Addresses", RunIpReleaseAddress},
        {"IpRenewAddress", "BtIpRenewAddress", "IP Addresses", RunIpRenewAddress},
        {"GetIpNetTable", "BtGetIpNetTable", "Using the ARP", RunGetIpNetTable},
        {"CreateIpNetEntry", "BtCreateIpNetEntry", "Using the ARP", RunCreateIpNetEntry},
        {"DeleteIpNetEntry", "BtDeleteIpNetEntry", "Using the ARP", RunDeleteIpNetEntry},
        {"FlushIpNetTable", "BtFlushIpNetTable", "Using the ARP", RunFlushIpNetTable},
        {"SendARP", "BtSendARP", "Using the ARP", RunSendARP},
        {"CreateProxyArpEntry", "BtCreateProxyArpEntry", "Using the ARP", RunCreateProxyArpEntry},
        {"DeleteProxyArpEntry", "BtDeleteProxyArpEntry", "Using the ARP", RunDeleteProxyArpEntry},
        {"GetIpStatistics", "BtGetIpStatistics", "IP and ICMP", RunGetIpStatistics},
        {"GetIcmpStatistics", "BtGetIcmpStatistics", "IP and ICMP", RunGetIcmpStatistics},
        {"SetIpStatistics", "BtSetIpStatistics", "IP and ICMP", RunSetIpStatistics},
        {"SetIpTTL", "BtSetIpTTL", "IP and ICMP", RunSetIpTTL},
        {"GetIpForwardTable", "BtGetIpForwardTable", "Routing", RunGetIpForwardTable},
        {"CreateIpForwardEntry", "BtCreateIpForwardEntry", "Routing", RunCreateIpForwardEntry},
        {"DeleteIpForwardEntry", "BtDeleteIpForwardEntry", "Routing", RunDeleteIpForwardEntry},
        {"SetIpForwardEntry", "BtSetIpForwardEntry", "Routing", RunSetIpForwardEntry},
        {"GetBestRoute", "BtGetBestRoute", "Routing", RunGetBestRoute},
        {"GetBestInterface", "BtGetBestInterface", "Routing", RunGetBestInterface},
        {"GetRTTAndHopCount", "BtGetRTTAndHopCount", "Routing", RunGetRTTAndHopCount},
        {"GetTcpStatistics", "BtGetTcpStatistics", "TCP UDP Statistic", RunGetTcpStatistics},
        {"GetUdpStatistics", "BtGetUdpStatistics", "TCP UDP Statistic", RunGetUdpStatistics},
        {"GetTcpTable", "BtGetTcpTable", "TCP UDP Statistic", RunGetTcpTable},
        {"GetUdpTable", "BtGetUdpTable", "TCP UDP Statistic", RunGetUdpTable},
        {"SetTcpEntry", "BtSetTcpEntry", "TCP UDP Statistic", RunSetTcpEntry},
        {"EnableRouter", "BtEnableRouter", "Router", RunEnableRouter},
        {"UnenableRouter", "BtUnenableRouter", "Router", RunUnenableRouter},
    };
    return table;
}

} // namespace qordex::diag
