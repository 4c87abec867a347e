#include "station/station.h"

#include "common/failure_reason.h"
#include "common/recipe.h"
#include "common/screen_text.h"
#include "station/slot_cycle.h"
#include "common/supervisor.h"
#include "common/worker.h"

#include "KelvoPG_core.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace gang {
namespace {

using Clock = std::chrono::steady_clock;

// Slow enough to cost nothing while every slot waits; progress and key
// presses wake the loop at once.
constexpr int kIdlePollMs = 500;
constexpr auto kImageCheckInterval = std::chrono::seconds(2);
constexpr auto kCancelGrace = std::chrono::seconds(8);

struct SlotProcess {
    SlotSetup setup;
    pid_t pid = -1;
    int statusFd = -1;
    bool reaped = false;
    int waitStatus = 0;
    std::string pending; // a status line not yet complete
    BoardReport board;   // the board in progress, or the last one
    Clock::time_point boardStart{};
};

class Station {
  public:
    Station(const DownloadJob &job, const StationSetup &setup, StationView *view,
            const BoardLogger &logger, StationState *state)
        : job_(job), setup_(setup), view_(view), logger_(logger), state_(*state) {}

    StationOutcome run() {
        startSlots();
        image_.start(job_.imagePath);
        while (!allEnded()) {
            waitForEvents();
            handleSignal();
            reapSlots();
            killLateSlots();
            checkImage();
            pollObserver();
            view_->refresh(state_, Clock::now());
        }
        view_->refresh(state_, Clock::now());
        return outcome_;
    }

  private:
    void startSlots() {
        setSignalsBlocked(true); // a slot takes its handlers before it sees one
        procs_.resize(setup_.ports.size());
        for (size_t i = 0; i < procs_.size(); ++i) {
            SlotProcess &proc = procs_[i];
            proc.setup.port = setup_.ports[i];
            proc.setup.outputStem = setup_.runDir + "/" + setup_.labels[i];
            std::string error;
            int own = i < setup_.claims.size() ? setup_.claims[i] : -1;
            if (!startSlot(job_, proc.setup, own, setup_.claims, &proc.pid, &proc.statusFd,
                           &error)) {
                proc.reaped = true;
                state_.slots[i].phase = SlotPhase::Ended;
                state_.slots[i].ended = error;
                view_->slotEvent(state_, i, "cannot start: " + error);
            }
        }
        setSignalsBlocked(false);
        // Each slot holds its own port now. A descriptor left open here would
        // keep an unplugged adapter's device in use, and the adapter would
        // come back under another name.
        for (int fd : setup_.claims) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }

    bool allEnded() const {
        for (const SlotProcess &proc : procs_) {
            if (!proc.reaped || proc.statusFd >= 0) {
                return false;
            }
        }
        return true;
    }

    void waitForEvents() {
        std::vector<pollfd> fds{{parentSignalFd(), POLLIN, 0}};
        int keyFd = view_->keyFd();
        fds.push_back({keyFd, POLLIN, 0}); // a negative descriptor is skipped
        for (const SlotProcess &proc : procs_) {
            fds.push_back({proc.statusFd, POLLIN, 0});
        }
        int timeout = anyProgramming() ? 100 : kIdlePollMs;
        if (::poll(fds.data(), fds.size(), timeout) <= 0) {
            return;
        }
        if (fds[0].revents) {
            drainParentSignalFd();
        }
        if (fds[1].revents) {
            handleKeys();
        }
        for (size_t i = 0; i < procs_.size(); ++i) {
            if (fds[i + 2].revents) {
                readStatus(i);
            }
        }
    }

    bool anyProgramming() const {
        for (const SlotState &slot : state_.slots) {
            if (slot.phase == SlotPhase::Programming) {
                return true;
            }
        }
        return false;
    }

    void handleKeys() {
        // One key per wake-up: the next one wakes the loop again.
        int key = view_->key();
        if ((key == 'q' || key == 'Q') && !state_.stopping) {
            stop();
        }
    }

    // q: no new boards; the boards on the line are finished first.
    void stop() {
        state_.stopping = true;
        outcome_.stopped = true;
        view_->notice(state_, "stopping after the boards in progress");
        for (SlotProcess &proc : procs_) {
            if (!proc.reaped) {
                ::kill(proc.pid, kStopSignal);
            }
        }
    }

    void handleSignal() {
        int sig = parentSignal();
        if (sig == 0 || outcome_.signal != 0) {
            return;
        }
        outcome_.signal = sig;
        state_.stopping = true;
        cancelDeadline_ = Clock::now() + kCancelGrace;
        view_->notice(state_, std::string("cancelling (") + strsignal(sig) + ")");
        for (SlotProcess &proc : procs_) {
            if (!proc.reaped) {
                ::kill(proc.pid, kRelaySignal);
            }
        }
    }

    void killLateSlots() {
        if (outcome_.signal == 0 || killed_ || Clock::now() < cancelDeadline_) {
            return;
        }
        for (SlotProcess &proc : procs_) {
            if (!proc.reaped) {
                ::kill(proc.pid, SIGKILL);
            }
        }
        killed_ = true;
    }

    void readStatus(size_t i) {
        SlotProcess &proc = procs_[i];
        char buf[512];
        ssize_t n = ::read(proc.statusFd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            return;
        }
        if (n <= 0) {
            ::close(proc.statusFd);
            proc.statusFd = -1;
            return;
        }
        proc.pending.append(buf, static_cast<size_t>(n));
        size_t nl;
        while ((nl = proc.pending.find('\n')) != std::string::npos) {
            std::string line = proc.pending.substr(0, nl);
            proc.pending.erase(0, nl + 1);
            handleLine(i, line);
        }
    }

    void handleLine(size_t i, const std::string &line) {
        SlotState &slot = state_.slots[i];
        int a = 0, b = 0;
        if (line.rfind("W", 0) == 0) {
            bool first = slot.phase == SlotPhase::Starting;
            std::string before = slot.problem;
            slot.phase = SlotPhase::Waiting;
            slot.problem = line.size() > 2 ? line.substr(2) : "";
            if (first || slot.problem != before) {
                view_->slotEvent(state_, i,
                                 slot.problem.empty() ? "waiting" : "waiting: " + slot.problem);
            }
        } else if (std::sscanf(line.c_str(), "B %d", &a) == 1) {
            boardStarted(i, a);
        } else if (std::sscanf(line.c_str(), "P %d %d", &a, &b) == 2) {
            slot.corePhase = a;
            slot.percent = b;
        } else if (std::sscanf(line.c_str(), "R %d", &a) == 1) {
            boardEnded(i, a);
        } else if (line == "H") {
            slot.phase = SlotPhase::Holding;
        } else if (line == "G") {
            slot.phase = SlotPhase::Waiting;
            slot.problem.clear();
            view_->slotEvent(state_, i, "board " + std::to_string(slot.board) + " removed");
        }
    }

    // ---- Where a board starts and ends: the log, the counters, the view
    // (and any other party told of boards) hang on these two.

    void boardStarted(size_t i, int board) {
        SlotProcess &proc = procs_[i];
        SlotState &slot = state_.slots[i];
        slot.phase = SlotPhase::Programming;
        slot.board = board;
        slot.corePhase = KELVO_PHASE_CONNECTING;
        slot.percent = -1;
        slot.problem.clear();
        proc.board = BoardReport{};
        proc.board.slot = i;
        proc.board.label = slot.label;
        proc.board.port = slot.port;
        proc.board.board = board;
        // Read per board: a board may bring its own adapter.
        proc.board.usb = usbIdentity(setup_.sysRoot, setup_.resolved[i]);
        proc.board.startWall = std::time(nullptr);
        proc.board.outputFile = boardOutputFile(proc.setup, board);
        proc.board.recipeName = job_.recipeName;
        proc.board.recipeSha256 = job_.recipeSha256;
        proc.board.flashOffset = job_.record.flash_offset;
        proc.boardStart = Clock::now();
        if (setup_.observer != nullptr) {
            setup_.observer->boardStarted(proc.board);
        }
        view_->slotEvent(state_, i, "board " + std::to_string(board) + " programming");
    }

    // failure: the reason when the slot could not say it itself.
    void boardEnded(size_t i, int result, const std::string &failure = "") {
        SlotProcess &proc = procs_[i];
        SlotState &slot = state_.slots[i];
        BoardReport &report = proc.board;
        Clock::time_point now = Clock::now();
        report.finished = true;
        report.result = result;
        report.seconds = std::chrono::duration<double>(now - proc.boardStart).count();
        slot.haveOutcome = true;
        slot.passed = result == KELVO_SUCCESS;
        slot.interrupted = result == KELVO_INTERRUPTED;
        slot.reason.clear();
        if (slot.passed) {
            report.outcome = "ok";
        } else if (slot.interrupted) {
            report.outcome = "interrupted";
        } else {
            report.outcome =
                !failure.empty() ? failure : failureReason(readWhole(report.outputFile), result);
            // The tile and event line already name the slot; the log keeps the path.
            slot.reason = withoutPath(withoutPath(report.outcome, report.port), setup_.resolved[i]);
        }
        if (!slot.interrupted) {
            slot.counters.record(slot.passed, now);
            state_.totals.record(slot.passed, now);
        }
        slot.phase = SlotPhase::Holding;
        logBoard(report);
        if (setup_.observer != nullptr) {
            setup_.observer->boardEnded(report);
        }
        char event[64];
        std::snprintf(event, sizeof event, "board %d %s (%.1f s)", report.board,
                      slot.passed        ? "PASS"
                      : slot.interrupted ? "INTERRUPTED"
                                         : "FAIL",
                      report.seconds);
        view_->slotEvent(state_, i, slot.reason.empty() ? event : event + (": " + slot.reason));
        if (slot.counters.alarm() && !slot.passed && !slot.interrupted) {
            view_->slotEvent(state_, i,
                             "check fixture: " + std::to_string(Counters::kAlarmStreak) +
                                 " failures in a row");
        }
    }

    void logBoard(const BoardReport &report) {
        std::string why;
        if (logger_ && !logger_(report, &why)) {
            outcome_.logFailed = true;
            view_->notice(state_, why);
        }
    }

    // A slot's process that ended: with the board in progress unfinished,
    // that board failed (or was cancelled with the rest).
    void reapSlots() {
        for (size_t i = 0; i < procs_.size(); ++i) {
            SlotProcess &proc = procs_[i];
            if (!proc.reaped && ::waitpid(proc.pid, &proc.waitStatus, WNOHANG) == proc.pid) {
                proc.reaped = true;
            }
            if (!proc.reaped || (proc.statusFd >= 0 && !killed_) ||
                state_.slots[i].phase == SlotPhase::Ended) {
                continue;
            }
            if (proc.statusFd >= 0) {
                ::close(proc.statusFd);
                proc.statusFd = -1;
            }
            concludeSlot(i);
        }
    }

    void concludeSlot(size_t i) {
        SlotProcess &proc = procs_[i];
        SlotState &slot = state_.slots[i];
        bool normal = WIFEXITED(proc.waitStatus) && WEXITSTATUS(proc.waitStatus) == 0;
        if (slot.phase == SlotPhase::Programming) {
            bool cancelled = outcome_.signal != 0;
            boardEnded(i, cancelled ? KELVO_INTERRUPTED : KELVO_TRANSFER_FAILED,
                       cancelled ? "" : deathReason(proc.waitStatus));
        }
        slot.phase = SlotPhase::Ended;
        if (!normal && outcome_.signal == 0) {
            slot.ended = deathReason(proc.waitStatus);
        }
        view_->slotEvent(state_, i, slot.ended.empty() ? "stopped" : "stopped: " + slot.ended);
    }

    // The views show state_.link; they notice a change themselves.
    void pollObserver() {
        if (setup_.observer != nullptr) {
            state_.link = setup_.observer->poll();
        }
    }

    void checkImage() {
        Clock::time_point now = Clock::now();
        if (now < nextImageCheck_) {
            return;
        }
        nextImageCheck_ = now + kImageCheckInterval;
        if (image_.changedOnce()) {
            state_.message = "the image changed on disk; programming the copy checked at start (" +
                             job_.imageSha256.substr(0, 12) + ")";
            view_->notice(state_, state_.message);
        }
    }

    const DownloadJob &job_;
    const StationSetup &setup_;
    StationView *view_;
    const BoardLogger &logger_;
    StationState &state_;
    std::vector<SlotProcess> procs_;
    ImageWatch image_;
    Clock::time_point nextImageCheck_{};
    StationOutcome outcome_;
    bool killed_ = false;
    Clock::time_point cancelDeadline_{};
};

} // namespace

StationOutcome runStation(const DownloadJob &job, const StationSetup &setup, StationView *view,
                          const BoardLogger &logger, StationState *state) {
    Station station(job, setup, view, logger, state);
    return station.run();
}

std::string stationSummary(const StationState &state, Counters::Time now) {
    size_t width = 7;
    for (const SlotState &slot : state.slots) {
        width = std::max(width, slot.label.size());
    }
    std::string text;
    for (const SlotState &slot : state.slots) {
        text += slot.label + std::string(width - slot.label.size() + 2, ' ') +
                countersText(slot.counters, now) +
                (slot.counters.alarm() ? "  CHECK FIXTURE" : "") + "\n";
    }
    text += "station" + std::string(width - 7 + 2, ' ') + countersText(state.totals, now) + "\n";
    return text;
}

} // namespace gang
