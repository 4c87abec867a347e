// A line that plays the chip from a script, under a virtual clock. Put
// under the core's serial layer, it answers every open and every write
// of the host with the next reply of the script. Waits take no real time:
// the clock jumps to the next arrival or to the end of the wait.
//
// A reply is one or more pieces. A piece starts with a header byte:
//   bits 0-5  its length (0..63), the bytes follow
//   bit 6     another piece of the same reply follows
//   bit 7     a delay byte follows: the piece arrives that many 20 ms
//             after the previous one (or after the open or write)
// The header 0xFF hangs the line up instead.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzz {
namespace scripted_line {

// Installs the line under the core (once per process).
void install();
// The same, and the core's port opened on it, for the targets that read
// outside a device operation.
void installAndOpen();
// A new input: its script, and the host write (counted from 1) that
// comes with a stop request (0: none). The clock starts again.
void start(const uint8_t *script, size_t size, uint32_t cancelAtWrite);
// A new input for the port left open by installAndOpen(): no replies,
// nothing left from the last input, these bytes there already.
void feed(const uint8_t *bytes, size_t size);
// True while the core holds the line open.
bool isOpen();
// The host writes so far in this input.
uint32_t writes();

} // namespace scripted_line
} // namespace fuzz
