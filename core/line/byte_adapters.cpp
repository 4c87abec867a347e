// The XModem module's adapters onto the serial port.
#include "KelvoPG_core.h"

#include "support/interrupt.h"
#include "line.h"

#include <chrono>

namespace {

// What one serialport_read attempt is taken to cost, with the 1 ms pause.
constexpr int32_t kAttemptMs = 1001;

} // namespace

// One byte within about timeout_ms: each attempt waits the port's read
// budget (1000 ms after an open), so 1000 gives one attempt and 1500 or 2000
// give two. 0..255, or -1 when nothing came or a cancellation is pending.
extern "C" int32_t _inbyte(int32_t timeout_ms) {
    for (;;) {
        uint8_t byte;
        if (serialport_read(&byte, 1) == 1) {
            return byte;
        }
        if (kelvo_cancel_requested() || !kelvo_pause_ms(1) || timeout_ms <= 1000) {
            return -1;
        }
        timeout_ms -= kAttemptMs;
    }
}

extern "C" void _outbyte(int32_t c) {
    uint8_t byte = static_cast<uint8_t>(c & 0xFF);
    serialport_write(&byte, 1); // a lost byte shows up as a missing ACK
}

extern "C" int32_t _outblock(const uint8_t *bytes, int32_t len) {
    if (len <= 0) {
        return 1;
    }
    auto start = kelvo_line::ops().now();
    // A short write shows up as a missing ACK, as a lost byte does.
    serialport_write(bytes, static_cast<uint32_t>(len));
    // The peer's reply can only start once the block has left the line. A
    // UART's drain waits for that; a pseudo-terminal's returns at once, so
    // the block's wire time at the line's rate is the lower bound.
    serialport_drain();
    auto due =
        start + std::chrono::milliseconds(serialport_wire_time_ms(static_cast<uint32_t>(len)));
    auto left = std::chrono::ceil<std::chrono::milliseconds>(due - kelvo_line::ops().now());
    return left.count() <= 0 || kelvo_pause_ms(static_cast<int>(left.count())) ? 1 : 0;
}
