#include "KelvoPG_core.h"
#include "kelvo_test.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <string>

namespace {

std::string hex(const uint8_t *bytes, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[bytes[i] >> 4];
        s += digits[bytes[i] & 15];
    }
    return s;
}

const uint8_t *bytesOf(const std::string &s) {
    return reinterpret_cast<const uint8_t *>(s.data());
}

// Through the hexadecimal form the programs print and log.
std::string ours(const std::string &data) {
    sha256_context ctx;
    char digest[65];
    sha256_init(&ctx);
    sha256_update(&ctx, bytesOf(data), data.size());
    sha256_final_hex(&ctx, digest);
    return digest;
}

std::string reference(const std::string &data) {
    uint8_t digest[SHA256_DIGEST_LENGTH];
    SHA256(bytesOf(data), data.size(), digest);
    return hex(digest, sizeof digest);
}

TEST(Sha256, PublishedVectors) {
    EXPECT_EQ(ours(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(ours("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(ours("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(
        ours("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklm"
             "nopqrlmnopqrsmnopqrstnopqrstu"),
        "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
    EXPECT_EQ(ours(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// 55 bytes leave room for the padding and length in one block; 56 do not.
TEST(Sha256, PaddingBoundaries) {
    for (size_t n : {55u, 56u, 63u, 64u, 65u, 119u, 120u, 128u}) {
        std::string data(n, 'a');
        EXPECT_EQ(ours(data), reference(data)) << n << " bytes";
    }
}

TEST(Sha256, RandomInputsOfEveryLengthMatchOpenSsl) {
    for (size_t n = 0; n <= 300; ++n) {
        std::string data = kt::randomBytes(n, static_cast<unsigned>(n) + 1);
        ASSERT_EQ(ours(data), reference(data)) << n << " bytes";
    }
}

TEST(Sha256, MebibytesInUnevenPiecesMatchOpenSsl) {
    std::string data = kt::randomBytes(3 * 1024 * 1024 + 333, 42);
    sha256_context ctx;
    uint8_t digest[32];
    sha256_init(&ctx);
    size_t pos = 0;
    // Piece sizes that straddle block boundaries in every way.
    const size_t pieces[] = {1, 63, 64, 65, 127, 4096, 1000003, 7, 0, 55};
    for (size_t i = 0; pos < data.size(); ++i) {
        size_t n = std::min(pieces[i % (sizeof pieces / sizeof pieces[0])], data.size() - pos);
        sha256_update(&ctx, bytesOf(data) + pos, n);
        pos += n;
    }
    sha256_final(&ctx, digest);
    EXPECT_EQ(hex(digest, 32), reference(data));
}

} // namespace
