// Quick replies: a reply ends when bytes have come and the line has then
// stayed silent for a quiet gap, instead of at the end of the full window.
#pragma once

#include <cstdint>

namespace kelvo_line {

// The quiet gap for an adapter with the given latency timer (-1: none
// shown) at rate bit/s, raised to KELVO_QUICK_GAP_MS when that is larger.
uint32_t quietGapMs(int latencyTimerMs, uint32_t rate);

} // namespace kelvo_line
