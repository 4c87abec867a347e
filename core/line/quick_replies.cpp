// The reply framing switch and the quiet gap rule. The boot loader ends
// its replies with no terminator, so a gap is only safe when it is longer
// than any pause inside one reply: the adapter's packet latency (a USB
// adapter delivers a reply in packets, up to one latency timer apart) and
// a run of character times, whichever is larger, with a floor for the
// scheduling of the host itself.
#include "quick_replies.h"

#include "KelvoPG_core.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t kFloorMs = 20;           // a loaded host's scheduling jitter, and more
constexpr uint32_t kLatencyTimerFactor = 3; // packets held up to one timer, twice over
constexpr uint32_t kCharacterTimes = 64;    // a whole USB packet's worth of characters
constexpr uint32_t kMaxGapMs = 1000;        // as long as a whole window: no gain left

// -1: follow the environment; 0 or 1: set by the program.
int chosen = -1;

uint32_t userGapMs() {
    const char *text = std::getenv("KELVO_QUICK_GAP_MS");
    if (text == nullptr || *text == '\0') {
        return 0;
    }
    char *end = nullptr;
    unsigned long value = std::strtoul(text, &end, 10);
    if (*end != '\0' || text[0] == '-') {
        return 0; // not a number: the computed gap stays
    }
    return static_cast<uint32_t>(std::min<unsigned long>(value, kMaxGapMs));
}

} // namespace

namespace kelvo_line {

uint32_t quietGapMs(int latencyTimerMs, uint32_t rate) {
    uint32_t gap = kFloorMs;
    if (latencyTimerMs > 0) {
        gap = std::max(gap, kLatencyTimerFactor * static_cast<uint32_t>(latencyTimerMs));
    }
    if (rate > 0) {
        // Ten bits a character, rounded up.
        uint64_t ms = (uint64_t{kCharacterTimes} * 10u * 1000u + rate - 1) / rate;
        gap = std::max(gap, static_cast<uint32_t>(std::min<uint64_t>(ms, kMaxGapMs)));
    }
    return std::min(std::max(gap, userGapMs()), kMaxGapMs);
}

} // namespace kelvo_line

extern "C" void kelvo_set_quick_replies(int on) {
    chosen = on != 0 ? 1 : 0;
}

extern "C" int kelvo_quick_replies(void) {
    if (chosen >= 0) {
        return chosen;
    }
    const char *text = std::getenv("KELVO_QUICK_REPLIES");
    return text != nullptr && std::strcmp(text, "1") == 0 ? 1 : 0;
}
