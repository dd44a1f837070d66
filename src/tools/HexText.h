#pragma once
// Maps a line of a server tool's client list back to the client identifier.

#include <cstdint>
#include <string_view>

namespace qordex {

// Leading spaces are skipped, then hexadecimal digits are read up to the first
// other character; 0 when no digit follows.  The value wraps at 32 bits.
std::uint32_t HexTextToInt(std::string_view text);

} // namespace qordex
