// CRC-16/XMODEM: polynomial 0x1021, initial value 0, no reflection, no
// final XOR; computed a byte at a time through a table.
#include "KelvoPG_core.h"

#include <array>

namespace {

constexpr uint16_t kPolynomial = 0x1021;

// Entry i: the register after shifting i (in the high byte) through eight
// steps of the polynomial, most significant bit first.
constexpr std::array<uint16_t, 256> makeTable() {
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t reg = static_cast<uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit) {
            reg = (reg & 0x8000) ? static_cast<uint16_t>((reg << 1) ^ kPolynomial)
                                 : static_cast<uint16_t>(reg << 1);
        }
        table[i] = reg;
    }
    return table;
}

constexpr std::array<uint16_t, 256> crc16tab = makeTable();

} // namespace

extern "C" uint16_t crc16_ccitt(const void *buf, int32_t len) {
    const uint8_t *bytes = static_cast<const uint8_t *>(buf);
    uint16_t crc = 0;
    for (int32_t i = 0; i < len; ++i) {
        crc = static_cast<uint16_t>((crc << 8) ^ crc16tab[((crc >> 8) ^ bytes[i]) & 0xFF]);
    }
    return crc;
}
