#pragma once
// One codec mode under the fuzzer: its decoder must take any text, and what
// its encoder writes must decode to the same bytes.

#include "mail/UUEnc.h"

#include <cstdint>
#include <cstdlib>
#include <string>

inline int FuzzCodec(const std::uint8_t* data, std::size_t size, int mode) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    (void)qordex::mail::DecodeString(input, mode);
    if (qordex::mail::DecodeString(qordex::mail::EncodeString(input, mode), mode) != input)
        std::abort();
    return 0;
}
