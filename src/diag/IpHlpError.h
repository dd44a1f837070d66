#pragma once
// EIpHlpError: the failure of an operation of the IP helper layer.  Its
// message names the operation for the codes the layer knows and is the
// general operating-system error text for every other code.

#include <stdexcept>
#include <string>

namespace qordex::diag {

// Error codes of the IP helper layer (the platform's numbering).
constexpr unsigned long kErrorAccessDenied = 5;
constexpr unsigned long kErrorGenFailure = 31;
constexpr unsigned long kErrorNotSupported = 50;
constexpr unsigned long kErrorInvalidParameter = 87;
constexpr unsigned long kErrorInsufficientBuffer = 122;
constexpr unsigned long kErrorNoData = 232;
constexpr unsigned long kErrorIoPending = 997;
constexpr unsigned long kErrorNotFound = 1168;
constexpr unsigned long kErrorHostUnreachable = 1232;
constexpr unsigned long kErrorObjectAlreadyExists = 5010;

class EIpHlpError : public std::runtime_error {
public:
    // The failure of operation `function` with `code`.
    EIpHlpError(const std::string& function, unsigned long code);

    // A failure reported as the general operating-system error whatever the
    // code (EnableRouter, UnenableRouter, the watcher's socket).
    static EIpHlpError OsError(unsigned long code);

    unsigned long Code() const { return code_; }

    // The message for `code` raised by operation `function`.
    static std::string MessageFor(const std::string& function, unsigned long code);
    // The general operating-system error for `code`:
    // "System Error.  Code: 5.  Access is denied."
    static std::string OsErrorText(unsigned long code);

private:
    EIpHlpError(std::string message, unsigned long code, int);
    unsigned long code_;
};

// Maps an errno value of a failed Linux call to the platform's code.
unsigned long ErrnoToIpHlp(int err);

} // namespace qordex::diag
