#include "cli/Command.h"

#include <csignal>
#include <cstdio>
#include <cstring>

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

int Failure(const std::string& name, const std::vector<std::string>& lines) {
    for (const std::string& line : lines)
        std::fprintf(stderr, "qordex-cli %s: %s\n", name.c_str(), line.c_str());
    return 1;
}

bool TakeOption(int argc, char** argv, int& i, const char* name, std::string& value,
                bool& missing) {
    const char* arg = argv[i];
    const std::size_t len = std::strlen(name);
    missing = false;
    if (std::strncmp(arg, name, len) != 0)
        return false;
    if (arg[len] == '=') {
        value = arg + len + 1;
        return true;
    }
    if (arg[len] != '\0')
        return false;
    if (i + 1 >= argc) {
        missing = true;
        return true;
    }
    value = argv[++i];
    return true;
}

const char* TakeTextOption(int argc, char** argv, int& i, std::initializer_list<TextOption> options,
                           bool& missing) {
    std::string value;
    for (const TextOption& o : options)
        if (TakeOption(argc, argv, i, o.name, value, missing)) {
            if (!missing)
                *o.field = value;
            return o.name;
        }
    return nullptr;
}

namespace {
volatile std::sig_atomic_t g_interrupted = 0;
void OnInterrupt(int) {
    g_interrupted = 1;
}
} // namespace

void CatchInterrupt() {
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

bool Interrupted() {
    return g_interrupted != 0;
}

void PrintLine(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace qordex::cli
