#pragma once
// The fixed reference table of top-level domains that the country codes
// list shows: the two-letter country codes of the mid-2000s in alphabetical
// order, then the generic domains.

#include <vector>

namespace qordex::diag {

struct CountryCodeRow {
    const char* code;    // upper case, "AD" .. "ZW", then "BIZ" .. "NATO"
    const char* country; // English short name or the generic domain's description
};

// All 261 rows, in the order shown: 246 country codes, then 15 generic domains.
const std::vector<CountryCodeRow>& CountryCodeRows();

} // namespace qordex::diag
