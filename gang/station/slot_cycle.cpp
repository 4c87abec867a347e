#include "station/slot_cycle.h"

#include "common/board_programming.h"
#include "common/child.h"
#include "station/line_probe.h"

#include "KelvoPG_core.h"

#include <chrono>
#include <cstdio>
#include <fcntl.h>
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
// A board that runs its own firmware may print only every few seconds:
// silent for this long, it has been taken out.
constexpr auto kSilentAfter = std::chrono::seconds(6);

class Slot {
  public:
    Slot(const DownloadJob &job, const IdentityContext &context, size_t slot, int held)
        : job_(job), context_(context), slot_(slot), port_(context.ports[slot]), probe_(port_),
          held_(held), heldAtStart_(held >= 0) {}

    [[noreturn]] void run() {
        for (;;) {
            if (!awaitBoard()) {
                finish();
            }
            int result = program();
            if (leaveAfterBoard()) {
                finish();
            }
            sendMessage(heldMessage());
            if (!awaitRemoval(result)) {
                finish();
            }
            sendMessage(goneMessage());
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
        if (count_ == 0) {
            // Every slot is seen waiting first, even when its board answers
            // the first probe.
            shown = "";
            sendMessage(waitingMessage(shown));
        }
        while (!leaveAfterBoard()) {
            retakeNode();
            Answer answer = probe_.ping(kBootRate, kWaitingAnswerMs);
            if (answer == Answer::Yes) {
                return true;
            }
            if (answer == Answer::Other && !notInDownloadMode()) {
                return false;
            }
            if (answer == Answer::NoPort) {
                letGoOfVanishedNode();
            }
            if (probe_.problem() != shown) {
                shown = probe_.problem();
                sendMessage(waitingMessage(shown));
            }
            pauseUnlessLeaving(kWaitingPeriodMs);
        }
        return false;
    }

    // A board that talks without being asked runs its own firmware: it is
    // counted as a board that could not be programmed, and held until its
    // output stops (taken out). False when the slot must leave.
    bool notInDownloadMode() {
        ++count_;
        sendMessage(notReadyMessage(encodeIdentity(makeIdentity(context_, slot_, count_))));
        if (leaveAfterBoard()) {
            return false;
        }
        sendMessage(heldMessage());
        auto lastBytes = Clock::now();
        while (!leaveAfterBoard()) {
            Answer answer = probe_.listen(kBootRate, kRemovalAnswerMs);
            if (answer == Answer::Other) {
                lastBytes = Clock::now();
            } else if (answer == Answer::NoPort || Clock::now() - lastBytes >= kSilentAfter) {
                probe_.close();
                letGoOfVanishedNode();
                sendMessage(goneMessage());
                return true;
            }
            pauseUnlessLeaving(kRemovalPeriodMs);
        }
        return false;
    }

    // Present while it answers with the mark that every connection leaves
    // in the chip, at the rate it was left at (the transfer rate once the
    // line was switched, else the boot rate). The next board, reset into
    // its boot loader, lacks the mark even when it answers at that rate: a
    // quick swap is seen as a removal at any rate.
    bool awaitRemoval(int result) {
        auto lastAnswer = Clock::now();
        bool switched =
            result != KELVO_NO_PING && result != KELVO_CONFIG_REFUSED && result != kNoResult;
        uint32_t rate = switched ? static_cast<uint32_t>(job_.record.baudrate) : kBootRate;
        while (!leaveAfterBoard()) {
            Answer answer = probe_.marked(rate, kRemovalAnswerMs);
            if (answer == Answer::Yes) {
                lastAnswer = Clock::now();
            } else if (answer == Answer::NoPort || Clock::now() - lastAnswer >= kGoneAfter) {
                probe_.close();
                letGoOfVanishedNode();
                return true; // gone with its node, or no board with the mark answers
            }
            pauseUnlessLeaving(kRemovalPeriodMs);
        }
        return false;
    }

    // The port held since the start keeps the device in use: once its node
    // is gone (an adapter unplugged with its board), let it go, so that the
    // adapter comes back under the same name.
    void letGoOfVanishedNode() {
        struct stat st {};
        if (held_ >= 0 && ::stat(port_.c_str(), &st) != 0) {
            ::close(held_);
            held_ = -1;
        }
    }

    // Once the node is back, hold it again before the probe opens it: the
    // probe's close and the download's close before the rate change must
    // never be the last one, which drops the modem lines (a reset).
    void retakeNode() {
        if (held_ < 0 && heldAtStart_) {
            held_ = ::open(port_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        }
    }

    // The board found is marked before anything else: also one whose
    // connection fails before it writes the mark, and before its result is
    // shown (an operator who swaps then must not get the next board marked).
    int program() {
        probe_.mark(kBootRate, kWaitingAnswerMs);
        probe_.close();
        ++count_;
        return programBoard(job_, makeIdentity(context_, slot_, count_));
    }

    const DownloadJob &job_;
    const IdentityContext &context_;
    size_t slot_;
    std::string port_;
    LineProbe probe_;
    int held_; // the port as claimed at the start, or -1
    bool heldAtStart_;
    int count_ = 0;
};

} // namespace

void runSlot(const DownloadJob &job, const IdentityContext &context, size_t slot, int held,
             pid_t parent, int statusFd) {
    becomeChild(parent, statusFd);
    quietOutput();
    Slot(job, context, slot, held).run();
}

} // namespace gang
