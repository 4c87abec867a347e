#include "station/slot_cycle.h"

#include "station/line_probe.h"
#include "common/port_claim.h"
#include "common/worker.h"

#include "KelvoPG_core.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace gang {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kBootRate = 115200;
constexpr int kWaitingPeriodMs = 250; // a few probes a second while nobody is there
constexpr int kWaitingAnswerMs = 100;
constexpr int kRemovalPeriodMs = 150;
constexpr int kRemovalAnswerMs = 100;
// A board that has not answered for this long has been taken out.
constexpr auto kGoneAfter = std::chrono::milliseconds(1000);

std::atomic<bool> stopAfterBoard{false};
std::atomic<bool> cancelled{false};

void onStop(int) {
    stopAfterBoard.store(true);
}

// The parent's interrupt: cancel what is on the line, then end.
void onCancel(int) {
    cancelled.store(true);
    kelvo_request_cancel();
}

void installSlotHandlers() {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = onStop;
    ::sigaction(kStopSignal, &sa, nullptr);
    sa.sa_handler = onCancel;
    ::sigaction(kRelaySignal, &sa, nullptr);
}

bool leaving() {
    return stopAfterBoard.load() || cancelled.load();
}

// A pause that a stop or cancel request cuts short.
void pause(int ms) {
    pollfd p{kelvo_cancel_fd(), POLLIN, 0};
    ::poll(&p, 1, ms);
}

void sendLine(const std::string &line) {
    sendStatus((line + "\n").c_str());
}

void quietOutput() {
    int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
        redirectOutput(fd);
    }
}

class Slot {
  public:
    Slot(const DownloadJob &job, const SlotSetup &setup, int held)
        : job_(job), setup_(setup), probe_(setup.port), held_(held) {}

    [[noreturn]] void run() {
        for (;;) {
            if (!awaitBoard()) {
                finish();
            }
            int result = program();
            if (leaving()) {
                finish();
            }
            sendLine("H");
            if (!awaitRemoval(result)) {
                finish();
            }
            sendLine("G");
        }
    }

  private:
    [[noreturn]] void finish() {
        probe_.close();
        std::fflush(stdout);
        ::_exit(0);
    }

    bool awaitBoard() {
        std::string shown = "?";
        while (!leaving()) {
            Answer answer = probe_.ping(kBootRate, kWaitingAnswerMs);
            if (answer == Answer::Yes) {
                return true;
            }
            if (answer == Answer::NoPort) {
                letGoOfVanishedNode();
            }
            if (probe_.problem() != shown) {
                shown = probe_.problem();
                sendLine("W " + shown);
            }
            pause(kWaitingPeriodMs);
        }
        return false;
    }

    // Present while it answers at the rate it was left at: the transfer
    // rate once the line was switched, else the boot rate. A new board at
    // the boot rate stays silent at the transfer rate, so a quick swap is
    // seen as a removal.
    bool awaitRemoval(int result) {
        auto lastAnswer = Clock::now();
        bool switched = result != KELVO_NO_PING && result != KELVO_CONFIG_REFUSED;
        uint32_t rate = switched ? static_cast<uint32_t>(job_.record.baudrate) : kBootRate;
        while (!leaving()) {
            Answer answer = probe_.ping(rate, kRemovalAnswerMs);
            if (answer == Answer::Yes) {
                lastAnswer = Clock::now();
            } else if (answer == Answer::NoPort || Clock::now() - lastAnswer >= kGoneAfter) {
                probe_.close();
                letGoOfVanishedNode();
                return true; // the node went away with the board, or nobody answers
            }
            pause(kRemovalPeriodMs);
        }
        return false;
    }

    // The port held since the start keeps the device in use: once its node
    // is gone (an adapter unplugged with its board), let it go, so that the
    // adapter comes back under the same name.
    void letGoOfVanishedNode() {
        struct stat st {};
        if (held_ >= 0 && ::stat(setup_.port.c_str(), &st) != 0) {
            ::close(held_);
            held_ = -1;
        }
    }

    int program() {
        probe_.close();
        ++board_;
        std::string file = boardOutputFile(setup_, board_);
        int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0644);
        if (fd >= 0) {
            redirectOutput(fd);
        }
        sendLine("B " + std::to_string(board_));
        DeviceSetting rec;
        recordForPort(job_, setup_.port, &rec);
        startProgressWatch(&cancelled);
        // The board's file reads like the output of "kelvo_pgtool_cli -download".
        std::puts("Beginning XModem Download...");
        std::fflush(stdout);
        int result = cancelled.load() ? KELVO_INTERRUPTED
                                      : kelvo_download_image_data(&rec, job_.image, job_.imageSize);
        stopProgressWatch();
        std::fflush(stdout);
        sendLine("R " + std::to_string(result));
        quietOutput();
        return result;
    }

    const DownloadJob &job_;
    SlotSetup setup_;
    LineProbe probe_;
    int held_; // the port as claimed at the start, or -1
    int board_ = 0;
};

} // namespace

std::string boardOutputFile(const SlotSetup &setup, int board) {
    return setup.outputStem + "-" + std::to_string(board) + ".log";
}

bool startSlot(const DownloadJob &job, const SlotSetup &setup, int own,
               const std::vector<int> &claims, pid_t *pid, int *statusFd, std::string *error) {
    DeviceSetting rec;
    if (!recordForPort(job, setup.port, &rec)) {
        *error = setup.port + ": the path is too long for the settings record";
        return false;
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        *error = std::string("cannot create a pipe: ") + std::strerror(errno);
        return false;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFds[0]);
        // Kept open for the slot's life: the probes' closes are then never
        // the last one, which would drop the modem lines (a reset).
        handOverPort(own, claims);
        setStatusPipe(pipeFds[1]);
        becomeChild();
        installSlotHandlers();
        quietOutput();
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        Slot slot(job, setup, own);
        slot.run();
    }
    ::close(pipeFds[1]);
    if (child < 0) {
        *error = std::string("cannot start a process: ") + std::strerror(errno);
        ::close(pipeFds[0]);
        return false;
    }
    *pid = child;
    *statusFd = pipeFds[0];
    return true;
}

} // namespace gang
