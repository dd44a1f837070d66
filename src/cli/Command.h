#pragma once
// Subcommands of qordex-cli.  Each tool registers itself from its own file:
//   static const qordex::cli::Registration reg{"ping", "send ICMP echo requests", RunPing};

#include <initializer_list>
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

// Prints each line as "qordex-cli NAME: LINE" on stderr and returns 1 (failure).
int Failure(const std::string& name, const std::vector<std::string>& lines);

// Long options with a value: matches "--name VALUE" or "--name=VALUE" at
// argv[i].  Returns false when argv[i] is something else.  On a match, i
// moves past a separate value and `value` is set; `missing` tells that the
// option came last without its value.
bool TakeOption(int argc, char** argv, int& i, const char* name, std::string& value, bool& missing);

// A long option with a text value, and the field the value goes to.
struct TextOption {
    const char* name;
    std::string* field;
};

// Matches argv[i] against the options as TakeOption does and stores the
// value of the one that matches in its field.  Returns the name of the
// option matched, or null; `missing` tells that it came last without value.
const char* TakeTextOption(int argc, char** argv, int& i, std::initializer_list<TextOption> options,
                           bool& missing);

// Stops the run at Ctrl-C or SIGTERM: installs a handler that sets a flag.
void CatchInterrupt();
bool Interrupted();

// Writes one line to stdout at once, so that a pipe sees it as it happens.
void PrintLine(const std::string& line);

} // namespace qordex::cli
