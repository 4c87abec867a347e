#include "common/child.h"

#include "KelvoPG_core.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace gang {
namespace {

constexpr int kWatchIntervalMs = 50;

int statusOut = -1;
pid_t parentPid = 0;
std::atomic<bool> leaveNow{false};
std::atomic<bool> stopWanted{false};

std::atomic<bool> watching{false};
pthread_t watcher;
bool watched = false;

// The parent's cancel, a signal from anyone else (SIGTERM when the parent
// dies) and a hang-up all mean the same: cancel what is on the line and
// leave. Passed to the core as a relayed interrupt, so that a second one
// does not end the process in the middle of a block.
void onLeaveSignal(int sig) {
    leaveNow.store(true);
    kelvo_relayed_interrupt(sig == kCancelSignal ? SIGINT : sig);
}

void onStopSignal(int) {
    stopWanted.store(true);
}

void installHandlers() {
    kelvo_install_interrupt_handlers(); // the core's wake-up descriptor
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = onLeaveSignal;
    for (int sig : {SIGINT, SIGTERM, SIGHUP, kCancelSignal}) {
        ::sigaction(sig, &sa, nullptr);
    }
    sa.sa_handler = onStopSignal;
    ::sigaction(kStopSignal, &sa, nullptr);
    std::signal(SIGCHLD, SIG_DFL);
}

bool parentGone() {
    return ::getppid() != parentPid;
}

// Percentage of the transfer in flight. The counter keeps the previous
// transfer's end (0) until the next one has sent its first block, so a
// count of 0 only means done once the transfer was seen under way.
int transferPercent(bool *sawRunning) {
    int64_t size = kelvo_transfer_size();
    int32_t remaining = checkremaining_bytes();
    if (size <= 0) {
        return -1;
    }
    if (remaining > 0) {
        *sawRunning = true;
        int64_t done = size - remaining;
        return done <= 0 ? 0 : static_cast<int>(done * 100 / size);
    }
    return *sawRunning ? 100 : 0;
}

void *watchBody(void *) {
    int lastPhase = -1, lastPercent = -2;
    int64_t lastSize = 0;
    bool sawRunning = false;
    while (watching.load()) {
        if (mustLeave() && !kelvo_cancel_requested()) {
            kelvo_request_cancel();
        }
        int phase = kelvo_current_phase();
        int64_t size = kelvo_transfer_size();
        // Until the core publishes its phases, a transfer in flight still
        // tells that the board is being written.
        if (phase == KELVO_PHASE_IDLE && size > 0) {
            phase = KELVO_PHASE_WRITING;
        }
        if (size != lastSize || phase != KELVO_PHASE_WRITING) {
            sawRunning = false;
            lastSize = size;
        }
        int percent = phase == KELVO_PHASE_WRITING ? transferPercent(&sawRunning) : -1;
        if (phase != lastPhase || percent != lastPercent) {
            sendMessage(progressMessage(phase, percent));
            lastPhase = phase;
            lastPercent = percent;
        }
        ::usleep(kWatchIntervalMs * 1000);
    }
    return nullptr;
}

} // namespace

void becomeChild(pid_t parent, int statusFd) {
    parentPid = parent;
    statusOut = statusFd;
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    installHandlers();
    if (parentGone()) {
        leaveNow.store(true); // it died before the death signal was armed
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

void sendMessage(const ChildMessage &message) {
    std::string line = encodeMessage(message);
    ssize_t n;
    do {
        n = ::write(statusOut, line.data(), line.size());
    } while (n < 0 && errno == EINTR);
}

bool mustLeave() {
    return leaveNow.load() || parentGone();
}

bool leaveAfterBoard() {
    return stopWanted.load() || mustLeave();
}

void pauseUnlessLeaving(int ms) {
    if (leaveAfterBoard()) {
        return;
    }
    pollfd p{kelvo_cancel_fd(), POLLIN, 0};
    ::poll(&p, 1, ms);
}

void startProgressWatch() {
    watching.store(true);
    watched = pthread_create(&watcher, nullptr, watchBody, nullptr) == 0;
}

void stopProgressWatch() {
    watching.store(false);
    if (watched) {
        pthread_join(watcher, nullptr);
        watched = false;
    }
}

void redirectOutput(int fd) {
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(fd, STDOUT_FILENO);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
}

void quietOutput() {
    int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
        redirectOutput(fd);
    }
}

} // namespace gang
