// The position-driven MIME routines on any text: every loop over a line must
// end, and pieces must respect their maximum.  The first bytes choose the
// maximum and the character sets.
#include "mail/MimeUtil.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

using namespace qordex::mail;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3)
        return 0;
    const std::size_t maxLen = data[0] % 100;
    const TCharSet breaks = MakeCharSet(std::string(1, char(data[1])) + " ,");
    const TCharSet quotes = MakeCharSet(std::string(1, char(data[2])));
    const std::string text(reinterpret_cast<const char*>(data + 3), size - 3);

    std::size_t pos = 1;
    while (pos <= text.size()) {
        const std::size_t before = pos;
        const std::string piece = EncodeQPLine(text, maxLen, quotes, data[1] & 1, pos, true);
        if (pos <= before || (maxLen >= 4 && piece.size() > maxLen))
            std::abort();
    }
    pos = 1;
    std::size_t total = 0;
    while (pos <= text.size()) {
        const std::size_t before = pos;
        total += WrapLine(text, "\r\n\t", breaks, maxLen, quotes, pos).size();
        if (pos <= before)
            std::abort();
    }
    if (total > text.size())
        std::abort();
    std::vector<std::string> list;
    FoldHeaderIntoList(list, text);
    (void)FoldText(text, breaks, maxLen);
    (void)HasNonAsciiChars(text);
    (void)ContentTypeForFile(text);
    for (char type : {'B', 'Q'}) {
        const std::string words =
            HdrEncodeInLine(text, Rfc822Specials(), type, data[0] & 1, int(maxLen), "utf-8");
        if (type == 'Q' && text.empty() != words.empty())
            std::abort();
    }
    return 0;
}
