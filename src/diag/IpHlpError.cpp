#include "diag/IpHlpError.h"

#include <cerrno>
#include <cstring>

namespace qordex::diag {

namespace {

const char* KnownText(unsigned long code) {
    switch (code) {
    case 2:
        return "The system cannot find the file specified.";
    case kErrorAccessDenied:
        return "Access is denied.";
    case 8:
        return "Not enough memory resources are available to process this command.";
    case kErrorGenFailure:
        return "A device attached to the system is not functioning.";
    case kErrorNotSupported:
        return "The request is not supported.";
    case 67:
        return "The network name cannot be found.";
    case kErrorInvalidParameter:
        return "The parameter is incorrect.";
    case kErrorInsufficientBuffer:
        return "The data area passed to a system call is too small.";
    case kErrorNoData:
        return "The pipe is being closed.";
    case 1231:
        return "The network location cannot be reached.";
    case kErrorHostUnreachable:
        return "The network location cannot be reached.";
    case kErrorNotFound:
        return "Element not found.";
    case kErrorObjectAlreadyExists:
        return "The object already exists.";
    default:
        return nullptr;
    }
}

} // namespace

EIpHlpError::EIpHlpError(const std::string& function, unsigned long code)
    : std::runtime_error(MessageFor(function, code)), code_(code) {}

EIpHlpError::EIpHlpError(std::string message, unsigned long code, int)
    : std::runtime_error(message), code_(code) {}

EIpHlpError EIpHlpError::OsError(unsigned long code) {
    return EIpHlpError(OsErrorText(code), code, 0);
}

std::string EIpHlpError::MessageFor(const std::string& function, unsigned long code) {
    switch (code) {
    case kErrorNotSupported:
        return "Function " + function + " is not supported by the operating system.";
    case kErrorInvalidParameter:
        return "Function " + function + ". Invalid parameter";
    case kErrorNoData:
        return "Function " + function + ". No adapter information exists for the local computer.";
    default:
        return OsErrorText(code);
    }
}

std::string EIpHlpError::OsErrorText(unsigned long code) {
    const char* text = KnownText(code);
    std::string out = "System Error.  Code: " + std::to_string(code) + ".";
    if (text) {
        out += "  ";
        out += text;
    }
    return out;
}

unsigned long ErrnoToIpHlp(int err) {
    switch (err) {
    case EPERM:
    case EACCES:
        return kErrorAccessDenied;
    case EINVAL:
    case ERANGE:
    case EAFNOSUPPORT:
        return kErrorInvalidParameter;
    case EOPNOTSUPP:
        return kErrorNotSupported;
    case ENOENT:
    case ESRCH:
    case ENODEV:
    case ENXIO:
    case EADDRNOTAVAIL:
        return kErrorNotFound;
    case EEXIST:
        return kErrorObjectAlreadyExists;
    case ENOMEM:
    case ENOBUFS:
        return 8;
    case ENETUNREACH:
    case EHOSTUNREACH:
        return 1231;
    default:
        return kErrorGenFailure;
    }
}

} // namespace qordex::diag
