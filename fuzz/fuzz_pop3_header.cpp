// The header capture of a retrieved message on any text, cut into lines at
// LF: no field grows past its limit, the header ends at most once, and
// nothing changes after it ended.
#include "mail/Pop3Text.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

using namespace qordex::mail;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    TPop3HeaderCapture h;
    h.Reset();
    int ends = 0;
    std::string subjectAtEnd;
    for (std::size_t at = 0; at <= text.size();) {
        std::size_t lf = text.find('\n', at);
        if (lf == std::string_view::npos)
            lf = text.size();
        const bool ended = h.Feed(text.substr(at, lf - at));
        ends += ended;
        if (ended)
            subjectAtEnd = h.subject;
        at = lf + 1;
    }
    if (ends > 1 || (ends == 1) == h.InHeader())
        std::abort();
    if (ends == 1 && h.subject != subjectAtEnd)
        std::abort();
    for (const std::string* f : {&h.from, &h.to, &h.cc, &h.subject, &h.date, &h.messageId,
                                 &h.replyTo, &h.inReplyTo, &h.returnPath})
        if (f->size() > kMaxPop3HeaderField)
            std::abort();
    return 0;
}
