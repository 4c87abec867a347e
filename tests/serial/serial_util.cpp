#include "serial_util.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern "C" ssize_t __real_write(int fd, const void *buf, size_t len);

namespace {

std::array<std::atomic<int>, 1024> write_counts{};
// Largest write a descriptor takes at once (0: no limit), to play a line
// that takes its output in pieces.
std::array<std::atomic<size_t>, 1024> write_limits{};

using Clock = std::chrono::steady_clock;

long msLeft(Clock::time_point deadline) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
}

} // namespace

extern "C" ssize_t __wrap_write(int fd, const void *buf, size_t len) {
    if (fd >= 0 && static_cast<size_t>(fd) < write_counts.size()) {
        ++write_counts[static_cast<size_t>(fd)];
        size_t limit = write_limits[static_cast<size_t>(fd)].load();
        if (limit > 0 && len > limit) {
            len = limit;
        }
    }
    return __real_write(fd, buf, len);
}

namespace st {

PtyPair::PtyPair() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
        ::ptsname_r(master_, name, sizeof name) != 0) {
        throw std::runtime_error("no pseudo-terminal");
    }
    slave_ = name;
}

PtyPair::~PtyPair() {
    closeMaster();
}

void PtyPair::closeMaster() {
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
}

termios PtyPair::settings() const {
    termios t{};
    if (::tcgetattr(master_, &t) != 0) {
        throw std::runtime_error("tcgetattr on the master failed");
    }
    return t;
}

std::string readBytes(int fd, size_t n, int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string got;
    while (got.size() < n) {
        long left = msLeft(deadline);
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) {
            break;
        }
        char buf[4096];
        size_t want = std::min(sizeof buf, n - got.size());
        ssize_t r = ::read(fd, buf, want);
        if (r <= 0) {
            break;
        }
        got.append(buf, static_cast<size_t>(r));
    }
    return got;
}

std::string readUntilQuiet(int fd, int quiet_ms) {
    std::string got;
    for (;;) {
        std::string more = readBytes(fd, 4096, quiet_ms);
        if (more.empty()) {
            return got;
        }
        got += more;
    }
}

void writeBytes(int fd, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno != EINTR) {
            throw std::runtime_error("write to the pseudo-terminal failed");
        }
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
}

StdoutCapture::StdoutCapture() {
    std::fflush(stdout);
    char name[] = "/tmp/kelvo-stdout-XXXXXX";
    file_ = ::mkstemp(name);
    if (file_ < 0) {
        throw std::runtime_error("mkstemp failed");
    }
    ::unlink(name);
    saved_ = ::dup(1);
    ::dup2(file_, 1);
}

StdoutCapture::~StdoutCapture() {
    finish();
}

std::string StdoutCapture::finish() {
    if (saved_ < 0) {
        return "";
    }
    std::fflush(stdout);
    ::dup2(saved_, 1);
    ::close(saved_);
    saved_ = -1;
    std::string text;
    char buf[4096];
    ssize_t n;
    ::lseek(file_, 0, SEEK_SET);
    while ((n = ::read(file_, buf, sizeof buf)) > 0) {
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(file_);
    file_ = -1;
    return text;
}

Relay::Relay(int core_side, int peer_side, bool drop_c_to_peer)
    : core_(core_side), peer_(peer_side), drop_c_(drop_c_to_peer) {
    thread_ = std::thread([this] { run(); });
}

Relay::~Relay() {
    stop_ = true;
    thread_.join();
}

void Relay::run() {
    while (!stop_) {
        pollfd p[2] = {{core_, POLLIN, 0}, {peer_, POLLIN, 0}};
        if (::poll(p, 2, 50) <= 0) {
            continue;
        }
        bool moved = false;
        if (p[0].revents & POLLIN) {
            moved |= forward(core_, peer_, drop_c_);
        }
        if (p[1].revents & POLLIN) {
            moved |= forward(peer_, core_, false);
        }
        if (!moved) {
            // A master whose terminal side is not open reports POLLHUP.
            ::usleep(10000);
        }
    }
}

bool Relay::forward(int from, int to, bool drop_c) {
    char buf[4096];
    ssize_t n = ::read(from, buf, sizeof buf);
    if (n <= 0) {
        return false;
    }
    std::string bytes;
    for (ssize_t i = 0; i < n; ++i) {
        if (drop_c && buf[i] == 'C') {
            ++dropped_c_;
        } else {
            bytes.push_back(buf[i]);
        }
    }
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t w = ::write(to, bytes.data() + done, bytes.size() - done);
        if (w < 0 && errno != EINTR) {
            return false;
        }
        done += w > 0 ? static_cast<size_t>(w) : 0;
    }
    return true;
}

Peer::Peer(const std::vector<std::string> &argv, const std::string &cwd) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        throw std::runtime_error("socketpair failed");
    }
    line_ = ends[0];
    std::string log = cwd + "/peer.log";
    pid_ = ::fork();
    if (pid_ == 0) {
        int err = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (::chdir(cwd.c_str()) != 0 || err < 0) {
            ::_exit(126);
        }
        ::dup2(ends[1], 0);
        ::dup2(ends[1], 1);
        ::dup2(err, 2);
        std::vector<char *> args;
        for (const auto &a : argv) {
            args.push_back(const_cast<char *>(a.c_str()));
        }
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(ends[1]);
}

Peer::~Peer() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        wait(5000);
    }
    ::close(line_);
}

int Peer::wait(int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    int status = 0;
    while (pid_ > 0) {
        int r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (msLeft(deadline) <= 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
            return -1;
        }
        ::usleep(10000);
    }
    return -1;
}

int writesOn(int fd) {
    return write_counts.at(static_cast<size_t>(fd)).load();
}

void limitWrites(int fd, size_t max_bytes) {
    write_limits.at(static_cast<size_t>(fd)) = max_bytes;
}

void resetWriteCount() {
    for (auto &c : write_counts) {
        c = 0;
    }
}

} // namespace st
