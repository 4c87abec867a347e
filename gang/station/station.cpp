#include "station/station.h"

#include "common/failure_reason.h"
#include "common/port_claim.h"
#include "common/recipe.h"
#include "common/screen_text.h"
#include "station/slot_cycle.h"
#include "common/supervisor.h"

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
constexpr int kBusyPollMs = 100;
constexpr auto kImageCheckInterval = std::chrono::seconds(2);

struct SlotBoard {
    BoardRecord record; // the board in progress, or the last one
    Clock::time_point start{};
};

class Station : public ChildEvents {
  public:
    Station(const DownloadJob &job, const StationSetup &setup, StationView *view,
            const BoardLogger &logger, StationState *state)
        : job_(job), setup_(setup), view_(view), logger_(logger), state_(*state),
          supervisor_(setup.identity.ports.size(), this), boards_(setup.identity.ports.size()) {}

    StationOutcome run() {
        startSlots();
        image_.start(job_.imagePath);
        while (!supervisor_.allEnded()) {
            if (supervisor_.turn(anyProgramming() ? kBusyPollMs : kIdlePollMs, view_->keyFd())) {
                handleKeys();
            }
            noticeSignal();
            checkImage();
            pollObserver();
            view_->refresh(state_, Clock::now());
        }
        view_->refresh(state_, Clock::now());
        return outcome_;
    }

    void message(size_t i, const ChildMessage &message) override {
        SlotState &slot = state_.slots[i];
        switch (message.kind) {
        case ChildMessage::Kind::Waiting:
            waiting(i, message.text);
            break;
        case ChildMessage::Kind::Board:
            boardStarted(i, message.text);
            break;
        case ChildMessage::Kind::Progress:
            slot.corePhase = message.phase;
            slot.percent = message.percent;
            break;
        case ChildMessage::Kind::Result:
            boardEnded(i, message.result);
            break;
        case ChildMessage::Kind::Error:
            boardFailedToStart(i, message.text);
            break;
        case ChildMessage::Kind::Held:
            slot.phase = SlotPhase::Holding;
            break;
        case ChildMessage::Kind::NotReady:
            notInDownloadMode(i, message.text);
            break;
        case ChildMessage::Kind::Gone:
            slot.phase = SlotPhase::Waiting;
            slot.problem.clear();
            view_->slotEvent(state_, i, "board " + std::to_string(slot.board) + " removed");
            break;
        }
    }

    // A slot's process that ended: with the board in progress unfinished,
    // that board failed (or was cancelled with the rest).
    void ended(size_t i, int waitStatus, bool cancelled) override {
        SlotState &slot = state_.slots[i];
        bool normal = WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == 0;
        if (slot.phase == SlotPhase::Programming) {
            boardEnded(i, cancelled ? KELVO_INTERRUPTED : KELVO_TRANSFER_FAILED,
                       cancelled ? "" : deathReason(waitStatus));
        }
        slot.phase = SlotPhase::Ended;
        if (!normal && !cancelled) {
            slot.ended = deathReason(waitStatus);
        }
        view_->slotEvent(state_, i, slot.ended.empty() ? "stopped" : "stopped: " + slot.ended);
    }

  private:
    void startSlots() {
        std::vector<int> claims = setup_.claims;
        claims.resize(boards_.size(), -1);
        for (size_t i = 0; i < boards_.size(); ++i) {
            std::string error;
            if (startSlot(i, claims, &error)) {
                continue;
            }
            releasePort(claims[i]);
            claims[i] = -1;
            state_.slots[i].phase = SlotPhase::Ended;
            state_.slots[i].ended = error;
            view_->slotEvent(state_, i, "cannot start: " + error);
        }
        // Each slot holds its own port now. A descriptor left open here
        // would keep an unplugged adapter's device in use, and the adapter
        // would come back under another name.
        for (int fd : claims) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }

    bool startSlot(size_t i, const std::vector<int> &claims, std::string *error) {
        int own = claims[i];
        DeviceSetting rec;
        const std::string &port = setup_.identity.ports[i];
        if (!recordForPort(job_, port, &rec)) {
            *error = port + ": the path is too long for the settings record";
            return false;
        }
        const DownloadJob &job = job_;
        const IdentityContext &context = setup_.identity;
        // Kept open for the slot's life: the probes' closes are then never
        // the last one, which would drop the modem lines (a reset).
        return supervisor_.start(
            i, own, claims,
            [&job, &context, i, own](pid_t parent, int statusFd) {
                runSlot(job, context, i, own, parent, statusFd);
            },
            error);
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
        supervisor_.stopAll();
    }

    // The supervisor has passed a signal on to the slots as a cancel.
    void noticeSignal() {
        int sig = supervisor_.cancelledBy();
        if (sig == 0 || outcome_.signal != 0) {
            return;
        }
        outcome_.signal = sig;
        state_.stopping = true;
        view_->notice(state_, std::string("cancelling (") + strsignal(sig) + ")");
    }

    void waiting(size_t i, const std::string &problem) {
        SlotState &slot = state_.slots[i];
        bool first = slot.phase == SlotPhase::Starting;
        std::string before = slot.problem;
        slot.phase = SlotPhase::Waiting;
        slot.problem = problem;
        if (first || slot.problem != before) {
            view_->slotEvent(state_, i,
                             slot.problem.empty() ? "waiting" : "waiting: " + slot.problem);
        }
    }

    // ---- Where a board starts and ends: the log, the counters, the view
    // (and any other party told of boards) hang on these two.

    // shown: whether the view hears of the start (a board that cannot be
    // programmed is only told of at its end).
    void boardStarted(size_t i, const std::string &identity, bool shown = true) {
        SlotBoard &board = boards_[i];
        SlotState &slot = state_.slots[i];
        board.record = BoardRecord{};
        if (!decodeIdentity(identity, &board.record.id)) {
            board.record.id = makeIdentity(setup_.identity, i, slot.board + 1);
        }
        board.record.startWall = std::time(nullptr);
        board.start = Clock::now();
        slot.phase = SlotPhase::Programming;
        slot.board = board.record.id.count;
        slot.corePhase = KELVO_PHASE_CONNECTING;
        slot.percent = -1;
        slot.problem.clear();
        if (setup_.observer != nullptr) {
            setup_.observer->boardStarted(board.record);
        }
        const BoardIdentity &id = board.record.id;
        slot.unit = identifiesUnit(job_.unique) && !id.values.empty() ? id.unit : "";
        std::string values;
        for (const auto &value : id.values) {
            values += (values.empty() ? " (" : " ") + value.first + "=" + value.second;
        }
        if (shown) {
            view_->slotEvent(state_, i,
                             "board " + std::to_string(slot.board) + " programming" +
                                 (values.empty() ? "" : values + ")"));
        }
    }

    // A board that talks on its own (its firmware) and answers no ping: a
    // failure, so that it is counted, logged and feeds the fixture alarm.
    void notInDownloadMode(size_t i, const std::string &identity) {
        boardStarted(i, identity, false);
        boardEnded(i, KELVO_NO_PING, "not in download mode", true);
    }

    // The slot could not begin the board it found (its log could not be
    // created): a failure of that board.
    void boardFailedToStart(size_t i, const std::string &why) {
        if (state_.slots[i].phase != SlotPhase::Programming) {
            boardStarted(i, "");
        }
        boardEnded(i, KELVO_TRANSFER_FAILED, why);
    }

    // failure: the reason when the slot could not say it itself.
    void boardEnded(size_t i, int result, const std::string &failure = "",
                    bool notInDownloadMode = false) {
        SlotBoard &board = boards_[i];
        SlotState &slot = state_.slots[i];
        BoardRecord &report = board.record;
        Clock::time_point now = Clock::now();
        report.finished = true;
        report.result = result;
        report.seconds = std::chrono::duration<double>(now - board.start).count();
        slot.haveOutcome = true;
        slot.passed = result == KELVO_SUCCESS;
        slot.interrupted = result == KELVO_INTERRUPTED;
        slot.notInDownloadMode = notInDownloadMode;
        slot.reason.clear();
        if (slot.passed) {
            report.outcome = "ok";
        } else if (slot.interrupted) {
            report.outcome = "interrupted";
        } else {
            report.outcome =
                !failure.empty() ? failure : failureReason(readWhole(report.id.logFile), result);
            // The tile and event line already name the slot; the log keeps the path.
            slot.reason =
                withoutPath(withoutPath(report.outcome, report.id.port), report.id.resolved);
        }
        if (notInDownloadMode) {
            slot.reason.clear(); // the state word says it all
        }
        if (slot.interrupted) {
            state_.interrupted.push_back({slot.label, report.id.count});
        } else {
            slot.counters.record(slot.passed, now);
            state_.totals.record(slot.passed, now);
        }
        slot.phase = SlotPhase::Holding;
        logBoard(report);
        if (setup_.observer != nullptr) {
            setup_.observer->boardEnded(report);
        }
        char event[64];
        std::snprintf(event, sizeof event, "board %d %s (%.1f s)", report.id.count,
                      outcomeWord(slot).c_str(), report.seconds);
        view_->slotEvent(state_, i, slot.reason.empty() ? event : event + (": " + slot.reason));
        if (slot.counters.alarm() && !slot.passed && !slot.interrupted) {
            view_->slotEvent(state_, i,
                             "check fixture: " + std::to_string(Counters::kAlarmStreak) +
                                 " failures in a row");
        }
    }

    void logBoard(const BoardRecord &report) {
        std::string why;
        if (logger_ && !logger_(report, &why)) {
            outcome_.logFailed = true;
            view_->notice(state_, why);
        }
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
    Supervisor supervisor_;
    std::vector<SlotBoard> boards_;
    ImageWatch image_;
    Clock::time_point nextImageCheck_{};
    StationOutcome outcome_;
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
    if (!state.interrupted.empty()) {
        text += "Interrupted, must be programmed again:";
        for (const InterruptedBoard &board : state.interrupted) {
            text += (&board == &state.interrupted.front() ? " " : ", ") + board.label + " board " +
                    std::to_string(board.board);
        }
        text += "\n";
    }
    return text;
}

} // namespace gang
