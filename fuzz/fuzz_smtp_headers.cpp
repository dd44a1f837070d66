// The header lines the SMTP client builds from hostile values (the
// client refuses CR, LF and NUL before it builds them, so those are left
// out here): every line, cut at its folds, is free of line ends, and an
// address split from a value is part of that value.
#include "mail/SmtpHeaders.h"
#include "mail/SmtpText.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    if (qordex::mail::HasLineBreakOrNul(text) || size < 2)
        return 0;
    const unsigned flags = data[0];
    text.erase(0, 1);
    std::string name, address;
    qordex::mail::SplitAddress(text, name, address);
    if (!address.empty() && text.find(address) == std::string::npos)
        std::abort();

    qordex::mail::TSmtpHeaderFields f;
    const std::size_t third = text.size() / 3;
    f.hdrTo = text.substr(0, third);
    f.hdrFrom = text.substr(third, third);
    f.hdrSubject = text.substr(2 * third);
    f.hdrCc = text;
    f.allow8bitChars = flags & 1;
    f.foldHeaders = flags & 2;
    f.charSet = flags & 4 ? "utf-8" : "iso-8859-1";
    f.defaultEncoding = flags & 8 ? qordex::mail::smtpEncBase64 : qordex::mail::smtpEnc7bit;
    for (const std::string& line : qordex::mail::BuildHeaderLines(f, "date", "id@host"))
        for (const std::string& piece : qordex::mail::SplitAtCrLf(line))
            if (piece.find_first_of("\r\n") != std::string::npos)
                std::abort();
    return 0;
}
