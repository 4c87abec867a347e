// Time and stop handling shared by every wait of the simulator.
#pragma once

#include <chrono>

namespace sim {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;
using Micros = std::chrono::microseconds;

// Blocks SIGTERM and SIGINT outside of the simulator's waits and installs
// the handler that records a stop request.
bool installStopHandling();
bool stopRequested();

// Waits for the descriptor to become ready (events as for poll) or for the
// deadline. Returns the poll revents, 0 on time-out, -1 on a stop request.
// Signals are only delivered inside this wait, so a stop is never missed.
int waitFor(int fd, short events, Clock::time_point deadline);

// Sleeps until the deadline; false when a stop was requested meanwhile.
bool sleepUntil(Clock::time_point deadline);
inline bool sleepFor(Clock::duration d) {
    return sleepUntil(Clock::now() + d);
}

} // namespace sim
