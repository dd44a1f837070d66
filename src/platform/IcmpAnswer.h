#pragma once
// Reading an ICMP message that arrived while an echo request was in flight:
// is it the answer to that request, and what does it say?  A pure function
// over the bytes a socket delivered, shared by the echo service and
// Traceroute.
//
// A raw socket delivers whole IPv4 datagrams (RFC 791 header first) and
// every ICMP message of the host, with checksums unchecked; a datagram
// socket delivers the ICMP message alone, already checked by the kernel and
// carrying the identifier the kernel chose.  An error report (RFC 792)
// answers a request when it quotes it: the quoted IP header names its
// destination and the quoted first 8 bytes carry its identifier and sequence.

#include <cstddef>
#include <cstdint>

namespace qordex {

// IP status codes of an echo exchange.
enum IpStatus : std::uint32_t {
    ipSuccess = 0,
    ipBufTooSmall = 11001,
    ipDestNetUnreachable = 11002,
    ipDestHostUnreachable = 11003,
    ipDestProtUnreachable = 11004,
    ipDestPortUnreachable = 11005,
    ipNoResources = 11006,
    ipBadOption = 11007,
    ipHwError = 11008,
    ipPacketTooBig = 11009,
    ipReqTimedOut = 11010,
    ipBadReq = 11011,
    ipBadRoute = 11012,
    ipTtlExpiredTransit = 11013,
    ipTtlExpiredReassem = 11014,
    ipParamProblem = 11015,
    ipSourceQuench = 11016,
    ipOptionTooBig = 11017,
    ipBadDestination = 11018,
    ipAddrDeleted = 11019,
    ipSpecMtuChange = 11020,
    ipMtuChange = 11021,
    ipGeneralFailure = 11050,
    ipPending = 11255,
};

// The IP header flag that forbids fragmentation, as carried in `Flags`.
constexpr std::uint8_t kIpFlagDontFragment = 0x02;

// The request that an answer must match.
struct IcmpEchoKey {
    std::uint32_t dest = 0;       // destination of the request, network byte order
    std::uint16_t identifier = 0; // echo identifier
    std::uint16_t sequence = 0;   // echo sequence number
    bool checkIdentifier = true;  // false where the kernel owns the identifier
};

enum class IcmpFraming {
    IpDatagram, // the bytes start with the IPv4 header (raw socket)
    Message,    // the bytes start with the ICMP header (datagram socket)
};

enum class IcmpVerdict {
    Malformed,   // too short, a bad header length or a bad checksum
    Foreign,     // a well-formed message that does not answer the request
    EchoReply,   // the echo reply to the request
    ErrorReport, // an error report about the request (unreachable, time exceeded...)
};

struct IcmpAnswer {
    IcmpVerdict verdict = IcmpVerdict::Malformed;
    std::uint32_t status = 0; // IP status: 0 for a reply, else the report's (IcmpErrorStatus)
    // Of the datagram that carried the answer; known only with IpDatagram.
    std::uint32_t from = 0; // sender, network byte order
    std::uint8_t ttl = 0;
    std::uint8_t tos = 0;
    std::uint8_t flags = 0; // kIpFlagDontFragment when the datagram carried it
    // The echoed payload of a reply, as an offset and a length within the bytes.
    std::size_t dataOffset = 0;
    std::size_t dataSize = 0;
};

IcmpAnswer ReadIcmpAnswer(const std::uint8_t* data, std::size_t size, IcmpFraming framing,
                          const IcmpEchoKey& key);

// ICMP types an echo exchange deals with.
constexpr std::uint8_t kIcmpEchoReply = 0;
constexpr std::uint8_t kIcmpDestUnreachable = 3;
constexpr std::uint8_t kIcmpSourceQuench = 4;
constexpr std::uint8_t kIcmpEchoRequest = 8;
constexpr std::uint8_t kIcmpTimeExceeded = 11;
constexpr std::uint8_t kIcmpParameterProblem = 12;

// Maps the type and code of an ICMP error report to its IP status.
std::uint32_t IcmpErrorStatus(int type, int code);

// Internet checksum (RFC 1071) over `len` bytes.
std::uint16_t InternetChecksum(const void* data, std::size_t len);

} // namespace qordex
