#include "crypto/Des.h"

#include <nettle/des.h>
#include <stdexcept>

namespace qordex::crypto {

std::string DesKeyFrom56(std::string_view key7) {
    if (key7.size() != 7)
        throw std::invalid_argument("DES key needs 7 bytes");
    const auto* k = reinterpret_cast<const unsigned char*>(key7.data());
    std::string out(8, '\0');
    out[0] = char(k[0]);
    for (int i = 1; i < 7; ++i)
        out[i] = char((k[i - 1] << (8 - i)) | (k[i] >> i));
    out[7] = char(k[6] << 1);
    auto* bytes = reinterpret_cast<uint8_t*>(out.data());
    des_fix_parity(8, bytes, bytes);
    return out;
}

std::string DesEncryptBlock(std::string_view key8, std::string_view block8) {
    if (key8.size() != DES_KEY_SIZE || block8.size() != DES_BLOCK_SIZE)
        throw std::invalid_argument("DES needs an 8-byte key and an 8-byte block");
    des_ctx ctx;
    // The result only says whether the key is weak; see the header.
    (void)des_set_key(&ctx, reinterpret_cast<const uint8_t*>(key8.data()));
    std::string out(DES_BLOCK_SIZE, '\0');
    des_encrypt(&ctx, DES_BLOCK_SIZE, reinterpret_cast<uint8_t*>(out.data()),
                reinterpret_cast<const uint8_t*>(block8.data()));
    return out;
}

} // namespace qordex::crypto
