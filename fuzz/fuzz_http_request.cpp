// The HTTP server's request reader on any bytes: the head parser over every
// prefix the network could hand it, each header line into the fields, and
// the request path through its mapping.  A head that parses never claims
// more bytes than it was given, and a mapped path never climbs out.
#include "web/HttpSrvText.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace qordex::web;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    THttpHeadLimits limits;
    limits.maxLine = 256;
    limits.maxHead = 1024;
    limits.maxFields = 16;
    for (std::size_t cut = 0; cut <= input.size(); cut += 1 + cut / 8) {
        THttpRequestHead head;
        const THttpHeadResult r = ParseRequestHead(input.substr(0, cut), head, limits);
        if (r.consumed > cut || head.headers.size() > limits.maxFields)
            std::abort();
        if (r.status != THttpHeadStatus::Done)
            continue;
        THttpRequestFields f;
        for (const std::string& line : head.headers)
            ApplyHeaderLine(f, line, head.version, "80");
        if (f.contentLength < 0)
            std::abort();
        std::string rel;
        if (MapRequestPath(head.path, rel) == TPathCheck::Ok) {
            if (!rel.empty() && rel.front() == '/')
                std::abort();
            if (rel == ".." || rel.rfind("../", 0) == 0 || rel.find("/../") != std::string::npos)
                std::abort();
        }
    }
    return 0;
}
