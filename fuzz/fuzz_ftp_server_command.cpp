// The FTP server's readers on any command line: keyword and parameters,
// PORT, REST, MDTM and virtual paths.  A path that comes out must be
// absolute, free of "." and ".." segments and within the limits.
#include "ftp/FtpSrvParse.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace qordex::ftp;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    const FtpCommandLine cmd = ParseFtpCommand(line);
    for (char c : cmd.keyword)
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
            std::abort();
    if (const auto p = ParsePortArgument(cmd.params)) {
        if (p->addr.size() > 15)
            std::abort();
    }
    if (const auto r = ParseRestOffset(cmd.params); r && *r < 0)
        std::abort();
    (void)ParseMdtmArgument(cmd.params);
    for (const char* cwd : {"/", "/a/b/"}) {
        const auto v = ResolveVirtualPath(cwd, cmd.params);
        if (!v)
            continue;
        if (v->empty() || (*v)[0] != '/' || v->size() > kMaxVirtualPath)
            std::abort();
        const std::string s = *v + "/";
        if (s.find("/../") != std::string::npos || s.find("/./") != std::string::npos ||
            (v->size() > 1 && s.find("//") != std::string::npos) || v->find('\\') != std::string::npos)
            std::abort();
    }
    return 0;
}
