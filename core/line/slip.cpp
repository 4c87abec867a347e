// SLIP byte stuffing on the serial port. Callers add the 0xC0 delimiters
// themselves with serialport_send_C0 / serialport_receive_C0.
#include "KelvoPG_core.h"

#include <cstddef>

namespace {

constexpr uint8_t kEnd = 0xC0;
constexpr uint8_t kEsc = 0xDB;
constexpr uint8_t subst_C0[2] = {0xDB, 0xDC};
constexpr uint8_t subst_DB[2] = {0xDB, 0xDD};

// Largest input of the single-write path: every byte may double.
constexpr uint32_t kStaticMax = 2047;
constexpr size_t kStaticBufferSize = 4104;

size_t stuff(const uint8_t *data, uint32_t n, uint8_t *out) {
    size_t len = 0;
    for (uint32_t i = 0; i < n; ++i) {
        if (data[i] == kEnd || data[i] == kEsc) {
            const uint8_t *pair = data[i] == kEnd ? subst_C0 : subst_DB;
            out[len++] = pair[0];
            out[len++] = pair[1];
        } else {
            out[len++] = data[i];
        }
    }
    return len;
}

bool writeExactly(const uint8_t *bytes, uint32_t len) {
    return serialport_write(bytes, len) == static_cast<int32_t>(len);
}

// One byte with the port's time-out: 0..255, or -1 when none came.
int readByte() {
    uint8_t byte;
    return serialport_read(&byte, 1) == 1 ? byte : -1;
}

} // namespace

extern "C" int32_t serialport_send_slip_static(const uint8_t *data, uint32_t n) {
    if (n > kStaticMax) {
        infohelper_output(0, "serialport_send_slip_static: %u bytes, at most %u fit", n,
                          kStaticMax);
        return 0;
    }
    uint8_t stuffed[kStaticBufferSize];
    size_t len = stuff(data, n, stuffed);
    if (!writeExactly(stuffed, static_cast<uint32_t>(len))) {
        infohelper_output(0, "failed sending %d bytes", static_cast<int>(len));
        return 0;
    }
    serialport_drain();
    return static_cast<int32_t>(n);
}

extern "C" int32_t serialport_send_slip(const uint8_t *data, uint32_t n) {
    if (n <= kStaticMax) {
        return serialport_send_slip_static(data, n);
    }
    for (uint32_t i = 0; i < n; ++i) {
        uint8_t b = data[i];
        bool ok = b == kEnd   ? writeExactly(subst_C0, 2)
                  : b == kEsc ? writeExactly(subst_DB, 2)
                              : writeExactly(&data[i], 1);
        if (ok) {
            continue;
        }
        if (b == kEnd) {
            infohelper_output(0, "failed substituting 0xC0");
        } else if (b == kEsc) {
            infohelper_output(0, "failed substituting 0xDB");
        } else {
            infohelper_output(0, "failed sending byte %i", static_cast<int>(i));
        }
        return 0;
    }
    serialport_drain();
    return static_cast<int32_t>(n);
}

extern "C" int32_t serialport_receive_slip(uint8_t *buf, int32_t n) {
    for (int32_t stored = 0; stored < n; ++stored) {
        int byte = readByte();
        if (byte < 0) {
            infohelper_output(0, "failed reading byte");
            return 0;
        }
        if (byte == kEsc) {
            byte = readByte();
            if (byte < 0) {
                infohelper_output(0, "failed reading byte for unslip");
                return 0;
            }
            if (byte != subst_C0[1] && byte != subst_DB[1]) {
                infohelper_output(0, "unslip sequence wrong");
                return 0;
            }
            byte = byte == subst_C0[1] ? kEnd : kEsc;
        }
        buf[stored] = static_cast<uint8_t>(byte);
    }
    return n > 0 ? n : 0;
}

extern "C" int32_t serialport_send_C0(void) {
    if (!writeExactly(&kEnd, 1)) {
        infohelper_output(0, "failed sending 0xC0");
        return 0;
    }
    serialport_drain();
    return 1;
}

extern "C" int32_t serialport_receive_C0(void) {
    int byte = readByte();
    if (byte < 0) {
        return 0;
    }
    if (byte != kEnd) {
        infohelper_output(3, "serialport_receive_C0: %02X instead of C0",
                          static_cast<unsigned>(byte));
        return 0;
    }
    return 1;
}
