#pragma once
// Message digests and HMAC over bytes; results are raw digest bytes.

#include <string>
#include <string_view>

namespace qordex::crypto {

std::string Md5(std::string_view data);
std::string Md4(std::string_view data);
std::string Sha1(std::string_view data);
std::string Sha256(std::string_view data);
std::string HmacMd5(std::string_view key, std::string_view data);
std::string HmacSha1(std::string_view key, std::string_view data);

// Lower-case hexadecimal text of raw bytes.
std::string ToHex(std::string_view bytes);

} // namespace qordex::crypto
