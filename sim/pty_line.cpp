#include "pty_line.h"

#include "line_speed.h"

#include "KelvoPG_core.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <initializer_list>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace sim {
namespace {

constexpr long kInitialBaud = 115200;  // the boot loader's rate after reset
constexpr size_t kPacedChunk = 64;     // bytes written per paced step
constexpr auto kSleepStep = Millis(2); // smallest pacing sleep worth a wake-up
// Received bytes are taken in at once and their wire time is paid before
// the next answer; only a longer burst is also paid as it comes, so that a
// host sending much without waiting is held back as by a real UART.
constexpr auto kReceiveBacklog = Millis(20);
// A host that stops reading must not stall the chip: what a real UART
// cannot get rid of within this time is lost on the wire.
constexpr auto kWriteLimit = std::chrono::seconds(2);
// How often a quiet line looks for a host that went without closing.
constexpr auto kHolderCheckPeriod = Millis(200);

// True when some process holds a flock on the file at path, as
// /proc/locks lists it for every process, whoever owns it.
bool flockedByAnyone(const std::string &path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return false;
    }
    char want[64];
    std::snprintf(want, sizeof want, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        // "1: FLOCK  ADVISORY  WRITE 1234 00:05:87 0 EOF"; waiters
        // ("1: -> FLOCK ...") hold nothing.
        std::istringstream words(line);
        std::string id, kind, mode, access, pid, file;
        if (words >> id >> kind >> mode >> access >> pid >> file && kind == "FLOCK" &&
            file == want) {
            return true;
        }
    }
    return false;
}

std::string systemError(const char *what) {
    return std::string(what) + ": " + std::strerror(errno);
}

} // namespace

PtyLine::~PtyLine() {
    hangUp();
}

bool PtyLine::open(const WireModel &wire, std::string &error) {
    wire_ = wire;
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) {
        error = systemError("cannot open a pseudo-terminal");
        return false;
    }
    char name[128];
    if (grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0) {
        error = systemError("cannot unlock the pseudo-terminal");
        return false;
    }
    path_ = name;
    if (fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK) != 0) {
        error = systemError("cannot make the pseudo-terminal non-blocking");
        return false;
    }
    int on = 1;
    if (ioctl(master_, TIOCPKT, &on) != 0) {
        error = systemError("cannot watch the terminal's input flushes");
        return false;
    }
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave_ < 0) {
        error = systemError("cannot open the terminal side");
        return false;
    }
    if (!makeTerminalRaw(slave_, kInitialBaud)) {
        error = systemError("cannot set the terminal to raw mode");
        return false;
    }
    return true;
}

Clock::duration PtyLine::wireTime(size_t count) const {
    long baud = hostSpeed();
    if (baud <= 0) {
        return Clock::duration::zero();
    }
    // Ten bits per byte: start bit, eight data bits, stop bit.
    return Micros(static_cast<long long>(count) * 10 * 1000000 / baud);
}

void PtyLine::paceReceived(size_t count) {
    if (!wire_.paced) {
        return;
    }
    auto now = Clock::now();
    rxFreeAt_ = std::max(now, rxFreeAt_) + wireTime(count);
    // Bytes often come one at a time: sleeping for each would add the cost
    // of every wake-up to the model, so the debt is paid in larger steps.
    if (rxFreeAt_ - now > kReceiveBacklog) {
        sleepUntil(rxFreeAt_);
    }
}

// 1: bytes arrived, 0: time-out, -1: the line is gone.
int PtyLine::fillStatus(Clock::time_point deadline) {
    if (master_ < 0) {
        return -1;
    }
    int ready = 0;
    // In slices, so that a host gone without closing is noticed soon.
    while (ready == 0) {
        ready = waitFor(master_, POLLIN, std::min(deadline, Clock::now() + kHolderCheckPeriod));
        // A session that just ended ends the wait too: what comes next
        // is a new host's and belongs to no transfer in progress.
        if (ready == 0 && (releaseAbandonedTerminal() || Clock::now() >= deadline)) {
            return 0;
        }
    }
    if (ready < 0) {
        return -1;
    }
    uint8_t buf[4096];
    ssize_t n = ::read(master_, buf, sizeof buf);
    if (n > 0) {
        // Packet mode: a data byte block, or one byte of line events.
        if (buf[0] == TIOCPKT_DATA) {
            paceReceived(static_cast<size_t>(n - 1));
            pending_.insert(pending_.end(), buf + 1, buf + n);
        } else if (buf[0] & TIOCPKT_FLUSHREAD) {
            ++inputFlushes_;
        }
        return 1;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return 1; // nothing after all; the caller loops until its deadline
    }
    return -1;
}

bool PtyLine::collect(Clock::duration time) {
    auto deadline = Clock::now() + time;
    int status = 1;
    while (status > 0 && Clock::now() < deadline) {
        status = fillStatus(deadline);
    }
    return status >= 0;
}

int PtyLine::readByte(Clock::duration timeout) {
    auto deadline = Clock::now() + timeout;
    while (pending_.empty()) {
        int status = fillStatus(deadline);
        if (status < 0) {
            return kLineGone;
        }
        if (status == 0) {
            return kTimedOut;
        }
    }
    uint8_t byte = pending_.front();
    pending_.pop_front();
    return byte;
}

long PtyLine::readInto(uint8_t *buf, size_t size, Clock::duration gap) {
    size_t count = 0;
    while (count < size) {
        if (pending_.empty()) {
            int status = fillStatus(Clock::now() + gap);
            if (status < 0) {
                return kLineGone;
            }
            if (status == 0) {
                break;
            }
            continue;
        }
        size_t n = std::min(size - count, pending_.size());
        std::copy_n(pending_.begin(), n, buf + count);
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(n));
        count += n;
    }
    return static_cast<long>(count);
}

bool PtyLine::purge(Clock::duration quiet, Clock::duration limit) {
    auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        int byte = readByte(quiet);
        if (byte == kLineGone) {
            return false;
        }
        if (byte == kTimedOut) {
            return true;
        }
    }
    return true;
}

bool PtyLine::writeAll(const char *data, size_t size) {
    auto deadline = Clock::now() + kWriteLimit;
    while (size > 0) {
        if (master_ < 0) {
            return false;
        }
        ssize_t n = ::write(master_, data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        int ready = waitFor(master_, POLLOUT, deadline);
        if (ready < 0) {
            return false;
        }
        if (ready == 0) {
            return true; // the host does not read: the rest is lost on the wire
        }
    }
    return true;
}

bool PtyLine::send(const std::string &bytes) {
    if (!wire_.paced) {
        return writeAll(bytes.data(), bytes.size());
    }
    if (rxFreeAt_ > Clock::now() && !sleepUntil(rxFreeAt_)) {
        return false; // nothing goes out before what came in has arrived
    }
    for (size_t at = 0; at < bytes.size(); at += kPacedChunk) {
        size_t count = std::min(kPacedChunk, bytes.size() - at);
        auto now = Clock::now();
        txFreeAt_ = std::max(now, txFreeAt_) + wireTime(count);
        // A wake-up costs more than a short debt: pay it with the next one.
        bool pay = txFreeAt_ - now > kSleepStep;
        if ((pay && !sleepUntil(txFreeAt_)) || !writeAll(bytes.data() + at, count)) {
            return false;
        }
    }
    return true;
}

bool PtyLine::reply(const std::string &bytes) {
    // The answer follows the last byte received, one turnaround later.
    auto answerAt =
        (wire_.paced ? std::max(Clock::now(), rxFreeAt_) : Clock::now()) + Micros(wire_.latencyUs);
    if (answerAt > Clock::now() && !sleepUntil(answerAt)) {
        return false;
    }
    return send(bytes);
}

// Our own handle keeps the terminal open, so a host killed without closing
// its port (SIGKILL) leaves the exclusive mode it set in force, and every
// later host without CAP_SYS_ADMIN would find the port busy. Exclusive mode
// with nobody locking the terminal and no other process holding it means
// that host is gone: its session ends here. True when it just did.
bool PtyLine::releaseAbandonedTerminal() {
    auto now = Clock::now();
    if (slave_ < 0 || now < nextHolderCheck_) {
        return false;
    }
    nextHolderCheck_ = now + kHolderCheckPeriod;
    int exclusive = 0;
    if (ioctl(slave_, TIOCGEXCL, &exclusive) != 0 || exclusive == 0) {
        return false;
    }
    // The lock shows a host of any user; the descriptors only those this
    // process may look at.
    if (flockedByAnyone(path_) || kelvo_describe_port_holders(path_.c_str(), nullptr, 0) > 0) {
        return false;
    }
    ioctl(slave_, TIOCNXCL);
    ++hostsGone_;
    return true;
}

long PtyLine::hostSpeed() const {
    return slave_ >= 0 ? terminalSpeed(slave_) : -1;
}

void PtyLine::hangUp() {
    for (int *fd : {&slave_, &master_}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
    pending_.clear();
}

} // namespace sim
