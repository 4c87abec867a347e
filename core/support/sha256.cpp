// SHA-256 of FIPS 180-4 in the init / update / final form.
#include "KelvoPG_core.h"

#include <cstring>

namespace {

const uint32_t k[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

const uint32_t initial_state[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

inline uint32_t rotr(uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

inline uint32_t loadBigEndian(const uint8_t *p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

inline void storeBigEndian(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

} // namespace

extern "C" void sha256_transform(sha256_context *ctx, const uint8_t block[64]) {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i) {
        w[i] = loadBigEndian(block + 4 * i);
    }
    for (int i = 16; i < 64; ++i) {
        uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = ctx->state[0], b = ctx->state[1], c = ctx->state[2], d = ctx->state[3];
    uint32_t e = ctx->state[4], f = ctx->state[5], g = ctx->state[6], h = ctx->state[7];
    for (int i = 0; i < 64; ++i) {
        uint32_t t1 =
            h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
        uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    ctx->state[0] += a;
    ctx->state[1] += b;
    ctx->state[2] += c;
    ctx->state[3] += d;
    ctx->state[4] += e;
    ctx->state[5] += f;
    ctx->state[6] += g;
    ctx->state[7] += h;
}

extern "C" void sha256_init(sha256_context *ctx) {
    ctx->fill = 0;
    ctx->bit_count = 0;
    std::memcpy(ctx->state, initial_state, sizeof initial_state);
}

extern "C" void sha256_update(sha256_context *ctx, const uint8_t *data, uint64_t len) {
    // Whole blocks straight from the input when the block buffer is empty.
    while (len > 0) {
        if (ctx->fill == 0 && len >= 64) {
            sha256_transform(ctx, data);
            ctx->bit_count += 512;
            data += 64;
            len -= 64;
            continue;
        }
        uint32_t take = 64 - ctx->fill;
        if (take > len) {
            take = static_cast<uint32_t>(len);
        }
        std::memcpy(ctx->block + ctx->fill, data, take);
        ctx->fill += take;
        data += take;
        len -= take;
        if (ctx->fill == 64) {
            sha256_transform(ctx, ctx->block);
            ctx->bit_count += 512;
            ctx->fill = 0;
        }
    }
}

extern "C" void sha256_final(sha256_context *ctx, uint8_t digest[32]) {
    uint64_t total_bits = ctx->bit_count + uint64_t(ctx->fill) * 8;
    ctx->block[ctx->fill++] = 0x80;
    if (ctx->fill > 56) {
        std::memset(ctx->block + ctx->fill, 0, 64 - ctx->fill);
        sha256_transform(ctx, ctx->block);
        ctx->fill = 0;
    }
    std::memset(ctx->block + ctx->fill, 0, 56 - ctx->fill);
    for (int i = 0; i < 8; ++i) {
        ctx->block[56 + i] = uint8_t(total_bits >> (56 - 8 * i));
    }
    sha256_transform(ctx, ctx->block);
    for (int i = 0; i < 8; ++i) {
        storeBigEndian(digest + 4 * i, ctx->state[i]);
    }
}

extern "C" void sha256_final_hex(sha256_context *ctx, char hex[65]) {
    static const char kDigits[] = "0123456789abcdef";
    uint8_t digest[32];
    sha256_final(ctx, digest);
    for (int i = 0; i < 32; ++i) {
        hex[2 * i] = kDigits[digest[i] >> 4];
        hex[2 * i + 1] = kDigits[digest[i] & 0xF];
    }
    hex[64] = '\0';
}
