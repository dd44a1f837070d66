// The DNS response decoder on any bytes: it must stay inside the message,
// end on looping pointers, keep its record limits and never produce a name
// longer than a name can be.  The same bytes also go through the TCP
// framing in pieces and into the dump lines.
#include "diag/DnsCodec.h"
#include "diag/DnsReport.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

using namespace qordex::diag;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view msg(reinterpret_cast<const char*>(data), size);
    DnsResponse r;
    if (DecodeDnsResponse(msg, r)) {
        if (r.answers.size() > std::size_t(kMaxDnsAnswers) ||
            r.hostnames.size() > std::size_t(kMaxDnsHostnames) ||
            r.addresses.size() > r.answers.size() || r.mxExchange.size() != r.mxPreference.size() ||
            r.buf != msg)
            std::abort();
        // 255 bytes encoded hold at most 254 bytes of text with the dots.
        if (r.questionName.size() >= kMaxDnsName)
            std::abort();
        for (const DnsAnswer& a : r.answers)
            if (a.name.size() >= kMaxDnsName || a.tag < -1 || a.tag >= kMaxDnsAnswers)
                std::abort();
        for (const std::string& h : r.hostnames)
            if (h.size() >= kMaxDnsName)
                std::abort();
    } else if (size >= kDnsHeaderSize && (data[2] & 0x80)) {
        std::abort(); // a response of 12 bytes or more is always taken
    }
    // Every start offset as a name, within the message.
    for (std::size_t pos = 0; pos < size && pos < 64; ++pos) {
        std::size_t p = pos;
        std::string name;
        if (DecodeDnsName(msg, p, size, name) &&
            (p <= pos || p > size || name.size() >= kMaxDnsName))
            std::abort();
    }
    // The bytes as a TCP stream in pieces of the first byte's size.
    DnsTcpFramer framer;
    const std::size_t piece = size ? data[0] % 7 + 1 : 1;
    std::size_t used = 0;
    for (std::size_t at = 0; at < size && !framer.Complete(); at += piece)
        used += framer.Feed(msg.substr(at, piece));
    if (framer.Complete() && used != framer.Message().size() + 2)
        std::abort();
    if (DnsDumpLines(msg).size() != 1 + (size + 15) / 16)
        std::abort();
    return 0;
}
