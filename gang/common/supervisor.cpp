#include "common/supervisor.h"

#include "common/port_claim.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace gang {
namespace {

using Clock = std::chrono::steady_clock;

int signalPipe[2] = {-1, -1};
std::atomic<int> caughtSignal{0};
const int kParentSignals[] = {SIGINT, SIGTERM, SIGHUP};

void onParentSignal(int sig) {
    int saved = errno;
    int expected = 0;
    caughtSignal.compare_exchange_strong(expected, sig);
    char byte = 1;
    ssize_t ignored = ::write(signalPipe[1], &byte, 1);
    (void)ignored; // a full pipe already wakes the loop
    errno = saved;
}

// The parent's signals and the child's requests, blocked around a fork:
// a child takes each only once it handles it.
void setSignalsBlocked(bool blocked) {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kParentSignals) {
        sigaddset(&set, sig);
    }
    sigaddset(&set, kCancelSignal);
    sigaddset(&set, kStopSignal);
    ::sigprocmask(blocked ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

void drainSignalPipe() {
    char drain[64];
    ssize_t ignored = ::read(signalPipe[0], drain, sizeof drain);
    (void)ignored; // only a wake-up
}

} // namespace

void installParentSignals() {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        signalPipe[0] = signalPipe[1] = -1;
    }
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = onParentSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : kParentSignals) {
        ::sigaction(sig, &sa, nullptr);
    }
}

int parentSignal() {
    return caughtSignal.load();
}

std::string readWhole(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string deathReason(int status) {
    if (WIFSIGNALED(status)) {
        return std::string("worker ended by signal ") + std::to_string(WTERMSIG(status)) + " (" +
               strsignal(WTERMSIG(status)) + ")";
    }
    return "worker ended with status " + std::to_string(WEXITSTATUS(status)) +
           " before reporting a result";
}

constexpr std::chrono::seconds Supervisor::kCancelGrace;

Supervisor::Supervisor(size_t children, ChildEvents *events)
    : children_(children), events_(events) {}

bool Supervisor::start(size_t i, int keepFd, const std::vector<int> &closeFds, const Body &body,
                       std::string *error) {
    Child &child = children_[i];
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        *error = std::string("cannot create a pipe: ") + std::strerror(errno);
        child.reaped = child.ended = true;
        return false;
    }
    pid_t parent = ::getpid();
    std::fflush(stdout);
    std::fflush(stderr);
    setSignalsBlocked(true);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipeFds[0]);
        handOverPort(keepFd, closeFds);
        body(parent, pipeFds[1]);
        ::_exit(1); // a body that returns has nothing more to say
    }
    setSignalsBlocked(false);
    ::close(pipeFds[1]);
    if (pid < 0) {
        *error = std::string("cannot start a process: ") + std::strerror(errno);
        ::close(pipeFds[0]);
        child.reaped = child.ended = true;
        return false;
    }
    child.pid = pid;
    child.statusFd = pipeFds[0];
    return true;
}

bool Supervisor::turn(int timeoutMs, int extraFd) {
    std::vector<pollfd> fds{{signalPipe[0], POLLIN, 0}, {extraFd, POLLIN, 0}};
    for (const Child &child : children_) {
        fds.push_back({child.statusFd, POLLIN, 0}); // a negative descriptor is skipped
    }
    bool extraReady = false;
    if (::poll(fds.data(), fds.size(), timeoutMs) > 0) {
        if (fds[0].revents) {
            drainSignalPipe();
        }
        extraReady = fds[1].revents != 0;
        for (size_t i = 0; i < children_.size(); ++i) {
            if (fds[i + 2].revents) {
                readFrom(i);
            }
        }
    }
    passOnSignal();
    reap();
    killLate();
    return extraReady;
}

void Supervisor::stopAll() {
    for (const Child &child : children_) {
        if (!child.reaped && child.pid > 0) {
            ::kill(child.pid, kStopSignal);
        }
    }
}

void Supervisor::skip(size_t i) {
    children_[i].reaped = children_[i].ended = true;
}

bool Supervisor::allEnded() const {
    for (const Child &child : children_) {
        if (!child.ended) {
            return false;
        }
    }
    return true;
}

void Supervisor::passOnSignal() {
    int sig = caughtSignal.load();
    if (sig == 0 || cancelledBy_ != 0) {
        return;
    }
    cancelledBy_ = sig;
    cancelDeadline_ = Clock::now() + kCancelGrace;
    for (const Child &child : children_) {
        if (!child.reaped && child.pid > 0) {
            ::kill(child.pid, kCancelSignal);
        }
    }
}

void Supervisor::readFrom(size_t i) {
    Child &child = children_[i];
    char buf[4096];
    ssize_t n = ::read(child.statusFd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) {
        return;
    }
    if (n <= 0) {
        ::close(child.statusFd);
        child.statusFd = -1;
        return;
    }
    for (const ChildMessage &message : child.reader.feed(buf, static_cast<size_t>(n))) {
        events_->message(i, message);
    }
}

// A child has ended once its process is reaped and its pipe read to the
// end (the pipe may still hold its result after the exit), or once it was
// killed.
void Supervisor::reap() {
    for (size_t i = 0; i < children_.size(); ++i) {
        Child &child = children_[i];
        if (!child.reaped && child.pid > 0 &&
            ::waitpid(child.pid, &child.waitStatus, WNOHANG) == child.pid) {
            child.reaped = true;
        }
        if (!child.reaped || child.ended || (child.statusFd >= 0 && !killed_)) {
            continue;
        }
        if (child.statusFd >= 0) {
            ::close(child.statusFd);
            child.statusFd = -1;
        }
        child.ended = true;
        events_->ended(i, child.waitStatus, cancelledBy_ != 0);
    }
}

void Supervisor::killLate() {
    if (cancelledBy_ == 0 || killed_ || Clock::now() < cancelDeadline_) {
        return;
    }
    for (const Child &child : children_) {
        if (!child.reaped && child.pid > 0) {
            ::kill(child.pid, SIGKILL);
        }
    }
    killed_ = true;
}

} // namespace gang
