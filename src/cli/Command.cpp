#include "cli/Command.h"

#include <cstdio>

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

} // namespace qordex::cli
