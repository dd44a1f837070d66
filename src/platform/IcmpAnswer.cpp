#include "platform/IcmpAnswer.h"

#include <cstring>

namespace qordex {
namespace {

constexpr std::size_t kIcmpHeader = 8;
constexpr std::size_t kMinIpHeader = 20;
constexpr std::uint8_t kProtocolIcmp = 1;

std::uint16_t Get16(const std::uint8_t* p) {
    return std::uint16_t(p[0] << 8 | p[1]);
}

std::uint32_t Get32Raw(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v; // stays in network byte order
}

// Length of a well-formed IPv4 header at `ip`, or 0.
std::size_t IpHeaderLength(const std::uint8_t* ip, std::size_t size) {
    if (size < kMinIpHeader || (ip[0] >> 4) != 4)
        return 0;
    const std::size_t ihl = std::size_t(ip[0] & 0x0f) * 4;
    return ihl >= kMinIpHeader && ihl <= size ? ihl : 0;
}

bool IsErrorReport(std::uint8_t type) {
    return type == kIcmpDestUnreachable || type == kIcmpSourceQuench || type == kIcmpTimeExceeded ||
           type == kIcmpParameterProblem;
}

bool KeyMatches(const IcmpEchoKey& key, const std::uint8_t* echo) {
    return (!key.checkIdentifier || Get16(echo + 4) == key.identifier) &&
           Get16(echo + 6) == key.sequence;
}

} // namespace

std::uint16_t InternetChecksum(const void* data, std::size_t len) {
    auto* p = static_cast<const std::uint8_t*>(data);
    std::uint32_t sum = 0;
    for (; len > 1; len -= 2, p += 2)
        sum += Get16(p);
    if (len)
        sum += std::uint32_t(p[0]) << 8;
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return std::uint16_t(~sum);
}

std::uint32_t IcmpErrorStatus(int type, int code) {
    switch (type) {
    case kIcmpDestUnreachable:
        switch (code) {
        case 0:  // network
        case 6:  // network unknown
        case 9:  // network administratively prohibited
        case 11: // network unreachable for the type of service
            return ipDestNetUnreachable;
        case 2:
            return ipDestProtUnreachable;
        case 3:
            return ipDestPortUnreachable;
        case 4:
            return ipPacketTooBig; // fragmentation needed and DF set
        case 5:
            return ipBadRoute; // source route failed
        default:
            return ipDestHostUnreachable;
        }
    case kIcmpSourceQuench:
        return ipSourceQuench;
    case kIcmpTimeExceeded:
        return code == 1 ? ipTtlExpiredReassem : ipTtlExpiredTransit;
    case kIcmpParameterProblem:
        return ipParamProblem;
    default:
        return ipGeneralFailure;
    }
}

IcmpAnswer ReadIcmpAnswer(const std::uint8_t* data, std::size_t size, IcmpFraming framing,
                          const IcmpEchoKey& key) {
    IcmpAnswer answer;
    const std::uint8_t* icmp = data;
    std::size_t icmpLen = size;
    if (framing == IcmpFraming::IpDatagram) {
        const std::size_t ihl = IpHeaderLength(data, size);
        if (ihl == 0 || data[9] != kProtocolIcmp || size < ihl + kIcmpHeader)
            return answer;
        icmp = data + ihl;
        icmpLen = size - ihl;
        // A raw socket sees datagrams before the kernel checks them.
        if (InternetChecksum(icmp, icmpLen) != 0)
            return answer;
        answer.from = Get32Raw(data + 12);
        answer.tos = data[1];
        answer.ttl = data[8];
        answer.flags = (data[6] & 0x40) ? kIpFlagDontFragment : 0;
    } else if (size < kIcmpHeader) {
        return answer;
    }

    const std::uint8_t type = icmp[0];
    if (type == kIcmpEchoReply) {
        answer.verdict = KeyMatches(key, icmp) ? IcmpVerdict::EchoReply : IcmpVerdict::Foreign;
        if (answer.verdict == IcmpVerdict::EchoReply) {
            answer.status = ipSuccess;
            answer.dataOffset = std::size_t(icmp - data) + kIcmpHeader;
            answer.dataSize = icmpLen - kIcmpHeader;
        }
        return answer;
    }
    if (!IsErrorReport(type)) {
        // Our own requests seen on loopback, and everything else.
        answer.verdict = IcmpVerdict::Foreign;
        return answer;
    }
    // The report quotes the IP header and the first 8 bytes of the datagram
    // it is about: our echo request, if it is about ours.
    const std::uint8_t* inner = icmp + kIcmpHeader;
    const std::size_t innerLen = icmpLen - kIcmpHeader;
    const std::size_t innerIhl = IpHeaderLength(inner, innerLen);
    if (innerIhl == 0 || innerLen < innerIhl + kIcmpHeader)
        return answer;
    const std::uint8_t* quoted = inner + innerIhl;
    if (inner[9] != kProtocolIcmp || Get32Raw(inner + 16) != key.dest ||
        quoted[0] != kIcmpEchoRequest || !KeyMatches(key, quoted)) {
        answer.verdict = IcmpVerdict::Foreign;
        return answer;
    }
    answer.verdict = IcmpVerdict::ErrorReport;
    answer.status = IcmpErrorStatus(type, icmp[1]);
    return answer;
}

} // namespace qordex
