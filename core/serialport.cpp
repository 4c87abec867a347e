// The one UART line of the process: a tty in raw 8N1 mode, held for
// exclusive use while open, with timed reads, bounded writes and the
// modem-control lines. Every wait here has a time limit.
#include "KelvoPG_core.h"
#include "serial_rate.h"

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

using Clock = std::chrono::steady_clock;

int32_t serial_port = -1;
struct termios term;     // working settings of the open port
struct termios new_term; // settings in force while serialport_block_read waits
uint32_t timeout = 0;    // ms, budget of one serialport_read
uint32_t block_timeout = KELVO_BLOCK_READ_TIMEOUT_MS;

uint32_t line_rate = 0;         // bit/s requested at open
uint32_t custom_rate = 0;       // off-table rate set through termios2; 0 for a table rate
bool line_failed = false;       // a hang-up or read error was reported for this port
bool write_nonblocking = false; // O_NONBLOCK is on for the duration of writes only
std::string port_path;

constexpr uint32_t kDefaultTimeoutMs = 1000;
constexpr long kReadPeriodMs = 100;              // VTIME = 1
constexpr long kEofAtOnceMs = kReadPeriodMs / 2; // a 0-byte read this fast is end-of-file
constexpr long kFlushQuietLimitMs = 2000;        // a line that never goes quiet stops the flush
constexpr int kBlockChunkMax = 100;              // bytes per serialport_block_read chunk

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
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// Rounded up, so that a wait never ends before its deadline.
long msUntil(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
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

// Reads block on the descriptor (VMIN/VTIME rule them); writes do not, so
// that a peer that stops reading cannot hold a write forever.
void setNonblocking(bool on) {
    if (write_nonblocking == on) {
        return;
    }
    int flags = ::fcntl(serial_port, F_GETFL);
    if (flags < 0) {
        return;
    }
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (::fcntl(serial_port, F_SETFL, flags) == 0) {
        write_nonblocking = on;
    }
}

// After a read that brought nothing: true when the line is gone rather than
// silent. A live line waits the 0.1 s read period; a hung-up one reports
// POLLHUP/POLLERR or reads end-of-file at once.
bool lineHungUp(long read_ms) {
    pollfd p{serial_port, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) {
        return false;
    }
    if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) {
        return true;
    }
    return (p.revents & POLLIN) && read_ms < kEofAtOnceMs;
}

// Waits for room in the output queue until bound ms after start.
bool waitWritable(Clock::time_point start, long bound) {
    for (;;) {
        long left = bound - msSince(start);
        if (left <= 0) {
            return false;
        }
        pollfd p{serial_port, POLLOUT, 0};
        int ready = ::poll(&p, 1, static_cast<int>(left));
        if (ready > 0) {
            return true; // room, or an error that the next write reports
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
}

// One platform read: >0 bytes, 0 nothing yet, -1 the line failed.
ssize_t readOnce(uint8_t *buf, size_t len) {
    setNonblocking(false);
    Clock::time_point start = Clock::now();
    ssize_t n = ::read(serial_port, buf, len);
    if (n > 0) {
        return n;
    }
    if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) {
            return 0;
        }
        reportLineFailure(std::strerror(errno));
        return -1;
    }
    if (len > 0 && lineHungUp(msSince(start))) {
        reportLineFailure("hung up (unplugged, or closed at the other end)");
        return -1;
    }
    return 0;
}

// Waits until the output queue is empty, at most the time the queued bytes
// take on the line. false when it did not empty in time.
bool drainOutput() {
    int queued = 0;
    if (::ioctl(serial_port, TIOCOUTQ, &queued) != 0) {
        queued = 0;
    }
    long bound = transmitBoundMs(static_cast<size_t>(queued > 0 ? queued : 0));
    Clock::time_point start = Clock::now();
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

// Opens without waiting for carrier and takes the exclusive lock.
// The descriptor, or -1 after the reason was printed.
int openLocked(const char *path) {
    int fd = ::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        reportOpenFailure(path, errno);
        return -1;
    }
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
    timeout = kDefaultTimeoutMs;
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
    ::close(serial_port); // releases the lock as well
    serial_port = -1;
    write_nonblocking = false;
}

} // namespace

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
    int fd = openLocked(path);
    if (fd < 0) {
        return 0;
    }
    serial_port = fd;
    port_path = path;
    line_rate = rate;
    line_failed = false;
    write_nonblocking = true; // opened with O_NONBLOCK
    serialport_set_dtr(false);
    if (!configureLine(rate)) {
        closeDescriptor();
        return 0;
    }
    // CLOCAL is set now, so blocking calls no longer wait for carrier.
    setNonblocking(false);
    infohelper_output(3, "serial open");
    return serial_port;
}

extern "C" int32_t serialport_close(void) {
    if (serial_port < 0) {
        return 0;
    }
    if (!drainOutput()) {
        ::tcflush(serial_port, TCOFLUSH); // it cannot be sent; do not let close wait for it
    }
    // Input only: on a pseudo-terminal the drain returns at once, and
    // discarding output would lose what the other side has not read yet.
    ::tcflush(serial_port, TCIFLUSH);
    closeDescriptor();
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
    if (serial_port < 0) {
        return 0;
    }
    Clock::time_point start = Clock::now();
    uint32_t count = 0;
    do {
        ssize_t n = readOnce(buf + count, len - count);
        if (n < 0) {
            break;
        }
        count += static_cast<uint32_t>(n);
    } while (count < len && msSince(start) < static_cast<long>(timeout));
    return static_cast<int32_t>(count);
}

namespace {

// Waits until at least VMIN bytes are there (poll honours VMIN when VTIME
// is 0) and reads one chunk of up to 100 bytes, zero-terminated.
// >0 bytes read; 0 time is up; -1 the line failed.
ssize_t readChunk(char *buf, Clock::time_point deadline) {
    for (;;) {
        long left = msUntil(deadline);
        if (left <= 0) {
            return 0;
        }
        pollfd p{serial_port, POLLIN, 0};
        int ready = ::poll(&p, 1, static_cast<int>(left < 60000 ? left : 60000));
        if (ready < 0 && errno != EINTR) {
            reportLineFailure(std::strerror(errno));
            return -1;
        }
        if (ready <= 0) {
            continue;
        }
        ssize_t n = readOnce(reinterpret_cast<uint8_t *>(buf), kBlockChunkMax);
        if (n != 0) {
            buf[n > 0 ? n : 0] = '\0';
            return n;
        }
        if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) {
            reportLineFailure("hung up (unplugged, or closed at the other end)");
            return -1;
        }
    }
}

} // namespace

extern "C" int32_t serialport_block_read(char *buf, int32_t min_chunk) {
    buf[0] = '\0';
    if (serial_port < 0) {
        return 0;
    }
    new_term = term;
    int vmin = min_chunk < 1 ? 1 : (min_chunk > kBlockChunkMax ? kBlockChunkMax : min_chunk);
    new_term.c_cc[VMIN] = static_cast<cc_t>(vmin);
    new_term.c_cc[VTIME] = 0;
    // Input that came before the call stays: the reply may already be there.
    if (line_failed) {
        return 0; // already reported
    }
    if (!applySettings(new_term)) {
        infohelper_output(0, "serialport_block_read: cannot set up the line: %s",
                          std::strerror(errno));
        return 0;
    }
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(block_timeout);
    int32_t result = 0;
    ssize_t n;
    while ((n = readChunk(buf, deadline)) > 0) {
        std::printf("Received:%s length:%d\n", buf, static_cast<int>(n));
        std::fflush(stdout);
        if (buf[0] == 'O') {
            result = 1;
            break;
        }
    }
    if (n == 0) {
        infohelper_output(0, "no reply from %s within %u ms", port_path.c_str(),
                          static_cast<unsigned>(block_timeout));
    }
    applySettings(term);
    return result;
}

extern "C" int32_t serialport_write(const uint8_t *buf, uint32_t len) {
    if (serial_port < 0) {
        return -1;
    }
    setNonblocking(true);
    Clock::time_point start = Clock::now();
    // A line already found dead gets no more waiting, so a long series of
    // writes cannot add up to minutes.
    long bound = line_failed ? 0 : transmitBoundMs(len);
    uint32_t done = 0;
    while (done < len) {
        ssize_t n = ::write(serial_port, buf + done, len - done);
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
    drainOutput();
    Clock::time_point start = Clock::now();
    uint8_t sink[256];
    while (readOnce(sink, sizeof sink) > 0) {
        if (msSince(start) >= kFlushQuietLimitMs) {
            infohelper_output(1, "%s: input did not stop for %ld ms", port_path.c_str(),
                              kFlushQuietLimitMs);
            return;
        }
    }
}

extern "C" void serialport_drain(void) {
    if (serial_port >= 0) {
        drainOutput();
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
