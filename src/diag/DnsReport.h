#pragma once
// What the DNS tool prints, shared by its window and `qordex-cli dns`: the
// raw query's request and response lines with the byte dump, the system
// resolver's result lines, and the default server.

#include <string>
#include <string_view>
#include <vector>

namespace qordex {
class TWSocket;
}

namespace qordex::diag {

class TDnsQuery;

inline constexpr const char* kWaitingForDns = "Waiting for DNS...";
// The server field when the machine names no IPv4 DNS server.
inline constexpr const char* kDefaultDnsServer = "Default";

// "Request ID         : N".
std::string DnsRequestIdLine(int id);

// The lines for the end of a raw query: "Error #N" for an error, else the
// header, the question, every answer decoded and the dump.
std::vector<std::string> DnsResponseLines(const TDnsQuery& q, int error);

// "Response dump (N bytes):" and rows of 16 entries after two spaces: a
// byte from 32 to 126 as its character, any other as "<n>".
std::vector<std::string> DnsDumpLines(std::string_view bytes);

// The lines for the end of a system-resolver lookup: "NOT FOUND, ERROR #N",
// or the result with its count and then each entry.
std::vector<std::string> DnsLookupLines(const TWSocket& s, int error);

// Starts a forward (or reverse) lookup on `s`.  A lookup the socket refuses
// to start (an empty name) ends like a failed one: OnDnsLookupDone runs
// with the error (10022) instead of an exception escaping.
void StartResolverLookup(TWSocket& s, bool reverse, const std::string& host);

// The first IPv4 DNS server of the machine's configuration, else "Default".
// Throws EIpHlpError when the configuration cannot be read.
std::string DefaultDnsServer();

} // namespace qordex::diag
