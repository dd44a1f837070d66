// qordex-cli: the tools without windows, for scripts and servers.

#include "cli/Command.h"
#include "platform/MessageLoop.h"

#include <QCoreApplication>
#include <algorithm>
#include <cstdio>
#include <cstring>

using qordex::cli::Commands;

namespace {

void PrintHelp(FILE* out) {
    std::fprintf(out, "Usage: qordex-cli COMMAND [OPTIONS] [ARGS]\n\n"
                      "Runs a Qordex tool without its window and prints what the window shows.\n\n"
                      "Commands:\n");
    auto commands = Commands();
    std::sort(commands.begin(), commands.end(),
              [](const auto& a, const auto& b) { return a.name < b.name; });
    for (const auto& c : commands)
        std::fprintf(out, "  %-10s %s\n", c.name.c_str(), c.summary.c_str());
    std::fprintf(out, "\n'qordex-cli COMMAND --help' describes the options of a command.\n");
}

} // namespace

int main(int argc, char** argv) {
    qordex::UseLeanMessageLoop();
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        PrintHelp(stderr);
        return 2;
    }
    if (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") ||
        !std::strcmp(argv[1], "help")) {
        PrintHelp(stdout);
        return qordex::cli::FinishOutput("", 0);
    }
    for (const auto& c : Commands())
        if (c.name == argv[1])
            return qordex::cli::FinishOutput(c.name, c.run(argc - 1, argv + 1));
    std::fprintf(stderr, "qordex-cli: unknown command '%s'\n", argv[1]);
    PrintHelp(stderr);
    return 2;
}
