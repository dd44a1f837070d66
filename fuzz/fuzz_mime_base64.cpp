// DecodeBase64 on any text (it validates nothing, so it must bound every read),
// and the round trip through EncodeBase64.
#include "mail/MimeUtil.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An exact-size copy, so that a read past the end is a sanitizer error.
    auto exact = std::make_unique<char[]>(size ? size : 1);
    std::copy(data, data + size, exact.get());
    const std::string_view text(exact.get(), size);
    const std::string decoded = qordex::mail::DecodeBase64(text);
    if (decoded.size() > size)
        std::abort();
    if (qordex::mail::DecodeBase64(qordex::mail::EncodeBase64(text)) != text)
        std::abort();
    return 0;
}
