// The one UART line of the process: a tty in raw 8N1 mode, held for
// exclusive use while open, with timed reads, bounded writes and the
// modem-control lines. Every wait here has a time limit. The descriptor
// stays non-blocking: each wait is a poll() against its deadline beside
// the cancellation descriptor, so another reader of the same terminal
// cannot hold us, and input is taken in bulk into a receive buffer.
#include "KelvoPG_core.h"
#include "line.h"
#include "low_latency.h"
#include "quick_replies.h"
#include "serial_rate.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = kelvo_line::Clock;

Clock::time_point now() {
    return kelvo_line::ops().now();
}

int32_t serial_port = -1;
struct termios term;  // working settings of the open port
uint32_t timeout = 0; // ms, budget of one serialport_read
uint32_t block_timeout = KELVO_BLOCK_READ_TIMEOUT_MS;

uint32_t line_rate = 0;   // bit/s requested at open
uint32_t custom_rate = 0; // off-table rate set through termios2; 0 for a table rate
bool line_failed = false; // a hang-up or read error was reported for this port
kelvo_serial::LowLatencyState low_latency;
std::string port_path;
int adapter_latency_ms = -1;    // the adapter's latency timer, -1 where the kernel shows none
bool found_serial_line = false; // the last open found a terminal at its path

// Received bytes not yet handed out: [rx_head, rx_tail) of rx_buffer.
uint8_t rx_buffer[4096];
size_t rx_head = 0;
size_t rx_tail = 0;

constexpr uint32_t kDefaultTimeoutMs = 1000;
constexpr long kQuietMs = 100;            // silence that ends a flush (one read period)
constexpr long kFlushQuietLimitMs = 2000; // a line that never goes quiet stops the flush
constexpr int kDiscardReadsMax = 16;
constexpr int kBlockChunkMax = 100;       // bytes per serialport_block_read chunk
constexpr uint32_t kDiscardLimit = 65536; // a line that never stops cannot hold a discard

struct RateCode {
    uint32_t rate;
    speed_t code;
};

constexpr RateCode kRateTable[] = {
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},
    {38400, B38400},     {57600, B57600},     {115200, B115200},   {230400, B230400},
    {460800, B460800},   {921600, B921600},   {1000000, B1000000}, {1500000, B1500000},
    {2000000, B2000000}, {3000000, B3000000},
};

long msSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now() - start).count());
}

// Rounded up, so that a wait never ends before its deadline.
long msUntil(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now());
    return static_cast<long>(left.count());
}

bool lookupSpeed(uint32_t rate, speed_t *code) {
    for (const RateCode &entry : kRateTable) {
        if (entry.rate == rate) {
            *code = entry.code;
            return true;
        }
    }
    return false;
}

// Time that len bytes take on the line at the open rate, doubled, plus a
// second of slack for adapters that buffer: the bound of writes and drains.
long transmitBoundMs(size_t len) {
    uint32_t rate = line_rate >= 300 ? line_rate : 300;
    return 1000 + static_cast<long>(static_cast<uint64_t>(len) * 20000u / rate);
}

void reportLineFailure(const char *why) {
    if (line_failed) {
        return;
    }
    line_failed = true;
    infohelper_output(0, "%s: %s", port_path.c_str(), why);
}

// Waits for room in the output queue until bound ms after start.
bool waitWritable(Clock::time_point start, long bound) {
    for (;;) {
        long left = bound - msSince(start);
        if (left <= 0) {
            return false;
        }
        pollfd p{serial_port, POLLOUT, 0};
        int ready = kelvo_line::ops().poll(&p, 1, static_cast<int>(left));
        if (ready > 0) {
            return true; // room, or an error that the next write reports
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
}

// ---- Receiving. Every wait polls the line beside the cancellation
// descriptor, so that a stop request ends it at once.

enum InputStatus { kInputReady, kInputTimedOut, kInputFailed, kInputCancelled };

size_t buffered() {
    return rx_tail - rx_head;
}

// Hands out up to len buffered bytes.
size_t takeBuffered(uint8_t *buf, size_t len) {
    size_t n = std::min(len, buffered());
    std::memcpy(buf, rx_buffer + rx_head, n);
    rx_head += n;
    if (rx_head == rx_tail) {
        rx_head = rx_tail = 0;
    }
    return n;
}

void discardBuffered() {
    rx_head = rx_tail = 0;
}

// One non-blocking read of whatever has arrived, appended to the buffer.
InputStatus fillBuffer(short revents) {
    if (rx_head > 0) {
        std::memmove(rx_buffer, rx_buffer + rx_head, buffered());
        rx_tail -= rx_head;
        rx_head = 0;
    }
    ssize_t n =
        kelvo_line::ops().read(serial_port, rx_buffer + rx_tail, sizeof rx_buffer - rx_tail);
    if (n > 0) {
        rx_tail += static_cast<size_t>(n);
        return kInputReady;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        if ((revents & (POLLHUP | POLLERR | POLLNVAL)) == 0) {
            return kInputTimedOut; // another reader took it: keep waiting
        }
    } else if (n < 0 && (revents & (POLLHUP | POLLERR)) == 0) {
        reportLineFailure(std::strerror(errno));
        return kInputFailed;
    }
    // End-of-file, or nothing with a hang-up pending.
    reportLineFailure("hung up (unplugged, or closed at the other end)");
    return kInputFailed;
}

// Waits until the buffer holds something or the deadline passes.
InputStatus waitForInput(Clock::time_point deadline) {
    while (buffered() == 0) {
        if (line_failed) {
            return kInputFailed; // already reported; no more waiting on a dead line
        }
        long left = msUntil(deadline);
        if (left <= 0) {
            return kInputTimedOut;
        }
        pollfd p[2] = {{serial_port, POLLIN, 0}, {kelvo_cancel_fd(), POLLIN, 0}};
        int ready = kelvo_line::ops().poll(p, 2, static_cast<int>(std::min(left, 60000L)));
        if (ready < 0 && errno != EINTR) {
            reportLineFailure(std::strerror(errno));
            return kInputFailed;
        }
        if (kelvo_cancel_requested() || (ready > 0 && p[1].revents != 0)) {
            return kInputCancelled;
        }
        if (ready > 0 && p[0].revents != 0) {
            InputStatus status = fillBuffer(p[0].revents);
            if (status == kInputFailed) {
                return status;
            }
        }
    }
    return kInputReady;
}

// Takes in what the line holds right now, without waiting; true when
// something came.
bool pollInputNow() {
    pollfd p{serial_port, POLLIN, 0};
    if (kelvo_line::ops().poll(&p, 1, 0) <= 0 || p.revents == 0) {
        return false;
    }
    return fillBuffer(p.revents) == kInputReady && buffered() > 0;
}

// Takes up to len bytes as they arrive until the line has been silent for
// quiet_ms or the deadline passes; the count taken.
size_t readUntilQuiet(uint8_t *buf, size_t len, Clock::time_point deadline, long quiet_ms) {
    size_t count = takeBuffered(buf, len);
    while (count < len) {
        Clock::time_point quietEnd =
            std::min(deadline, now() + std::chrono::milliseconds(quiet_ms));
        if (waitForInput(quietEnd) != kInputReady) {
            break;
        }
        count += takeBuffered(buf + count, len - count);
    }
    return count;
}

// Waits until the output queue is empty, at most the time the queued bytes
// take on the line. false when it did not empty in time.
bool drainOutput() {
    int queued = 0;
    if (::ioctl(serial_port, TIOCOUTQ, &queued) != 0) {
        queued = 0;
    }
    long bound = transmitBoundMs(static_cast<size_t>(queued > 0 ? queued : 0));
    Clock::time_point start = now();
    while (::ioctl(serial_port, TIOCOUTQ, &queued) == 0 && queued > 0) {
        if (msSince(start) >= bound) {
            infohelper_output(1, "%s: %d bytes of output not sent", port_path.c_str(), queued);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    // The queue is empty; this only waits for the UART's own FIFO.
    ::tcdrain(serial_port);
    return true;
}

std::string owningGroup(const char *path) {
    struct stat st;
    if (::stat(path, &st) != 0) {
        return "dialout";
    }
    struct group grp;
    struct group *found = nullptr;
    char buf[1024];
    if (::getgrgid_r(st.st_gid, &grp, buf, sizeof buf, &found) != 0 || found == nullptr) {
        return std::to_string(st.st_gid);
    }
    return found->gr_name;
}

void reportOpenFailure(const char *path, int err) {
    infohelper_output(0, "cannot access %s: %s", path, std::strerror(err));
    if (err == EACCES) {
        std::string group = owningGroup(path);
        infohelper_output(0,
                          "the user must be in the group \"%s\" that owns %s "
                          "(sudo usermod -aG %s $USER, then log in again)",
                          group.c_str(), path, group.c_str());
    }
}

void reportNotSerial(const char *path) {
    infohelper_output(0, "cannot access %s: not a serial port", path);
}

// A path that exists but is no character device (a regular file, a
// directory, a pipe) is refused before it is opened at all.
bool mayBeSerial(const char *path) {
    struct stat st;
    if (::stat(path, &st) == 0 && !S_ISCHR(st.st_mode)) {
        reportNotSerial(path);
        return false;
    }
    return true; // a missing path is reported by the open
}

// A character device that answers as a terminal: /dev/null and /dev/zero
// take the lock and every write, and would only fail later and obscurely.
bool isSerialLine(int fd) {
    struct stat st;
    struct termios t;
    return ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && ::tcgetattr(fd, &t) == 0;
}

// Opens without waiting for carrier and takes the exclusive lock.
// The descriptor, or -1 after the reason was printed.
int openLocked(const char *path) {
    found_serial_line = false;
    if (!mayBeSerial(path)) {
        return -1;
    }
    int fd = ::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0 && errno == EBUSY) {
        found_serial_line = true;                             // only a terminal refuses this way
        infohelper_output(0, "cannot access %s: busy", path); // held with TIOCEXCL
        return -1;
    }
    if (fd < 0) {
        reportOpenFailure(path, errno);
        return -1;
    }
    if (!isSerialLine(fd)) {
        ::close(fd);
        reportNotSerial(path);
        return -1;
    }
    found_serial_line = true;
    if (fd == 0) {
        // 0 is this module's failure result: move the port elsewhere.
        int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 1);
        ::close(fd);
        fd = moved;
        if (fd < 0) {
            reportOpenFailure(path, errno);
            return -1;
        }
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        ::close(fd);
        if (err == EWOULDBLOCK) {
            infohelper_output(0, "cannot access %s: busy", path);
        } else {
            reportOpenFailure(path, err);
        }
        return -1;
    }
    // The lock only stops programs that lock too: this also refuses later
    // opens by anyone else (root aside) while we hold the line.
    ::ioctl(fd, TIOCEXCL);
    return fd;
}

void setRawMode(struct termios *t) {
    t->c_iflag = IGNBRK;
    t->c_oflag = 0;
    t->c_lflag = 0;
    t->c_cflag &= ~(CSTOPB | PARENB | PARODD | CSIZE);
    t->c_cflag |= CS8 | CREAD | CLOCAL;
    t->c_cc[VMIN] = 0;
    t->c_cc[VTIME] = 1;
}

// Applies t at once, with the off-table rate on top when there is one.
bool applySettings(const struct termios &t) {
    if (::tcsetattr(serial_port, TCSANOW, &t) != 0) {
        return false;
    }
    if (custom_rate == 0) {
        return true;
    }
    int err = kelvo_serial::setArbitraryRate(serial_port, custom_rate);
    if (err != 0) {
        infohelper_output(0, "%s cannot run at %u baud: %s", port_path.c_str(), custom_rate,
                          std::strerror(err));
        errno = err;
        return false;
    }
    return true;
}

bool rawModeInForce(const struct termios &t) {
    const tcflag_t kFrame = CSIZE | CSTOPB | PARENB | CRTSCTS | CREAD | CLOCAL;
    return t.c_iflag == IGNBRK && t.c_oflag == 0 && t.c_lflag == 0 &&
           (t.c_cflag & kFrame) == (CS8 | CREAD | CLOCAL) && t.c_cc[VMIN] == 0 &&
           t.c_cc[VTIME] == 1;
}

// Drivers may round a rate to what their divider can do: say so.
void checkRateTaken() {
    uint32_t in_rate = 0, out_rate = 0;
    if (kelvo_serial::readLineRate(serial_port, &in_rate, &out_rate) != 0) {
        return;
    }
    if (out_rate != line_rate && line_rate != 0) {
        infohelper_output(1, "%s runs at %u baud instead of %u", port_path.c_str(), out_rate,
                          line_rate);
    }
}

// Steps after the lock: settings applied in two stages, then read back.
bool configureLine(uint32_t rate) {
    infohelper_output(3, "tcgetattr");
    if (::tcgetattr(serial_port, &term) != 0) {
        reportOpenFailure(port_path.c_str(), errno);
        return false;
    }
    serialport_set_baudrate(rate);
    setRawMode(&term);
    infohelper_output(3, "tcsetattr");
    if (!applySettings(term)) {
        infohelper_output(0, "setattr stage 1 failed: %s", std::strerror(errno));
        return false;
    }
    if (::tcgetattr(serial_port, &term) != 0) {
        infohelper_output(0, "getattr failed: %s", std::strerror(errno));
        return false;
    }
    term.c_cflag &= ~CRTSCTS;
    if (!applySettings(term) || ::tcgetattr(serial_port, &term) != 0) {
        infohelper_output(0, "setattr stage 2 failed: %s", std::strerror(errno));
        return false;
    }
    if (!rawModeInForce(term)) {
        infohelper_output(0, "setattr stage 2 failed: %s did not take the raw settings",
                          port_path.c_str());
        return false;
    }
    checkRateTaken();
    return true;
}

void closeDescriptor() {
    kelvo_serial::restoreLowLatency(serial_port, low_latency);
    low_latency = kelvo_serial::LowLatencyState{};
    ::ioctl(serial_port, TIOCNXCL);
    ::close(serial_port); // releases the lock as well
    serial_port = -1;
    discardBuffered();
}

// ---- The real line: a terminal device.

int openTerminal(const char *path, uint32_t rate) {
    int fd = openLocked(path);
    if (fd < 0) {
        return -1;
    }
    serial_port = fd; // the steps below work on the port
    serialport_set_dtr(false);
    if (!configureLine(rate)) {
        closeDescriptor();
        return -1;
    }
    low_latency = kelvo_serial::requestLowLatency(fd, port_path);
    // Read after the request: low-latency mode may have shortened it.
    adapter_latency_ms = kelvo_serial::adapterLatencyTimerMs(port_path);
    return fd;
}

void closeTerminal(int fd) {
    if (!drainOutput()) {
        ::tcflush(fd, TCOFLUSH); // it cannot be sent; do not let close wait for it
    }
    // Input only: on a pseudo-terminal the drain returns at once, and
    // discarding output would lose what the other side has not read yet.
    ::tcflush(fd, TCIFLUSH);
    closeDescriptor();
}

bool drainTerminal(int) {
    return drainOutput();
}

const kelvo_line::Ops kTerminal = {openTerminal, closeTerminal, drainTerminal, ::poll,
                                   ::read,       ::write,       Clock::now};
const kelvo_line::Ops *line_ops = &kTerminal;

} // namespace

namespace kelvo_line {

const Ops &ops() {
    return *line_ops;
}

void install(const Ops *replacement) {
    line_ops = replacement ? replacement : &kTerminal;
}

bool lastOpenFoundSerialLine() {
    return found_serial_line && line_ops == &kTerminal;
}

} // namespace kelvo_line

extern "C" void serialport_set_baudrate(uint32_t rate) {
    speed_t code;
    custom_rate = 0;
    if (lookupSpeed(rate, &code)) {
        // An input speed left by an earlier off-table rate would stay in
        // force: with CIBAUD clear the input follows the output speed.
        term.c_cflag &= ~CIBAUD;
        ::cfsetispeed(&term, code);
        ::cfsetospeed(&term, code);
        return;
    }
    infohelper_output(1, "serialport_set_baudrate: baud rate %d may not work",
                      static_cast<int>(rate));
    // Set through termios2 whenever the settings are applied. 0 stays 0,
    // "none": as a speed it would hang up the line, so the port keeps its
    // previous speed instead.
    custom_rate = rate;
}

extern "C" int32_t serialport_open(const char *device, uint32_t rate) {
    if (serial_port >= 0) {
        serialport_close();
    }
    const char *path = device ? device : "";
    port_path = path;
    line_rate = rate;
    line_failed = false;
    timeout = kDefaultTimeoutMs;
    adapter_latency_ms = -1;
    discardBuffered();
    int fd = kelvo_line::ops().open(path, rate);
    if (fd <= 0) {
        return 0;
    }
    serial_port = fd;
    infohelper_output(3, "serial open");
    return serial_port;
}

extern "C" int32_t serialport_close(void) {
    if (serial_port < 0) {
        return 0;
    }
    kelvo_line::ops().close(serial_port);
    serial_port = -1;
    discardBuffered();
    return 1;
}

extern "C" void serialport_set_timeout(uint32_t ms) {
    if (ms != timeout) {
        infohelper_output(3, "setting timeout %i", static_cast<int>(ms));
    }
    timeout = ms;
}

extern "C" uint32_t serialport_get_timeout(void) {
    return timeout;
}

extern "C" void serialport_set_block_timeout(uint32_t ms) {
    block_timeout = ms;
}

extern "C" int32_t serialport_read(uint8_t *buf, uint32_t len) {
    if (serial_port < 0 || len == 0) {
        return 0;
    }
    Clock::time_point deadline = now() + std::chrono::milliseconds(timeout);
    uint32_t count = 0;
    while (count < len && waitForInput(deadline) == kInputReady) {
        count += static_cast<uint32_t>(takeBuffered(buf + count, len - count));
    }
    return static_cast<int32_t>(count);
}

extern "C" int32_t serialport_read_framed(uint8_t *buf, uint32_t len, uint32_t window_ms,
                                          uint32_t quiet_ms) {
    if (serial_port < 0 || len == 0) {
        return 0;
    }
    Clock::time_point deadline = now() + std::chrono::milliseconds(window_ms);
    if (waitForInput(deadline) != kInputReady) {
        return 0;
    }
    return static_cast<int32_t>(readUntilQuiet(buf, len, deadline, static_cast<long>(quiet_ms)));
}

extern "C" uint32_t serialport_discard_input(void) {
    if (serial_port < 0 || line_failed) {
        return 0;
    }
    // Only what is there now: no waiting, the command goes out next.
    uint32_t dropped = 0;
    do {
        dropped += static_cast<uint32_t>(buffered());
        discardBuffered();
    } while (dropped < kDiscardLimit && pollInputNow());
    return dropped;
}

extern "C" void serialport_put_back(uint8_t byte) {
    if (rx_head == 0) {
        if (rx_tail == sizeof rx_buffer) {
            return; // a full buffer: the byte is lost, as on an overrun line
        }
        std::memmove(rx_buffer + 1, rx_buffer, rx_tail);
        ++rx_tail;
        rx_head = 1;
    }
    rx_buffer[--rx_head] = byte;
}

extern "C" uint32_t serialport_quiet_gap_ms(void) {
    return kelvo_line::quietGapMs(adapter_latency_ms, line_rate);
}

namespace {

// One chunk of at least min_chunk and at most 100 bytes, zero-terminated:
// what has arrived when the minimum is reached, or with a quiet gap, what
// arrives until the line then stays silent for that long.
InputStatus readChunk(char *buf, size_t min_chunk, Clock::time_point deadline, long quiet_ms,
                      size_t *count) {
    uint8_t *bytes = reinterpret_cast<uint8_t *>(buf);
    *count = 0;
    InputStatus status = kInputReady;
    while (*count < min_chunk && (status = waitForInput(deadline)) == kInputReady) {
        *count += takeBuffered(bytes + *count, kBlockChunkMax - *count);
    }
    if (status == kInputReady && quiet_ms > 0) {
        *count += readUntilQuiet(bytes + *count, kBlockChunkMax - *count, deadline, quiet_ms);
    }
    if (status == kInputReady) {
        *count += takeBuffered(bytes + *count, kBlockChunkMax - *count);
    }
    buf[status == kInputReady ? *count : 0] = '\0';
    return status;
}

} // namespace

extern "C" int32_t serialport_block_read(char *buf, int32_t min_chunk) {
    return serialport_block_read_framed(buf, min_chunk, 0, 0);
}

extern "C" int32_t serialport_block_read_framed(char *buf, int32_t min_chunk, uint32_t extra_ms,
                                                uint32_t quiet_ms) {
    buf[0] = '\0';
    // Input that came before the call stays: the reply may already be there.
    if (serial_port < 0 || line_failed) {
        return 0; // a failed line was already reported
    }
    size_t vmin = static_cast<size_t>(std::clamp<int32_t>(min_chunk, 1, kBlockChunkMax));
    Clock::time_point deadline =
        now() + std::chrono::milliseconds(static_cast<uint64_t>(block_timeout) + extra_ms);
    size_t n = 0;
    InputStatus status;
    while ((status = readChunk(buf, vmin, deadline, static_cast<long>(quiet_ms), &n)) ==
           kInputReady) {
        std::printf("Received:%s length:%d\n", buf, static_cast<int>(n));
        std::fflush(stdout);
        if (buf[0] == 'O') {
            return 1;
        }
    }
    if (status == kInputTimedOut) {
        infohelper_output(0, "no reply from %s within %u ms", port_path.c_str(),
                          static_cast<unsigned>(block_timeout));
    }
    return 0;
}

extern "C" int32_t serialport_write(const uint8_t *buf, uint32_t len) {
    if (serial_port < 0) {
        return -1;
    }
    // Not cut short by a cancellation: a block or command broken off in
    // the middle would swallow the cancel bytes that follow it. The wait is
    // bounded by the line rate anyway.
    Clock::time_point start = now();
    // A line already found dead gets no more waiting, so a long series of
    // writes cannot add up to minutes.
    long bound = line_failed ? 0 : transmitBoundMs(len);
    uint32_t done = 0;
    while (done < len) {
        ssize_t n = kelvo_line::ops().write(serial_port, buf + done, len - done);
        if (n >= 0) {
            done += static_cast<uint32_t>(n);
        } else if (errno != EAGAIN && errno != EINTR) {
            reportLineFailure(std::strerror(errno));
            break;
        } else if (!waitWritable(start, bound)) {
            reportLineFailure("output not taken (the other end stopped reading)");
            break;
        }
    }
    return done == 0 && len > 0 ? -1 : static_cast<int32_t>(done);
}

extern "C" void serialport_flush(void) {
    if (serial_port < 0) {
        return;
    }
    kelvo_line::ops().drain(serial_port);
    Clock::time_point start = now();
    discardBuffered();
    while (waitForInput(now() + std::chrono::milliseconds(kQuietMs)) == kInputReady) {
        discardBuffered();
        if (msSince(start) >= kFlushQuietLimitMs) {
            infohelper_output(1, "%s: input did not stop for %ld ms", port_path.c_str(),
                              kFlushQuietLimitMs);
            return;
        }
    }
}

void kelvo_discard_input() {
    if (serial_port < 0) {
        return;
    }
    discardBuffered();
    // Bounded: a peer that never stops talking must not hold the caller.
    for (int reads = 0; reads < kDiscardReadsMax && !line_failed; ++reads) {
        pollfd p = {serial_port, POLLIN, 0};
        if (kelvo_line::ops().poll(&p, 1, 0) <= 0 || (p.revents & POLLIN) == 0) {
            return; // a hang-up alone is reported by the next read
        }
        InputStatus status = fillBuffer(p.revents);
        discardBuffered();
        if (status != kInputReady) {
            return;
        }
    }
}

extern "C" uint32_t serialport_wire_time_ms(uint32_t len) {
    if (serial_port < 0 || line_rate == 0) {
        return 0;
    }
    // Ten bits a byte: start bit, eight data bits, stop bit.
    uint64_t bits = static_cast<uint64_t>(len) * 10u * 1000u;
    return static_cast<uint32_t>((bits + line_rate - 1) / line_rate);
}

extern "C" void serialport_drain(void) {
    if (serial_port >= 0) {
        kelvo_line::ops().drain(serial_port);
    }
}

namespace {

void setModemLine(int line, bool on) {
    if (serial_port < 0) {
        return;
    }
    int bits = 0;
    // Pseudo-terminals have no modem lines; that is no reason to fail.
    if (::ioctl(serial_port, TIOCMGET, &bits) != 0) {
        infohelper_output(3, "%s: no modem-control lines", port_path.c_str());
        return;
    }
    bits = on ? (bits | line) : (bits & ~line);
    ::ioctl(serial_port, TIOCMSET, &bits);
}

} // namespace

extern "C" void serialport_set_dtr(bool on) {
    setModemLine(TIOCM_DTR, on);
}

extern "C" void serialport_set_rts(bool on) {
    setModemLine(TIOCM_RTS, on);
}

extern "C" int32_t serialport_send_break(void) {
    if (serial_port < 0) {
        return -1;
    }
    return ::tcsendbreak(serial_port, 0);
}
