// The byte-range reader and planner on any "Range:" value and any size: every
// part it plans lies inside the document, and the parts never add up to more
// than the document.
#include "web/HttpSrvText.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace qordex::web;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 8)
        return 0;
    long long docSize = 0;
    std::memcpy(&docSize, data, 8);
    if (docSize < 0)
        docSize = -(docSize + 1);
    const std::string_view value(reinterpret_cast<const char*>(data + 8), size - 8);
    THttpRangeList list;
    ParseRangeHeader(value, list);
    std::vector<TResolvedRange> parts;
    if (PlanRanges(list, docSize, parts) != TRangePlan::Partial)
        return 0;
    long long total = 0;
    for (const TResolvedRange& p : parts) {
        if (p.start < 0 || p.end > docSize || p.start >= p.end)
            std::abort();
        total += p.end - p.start;
        (void)ContentRangeText(p, docSize);
    }
    if (total > docSize || parts.size() > kMaxRanges)
        std::abort();
    return 0;
}
