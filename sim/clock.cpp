#include "clock.h"

#include <cerrno>
#include <csignal>
#include <poll.h>

namespace sim {
namespace {

volatile sig_atomic_t g_stop = 0;
sigset_t g_waitMask; // the mask used inside waits: stop signals let through

void onStopSignal(int) {
    g_stop = 1;
}

timespec toTimespec(Clock::duration d) {
    if (d < Clock::duration::zero()) {
        d = Clock::duration::zero();
    }
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

} // namespace

bool installStopHandling() {
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    if (sigaction(SIGTERM, &sa, nullptr) != 0 || sigaction(SIGINT, &sa, nullptr) != 0) {
        return false;
    }
    signal(SIGPIPE, SIG_IGN);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    if (sigprocmask(SIG_BLOCK, &stopSignals, &g_waitMask) != 0) {
        return false;
    }
    sigdelset(&g_waitMask, SIGTERM);
    sigdelset(&g_waitMask, SIGINT);
    return true;
}

bool stopRequested() {
    return g_stop != 0;
}

int waitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        if (g_stop) {
            return -1;
        }
        pollfd p{fd, events, 0};
        timespec left = toTimespec(deadline - Clock::now());
        int n = ppoll(fd >= 0 ? &p : nullptr, fd >= 0 ? 1 : 0, &left, &g_waitMask);
        if (n > 0) {
            return p.revents;
        }
        if (n == 0) {
            if (Clock::now() >= deadline) {
                return 0;
            }
            continue; // woke early: the deadline is what counts
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

bool sleepUntil(Clock::time_point deadline) {
    return waitFor(-1, 0, deadline) == 0;
}

} // namespace sim
