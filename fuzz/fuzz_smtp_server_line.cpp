// The SMTP server's reading of one command or message line.
#include "mail/SmtpServerText.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    using namespace qordex::mail;
    (void)SmtpCommandWord(line);
    (void)SmtpHelloName(line);
    (void)SmtpArgument(line, 5);
    (void)SmtpPathArgument(line, false);
    (void)SmtpPathArgument(line, true);
    (void)SmtpUnstuff(line);
    return 0;
}
