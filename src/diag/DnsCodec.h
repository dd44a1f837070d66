#pragma once
// DNS messages as bytes (RFC 1035 section 4): the query the engine sends and
// the decoding of a response into the fields the DNS tool prints.  No socket:
// the engine, the tests and the fuzzer share these functions.

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qordex::diag {

// Misuse of the DNS engine (a protocol text it does not know, a name it
// cannot put into a query).
class EDnsQueryException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Query types the engine asks for, and the one more it decodes.
constexpr std::uint16_t kDnsTypeA = 1;
constexpr std::uint16_t kDnsTypeCName = 5;
constexpr std::uint16_t kDnsTypePtr = 12;
constexpr std::uint16_t kDnsTypeMx = 15;
constexpr std::uint16_t kDnsTypeLoc = 29;
constexpr std::uint16_t kDnsClassIn = 1;

constexpr std::size_t kDnsHeaderSize = 12;
// The largest message a length prefix can announce over TCP; UDP datagrams
// are taken whole up to the same size.
constexpr std::size_t kMaxDnsMessage = 65535;
// A query never exceeds the classic UDP payload.
constexpr std::size_t kMaxDnsQuery = 512;
// RFC 1035 section 2.3.4: labels of 63 bytes, names of 255 bytes encoded.
constexpr std::size_t kMaxDnsLabel = 63;
constexpr std::size_t kMaxDnsName = 255;
// Compression pointers followed while decoding one name.  A sound name
// never needs more than one per label.
constexpr int kMaxDnsPointerHops = 127;

// Decoded records kept per response.
constexpr int kMaxDnsAnswers = 50;
constexpr int kMaxDnsHostnames = 10;

// The 12-byte header: ID, flags 0x0100 (standard query, recursion desired),
// one question, no records.
std::string BuildDnsRequestHeader(std::uint16_t id);

// A name as labels: each part between dots as a length byte and its bytes,
// then a zero byte.  A trailing dot adds nothing; "." alone is the root.
// Throws EDnsQueryException for an empty name or label, a label over 63
// bytes or a name over 255 encoded bytes.
std::string EncodeDnsName(std::string_view name);

// The question after the header: the encoded name, QTYPE, QCLASS IN.
std::string BuildDnsQuestionSection(std::string_view name, std::uint16_t qtype);

// The whole query; throws as EncodeDnsName does.
std::string BuildDnsRequest(std::uint16_t id, std::string_view name, std::uint16_t qtype);

// The reverse-lookup name of a dotted address: its parts in reverse order
// followed by ".in-addr.arpa" (192.0.2.1 gives 1.2.0.192.in-addr.arpa).
std::string ReverseDnsName(std::string_view dotted);

// Decodes the name at `pos`.  Its own labels must end before `limit`; a
// compression pointer may point anywhere in the message, and ends the name
// (RFC 1035 section 4.1.4).  On success `pos` is the first byte after the
// name where it stands.  Fails, leaving `pos` alone, when a read would leave
// the message, when pointers loop (more than kMaxDnsPointerHops) or when the
// name grows past kMaxDnsName encoded bytes.
bool DecodeDnsName(std::string_view msg, std::size_t& pos, std::size_t limit, std::string& out);

struct DnsAnswer {
    std::string name;
    int type = 0;
    int cls = 0;
    std::uint32_t ttl = 0;
    int tag = -1; // index into the type's own array, -1 for none
};

// Everything the engine decodes from one response.
struct DnsResponse {
    std::string buf; // the raw response
    int id = 0;
    int responseCode = 0; // RCODE, the low 4 bits of the flags
    int opCode = 0;       // bits 11 to 14
    int authoritative = 0;
    int truncation = 0;
    int recursionAvailable = 0;
    int qdCount = 0, anCount = 0, nsCount = 0, arCount = 0;
    std::string questionName;
    int questionType = 0, questionClass = 0;
    std::vector<DnsAnswer> answers;         // the answer records decoded, at most kMaxDnsAnswers
    std::vector<std::uint32_t> addresses;   // A records, network byte order
    std::vector<int> mxPreference;          // MX records ...
    std::vector<std::string> mxExchange;    // ... and their exchanges
    std::vector<std::string> hostnames;     // PTR records, at most kMaxDnsHostnames
    std::array<std::uint8_t, 16> locInfo{}; // the last LOC record of 16 bytes
};

// Decodes a response.  Returns false, leaving `out` alone, for bytes that
// are no response (under 12 bytes, or the QR bit clear).  A malformed part
// ends the decoding: what came before it is kept, so a hostile message can
// never make it read outside `msg` or loop.
bool DecodeDnsResponse(std::string_view msg, DnsResponse& out);

// Collects one message from a TCP stream: a two-byte length, high byte
// first, then that many bytes, from reads of any size.
class DnsTcpFramer {
public:
    // Takes what belongs to the current message; returns the bytes used.
    std::size_t Feed(std::string_view bytes);
    bool Complete() const { return haveLength_ && body_.size() == expected_; }
    // Bytes the current message still needs (2 while the length is unknown).
    std::size_t Missing() const;
    const std::string& Message() const { return body_; }
    void Reset();

private:
    std::uint8_t prefix_[2] = {};
    int prefixBytes_ = 0;
    bool haveLength_ = false; // the prefix was read
    std::size_t expected_ = 0;
    std::string body_; // at most kMaxDnsMessage: the prefix cannot say more
};

} // namespace qordex::diag
