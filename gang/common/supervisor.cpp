#include "common/supervisor.h"

#include "common/failure_reason.h"
#include "common/worker.h"

#include "KelvoPG_core.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace gang {
namespace {

constexpr int kPollMs = 50;
// How long cancelled workers get to close their lines before they are killed.
constexpr auto kCancelGrace = std::chrono::seconds(8);

int signalPipe[2] = {-1, -1};
std::atomic<int> caughtSignal{0};

void onParentSignal(int sig) {
    int saved = errno;
    int expected = 0;
    caughtSignal.compare_exchange_strong(expected, sig);
    char byte = 1;
    ssize_t ignored = ::write(signalPipe[1], &byte, 1);
    (void)ignored; // a full pipe already wakes the loop
    errno = saved;
}

const int kForwarded[] = {SIGINT, SIGTERM, SIGHUP};

} // namespace

void setSignalsBlocked(bool blocked) {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kForwarded) {
        sigaddset(&set, sig);
    }
    sigaddset(&set, kRelaySignal); // a worker takes it only once it handles it
    sigaddset(&set, SIGUSR2);      // a station slot's stop request, likewise
    ::sigprocmask(blocked ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
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

int parentSignalFd() {
    return signalPipe[0];
}

int parentSignal() {
    return caughtSignal.load();
}

void drainParentSignalFd() {
    char drain[64];
    ssize_t ignored = ::read(signalPipe[0], drain, sizeof drain);
    (void)ignored; // only a wake-up
}

namespace {

class Run {
  public:
    Run(const DownloadJob &job, std::vector<Board> *boards, StatusDisplay *display,
        const BoardFinished &finished)
        : job_(job), boards_(*boards), display_(display), finished_(finished) {}

    int go() {
        startAll();
        while (!allFinished()) {
            waitForEvents();
            handleSignal();
            reapWorkers();
            killLateWorkers();
            display_->update(boards_, std::chrono::steady_clock::now());
        }
        display_->finish(boards_, std::chrono::steady_clock::now());
        return forwardedSignal_;
    }

  private:
    void startAll() {
        setSignalsBlocked(true); // a worker takes its handlers before it sees one
        for (Board &board : boards_) {
            std::string error;
            if (!startWorker(job_, &board, claimsHeld(), &error)) {
                board.start = board.end = std::chrono::steady_clock::now();
                board.startWall = std::time(nullptr);
                board.reaped = true;
                conclude(&board, false, error);
            }
        }
        parsers_.resize(boards_.size());
        setSignalsBlocked(false);
    }

    std::vector<int> claimsHeld() const {
        std::vector<int> fds;
        for (const Board &b : boards_) {
            if (b.claimFd >= 0) {
                fds.push_back(b.claimFd);
            }
        }
        return fds;
    }

    bool allFinished() const {
        for (const Board &b : boards_) {
            if (!b.finished()) {
                return false;
            }
        }
        return true;
    }

    void waitForEvents() {
        std::vector<pollfd> fds{{signalPipe[0], POLLIN, 0}};
        std::vector<size_t> owners{0};
        for (size_t i = 0; i < boards_.size(); ++i) {
            if (boards_[i].statusFd >= 0) {
                fds.push_back({boards_[i].statusFd, POLLIN, 0});
                owners.push_back(i);
            }
        }
        if (::poll(fds.data(), fds.size(), kPollMs) <= 0) {
            return;
        }
        if (fds[0].revents) {
            char drain[64];
            ssize_t ignored = ::read(signalPipe[0], drain, sizeof drain);
            (void)ignored; // only a wake-up
        }
        for (size_t k = 1; k < fds.size(); ++k) {
            if (fds[k].revents) {
                readStatus(owners[k]);
            }
        }
    }

    void readStatus(size_t i) {
        Board &board = boards_[i];
        char buf[512];
        ssize_t n = ::read(board.statusFd, buf, sizeof buf);
        if (n > 0) {
            parsers_[i].feed(buf, static_cast<size_t>(n), &board);
        } else if (n == 0 || errno != EINTR) {
            ::close(board.statusFd);
            board.statusFd = -1;
        }
    }

    void handleSignal() {
        int sig = caughtSignal.load();
        if (sig == 0 || forwardedSignal_ != 0) {
            return;
        }
        forwardedSignal_ = sig;
        cancelDeadline_ = std::chrono::steady_clock::now() + kCancelGrace;
        for (Board &board : boards_) {
            if (!board.reaped && board.pid > 0) {
                ::kill(board.pid, kRelaySignal);
            }
        }
    }

    void killLateWorkers() {
        if (forwardedSignal_ == 0 || killed_ ||
            std::chrono::steady_clock::now() < cancelDeadline_) {
            return;
        }
        for (Board &board : boards_) {
            if (!board.reaped && board.pid > 0) {
                ::kill(board.pid, SIGKILL);
            }
        }
        killed_ = true;
    }

    void reapWorkers() {
        for (Board &board : boards_) {
            if (!board.reaped && board.pid > 0 &&
                ::waitpid(board.pid, &board.waitStatus, WNOHANG) == board.pid) {
                board.reaped = true;
            }
            // The pipe may still hold the result after the exit: finish
            // only when both are over.
            if (board.reaped && !board.finished() && (board.statusFd < 0 || killed_)) {
                concludeFromWorker(&board);
            }
        }
    }

    void concludeFromWorker(Board *board) {
        if (board->statusFd >= 0) {
            ::close(board->statusFd);
            board->statusFd = -1;
        }
        if (board->haveResult) {
            conclude(board, true, "");
        } else if (forwardedSignal_ != 0) {
            board->result = KELVO_INTERRUPTED;
            board->haveResult = true;
            conclude(board, true, "");
        } else {
            conclude(board, false, deathReason(board->waitStatus));
        }
    }

    void conclude(Board *board, bool hasResult, const std::string &failure) {
        board->end = std::chrono::steady_clock::now();
        if (!hasResult) {
            board->outcome = Outcome::Failed;
            board->reason = failure;
        } else if (board->result == KELVO_SUCCESS) {
            board->outcome = Outcome::Ok;
        } else if (board->result == KELVO_INTERRUPTED) {
            board->outcome = Outcome::Interrupted;
        } else {
            board->outcome = Outcome::Failed;
            board->reason = failureReason(readWhole(board->outputFile), board->result);
        }
        finished_(*board);
    }

    const DownloadJob &job_;
    std::vector<Board> &boards_;
    StatusDisplay *display_;
    const BoardFinished &finished_;
    std::vector<StatusParser> parsers_;
    int forwardedSignal_ = 0;
    bool killed_ = false;
    std::chrono::steady_clock::time_point cancelDeadline_{};
};

} // namespace

void installParentSignals() {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        signalPipe[0] = signalPipe[1] = -1;
    }
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = onParentSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : kForwarded) {
        ::sigaction(sig, &sa, nullptr);
    }
}

int superviseRun(const DownloadJob &job, std::vector<Board> *boards, StatusDisplay *display,
                 const BoardFinished &finished) {
    Run run(job, boards, display, finished);
    return run.go();
}

} // namespace gang
