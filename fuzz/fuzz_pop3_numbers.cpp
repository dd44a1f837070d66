// The POP3 answer readers on any line: the numbers read are never
// negative, a unique id is printable and lies inside the line, the APOP
// timestamp is a "<...>" piece of the line, and a file name made from any
// id is short and stays inside its folder.
#include "mail/Pop3Text.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace qordex::mail;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    int a = -1, b = -1;
    ReadTwoNumbers(line, a, b);
    if (a < 0 || b < 0)
        std::abort();
    if (ReadNumber(line) < 0)
        std::abort();
    int n = -1;
    std::string id;
    ReadNumberAndId(line, n, id);
    if (n < 0 || id.size() > line.size() || line.find(id) == std::string::npos)
        std::abort();
    for (const char c : id)
        if (c < '!' || c > '~')
            std::abort();
    const std::string stamp = ApopTimestamp(line);
    if (!stamp.empty() &&
        (stamp.front() != '<' || stamp.back() != '>' || line.find(stamp) == std::string::npos))
        std::abort();
    std::string why;
    const std::string name = Pop3MessageFileName(line, &why);
    if (name.empty() == why.empty())
        std::abort();
    if (!name.empty() && (name.size() > kMaxPop3FileName || name.find('/') != std::string::npos ||
                          name.find('\0') != std::string::npos || name.rfind("Msg ", 0) != 0))
        std::abort();
    const std::string_view unstuffed = UnstuffDot(line);
    if (unstuffed.size() + 1 < line.size())
        std::abort();
    return 0;
}
