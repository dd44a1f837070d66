#include "crypto/Digest.h"

#include <nettle/hmac.h>
#include <nettle/md4.h>
#include <nettle/md5.h>
#include <nettle/sha1.h>
#include <nettle/sha2.h>

namespace qordex::crypto {
namespace {

const uint8_t* Bytes(std::string_view s) { return reinterpret_cast<const uint8_t*>(s.data()); }

template<class Ctx, auto Init, auto Update, auto Digest, size_t Size>
std::string Hash(std::string_view data) {
    Ctx ctx;
    Init(&ctx);
    Update(&ctx, data.size(), Bytes(data));
    std::string out(Size, '\0');
    Digest(&ctx, Size, reinterpret_cast<uint8_t*>(out.data()));
    return out;
}

} // namespace

std::string Md5(std::string_view d) {
    return Hash<md5_ctx, md5_init, md5_update, md5_digest, MD5_DIGEST_SIZE>(d);
}
std::string Md4(std::string_view d) {
    return Hash<md4_ctx, md4_init, md4_update, md4_digest, MD4_DIGEST_SIZE>(d);
}
std::string Sha1(std::string_view d) {
    return Hash<sha1_ctx, sha1_init, sha1_update, sha1_digest, SHA1_DIGEST_SIZE>(d);
}
std::string Sha256(std::string_view d) {
    return Hash<sha256_ctx, sha256_init, sha256_update, sha256_digest, SHA256_DIGEST_SIZE>(d);
}

std::string HmacMd5(std::string_view key, std::string_view data) {
    hmac_md5_ctx ctx;
    hmac_md5_set_key(&ctx, key.size(), Bytes(key));
    hmac_md5_update(&ctx, data.size(), Bytes(data));
    std::string out(MD5_DIGEST_SIZE, '\0');
    hmac_md5_digest(&ctx, out.size(), reinterpret_cast<uint8_t*>(out.data()));
    return out;
}

std::string HmacSha1(std::string_view key, std::string_view data) {
    hmac_sha1_ctx ctx;
    hmac_sha1_set_key(&ctx, key.size(), Bytes(key));
    hmac_sha1_update(&ctx, data.size(), Bytes(data));
    std::string out(SHA1_DIGEST_SIZE, '\0');
    hmac_sha1_digest(&ctx, out.size(), reinterpret_cast<uint8_t*>(out.data()));
    return out;
}

std::string ToHex(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

} // namespace qordex::crypto
