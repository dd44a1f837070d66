#include "cli/Command.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace qordex::cli {

std::vector<Command>& Commands() {
    static std::vector<Command> commands;
    return commands;
}

int UsageError(const std::string& name, const std::string& message) {
    std::fprintf(stderr, "qordex-cli %s: %s\n", name.c_str(), message.c_str());
    std::fprintf(stderr, "Try 'qordex-cli %s --help'.\n", name.c_str());
    return 2;
}

bool ParseInt(const char* text, long long lo, long long hi, long long& out) {
    if (!text || !*text)
        return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi)
        return false;
    out = v;
    return true;
}

} // namespace qordex::cli
