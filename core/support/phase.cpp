// The phase of the operation in flight, published for watchers on other
// threads; the operations set it as they go.
#include "phase.h"

#include "KelvoPG_core.h"

#include <atomic>

namespace {
std::atomic<int> current_phase{KELVO_PHASE_IDLE};
} // namespace

void kelvo_set_phase(int phase) {
    current_phase.store(phase);
}

extern "C" int kelvo_current_phase(void) {
    return current_phase.load();
}
