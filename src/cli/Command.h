#pragma once
// Subcommands of qordex-cli.  Each tool registers itself from its own file:
//   static const qordex::cli::Registration reg{"ping", "send ICMP echo requests", RunPing};

#include <chrono>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qordex {
struct TSocks5Settings;
}

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

// A long option without a value, and the flag it sets.
struct FlagOption {
    const char* name;
    bool* field;
};

// Reads the words after argv[0] as most commands take them: -h or --help
// prints the help, "--" ends the options, flags and text options (see
// TakeTextOption) fill their fields, and every other word is an operand
// handed to `operand`, which returns a usage message to refuse it.  Returns
// the exit status to stop with (0 after the help, 2 for bad usage), or
// nullopt to go on.
std::optional<int>
ReadArguments(int argc, char** argv, const std::string& name, void (*printHelp)(),
              std::initializer_list<TextOption> options, std::initializer_list<FlagOption> flags,
              const std::function<std::optional<std::string>(const std::string&)>& operand);

// "HOST:PORT" (the port after the last colon; neither part empty) of an
// option such as --socks; false when the text is not of that form.
bool SplitHostPort(const std::string& text, std::string& host, std::string& port);

// The --timeout of a dialogue: whole seconds from 1 to 86400, or nothing.
std::optional<int> ParseTimeoutSeconds(const std::string& text);

// The --socks HOST:PORT, --socks-user and --socks-pass of a client command
// as settings for its socket (unused when `socks` is empty).  Returns the
// usage error, or nullopt when they are sound.
std::optional<std::string> ReadSocksOptions(const std::string& socks, const std::string& user,
                                            const std::string& pass, TSocks5Settings& out);

// How a wait on a dialogue with a server ended.
enum class WaitEnd { Done, Silent, Interrupted };

// Pumps the message loop until `done` holds, Ctrl-C or SIGTERM came (see
// CatchInterrupt), or `seconds` passed since `lastWord` last changed: the
// caller moves `lastWord` on each word from the server.
WaitEnd WaitWhileTalking(const std::function<bool()>& done,
                         const std::chrono::steady_clock::time_point& lastWord, int seconds);

// Writes one line to standard output at once (a line a tool window would
// show).  A failed write is remembered for FinishOutput.
void PrintLine(std::string_view line);

// From now on PrintLine keeps its lines until the thread's loop is about to
// wait, and they go out together then: a server printing a line per request
// pays one write per round of its loop instead of one per line, and a line
// still shows as soon as the server has nothing else to do.
void PrintLinesWhenIdle();

// The exit status of a command that ends with `status`: when standard output
// could not take everything written to it (a full disk, /dev/full), says so
// on stderr, as "qordex-cli NAME: write error: REASON", and gives 1.  main()
// applies it to every command; a command that leaves by _Exit calls it first.
int FinishOutput(const std::string& name, int status);

// Ctrl-C, SIGTERM and SIGHUP set a flag instead of ending the program, for
// commands that end a wait with a summary or withdraw what they asked for.
void CatchInterrupt();
bool Interrupted();

// While a path is set, Ctrl-C, SIGTERM and SIGHUP remove that file and then
// end the program as the signal would have; an empty path lets go of it.
// For half-written temporary files nobody would ever see again.
void RemoveOnInterrupt(const std::string& path);

} // namespace qordex::cli
