// Time and Daytime answers as the client reads them, and the counters'
// captions: the era keeps every answer within 1968..2104, what is read back
// encodes to the same bytes, and no caption overflows.
#include "time/TimeCodec.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace qordex;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    if (size >= 4) {
        const std::uint32_t v = ReadTimeAnswer(bytes);
        const std::int64_t s = TimeAnswerSeconds(v);
        if (s < (1LL << 31) || s >= (1LL << 31) + (1LL << 32))
            std::abort();
        const TUtcTime t = UtcFromDateTime(DateTimeFromSeconds1900(s));
        const auto back = EncodeTimeAnswer(t);
        if (std::string_view(reinterpret_cast<const char*>(back.data()), 4) != bytes.substr(0, 4))
            std::abort();
    }
    const std::string text = DayTimeText(bytes);
    if (text.find('\0') != std::string::npos || bytes.substr(0, text.size()) != text)
        std::abort();
    const int n = ParseLeadingInt(bytes);
    if (n < 0)
        std::abort();
    (void)NextCounterText(bytes);
    return 0;
}
