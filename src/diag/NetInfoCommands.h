#pragma once
// The operations of the Net information tool, one per button, shared by its
// window and by `qordex-cli netinfo`.  Each writes exactly the lines the
// window prints; failures of the IP helper layer throw EIpHlpError.

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace qordex::diag {

// Where a command writes its lines and asks for its input.
class NetInfoIO {
public:
    virtual ~NetInfoIO() = default;
    // Appends one line of output.
    virtual void Line(const std::string& line) = 0;
    // Asks for one value with this prompt text ("Input interface index");
    // nullopt when the user cancels.
    virtual std::optional<std::string> Ask(const std::string& prompt) = 0;
    // Shows an error and lets the command go on (a failed per-adapter query).
    virtual void Error(const std::string& message) = 0;
    // The command ends quietly here: the answer to `prompt` was cancelled or
    // empty.  A window lets it be; a command line says that it was missing.
    virtual void Cancelled(const std::string& prompt) { (void)prompt; }
};

struct NetInfoCommand {
    std::string caption; // button caption and CLI command name ("GetIfTable")
    std::string button;  // component name of the button ("BtGetIfTable")
    std::string page;    // caption of the page that holds the button
    void (*run)(NetInfoIO& io);
    // The prompts `run` asks, in order, when every answer is given.
    std::vector<std::string> questions = {};
    // One sentence on what the operation does, for `qordex-cli netinfo OP --help`.
    std::string summary = {};
};

// Every command in page order, then button order within the page.  The
// notification watchers (NotifyAddrChange, NotifyRouteChange and their
// Cancel buttons) are not in this table: they run on TWaitingThread.
const std::vector<NetInfoCommand>& NetInfoCommands();

// An answer that should be a decimal integer and is not: "'%s' is not a valid
// integer value".  Thrown by a command before it changes anything.
class EConvertError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace qordex::diag
