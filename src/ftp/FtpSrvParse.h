#pragma once
// What the FTP server reads from command lines and writes into listings:
// the command keyword, PORT and REST arguments, MDTM/MFMT dates, virtual
// paths under the served root, LIST lines and machine-readable facts.
// Plain functions over bytes; no socket, no file system.

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace qordex::ftp {

// The longest virtual path and path component accepted from a client.
constexpr std::size_t kMaxVirtualPath = 4096;
constexpr std::size_t kMaxNameComponent = 255;

struct FtpCommandLine {
    std::string keyword; // letters and digits, upper-cased; empty when none
    std::string params;  // the rest of the line after the blanks
};

// The text without the spaces and tabs around it.
std::string TrimBlanks(std::string_view s);

// Undoes Telnet escapes (IAC IAC is one 255 byte, IAC + any other byte is
// dropped with it), then splits keyword and parameters (RFC 959, 4.1).
FtpCommandLine ParseFtpCommand(std::string_view line);

struct PortArgument {
    std::string addr;        // dotted quad
    std::uint16_t port = 0;  // host order
};

// The six comma-separated numbers of PORT, blanks allowed around each.
// Nothing unless there are exactly six numbers, each 0..255.
std::optional<PortArgument> ParsePortArgument(std::string_view params);

// REST: the decimal digits after leading blanks; no digits is 0.  Nothing
// when the value does not fit in a signed 64-bit offset.
std::optional<std::int64_t> ParseRestOffset(std::string_view params);

struct MdtmArgument {
    bool valid = true;        // false: a 14-digit stamp that is no date
    bool hasTime = false;     // a stamp was given (set the time)
    bool hasZone = false;     // a +/- suffix followed the stamp
    std::int64_t utc = 0;     // seconds since 1970 when hasTime (zone applied)
    std::string name;         // the file name (everything without a stamp)
};

// MDTM/MFMT parameters: "[YYYYMMDDHHMMSS[+-zone] ]name".  The stamp is
// taken as UTC (local time is the caller's business when hasZone is false
// for MDTM).
MdtmArgument ParseMdtmArgument(std::string_view params);

// Joins `arg` to the virtual current directory `cwd` ("/" or "/a/b/") and
// normalises it: "\" counts as "/", "." and empty segments vanish, ".."
// removes the previous segment but never climbs above "/".  The result is
// "/" or "/a/b" without a trailing slash.  Nothing for a NUL byte, a
// component longer than kMaxNameComponent or a result over kMaxVirtualPath.
std::optional<std::string> ResolveVirtualPath(std::string_view cwd, std::string_view arg);

// "/a/b" -> "/a/b/"; "/" stays.
std::string AsDirectory(std::string_view virtualPath);

// One entry of a listing.
struct FtpDirEntry {
    std::string name;
    bool isDir = false;
    bool readOnly = false; // the server cannot write it
    std::int64_t size = 0;
    std::time_t modified = 0;
    std::time_t created = 0;
};

// A LIST line (UNIX style, local time, year instead of time when the entry
// is not from `currentYear`), ending in CR LF.
std::string FormatListLine(const FtpDirEntry& e, int currentYear);

// MLSD/MLST facts followed by "; " and the name (no line end); times UTC.
std::string FormatFacts(const FtpDirEntry& e);

// "YYYYMMDDHHMMSS" of a UTC time.
std::string FormatUtcStamp(std::time_t t);

} // namespace qordex::ftp
