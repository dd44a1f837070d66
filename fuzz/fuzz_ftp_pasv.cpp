// The 227 reader and the other reply texts on any line: a found address
// must format back into a PORT command that reads as the same six numbers.
#include "ftp/FtpText.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace qordex::ftp;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string reply(reinterpret_cast<const char*>(data), size);
    if (const auto a = ParsePasvReply(reply)) {
        std::uint32_t addr;
        std::memcpy(&addr, a->host, 4);
        const std::string port = FormatPortCommand(addr, a->port);
        const auto back = ParsePasvReply("227 " + port.substr(5));
        if (!back || std::memcmp(back->host, a->host, 4) != 0 || back->port != a->port)
            std::abort();
    }
    (void)QuotedDirectory(reply);
    (void)SizeFromReply(reply);
    (void)HasCommandBreak(reply);
    return 0;
}
