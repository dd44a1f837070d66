// The whois line splitter: the first byte picks the piece size, the rest is
// the answer.  However it is cut, the lines come out the same as from the
// whole; none is longer than a piece, none holds a line end or a zero byte,
// and the splitter never holds more than a piece and a byte.
#include "diag/WhoisLines.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using qordex::diag::kWhoisPieceSize;

std::vector<std::string> Split(std::string_view bytes, std::size_t piece) {
    qordex::diag::TWhoisLineSplitter s;
    std::vector<std::string> out;
    auto take = [&out](std::vector<std::string> lines) {
        for (std::string& line : lines) {
            if (line.size() > kWhoisPieceSize || line.find_first_of(std::string("\r\n\0", 3)) !=
                                                     std::string::npos)
                std::abort();
            out.push_back(std::move(line));
        }
    };
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        take(s.Feed(bytes.substr(at, piece)));
        if (s.Held().size() > kWhoisPieceSize + 1)
            std::abort();
    }
    take(s.Finish());
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::size_t piece = 1 + data[0] % 7;
    std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    // Long lines matter: a byte of 0xFF stands for a run that fills a piece.
    std::string answer;
    for (char c : bytes)
        answer += c == '\xff' ? std::string(kWhoisPieceSize - 1, 'x') : std::string(1, c);
    if (Split(answer, piece) != Split(answer, answer.size() + 1))
        std::abort();
    return 0;
}
