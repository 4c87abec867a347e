// The SHA-256 of some bytes in lower-case hex, as recipes and logs write it.
#pragma once

#include "KelvoPG_core.h"

#include <string>

namespace gt {

inline std::string sha256Hex(const std::string &bytes) {
    sha256_context ctx;
    char hex[65];
    sha256_init(&ctx);
    sha256_update(&ctx, reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    sha256_final_hex(&ctx, hex);
    return hex;
}

} // namespace gt
