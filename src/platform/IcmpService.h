#pragma once
// The ICMP echo service: one echo request out, the first ICMP answer to it
// back, as a reply record with an IP status code.
//
// On Linux it runs over an ICMP datagram socket where the
// net.ipv4.ping_group_range sysctl admits the caller's group, else over a raw
// socket (root or CAP_NET_RAW).  The two differ in how replies are matched:
// the kernel rewrites the identifier of a datagram socket's requests and
// filters replies by it, so there the sequence number alone tells our answer;
// a raw socket sees every ICMP message of the host, so there identifier and
// sequence must both match, also inside the quoted header of error reports,
// and our own requests seen on loopback are skipped.

#include "platform/IcmpAnswer.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace qordex {

// Largest payload an echo request may carry (the rest of the 64 KiB IP
// datagram is taken by the IP and ICMP headers).
constexpr std::uint32_t kIcmpMaxPayload = 65500;

// Option block of a request or a reply.
struct IpOptionInformation {
    std::uint8_t Ttl = 0;
    std::uint8_t Tos = 0;
    std::uint8_t Flags = 0;       // kIpFlagDontFragment
    std::uint8_t OptionsSize = 0; // IP options are neither sent nor reported
    std::uint8_t* OptionsData = nullptr;
};

// One reply record, as stored at the start of the reply buffer.
struct IcmpEchoReply {
    std::uint32_t Address = 0;       // IPv4 of the node that answered, network byte order
    std::uint32_t Status = 0;        // IpStatus
    std::uint32_t RoundTripTime = 0; // ms between sending and receiving
    std::uint16_t DataSize = 0;      // bytes echoed back; 0 for error reports
    std::uint16_t Reserved = 0;
    void* Data = nullptr;        // the echoed bytes, inside the reply buffer
    IpOptionInformation Options; // TTL, type of service and flags of the answer
};

// Room the reply buffer needs besides the echoed data.
constexpr std::size_t kIcmpReplyOverhead = sizeof(IcmpEchoReply);

enum class IcmpSocketKind {
    Auto,     // datagram where allowed, else raw
    Datagram, // only the unprivileged ICMP datagram socket
    Raw,      // only the raw socket
};

class IcmpEchoService {
public:
    // Opens a socket of the wanted kind; null when none can be opened, with
    // the errno of the last attempt in `error` when given.
    static std::unique_ptr<IcmpEchoService> Open(IcmpSocketKind want = IcmpSocketKind::Auto,
                                                 int* error = nullptr);
    ~IcmpEchoService();
    IcmpEchoService(const IcmpEchoService&) = delete;
    IcmpEchoService& operator=(const IcmpEchoService&) = delete;

    // The kind actually opened (Datagram or Raw).
    IcmpSocketKind Kind() const { return kind_; }

    // Sends one echo request to `dest` (network byte order) carrying
    // `size` bytes of `data`, with the TTL, type of service and flags of
    // `options` (defaults when null), and waits up to `timeoutMs` for the
    // first ICMP message that answers it.  Returns the number of reply
    // records stored in `replyBuffer` (0 or 1); Status() explains a 0.
    // The buffer needs kIcmpReplyOverhead + the echoed bytes.
    std::uint32_t SendEcho(std::uint32_t dest, const void* data, std::uint16_t size,
                           const IpOptionInformation* options, void* replyBuffer,
                           std::uint32_t replySize, std::uint32_t timeoutMs);

    // Status of the last SendEcho.
    std::uint32_t Status() const { return status_; }

private:
    IcmpEchoService(int fd, IcmpSocketKind kind);

    bool ApplyOptions(const IpOptionInformation& options);
    // Reads one pending message: 1 when it answers the request in flight
    // (record filled), -1 when it was something else, 0 when none was waiting.
    int ReadAnswer(std::uint32_t dest, IcmpEchoReply& record, const std::uint8_t*& echoData);
    // Reads one report of the error queue: 1 when it answers the request in
    // flight, -1 for a local failure of it (status_ set), 2 for anything else,
    // 0 when the queue is empty.
    int ReadErrorQueue(std::uint32_t dest, IcmpEchoReply& record);

    int fd_ = -1;
    IcmpSocketKind kind_;
    std::uint16_t ident_ = 0;    // identifier of a raw socket's requests
    std::uint16_t sequence_ = 0; // sequence number of the request in flight
    std::uint32_t status_ = ipSuccess;
    int lastTtl_ = -1, lastTos_ = -1, lastDf_ = -1; // options applied to the socket
    std::vector<std::uint8_t> packet_;              // receive buffer, one whole IP datagram
};

} // namespace qordex
