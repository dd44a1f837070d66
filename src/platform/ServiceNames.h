#pragma once
// Service and protocol names from the system databases (/etc/services and
// /etc/protocols, package netbase), compared without regard to letter case,
// with a built-in fallback for the names the system itself relies on, so that
// "smtp" or "ftp" still work on a machine without those files.

#include <optional>
#include <string>

namespace qordex {

// Port of a service, host byte order.  `proto` may be empty (any protocol).
std::optional<int> LookupServicePort(const std::string& name, const std::string& proto);

// The built-in part alone (the names the system relies on).
std::optional<int> BuiltInServicePort(const std::string& name);

// Number of a protocol ("tcp" 6, "udp" 17, "icmp" 1 ...).
std::optional<int> LookupProtocolNumber(const std::string& name);

} // namespace qordex
