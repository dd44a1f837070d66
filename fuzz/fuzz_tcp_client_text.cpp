// The TCP/UDP client's text rules over any bytes: the text view of a block
// holds no LF, loses nothing but LFs and the CRs before them, and stops at
// the first zero byte; message lines hold no line break, and what Send
// makes of them is those lines, each with its terminator.
#include "tools/TcpClientTool.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace qordex::tools;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::string_view text = bytes.substr(0, bytes.find('\0'));
    std::string joined;
    for (const std::string& e : ReceivedTextEntries(bytes, true)) {
        if (e.find('\n') != std::string::npos || e.find('\0') != std::string::npos)
            std::abort();
        joined += e;
    }
    std::string expected;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (text[i] != '\n' && !(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            expected += text[i];
    if (joined != expected)
        std::abort();
    const auto raw = ReceivedTextEntries(bytes, false);
    if (raw.size() != 1 || raw[0] != text)
        std::abort();
    if (FrameHexLine(bytes).size() > 3 * size)
        std::abort();

    const OutgoingMessage m = BuildMessage(bytes, true, "\r\n");
    std::string rebuilt;
    for (const std::string& line : m.shown) {
        if (line.find_first_of("\r\n") != std::string::npos)
            std::abort();
        rebuilt += line + "\r\n";
    }
    if (rebuilt != m.bytes)
        std::abort();
    return 0;
}
