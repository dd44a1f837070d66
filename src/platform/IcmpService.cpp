#include "platform/IcmpService.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iterator>
#include <linux/errqueue.h>
#include <linux/filter.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

namespace qordex {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kIcmpHeader = 8;
// Largest IP datagram; a larger message is cut by the kernel and cannot be ours.
constexpr std::size_t kMaxDatagram = 65535;

std::uint16_t Get16(const std::uint8_t* p) {
    return std::uint16_t(p[0] << 8 | p[1]);
}

void Put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = std::uint8_t(v >> 8);
    p[1] = std::uint8_t(v);
}

// Each raw socket of the process gets its own identifier, so that the
// workers of one window never take each other's replies.
std::uint16_t NextIdentifier() {
    static std::atomic<std::uint32_t> next{[] {
        std::random_device rd;
        return std::uint32_t(rd());
    }()};
    return std::uint16_t(next.fetch_add(0x9e37) ^ std::uint32_t(getpid()));
}

std::uint16_t FirstSequence() {
    static std::atomic<std::uint32_t> next{1};
    return std::uint16_t(next.fetch_add(0x1000));
}

std::uint32_t SendErrorStatus(int err) {
    switch (err) {
    case ENETUNREACH:
        return ipDestNetUnreachable;
    case EHOSTUNREACH:
        return ipDestHostUnreachable;
    case EMSGSIZE:
        return ipPacketTooBig;
    case ENOBUFS:
    case ENOMEM:
    case EAGAIN:
        return ipNoResources;
    case EACCES:
        return ipBadDestination; // a broadcast address, or a prohibit route
    default:
        // EINVAL from a blackhole route, EPERM from a firewall that drops the
        // request, and whatever else the system refuses it with.
        return ipGeneralFailure;
    }
}

// Receive room for a few whole 64 KiB answers (a late one may still sit in
// the queue when the next request's answer comes).
constexpr int kReceiveBuffer = 4 * 65536 + 65536;

// Attaches a socket filter that passes only the ICMP messages about requests
// carrying `ident`: echo replies with it, and error reports quoting a request
// with it.  A raw socket gets a copy of every ICMP message of the host; without
// the filter, the workers of one bulk run fill each other's queues with
// replies that are not theirs until their own are dropped.  A message too
// short to show an identifier is dropped by the filter too.
bool AttachIdentifierFilter(int fd, std::uint16_t ident) {
    constexpr std::uint16_t kLdxMsh = BPF_LDX | BPF_B | BPF_MSH; // X = 4 * ([k] & 0xf)
    constexpr std::uint16_t kLdbInd = BPF_LD | BPF_B | BPF_IND;  // A = byte [X + k]
    constexpr std::uint16_t kLdhInd = BPF_LD | BPF_H | BPF_IND;  // A = half-word [X + k]
    constexpr std::uint16_t kJeq = BPF_JMP | BPF_JEQ | BPF_K;
    sock_filter code[] = {
        /* 0 */ {kLdxMsh, 0, 0, 0},                   // X = outer IP header length
        /* 1 */ {kLdbInd, 0, 0, 0},                   // A = ICMP type
        /* 2 */ {kJeq, 4, 0, kIcmpEchoReply},         // -> 7
        /* 3 */ {kJeq, 5, 0, kIcmpDestUnreachable},   // -> 9
        /* 4 */ {kJeq, 4, 0, kIcmpSourceQuench},      // -> 9
        /* 5 */ {kJeq, 3, 0, kIcmpTimeExceeded},      // -> 9
        /* 6 */ {kJeq, 2, 10, kIcmpParameterProblem}, // -> 9, else drop
        /* 7 */ {kLdhInd, 0, 0, 4},                   // A = identifier of the reply
        /* 8 */ {kJeq, 7, 8, ident},                  // -> accept, else drop
        /* 9 */ {kLdbInd, 0, 0, 8},                   // A = first byte of the quoted IP header
        /* 10 */ {BPF_ALU | BPF_AND | BPF_K, 0, 0, 0x0f},
        /* 11 */ {BPF_ALU | BPF_LSH | BPF_K, 0, 0, 2}, // A = quoted IP header length
        /* 12 */ {BPF_ALU | BPF_ADD | BPF_X, 0, 0, 0},
        /* 13 */ {BPF_MISC | BPF_TAX, 0, 0, 0}, // X = both header lengths
        /* 14 */ {kLdhInd, 0, 0, 8 + 4},        // A = identifier of the quoted request
        /* 15 */ {kJeq, 0, 1, ident},           // -> accept, else drop
        /* 16 */ {BPF_RET | BPF_K, 0, 0, 0xffffffffu},
        /* 17 */ {BPF_RET | BPF_K, 0, 0, 0},
    };
    sock_fprog program{static_cast<unsigned short>(std::size(code)), code};
    if (setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0)
        return false;
    // Between its creation and the filter the socket took in everybody's
    // answers, enough to fill its queue; nothing of ours can be among them,
    // since nothing was sent yet.
    char scrap[1];
    while (recv(fd, scrap, sizeof scrap, MSG_DONTWAIT | MSG_TRUNC) >= 0) {
    }
    return true;
}

// Room for the answers; above the system's cap only with CAP_NET_ADMIN.
void SizeReceiveBuffer(int fd) {
    int size = kReceiveBuffer;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

int MsLeft(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left < 0)
        return 0;
    return left > 0x7fffffff ? 0x7fffffff : int(left);
}

} // namespace

std::unique_ptr<IcmpEchoService> IcmpEchoService::Open(IcmpSocketKind want, int* error) {
    int lastErr = 0;
    if (want != IcmpSocketKind::Raw) {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP);
        if (fd >= 0) {
            int on = 1;
            // Error reports (time exceeded, unreachable) come through the error
            // queue, with the node that sent them; the TTL of replies as ancillary data.
            setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
            setsockopt(fd, IPPROTO_IP, IP_RECVTTL, &on, sizeof on);
            return std::unique_ptr<IcmpEchoService>(
                new IcmpEchoService(fd, IcmpSocketKind::Datagram));
        }
        lastErr = errno;
    }
    if (want != IcmpSocketKind::Datagram) {
        int fd = socket(AF_INET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP);
        if (fd >= 0) {
            // Only the answers we may be waiting for; the kernel filters out the
            // rest of the host's ICMP traffic (the option lists what to block).
            icmp_filter filter{};
            filter.data = ~((1u << kIcmpEchoReply) | (1u << kIcmpDestUnreachable) |
                            (1u << kIcmpSourceQuench) | (1u << kIcmpTimeExceeded) |
                            (1u << kIcmpParameterProblem));
            setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
            return std::unique_ptr<IcmpEchoService>(new IcmpEchoService(fd, IcmpSocketKind::Raw));
        }
        lastErr = errno;
    }
    if (error)
        *error = lastErr;
    return nullptr;
}

IcmpEchoService::IcmpEchoService(int fd, IcmpSocketKind kind)
    : fd_(fd), kind_(kind), ident_(NextIdentifier()), sequence_(FirstSequence()),
      packet_(kMaxDatagram) {
    SizeReceiveBuffer(fd_);
    // The kernel already hands a datagram socket only the answers to its own
    // identifier.  Without the filter a raw socket still works, only slower.
    if (kind_ == IcmpSocketKind::Raw)
        (void)AttachIdentifierFilter(fd_, ident_);
}

IcmpEchoService::~IcmpEchoService() {
    if (fd_ >= 0)
        close(fd_);
}

bool IcmpEchoService::ApplyOptions(const IpOptionInformation& options) {
    int ttl = options.Ttl;
    if (ttl != lastTtl_) {
        if (setsockopt(fd_, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl) != 0)
            return false;
        lastTtl_ = ttl;
    }
    int tos = options.Tos;
    if (tos != lastTos_) {
        if (setsockopt(fd_, IPPROTO_IP, IP_TOS, &tos, sizeof tos) != 0)
            return false;
        lastTos_ = tos;
    }
    int df = (options.Flags & kIpFlagDontFragment) ? 1 : 0;
    if (df != lastDf_) {
        int mode = df ? IP_PMTUDISC_DO : IP_PMTUDISC_DONT;
        if (setsockopt(fd_, IPPROTO_IP, IP_MTU_DISCOVER, &mode, sizeof mode) != 0)
            return false;
        lastDf_ = df;
    }
    return true;
}

std::uint32_t IcmpEchoService::SendEcho(std::uint32_t dest, const void* data, std::uint16_t size,
                                        const IpOptionInformation* options, void* replyBuffer,
                                        std::uint32_t replySize, std::uint32_t timeoutMs) {
    status_ = ipSuccess;
    if (!replyBuffer || replySize < kIcmpReplyOverhead) {
        status_ = ipBufTooSmall;
        return 0;
    }
    if (size > kIcmpMaxPayload || (size && !data)) {
        status_ = ipBadReq;
        return 0;
    }
    IpOptionInformation opts;
    opts.Ttl = 64;
    if (options)
        opts = *options;
    if (opts.Ttl == 0) {
        status_ = ipBadOption;
        return 0;
    }
    if (!ApplyOptions(opts)) {
        status_ = ipBadOption;
        return 0;
    }

    ++sequence_;
    std::vector<std::uint8_t> request(kIcmpHeader + size);
    request[0] = kIcmpEchoRequest;
    request[1] = 0;
    Put16(&request[4], ident_); // the kernel puts its own on a datagram socket
    Put16(&request[6], sequence_);
    if (size)
        std::memcpy(&request[kIcmpHeader], data, size);
    Put16(&request[2], InternetChecksum(request.data(), request.size()));

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = dest;

    // Answers to earlier requests that came after their timeout are still
    // queued; the sequence number tells them apart, so they are only skipped.
    const Clock::time_point sent = Clock::now();
    const Clock::time_point deadline = sent + std::chrono::milliseconds(timeoutMs);
    ssize_t sentBytes;
    do
        sentBytes = sendto(fd_, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to),
                           sizeof to);
    while (sentBytes < 0 && errno == EINTR);
    if (sentBytes < 0) {
        // Nothing went out, so no answer can come: waiting the timeout would
        // only disguise the refusal as a loss on the way.
        status_ = SendErrorStatus(errno);
        return 0;
    }

    IcmpEchoReply record;
    const std::uint8_t* echoData = nullptr;
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        int n = poll(&p, 1, MsLeft(deadline));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            status_ = ipGeneralFailure;
            return 0;
        }
        if (n == 0) {
            status_ = ipReqTimedOut;
            return 0;
        }
        bool matched = false;
        if (p.revents & POLLERR) {
            if (kind_ == IcmpSocketKind::Datagram) {
                int r = 0;
                while (!matched && (r = ReadErrorQueue(dest, record)) != 0) {
                    if (r == 1)
                        matched = true;
                    else if (r == -1)
                        return 0; // a local failure, status_ says which
                }
            }
            // The pending socket error only repeats what the error queue or the
            // raw copy of the ICMP message tells; clear it.
            int soErr = 0;
            socklen_t len = sizeof soErr;
            getsockopt(fd_, SOL_SOCKET, SO_ERROR, &soErr, &len);
        }
        while (!matched && (p.revents & POLLIN)) {
            int r = ReadAnswer(dest, record, echoData);
            if (r == 1)
                matched = true;
            else if (r == 0)
                break; // nothing more to read
        }
        if (!matched)
            continue;

        record.RoundTripTime = std::uint32_t(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent).count());
        if (replySize < kIcmpReplyOverhead + record.DataSize) {
            status_ = ipBufTooSmall;
            return 0;
        }
        auto* out = static_cast<std::uint8_t*>(replyBuffer);
        if (record.DataSize) {
            std::memcpy(out + kIcmpReplyOverhead, echoData, record.DataSize);
            record.Data = out + kIcmpReplyOverhead;
        }
        std::memcpy(out, &record, sizeof record);
        status_ = record.Status;
        return 1;
    }
}

int IcmpEchoService::ReadAnswer(std::uint32_t dest, IcmpEchoReply& record,
                                const std::uint8_t*& echoData) {
    sockaddr_in from{};
    iovec iov{packet_.data(), packet_.size()};
    alignas(cmsghdr) char control[256];
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(fd_, &msg, MSG_DONTWAIT);
    if (n < 0)
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    if (msg.msg_flags & MSG_TRUNC)
        return -1;
    record = IcmpEchoReply{};
    IcmpEchoKey key;
    key.dest = dest;
    key.identifier = ident_;
    key.sequence = sequence_;
    // The kernel puts its own identifier on a datagram socket's requests and
    // hands over only the replies that carry it.
    key.checkIdentifier = kind_ == IcmpSocketKind::Raw;
    const IcmpFraming framing =
        kind_ == IcmpSocketKind::Raw ? IcmpFraming::IpDatagram : IcmpFraming::Message;
    const IcmpAnswer answer = ReadIcmpAnswer(packet_.data(), std::size_t(n), framing, key);
    if (answer.verdict != IcmpVerdict::EchoReply && answer.verdict != IcmpVerdict::ErrorReport)
        return -1;
    record.Status = answer.status;
    record.DataSize = std::uint16_t(answer.dataSize);
    echoData = packet_.data() + answer.dataOffset;
    record.Options.Ttl = answer.ttl;
    record.Options.Tos = answer.tos;
    record.Options.Flags = answer.flags;
    record.Address = answer.from;
    if (framing == IcmpFraming::Message) {
        // Without an IP header the sender comes with the message, its TTL as
        // ancillary data.
        record.Address = from.sin_addr.s_addr;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL) {
                int ttl = 0;
                std::memcpy(&ttl, CMSG_DATA(c), sizeof ttl);
                record.Options.Ttl = std::uint8_t(ttl);
            }
    }
    return 1;
}

int IcmpEchoService::ReadErrorQueue(std::uint32_t dest, IcmpEchoReply& record) {
    sockaddr_in orig{};
    std::uint8_t quoted[64];
    iovec iov{quoted, sizeof quoted};
    alignas(cmsghdr) char control[512];
    msghdr msg{};
    msg.msg_name = &orig;
    msg.msg_namelen = sizeof orig;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(fd_, &msg, MSG_ERRQUEUE | MSG_DONTWAIT);
    if (n < 0)
        return 0;
    // The queued data is the request the report is about, from its ICMP header on.
    if (n < kIcmpHeader || quoted[0] != kIcmpEchoRequest || Get16(quoted + 6) != sequence_ ||
        orig.sin_addr.s_addr != dest)
        return 2;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR)
            continue;
        auto* ee = reinterpret_cast<sock_extended_err*>(CMSG_DATA(c));
        if (ee->ee_origin == SO_EE_ORIGIN_ICMP) {
            record = IcmpEchoReply{};
            auto* offender = reinterpret_cast<sockaddr_in*>(SO_EE_OFFENDER(ee));
            record.Address = offender->sin_family == AF_INET ? offender->sin_addr.s_addr : 0;
            record.Status = IcmpErrorStatus(ee->ee_type, ee->ee_code);
            return 1;
        }
        if (ee->ee_origin == SO_EE_ORIGIN_LOCAL) {
            status_ = SendErrorStatus(int(ee->ee_errno));
            return -1;
        }
    }
    return 2;
}

} // namespace qordex
