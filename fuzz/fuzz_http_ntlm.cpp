// NTLM type-2 messages and URLs from any text: every offset and length in a
// challenge is checked, and URL splitting and decoding take anything.
#include "web/NtlmMsgs.h"
#include "web/UrlUtil.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace qordex::web;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const TNTLM_Msg2_Info info = NtlmGetMessage2(input);
    if (info.Challenge.size() != 8)
        std::abort();
    const std::size_t cut = input.find('\n');
    const std::string base = cut == std::string::npos ? std::string() : input.substr(cut + 1);
    (void)ParseUrl(input.substr(0, cut), base);
    (void)UrlDecode(input);
    (void)DocNameFromPath(input);
    return 0;
}
