// The Encoder / Decoder's uu mode.
#include "CodecFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return FuzzCodec(data, size, qordex::mail::cmUUencode);
}
