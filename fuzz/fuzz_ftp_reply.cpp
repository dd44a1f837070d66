// Reply lines from any bytes, cut at places the input chooses: no line may
// pass the limit, the held part stays bounded, and the multi-line rule must
// take every line.  The first byte chooses the read size and AcceptLF.
#include "ftp/FtpReply.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace qordex::ftp;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const std::size_t piece = (data[0] >> 1) + 1;
    TReplyLineReader reader;
    reader.SetAcceptLF(data[0] & 1);
    TReplyTracker tracker;
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    for (std::size_t i = 0; i < bytes.size(); i += piece) {
        reader.Feed(bytes.substr(i, piece), [&](std::string_view line) {
            if (line.size() > kMaxReplyLine)
                std::abort();
            const auto kind = tracker.Add(line);
            if (kind == TReplyTracker::Kind::Final && ReplyCode(line) != tracker.Code())
                std::abort();
        });
        if (reader.Pending() > kMaxReplyLine)
            std::abort();
    }
    return 0;
}
