#pragma once
// TICMP: one ICMP echo exchange at a time over the platform's echo service.
// It resolves its destination once per Address, builds the request payload,
// blocks for the answer and keeps the reply record and a status code.
// A TICMP belongs to the thread that uses it; it is never shared.

#include "platform/IcmpService.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace qordex::diag {

class TICMPException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The 45 characters that start every request payload.
extern const char kIcmpPayloadText[];
constexpr int kIcmpPayloadTextLength = 45;

// Default settings of a new TICMP.
constexpr int kIcmpDefaultSize = 56;
constexpr int kIcmpDefaultTimeout = 4000;
constexpr int kIcmpDefaultTTL = 64;

// Text of an IP status code ("Request timed out"; "ICMP error #n" when unknown).
std::string IcmpStatusText(std::uint32_t code);

// Dotted-decimal text of an IPv4 address in network byte order.
std::string DottedIp(std::uint32_t addr);

class TICMP {
public:
    // Opens a handle of the echo service.  Throws TICMPException("Unable to
    // get ping handle") when neither a datagram nor a raw ICMP socket can be
    // opened.  `kind` restricts the socket kind (tests use it).
    explicit TICMP(IcmpSocketKind kind = IcmpSocketKind::Auto);
    ~TICMP();
    TICMP(const TICMP&) = delete;
    TICMP& operator=(const TICMP&) = delete;

    // Destination as given: host name or dotted IPv4.  Writing a different
    // text forces a new resolution at the next Ping; the same text keeps it.
    const std::string& Address() const { return address_; }
    void SetAddress(const std::string& address);

    // Canonical name from the resolver, or Address itself when numeric.
    const std::string& HostName() const { return hostName_; }
    // Dotted-decimal form of the resolved address.
    const std::string& HostIP() const { return hostIP_; }

    // Payload bytes; 0..65500, anything else is refused by Ping with 11011.
    int Size() const { return size_; }
    void SetSize(int size) { size_ = size; }
    // Milliseconds to wait for the answer; a negative value counts as 0.
    int Timeout() const { return timeout_; }
    void SetTimeout(int timeout) { timeout_ = timeout; }
    // Time to live of the request; 1..255, anything else is refused by Ping with 11011.
    int TTL() const { return ttl_; }
    void SetTTL(int ttl) { ttl_ = ttl; }
    // IP header flags of the request (kIpFlagDontFragment); the low 8 bits are sent.
    int Flags() const { return flags_; }
    void SetFlags(int flags) { flags_ = flags; }

    // Copy of the reply record of the last exchange (its Data pointer is
    // cleared: the echoed bytes are gone with the exchange's buffer).
    const IcmpEchoReply& Reply() const { return reply_; }
    // Status of the last operation; read it when Ping returned 0.
    std::uint32_t ErrorCode() const { return errorCode_; }
    std::string ErrorString() const { return IcmpStatusText(errorCode_); }

    // The kind of socket the handle uses.
    IcmpSocketKind SocketKind() const;

    // One echo exchange: resolves Address when needed, sends one request and
    // blocks until an answer comes or Timeout passes.  Returns the number of
    // answers (0 or 1); an error report from a router counts as an answer.
    int Ping();

    // Hooks, run on the calling thread inside Ping.
    std::function<void(const std::string& msg)> OnDisplay;
    std::function<void()> OnEchoRequest;
    std::function<void(int replies)> OnEchoReply;

    // The request payload for a given size: the payload text, then spaces.
    static std::string BuildPayload(int size);

private:
    void Resolve();
    void Display(const std::string& msg);

    std::unique_ptr<IcmpEchoService> service_;
    std::string address_;
    bool resolved_ = false;
    std::uint32_t addr_ = 0xffffffffu; // resolved address; all ones: none usable
    std::string hostName_;
    std::string hostIP_;
    int size_ = kIcmpDefaultSize;
    int timeout_ = kIcmpDefaultTimeout;
    int ttl_ = kIcmpDefaultTTL;
    int flags_ = 0;
    IcmpEchoReply reply_;
    std::uint32_t errorCode_ = 0;
};

} // namespace qordex::diag
