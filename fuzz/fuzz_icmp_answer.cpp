// ReadIcmpAnswer on any bytes, read both as a raw socket's datagram and as a
// datagram socket's message: it must stay inside them, and a payload it
// points at must lie within them.  The first four bytes pick the key, so
// that the fuzzer can reach the matching paths.
#include "platform/IcmpAnswer.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qordex::IcmpEchoKey key;
    if (size >= 4) {
        key.identifier = std::uint16_t(data[0] << 8 | data[1]);
        key.sequence = std::uint16_t(data[2] << 8 | data[3]);
        data += 4;
        size -= 4;
    }
    if (size >= 20)
        std::memcpy(&key.dest, data + 16, 4); // lets a datagram to itself match
    // An exact-size copy, so that a read past the end is a sanitizer error.
    auto exact = std::make_unique<std::uint8_t[]>(size ? size : 1);
    std::memcpy(exact.get(), data, size);
    for (auto framing : {qordex::IcmpFraming::IpDatagram, qordex::IcmpFraming::Message}) {
        for (bool check : {true, false}) {
            key.checkIdentifier = check;
            const auto a = qordex::ReadIcmpAnswer(exact.get(), size, framing, key);
            if (a.dataOffset + a.dataSize > size)
                std::abort();
            if (a.verdict != qordex::IcmpVerdict::EchoReply && a.dataSize != 0)
                std::abort();
        }
    }
    return 0;
}
