#pragma once
// Single DES (FIPS 46) over one 8-byte block, as NTLM uses it.

#include <string>
#include <string_view>

namespace qordex::crypto {

// Spreads 56 key bits (7 bytes) over 8 bytes, seven bits each, and sets the
// odd parity bit of every byte.
std::string DesKeyFrom56(std::string_view key7);

// Encrypts one 8-byte block with an 8-byte key (ECB).  Weak keys are used as
// they are: NTLM derives its keys from passwords and must not refuse any.
std::string DesEncryptBlock(std::string_view key8, std::string_view block8);

} // namespace qordex::crypto
