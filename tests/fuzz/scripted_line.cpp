#include "scripted_line.h"

#include "KelvoPG_core.h"
#include "fuzz_support.h"
#include "line/line.h"

#include <algorithm>
#include <cerrno>
#include <deque>
#include <fcntl.h>
#include <map>
#include <unistd.h>
#include <vector>

namespace fuzz {
namespace scripted_line {
namespace {

using Clock = kelvo_line::Clock;
using std::chrono::milliseconds;

constexpr uint8_t kHangUp = 0xFF;
constexpr uint8_t kMore = 0x40;
constexpr uint8_t kDelayed = 0x80;
constexpr uint8_t kLengthMask = 0x3F;
constexpr milliseconds kDelayUnit{20};
const Clock::time_point kStart = Clock::time_point() + std::chrono::hours(1);

struct Piece {
    std::vector<uint8_t> bytes;
    bool hangUp;
};

struct State {
    // A descriptor of /dev/null stands for the line, so that the odd
    // ioctl() of the serial layer on it fails harmlessly.
    int handle = -1;
    bool open = false;
    bool hungUp = false;
    Clock::time_point now = kStart;
    const uint8_t *script = nullptr;
    size_t size = 0;
    size_t pos = 0;
    uint32_t writes = 0;
    uint32_t cancelAt = 0;
    std::deque<uint8_t> arrived;
    std::multimap<Clock::time_point, Piece> pending; // equal times keep their order
} line;

void checkLine(int fd) {
    if (fd != line.handle || !line.open) {
        fail("the line used while it is not open");
    }
}

// Schedules the next reply of the script, from now on.
void takeReply() {
    Clock::time_point at = line.now;
    uint8_t header = kMore;
    while ((header & kMore) && line.pos < line.size) {
        header = line.script[line.pos++];
        if (header == kHangUp) {
            line.pending.emplace(at, Piece{{}, true});
            return;
        }
        if ((header & kDelayed) && line.pos < line.size) {
            at += kDelayUnit * line.script[line.pos++];
        }
        size_t len = std::min<size_t>(header & kLengthMask, line.size - line.pos);
        const uint8_t *bytes = line.script + line.pos;
        line.pending.emplace(at, Piece{{bytes, bytes + len}, false});
        line.pos += len;
    }
}

void deliverDue() {
    while (!line.pending.empty() && line.pending.begin()->first <= line.now) {
        const Piece &piece = line.pending.begin()->second;
        line.arrived.insert(line.arrived.end(), piece.bytes.begin(), piece.bytes.end());
        line.hungUp = line.hungUp || piece.hangUp;
        line.pending.erase(line.pending.begin());
    }
}

short lineEvents(short wanted) {
    short events = 0;
    if ((wanted & POLLIN) && !line.arrived.empty()) {
        events |= POLLIN;
    }
    if ((wanted & POLLOUT) && !line.hungUp) {
        events |= POLLOUT;
    }
    return line.hungUp ? static_cast<short>(events | POLLHUP) : events;
}

int readyCount(struct pollfd *fds, nfds_t count) {
    int ready = 0;
    for (nfds_t i = 0; i < count; ++i) {
        if (fds[i].fd == line.handle) {
            checkLine(fds[i].fd);
            fds[i].revents = lineEvents(fds[i].events);
        } else if (::poll(&fds[i], 1, 0) < 0) { // the cancellation descriptor
            fds[i].revents = 0;
        }
        ready += fds[i].revents != 0;
    }
    return ready;
}

int fakePoll(struct pollfd *fds, nfds_t count, int timeoutMs) {
    Clock::time_point end = line.now + milliseconds(timeoutMs < 0 ? 3600000 : timeoutMs);
    for (;;) {
        deliverDue();
        int ready = readyCount(fds, count);
        if (ready > 0 || line.now >= end) {
            return ready;
        }
        Clock::time_point next = line.pending.empty() ? end : line.pending.begin()->first;
        line.now = std::min(end, std::max(next, line.now));
    }
}

ssize_t fakeRead(int fd, void *buf, size_t len) {
    checkLine(fd);
    deliverDue();
    size_t n = std::min(len, line.arrived.size());
    if (n == 0) {
        errno = EAGAIN;
        return line.hungUp ? 0 : -1;
    }
    std::copy_n(line.arrived.begin(), n, static_cast<uint8_t *>(buf));
    line.arrived.erase(line.arrived.begin(), line.arrived.begin() + static_cast<long>(n));
    return static_cast<ssize_t>(n);
}

ssize_t fakeWrite(int fd, const void *, size_t len) {
    checkLine(fd);
    if (line.hungUp) {
        errno = EIO;
        return -1;
    }
    if (++line.writes == line.cancelAt) {
        kelvo_request_cancel();
    }
    takeReply();
    return static_cast<ssize_t>(len);
}

// What was sent or received before is gone, as on a closed terminal.
void forgetTraffic() {
    line.arrived.clear();
    line.pending.clear();
    line.hungUp = false;
}

int fakeOpen(const char *, uint32_t) {
    if (line.open) {
        fail("the line opened twice");
    }
    line.open = true;
    forgetTraffic();
    takeReply();
    return line.handle;
}

void fakeClose(int fd) {
    checkLine(fd);
    line.open = false;
    forgetTraffic();
}

bool fakeDrain(int fd) {
    checkLine(fd);
    return true;
}

Clock::time_point fakeNow() {
    return line.now;
}

const kelvo_line::Ops kScripted = {fakeOpen, fakeClose, fakeDrain, fakePoll,
                                   fakeRead, fakeWrite, fakeNow};

} // namespace

void install() {
    line.handle = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (line.handle <= 0) {
        fail("cannot open /dev/null");
    }
    kelvo_line::install(&kScripted);
}

void installAndOpen() {
    install();
    if (serialport_open("/dev/kelvo-fuzz-line", 115200) <= 0) {
        fail("the core could not open the scripted line");
    }
}

void start(const uint8_t *script, size_t size, uint32_t cancelAtWrite) {
    line.script = script;
    line.size = size;
    line.pos = 0;
    line.writes = 0;
    line.cancelAt = cancelAtWrite;
    line.now = kStart;
    forgetTraffic();
}

void feed(const uint8_t *bytes, size_t size) {
    start(nullptr, 0, 0);
    serialport_flush(); // empties the serial layer's own buffer too
    line.arrived.insert(line.arrived.end(), bytes, bytes + size);
}

bool isOpen() {
    return line.open;
}

uint32_t writes() {
    return line.writes;
}

} // namespace scripted_line
} // namespace fuzz
