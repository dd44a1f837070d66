#pragma once
// DNS messages written byte by byte for the tests, including the broken
// ones that no server sends.

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace qordex::test {

class DnsMsg {
public:
    // A header; flags 0x8180 is a response with recursion desired and available.
    DnsMsg& Header(std::uint16_t id, std::uint16_t flags, std::uint16_t qd, std::uint16_t an,
                   std::uint16_t ns = 0, std::uint16_t ar = 0) {
        return U16(id).U16(flags).U16(qd).U16(an).U16(ns).U16(ar);
    }
    // A name written as labels ("www.example.com" -> 3www7example3com0).
    DnsMsg& Name(std::string_view dotted) {
        std::size_t start = 0;
        while (start < dotted.size()) {
            std::size_t dot = dotted.find('.', start);
            if (dot == std::string_view::npos)
                dot = dotted.size();
            bytes += char(dot - start);
            bytes += dotted.substr(start, dot - start);
            start = dot + 1;
        }
        bytes += '\0';
        return *this;
    }
    // Labels without the final zero byte, for a name that ends in a pointer.
    DnsMsg& Labels(std::string_view dotted) {
        Name(dotted);
        bytes.pop_back();
        return *this;
    }
    DnsMsg& Pointer(std::uint16_t offset) { return U16(std::uint16_t(0xC000 | offset)); }
    DnsMsg& Question(std::string_view name, std::uint16_t type, std::uint16_t cls = 1) {
        return Name(name).U16(type).U16(cls);
    }
    // Type, class, TTL and RDLENGTH of a record whose owner name was written.
    DnsMsg& Fields(std::uint16_t type, std::uint32_t ttl, std::uint16_t rdLength,
                   std::uint16_t cls = 1) {
        return U16(type).U16(cls).U32(ttl).U16(rdLength);
    }
    // An A record owned by the name at `owner` (a pointer).
    DnsMsg& A(std::uint16_t owner, std::uint32_t ttl, std::string_view dotted4) {
        Pointer(owner).Fields(1, ttl, 4);
        unsigned a, b, c, d;
        std::sscanf(std::string(dotted4).c_str(), "%u.%u.%u.%u", &a, &b, &c, &d);
        return Byte(std::uint8_t(a))
            .Byte(std::uint8_t(b))
            .Byte(std::uint8_t(c))
            .Byte(std::uint8_t(d));
    }
    DnsMsg& U16(std::uint16_t v) { return Byte(std::uint8_t(v >> 8)).Byte(std::uint8_t(v)); }
    DnsMsg& U32(std::uint32_t v) { return U16(std::uint16_t(v >> 16)).U16(std::uint16_t(v)); }
    DnsMsg& Byte(std::uint8_t v) {
        bytes += char(v);
        return *this;
    }
    DnsMsg& Raw(std::string_view s) {
        bytes += s;
        return *this;
    }
    std::size_t Size() const { return bytes.size(); }
    operator std::string_view() const { return bytes; }

    std::string bytes;
};

// Offset of the question name right after the 12-byte header.
constexpr std::uint16_t kQName = 12;

inline std::string Hex(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

} // namespace qordex::test
