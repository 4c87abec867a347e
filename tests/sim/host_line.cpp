// Uses the kernel's termios2 only (no <termios.h>, whose definitions clash).
#include "host_line.h"

#include <algorithm>
#include <asm/termbits.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace simtest {
namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

} // namespace

bool HostLine::open(const std::string &path, long baud) {
    close();
    hungUp_ = false;
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        return false;
    }
    struct termios2 t {};
    if (ioctl(fd_, TCGETS2, &t) != 0) {
        return false;
    }
    t.c_iflag = IGNBRK;
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CBAUD | CRTSCTS);
    t.c_cflag |= CS8 | CREAD | CLOCAL | BOTHER;
    t.c_ispeed = static_cast<speed_t>(baud);
    t.c_ospeed = static_cast<speed_t>(baud);
    return ioctl(fd_, TCSETS2, &t) == 0;
}

void HostLine::close() {
    if (fd_ >= 0) {
        ioctl(fd_, TCFLSH, TCIFLUSH);
        ::close(fd_);
        fd_ = -1;
    }
}

bool HostLine::write(const std::string &bytes) {
    size_t done = 0;
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (done < bytes.size() && fd_ >= 0) {
        ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        pollfd p{fd_, POLLOUT, 0};
        if (::poll(&p, 1, msLeft(deadline)) <= 0) {
            return false;
        }
    }
    return done == bytes.size();
}

int HostLine::readSome(char *buf, size_t size, int timeoutMs) {
    if (fd_ < 0 || hungUp_) {
        return -2;
    }
    pollfd p{fd_, POLLIN, 0};
    int ready = ::poll(&p, 1, timeoutMs);
    if (ready <= 0) {
        return -1;
    }
    ssize_t n = ::read(fd_, buf, size);
    if (n > 0) {
        return static_cast<int>(n);
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return 0;
    }
    hungUp_ = true;
    return -2;
}

std::string HostLine::readFor(int ms) {
    std::string got;
    auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    char buf[4096];
    while (Clock::now() < deadline) {
        int n = readSome(buf, sizeof buf, msLeft(deadline));
        if (n == -2) {
            break;
        }
        if (n > 0) {
            got.append(buf, static_cast<size_t>(n));
        }
    }
    return got;
}

std::string HostLine::readBytes(size_t count, int timeoutMs) {
    std::string got;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[4096];
    while (got.size() < count && Clock::now() < deadline) {
        int n = readSome(buf, count - got.size(), msLeft(deadline));
        if (n == -2) {
            break;
        }
        if (n > 0) {
            got.append(buf, static_cast<size_t>(n));
        }
    }
    return got;
}

std::string HostLine::readReply(int timeoutMs, int quietMs) {
    std::string got;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[4096];
    while (Clock::now() < deadline) {
        int wait = got.empty() ? msLeft(deadline) : std::min(quietMs, msLeft(deadline));
        int n = readSome(buf, sizeof buf, wait);
        if (n == -2 || (n == -1 && !got.empty())) {
            break;
        }
        if (n > 0) {
            got.append(buf, static_cast<size_t>(n));
        }
    }
    return got;
}

std::string ask(HostLine &line, const std::string &command, int timeoutMs) {
    line.write(command);
    return line.readReply(timeoutMs);
}

} // namespace simtest
