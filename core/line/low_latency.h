// Low-latency mode of USB serial adapters: their drivers otherwise hold
// received bytes for up to 16 ms, which a stop-and-wait transfer pays on
// every acknowledgement.
#pragma once

#include <string>

namespace kelvo_serial {

struct LowLatencyState {
    bool changed = false; // the flag was added by us and must be taken away
    int previousFlags = 0;
};

// Asks the driver of fd for low latency. A driver or terminal that refuses
// is not an error: it is mentioned only at verbosity 2 and up, as is a
// latency timer in sysfs that still reads above 1 ms.
LowLatencyState requestLowLatency(int fd, const std::string &path);
// The latency timer of the adapter behind path in milliseconds, as its
// driver shows it in sysfs; -1 when it shows none (not a USB adapter, or a
// driver without one).
int adapterLatencyTimerMs(const std::string &path);
// Puts back the flags found by requestLowLatency.
void restoreLowLatency(int fd, const LowLatencyState &state);

} // namespace kelvo_serial
