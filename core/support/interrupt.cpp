// Signals and cancellation. The handler does only async-signal-safe work:
// it records the signal, wakes the waits through an eventfd, and, outside
// a device operation, removes the temporary file and ends the process.
#include "interrupt.h"

#include "KelvoPG_core.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <initializer_list>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

std::atomic<int> cancel_pending{0};
std::atomic<int> interrupt_signal{0};
std::atomic<int> direct_signal_seen{0};
std::atomic<int> operation_running{0};
std::atomic<int> wake_fd{-1};

// Written by the saving thread, read by the handler: the handler only looks
// at it while temp_path_set is 1, and the writer clears that first.
char temp_path[PATH_MAX];
std::atomic<int> temp_path_set{0};

int ensureWakeFd() {
    int fd = wake_fd.load();
    if (fd >= 0) {
        return fd;
    }
    int created = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    int expected = -1;
    if (!wake_fd.compare_exchange_strong(expected, created)) {
        ::close(created); // another thread was first
        return expected;
    }
    return created;
}

void removeTempFile() {
    if (temp_path_set.load()) {
        ::unlink(temp_path);
    }
}

// A second signal of our own ends the process at once (a user who presses
// Ctrl-C twice); an interrupt relayed by a supervising process never does,
// whichever of the two arrives first.
void interrupt(int sig, bool direct) {
    int saved_errno = errno;
    int expected = 0;
    interrupt_signal.compare_exchange_strong(expected, sig);
    int recorded = interrupt_signal.load();
    bool repeated = direct && direct_signal_seen.exchange(1) != 0;
    if (!operation_running.load() || repeated) {
        removeTempFile();
        ::_exit(128 + recorded);
    }
    kelvo_request_cancel();
    errno = saved_errno;
}

void onSignal(int sig) {
    interrupt(sig, true);
}

} // namespace

extern "C" void kelvo_install_interrupt_handlers(void) {
    ensureWakeFd();
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: a blocked call returns EINTR at once
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        ::sigaction(sig, &sa, nullptr);
    }
}

extern "C" void kelvo_relayed_interrupt(int sig) {
    interrupt(sig, false);
}

extern "C" void kelvo_request_cancel(void) {
    cancel_pending.store(1);
    int fd = wake_fd.load();
    if (fd >= 0) {
        uint64_t one = 1;
        ssize_t ignored = ::write(fd, &one, sizeof one);
        (void)ignored; // a full counter is still readable
    }
}

extern "C" void kelvo_clear_cancel(void) {
    cancel_pending.store(0);
    interrupt_signal.store(0);
    direct_signal_seen.store(0);
    int fd = wake_fd.load();
    if (fd >= 0) {
        uint64_t count;
        ssize_t ignored = ::read(fd, &count, sizeof count);
        (void)ignored; // EAGAIN: nothing was pending
    }
}

extern "C" int kelvo_cancel_requested(void) {
    return cancel_pending.load();
}

extern "C" int kelvo_interrupt_signal(void) {
    return interrupt_signal.load();
}

extern "C" int kelvo_cancel_fd(void) {
    return ensureWakeFd();
}

void kelvo_operation_begin(void) {
    ensureWakeFd();
    operation_running.store(1);
}

void kelvo_operation_end(void) {
    operation_running.store(0);
}

void kelvo_register_temp_file(const char *path) {
    temp_path_set.store(0);
    size_t len = std::strlen(path);
    if (len >= sizeof temp_path) {
        return;
    }
    std::memcpy(temp_path, path, len + 1);
    temp_path_set.store(1);
}

void kelvo_unregister_temp_file(void) {
    temp_path_set.store(0);
}
