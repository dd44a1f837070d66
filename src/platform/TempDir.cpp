#include "platform/TempDir.h"

#include <cstdlib>

namespace qordex {

std::string SystemTempDirectory() {
    const char* env = std::getenv("TMPDIR");
    std::string dir = (env && *env) ? env : "/tmp";
    if (dir.back() != '/')
        dir += '/';
    return dir;
}

} // namespace qordex
