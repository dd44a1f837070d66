#pragma once
// The fixed reference list of public DNS servers that the DNS server list
// shows: a title row, the 13 root servers A to M, a title row, then public
// resolvers of operators from several countries.

#include <vector>

namespace qordex::diag {

struct DnsServerRow {
    const char* address;     // dotted IPv4, or the group title
    const char* domainName;  // empty in a title row
    const char* description; // operator and country; empty in a title row
    bool IsTitle() const { return !*domainName; }
};

// All 136 rows, in the order shown.
const std::vector<DnsServerRow>& DnsServerRows();

} // namespace qordex::diag
