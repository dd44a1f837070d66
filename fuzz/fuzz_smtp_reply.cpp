// SMTP reply lines as the client reads them: the line reader, the status
// of each line and the mechanisms of an EHLO reply.  A status is always a
// number that fits the 16-bit error code or the "no status" code, and the
// mechanism list never holds an empty or repeated name.
#include "base/LineReader.h"
#include "mail/SmtpText.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qordex::TLineReader reader(qordex::mail::kMaxSmtpReplyLine);
    reader.Append(std::string_view(reinterpret_cast<const char*>(data), size));
    std::vector<std::string> mechanisms;
    std::string line;
    for (qordex::TLineReader::Result r;
         (r = reader.Next(line)) != qordex::TLineReader::Result::NeedMore;) {
        if (line.size() > qordex::mail::kMaxSmtpReplyLine)
            std::abort();
        bool continuation = false;
        const int status = qordex::mail::SmtpReplyStatus(line, continuation);
        if (status == qordex::mail::kSmtpNoStatus && continuation)
            std::abort();
        qordex::mail::AddAuthMechanisms(line, mechanisms);
    }
    for (std::size_t i = 0; i < mechanisms.size(); ++i) {
        if (mechanisms[i].empty() ||
            std::count(mechanisms.begin(), mechanisms.end(), mechanisms[i]) != 1)
            std::abort();
        for (char c : mechanisms[i])
            if (c >= 'a' && c <= 'z')
                std::abort();
    }
    return 0;
}
