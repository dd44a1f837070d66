// The HTTP answer reader on any bytes: the line buffer fed in the engine's
// pieces (with the long-line cut), each line through the status and header
// parsers, and the rest through the chunk decoder.  Nothing may read out of
// bounds, the held bytes stay within their limit, and the decoder never
// gives out more than it was given.
#include "web/HttpReader.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace qordex::web;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const std::size_t piece = 1 + data[0] % 64;
    const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);

    THttpLineBuffer buf;
    std::string line, raw;
    std::size_t pos = 0;
    while (pos < input.size()) {
        const std::size_t n = std::min(piece, input.size() - pos);
        if (!buf.Full()) {
            pos += buf.Append(input.data() + pos, std::min(n, buf.Room()));
        } else {
            const std::size_t k = std::min(n, kHttpLongLineScratch);
            buf.CutOverlong(input.data() + pos, k);
            pos += k;
        }
        if (buf.Size() > kHttpLineBufferSize + 1)
            std::abort();
        while (buf.NextLine(line, &raw)) {
            if (raw.size() < line.size() + 1)
                std::abort();
            (void)ParseStatusLine(line);
            (void)ParseHeaderLine(line);
            (void)ParseContentLength(line);
            (void)IsChunkedCoding(line);
        }
    }

    THttpChunkDecoder d;
    std::size_t out = 0, used = 0;
    int guard = 0;
    while (used < input.size() && d.State() != THttpChunkDecoder::Step::Done &&
           d.State() != THttpChunkDecoder::Step::Failed && ++guard < 1000000)
        used += d.Feed(input.data() + used, input.size() - used,
                       [&](const char*, std::size_t n) { out += n; });
    if (used > input.size() || out > input.size())
        std::abort();
    return 0;
}
