// The reply-line reader: the first byte picks the line limit and the piece
// size, the rest is the stream.  However it is cut, the lines come out the
// same, none is longer than the limit or holds a CR LF, and the reader
// never holds much more than one line.
#include "base/LineReader.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::vector<std::string> Read(std::string_view bytes, std::size_t maxLine, std::size_t piece,
                              bool acceptLF) {
    qordex::TLineReader r(maxLine);
    r.SetAcceptLF(acceptLF);
    std::vector<std::string> out;
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        r.Append(bytes.substr(at, piece));
        std::string line;
        for (qordex::TLineReader::Result res;
             (res = r.Next(line)) != qordex::TLineReader::Result::NeedMore;) {
            if (line.size() > maxLine || line.find("\r\n") != std::string::npos ||
                (acceptLF && line.find('\n') != std::string::npos))
                std::abort();
            out.push_back((res == qordex::TLineReader::Result::TooLong ? "!" : "") + line);
        }
        if (r.Pending() > maxLine + 1 + piece)
            std::abort();
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::size_t maxLine = 1 + (data[0] & 0x1F);
    const bool acceptLF = (data[0] & 0x20) != 0;
    const std::size_t piece = 1 + (data[0] >> 6);
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    if (Read(bytes, maxLine, piece, acceptLF) != Read(bytes, maxLine, bytes.size() + 1, acceptLF))
        std::abort();
    return 0;
}
