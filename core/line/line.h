// The line under the serial layer and the clock of the core's waits: the
// real terminal and the monotonic clock, unless a test installs its own.
// Internal. The fuzz targets install a scripted line and a virtual clock,
// so that the fixed pauses and reply windows take no real time there.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <poll.h>
#include <sys/types.h>

namespace kelvo_line {

using Clock = std::chrono::steady_clock;

struct Ops {
    // Opens, locks and configures the device at rate: a descriptor > 0,
    // or -1 after the reason was printed.
    int (*open)(const char *path, uint32_t rate);
    // Lets queued output go (bounded), drops unread input and closes.
    void (*close)(int fd);
    // Waits until queued output has left (bounded); false when it did not.
    bool (*drain)(int fd);
    // As poll(), read() and write(). Every wait of the core goes through
    // poll, the line's and the cancellation descriptor's alike.
    int (*poll)(struct pollfd *fds, nfds_t count, int timeout_ms);
    ssize_t (*read)(int fd, void *buf, size_t len);
    ssize_t (*write)(int fd, const void *buf, size_t len);
    Clock::time_point (*now)();
};

// The line in use.
const Ops &ops();
// Replaces the line; nullptr restores the real one. Only while no port
// is open.
void install(const Ops *replacement);

// True when the real terminal's last open found a serial line at its path,
// whether or not it could then take it (held by someone else).
bool lastOpenFoundSerialLine();

} // namespace kelvo_line

// Sleeps for ms milliseconds unless a cancellation arrives first; false
// when it was cut short.
bool kelvo_pause_ms(int ms);

// Drops the input that has arrived so far, without waiting for more.
void kelvo_discard_input();
