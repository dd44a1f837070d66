#pragma once
// Subcommands of qordex-cli.  Each tool registers itself from its own file:
//   static const qordex::cli::Registration reg{"ping", "send ICMP echo requests", RunPing};

#include <string>
#include <vector>

namespace qordex::cli {

// Runs a subcommand; argv[0] is the subcommand's name.  Returns the exit status
// (0 success, 1 failure, 2 bad usage).
using RunFn = int (*)(int argc, char** argv);

struct Command {
    std::string name;
    std::string summary;
    RunFn run;
};

std::vector<Command>& Commands();

struct Registration {
    Registration(std::string name, std::string summary, RunFn run) {
        Commands().push_back({std::move(name), std::move(summary), run});
    }
};

// Prints "qordex-cli NAME: MESSAGE" on stderr and returns 2 (bad usage).
int UsageError(const std::string& name, const std::string& message);

} // namespace qordex::cli
