#include "diag/DnsCodec.h"

#include <algorithm>
#include <cstring>

namespace qordex::diag {
namespace {

void Put16(std::string& out, std::uint16_t v) {
    out += char(v >> 8);
    out += char(v & 0xFF);
}

std::uint16_t Get16(std::string_view msg, std::size_t pos) {
    return std::uint16_t((std::uint8_t(msg[pos]) << 8) | std::uint8_t(msg[pos + 1]));
}

std::uint32_t Get32(std::string_view msg, std::size_t pos) {
    return (std::uint32_t(Get16(msg, pos)) << 16) | Get16(msg, pos + 2);
}

// Reads type, class, TTL and RDLENGTH of a record whose name ended at `pos`;
// false when the ten bytes are not all there.
bool ReadRecordFields(std::string_view msg, std::size_t& pos, DnsAnswer& a, std::size_t& rdLength) {
    if (msg.size() - pos < 10)
        return false;
    a.type = Get16(msg, pos);
    a.cls = Get16(msg, pos + 2);
    a.ttl = Get32(msg, pos + 4);
    rdLength = Get16(msg, pos + 8);
    pos += 10;
    return true;
}

// The type-specific part of an answer whose RDATA is msg[start, end).
void DecodeRecordData(std::string_view msg, std::size_t start, std::size_t end, DnsAnswer& a,
                      DnsResponse& out) {
    const std::size_t length = end - start;
    switch (a.type) {
    case kDnsTypeA:
        // Four bytes or nothing: other lengths would show a wrong address.
        if (length == 4 && out.addresses.size() < std::size_t(kMaxDnsAnswers)) {
            std::uint32_t addr;
            std::memcpy(&addr, msg.data() + start, 4);
            a.tag = int(out.addresses.size());
            out.addresses.push_back(addr);
        }
        break;
    case kDnsTypePtr:
        if (out.hostnames.size() < std::size_t(kMaxDnsHostnames)) {
            std::size_t pos = start;
            std::string name;
            if (DecodeDnsName(msg, pos, end, name)) {
                a.tag = int(out.hostnames.size());
                out.hostnames.push_back(std::move(name));
            }
        }
        break;
    case kDnsTypeMx:
        // A preference and at least one byte of name.
        if (length >= 3 && out.mxExchange.size() < std::size_t(kMaxDnsAnswers)) {
            std::size_t pos = start + 2;
            std::string name;
            if (DecodeDnsName(msg, pos, end, name)) {
                a.tag = int(out.mxExchange.size());
                out.mxPreference.push_back(Get16(msg, start));
                out.mxExchange.push_back(std::move(name));
            }
        }
        break;
    case kDnsTypeLoc:
        if (length == out.locInfo.size())
            std::memcpy(out.locInfo.data(), msg.data() + start, length);
        else
            out.locInfo.fill(0);
        break;
    default:
        break;
    }
}

} // namespace

std::string BuildDnsRequestHeader(std::uint16_t id) {
    std::string out;
    out.reserve(kDnsHeaderSize);
    Put16(out, id);
    Put16(out, 0x0100); // opcode 0 (query), recursion desired
    Put16(out, 1);      // QDCOUNT
    Put16(out, 0);      // ANCOUNT
    Put16(out, 0);      // NSCOUNT
    Put16(out, 0);      // ARCOUNT
    return out;
}

std::string EncodeDnsName(std::string_view name) {
    if (name == ".")
        return std::string(1, '\0');
    if (!name.empty() && name.back() == '.')
        name.remove_suffix(1);
    std::string out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t dot = name.find('.', start);
        const std::string_view label = name.substr(
            start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
        if (label.empty())
            throw EDnsQueryException("Invalid host name \"" + std::string(name) +
                                     "\": empty label");
        if (label.size() > kMaxDnsLabel)
            throw EDnsQueryException("Invalid host name \"" + std::string(name) +
                                     "\": label longer than 63 bytes");
        out += char(label.size());
        out += label;
        if (dot == std::string_view::npos)
            break;
        start = dot + 1;
    }
    out += '\0';
    if (out.size() > kMaxDnsName)
        throw EDnsQueryException("Invalid host name: longer than 255 bytes once encoded");
    return out;
}

std::string BuildDnsQuestionSection(std::string_view name, std::uint16_t qtype) {
    std::string out = EncodeDnsName(name);
    Put16(out, qtype);
    Put16(out, kDnsClassIn);
    return out;
}

std::string BuildDnsRequest(std::uint16_t id, std::string_view name, std::uint16_t qtype) {
    std::string out = BuildDnsRequestHeader(id) + BuildDnsQuestionSection(name, qtype);
    // Cannot happen with a name of 255 bytes; kept as the rule a query obeys.
    if (out.size() > kMaxDnsQuery)
        throw EDnsQueryException("DNS request longer than 512 bytes");
    return out;
}

std::string ReverseDnsName(std::string_view dotted) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t dot = dotted.find('.', start);
        parts.push_back(dotted.substr(start, dot == std::string_view::npos ? std::string_view::npos
                                                                           : dot - start));
        if (dot == std::string_view::npos)
            break;
        start = dot + 1;
    }
    std::string out;
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
        out += *it;
        out += '.';
    }
    return out + "in-addr.arpa";
}

bool DecodeDnsName(std::string_view msg, std::size_t& pos, std::size_t limit, std::string& out) {
    limit = std::min(limit, msg.size());
    std::string name;
    std::size_t p = pos;
    std::size_t end = limit;
    std::size_t after = 0; // where the name ends in its own place
    bool jumped = false;
    int hops = 0;
    std::size_t encoded = 1; // the final zero byte
    for (;;) {
        if (p >= end)
            return false;
        const std::uint8_t len = std::uint8_t(msg[p]);
        if (len == 0) {
            if (!jumped)
                after = p + 1;
            break;
        }
        if (len >= 0xC0) {
            if (p + 1 >= end)
                return false;
            if (!jumped)
                after = p + 2;
            jumped = true;
            if (++hops > kMaxDnsPointerHops)
                return false;
            p = Get16(msg, p) & 0x3FFF;
            end = msg.size(); // earlier names may sit anywhere in the message
            continue;
        }
        encoded += 1 + len;
        if (encoded > kMaxDnsName || end - p - 1 < len)
            return false;
        name.append(msg.data() + p + 1, len);
        p += 1 + len;
        if (p < end && msg[p] != 0)
            name += '.';
    }
    pos = after;
    out = std::move(name);
    return true;
}

bool DecodeDnsResponse(std::string_view msg, DnsResponse& out) {
    if (msg.size() < kDnsHeaderSize)
        return false;
    const std::uint16_t flags = Get16(msg, 2);
    if (!(flags & 0x8000))
        return false; // a query, not a response

    DnsResponse r;
    r.buf.assign(msg);
    r.id = Get16(msg, 0);
    r.responseCode = flags & 0x0F;
    r.opCode = (flags >> 11) & 0x0F;
    r.authoritative = (flags >> 10) & 1;
    r.truncation = (flags >> 9) & 1;
    r.recursionAvailable = (flags >> 7) & 1;
    r.qdCount = Get16(msg, 4);
    r.anCount = Get16(msg, 6);
    r.nsCount = Get16(msg, 8);
    r.arCount = Get16(msg, 10);

    // Whatever is decoded before a fault stays; the rest is left out.
    auto decode = [&] {
        std::size_t pos = kDnsHeaderSize;
        // The first question is shown; any others are stepped over so that
        // the answers are read where they start.
        for (int q = 0; q < r.qdCount; ++q) {
            std::string name;
            if (!DecodeDnsName(msg, pos, msg.size(), name) || msg.size() - pos < 4)
                return;
            if (q == 0) {
                r.questionName = std::move(name);
                r.questionType = Get16(msg, pos);
                r.questionClass = Get16(msg, pos + 2);
            }
            pos += 4;
        }
        const int count = std::min<int>(r.anCount, kMaxDnsAnswers);
        for (int i = 0; i < count; ++i) {
            DnsAnswer a;
            std::size_t rdLength = 0;
            if (!DecodeDnsName(msg, pos, msg.size(), a.name) ||
                !ReadRecordFields(msg, pos, a, rdLength) || msg.size() - pos < rdLength)
                return; // a record running past the end ends the section
            const std::size_t end = pos + rdLength;
            DecodeRecordData(msg, pos, end, a, r);
            r.answers.push_back(std::move(a));
            pos = end;
        }
    };
    decode();
    out = std::move(r);
    return true;
}

std::size_t DnsTcpFramer::Feed(std::string_view bytes) {
    std::size_t used = 0;
    while (!haveLength_ && used < bytes.size()) {
        prefix_[prefixBytes_++] = std::uint8_t(bytes[used++]);
        if (prefixBytes_ == 2) {
            haveLength_ = true;
            expected_ = (std::size_t(prefix_[0]) << 8) | prefix_[1];
            body_.reserve(expected_);
        }
    }
    if (haveLength_) {
        const std::size_t take = std::min(bytes.size() - used, expected_ - body_.size());
        body_.append(bytes.data() + used, take);
        used += take;
    }
    return used;
}

std::size_t DnsTcpFramer::Missing() const {
    return haveLength_ ? expected_ - body_.size() : std::size_t(2 - prefixBytes_);
}

void DnsTcpFramer::Reset() {
    prefixBytes_ = 0;
    haveLength_ = false;
    expected_ = 0;
    body_.clear();
}

} // namespace qordex::diag
