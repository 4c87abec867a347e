#include "common/worker.h"

#include "KelvoPG_core.h"
#include "common/port_claim.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace gang {
namespace {

constexpr int kWatchIntervalMs = 50;

// The worker's side of the status pipe.
int statusOut = -1;
std::atomic<bool> watching{false};
const std::atomic<bool> *watchedStop = nullptr;
pthread_t watcher;
bool watched = false;

} // namespace

void setStatusPipe(int fd) {
    statusOut = fd;
}

void sendStatus(const char *line) {
    size_t len = std::strlen(line);
    // Lines are far below PIPE_BUF: one write each, never split. A parent
    // that is gone leaves nothing to report to.
    ssize_t n;
    do {
        n = ::write(statusOut, line, len);
    } while (n < 0 && errno == EINTR);
}

namespace {

// Percentage of the transfer in flight. The counter keeps the previous
// transfer's end (0) until the next one has sent its first block, so a
// count of 0 only means done once the transfer was seen under way.
int transferPercent(bool *sawRunning) {
    int64_t size = kelvo_transfer_size();
    int32_t remaining = checkremaining_bytes();
    if (size <= 0) {
        return -1;
    }
    if (remaining > 0) {
        *sawRunning = true;
        int64_t done = size - remaining;
        return done <= 0 ? 0 : static_cast<int>(done * 100 / size);
    }
    return *sawRunning ? 100 : 0;
}

void *watchBody(void *) {
    int lastPhase = -1, lastPercent = -2;
    int64_t lastSize = 0;
    bool sawRunning = false;
    while (watching.load()) {
        if (watchedStop != nullptr && watchedStop->load() && !kelvo_cancel_requested()) {
            kelvo_request_cancel();
        }
        int phase = kelvo_current_phase();
        int64_t size = kelvo_transfer_size();
        // Until the core publishes its phases, a transfer in flight still
        // tells that the board is being written.
        if (phase == KELVO_PHASE_IDLE && size > 0) {
            phase = KELVO_PHASE_WRITING;
        }
        if (size != lastSize || phase != KELVO_PHASE_WRITING) {
            sawRunning = false;
            lastSize = size;
        }
        int percent = phase == KELVO_PHASE_WRITING ? transferPercent(&sawRunning) : -1;
        if (phase != lastPhase || percent != lastPercent) {
            char line[64];
            std::snprintf(line, sizeof line, "P %d %d\n", phase, percent);
            sendStatus(line);
            lastPhase = phase;
            lastPercent = percent;
        }
        ::usleep(kWatchIntervalMs * 1000);
    }
    return nullptr;
}

} // namespace

void startProgressWatch(const std::atomic<bool> *stopWanted) {
    watchedStop = stopWanted;
    watching.store(true);
    watched = pthread_create(&watcher, nullptr, watchBody, nullptr) == 0;
}

void stopProgressWatch() {
    watching.store(false);
    if (watched) {
        pthread_join(watcher, nullptr);
        watched = false;
    }
}

void redirectOutput(int fd) {
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(fd, STDOUT_FILENO);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
}

namespace {

// The parent relays an interrupt as kRelaySignal: a worker that also got
// the interrupt itself (a signal to the whole group, a service manager
// stopping everything) then still cancels its transfer on the line instead
// of taking the relay for a second Ctrl-C and dying mid-block.
void onRelay(int) {
    kelvo_relayed_interrupt(SIGINT);
}

void installRelayHandler() {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = onRelay;
    sigemptyset(&sa.sa_mask);
    ::sigaction(kRelaySignal, &sa, nullptr);
}

} // namespace

void becomeChild() {
    ::setpgid(0, 0); // Ctrl-C reaches the parent only; it forwards one signal
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) {
        std::signal(sig, SIG_DFL);
    }
    kelvo_install_interrupt_handlers();
    installRelayHandler();
}

namespace {

// The child's whole life: never returns.
[[noreturn]] void runWorker(const DeviceSetting &rec, const DownloadJob &job, int outputFd) {
    becomeChild();
    redirectOutput(outputFd);
    sigset_t all;
    sigemptyset(&all);
    ::sigprocmask(SIG_SETMASK, &all, nullptr);

    startProgressWatch();
    // The board's file reads like the output of "kelvo_pgtool_cli -download".
    std::puts("Beginning XModem Download...");
    std::fflush(stdout);
    int result = kelvo_download_image_data(&rec, job.image, job.imageSize);
    stopProgressWatch();
    char line[32];
    std::snprintf(line, sizeof line, "R %d\n", result);
    sendStatus(line);
    std::fflush(stdout);
    ::_exit(0);
}

int openOutput(const std::string &path, std::string *error) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) {
        *error = "cannot create " + path + ": " + std::strerror(errno);
    }
    return fd;
}

} // namespace

void StatusParser::feed(const char *bytes, size_t n, Board *board) {
    pending.append(bytes, n);
    size_t nl;
    while ((nl = pending.find('\n')) != std::string::npos) {
        std::string line = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        int a = 0, b = 0;
        if (std::sscanf(line.c_str(), "P %d %d", &a, &b) == 2) {
            board->phase = a;
            board->percent = b;
        } else if (std::sscanf(line.c_str(), "R %d", &a) == 1) {
            board->haveResult = true;
            board->result = a;
        }
    }
}

namespace {

// The port goes back when no worker will take it.
void releaseClaim(Board *board) {
    releasePort(board->claimFd);
    board->claimFd = -1;
}

} // namespace

bool startWorker(const DownloadJob &job, Board *board, const std::vector<int> &otherClaims,
                 std::string *error) {
    DeviceSetting rec;
    std::string device = board->port;
    if (!recordForPort(job, device, &rec) && !recordForPort(job, board->resolved, &rec)) {
        *error = board->port + ": the path is too long for the settings record";
        releaseClaim(board);
        return false;
    }
    int outputFd = openOutput(board->outputFile, error);
    if (outputFd < 0) {
        releaseClaim(board);
        return false;
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        *error = std::string("cannot create a pipe: ") + std::strerror(errno);
        ::close(outputFd);
        releaseClaim(board);
        return false;
    }
    board->startWall = std::time(nullptr);
    board->start = std::chrono::steady_clock::now();
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipeFds[0]);
        handOverPort(board->claimFd, otherClaims);
        setStatusPipe(pipeFds[1]);
        runWorker(rec, job, outputFd);
    }
    ::close(outputFd);
    ::close(pipeFds[1]);
    if (pid < 0) {
        releaseClaim(board);
        *error = std::string("cannot start a process: ") + std::strerror(errno);
        ::close(pipeFds[0]);
        return false;
    }
    if (board->claimFd >= 0) {
        ::close(board->claimFd); // the worker's copy takes over
        board->claimFd = -1;
    }
    board->pid = pid;
    board->statusFd = pipeFds[0];
    return true;
}

} // namespace gang
