// The digests and HMACs against the known answers of the documents that
// define them: RFC 1320 (MD4), RFC 1321 (MD5), FIPS 180 (SHA-1, SHA-256) and
// RFC 2202 (HMAC-MD5, HMAC-SHA1).  NTLM and CRAM stand on them.

#include "crypto/Digest.h"

#include <gtest/gtest.h>
#include <string>

using namespace qordex::crypto;

namespace {

const std::string kAlnum = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
const std::string kDigits80 =
    "12345678901234567890123456789012345678901234567890123456789012345678901234567890";

std::string Bytes(std::size_t n, char c) {
    return std::string(n, c);
}

std::string Counting(int from, int to) {
    std::string s;
    for (int i = from; i <= to; ++i)
        s += char(i);
    return s;
}

} // namespace

TEST(Digest, Md4AndMd5KnownAnswers) {
    struct Case {
        std::string data;
        const char* md4;
        const char* md5;
    } cases[] = {
        {"", "31d6cfe0d16ae931b73c59d7e0c089c0", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "bde52cb31de33e46245e05fbdbd6fb24", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "a448017aaf21d8525fc10ae87aa6729d", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "d9130a8164549fe818874806e1c7014b", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "d79e1c308aa5bbcdeea8ed63df412da9",
         "c3fcd3d76192e4007dfb496cca67e13b"},
        {kAlnum, "043f8582f241db351ce627e153e7f0e4", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {kDigits80, "e33b4ddc9c38f2199c3e7b164fcc0536", "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ToHex(Md4(c.data)), c.md4) << '"' << c.data << '"';
        EXPECT_EQ(ToHex(Md5(c.data)), c.md5) << '"' << c.data << '"';
    }
}

TEST(Digest, ShaKnownAnswers) {
    const std::string twoBlocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    EXPECT_EQ(ToHex(Sha1("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(ToHex(Sha1(twoBlocks)), "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(ToHex(Sha1(Bytes(1000000, 'a'))), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    EXPECT_EQ(ToHex(Sha256("abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(ToHex(Sha256(twoBlocks)),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(Digest, HmacKnownAnswers) {
    const std::string large = Bytes(80, '\xaa');
    struct Case {
        std::string keyMd5, keySha1, data;
        const char* md5;
        const char* sha1;
    } cases[] = {
        {Bytes(16, '\x0b'), Bytes(20, '\x0b'), "Hi There", "9294727a3638bb1c13f48ef8158bfc9d",
         "b617318655057264e28bc0b6fb378c8ef146be00"},
        {"Jefe", "Jefe", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738",
         "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {Bytes(16, '\xaa'), Bytes(20, '\xaa'), Bytes(50, '\xdd'),
         "56be34521d144c88dbb8c733f0e8b3f6", "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
        {Counting(1, 25), Counting(1, 25), Bytes(50, '\xcd'), "697eaf0aca3a3aea3a75164746ffaa79",
         "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
        {Bytes(16, '\x0c'), Bytes(20, '\x0c'), "Test With Truncation",
         "56461ef2342edc00f9bab995690efd4c", "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
        // Keys longer than a block are hashed first.
        {large, large, "Test Using Larger Than Block-Size Key - Hash Key First",
         "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd", "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {large, large, "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
         "6f630fad67cda0ee1fb1f562db3aa53e", "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ToHex(HmacMd5(c.keyMd5, c.data)), c.md5) << c.data;
        EXPECT_EQ(ToHex(HmacSha1(c.keySha1, c.data)), c.sha1) << c.data;
    }
}

TEST(Digest, HexOfEveryByteValue) {
    EXPECT_EQ(ToHex(std::string("\x00\x09\x0a\x7f\x80\xff", 6)), "00090a7f80ff");
    EXPECT_EQ(ToHex(""), "");
}
