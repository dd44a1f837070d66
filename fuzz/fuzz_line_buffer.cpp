// The line buffer on any bytes: fed at once or in pieces it gives the same
// lines, each ending with the terminator, and together they are the input.
// Editing never leaves more than it was given room for.  The first byte
// chooses the terminator and the size of the pieces.
#include "net/LineBuffer.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

using namespace qordex;

namespace {

std::vector<std::string> Lines(const std::string& input, const std::string& end, std::size_t step) {
    LineBuffer b;
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < input.size(); at += step) {
        b.Append(std::string_view(input).substr(at, step));
        while (std::size_t n = b.FindLine(end)) {
            std::string line(n, '\0');
            if (b.Take(line.data(), n) != n || line.compare(n - end.size(), end.size(), end) != 0)
                std::abort();
            lines.push_back(line);
        }
    }
    if (!b.Empty())
        lines.emplace_back(b.Data(), b.Size());
    return lines;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    static const char* const ends[] = {"\r\n", "\n", "END", "\r\n.\r\n"};
    const std::string end = ends[data[0] & 3];
    const std::size_t step = 1 + (data[0] >> 2);
    const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);

    const std::vector<std::string> whole = Lines(input, end, input.size() + 1);
    if (Lines(input, end, step) != whole)
        std::abort();
    std::string joined;
    for (const std::string& l : whole)
        joined += l;
    if (joined != input)
        std::abort();

    const std::size_t from = step < input.size() ? step : input.size();
    std::string text = input;
    const LineEditResult r = EditLineBuffer(text, from, (data[0] & 1) != 0);
    // Each byte becomes at most eight (a tab); the held part only shrinks.
    if (r.held > from || text.size() > from + 8 * (input.size() - from))
        std::abort();
    return 0;
}
