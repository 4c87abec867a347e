// What the station shows: every slot's state and counters, and the
// station's totals. The supervisor keeps it; the views only read it.
#pragma once

#include "station/counters.h"
#include "common/usb_identity.h"

#include <chrono>
#include <ctime>
#include <string>
#include <vector>

namespace gang {

enum class SlotPhase {
    Starting,    // the slot's process has not reported yet
    Waiting,     // probing for a board
    Programming, // a board's download in flight
    Holding,     // result shown until the board is taken out
    Ended,       // the slot's process is over
};

struct SlotState {
    SlotState(std::string label, std::string port, Counters::Time start)
        : label(std::move(label)), port(std::move(port)), counters(start) {}
    std::string label;
    std::string port;
    SlotPhase phase = SlotPhase::Starting;
    std::string problem; // while waiting: why the port cannot be used
    int board = 0;       // the slot's running count of boards
    int corePhase = 0;   // enum kelvo_phase while programming
    int percent = -1;
    // The last board's outcome, shown while holding and after.
    bool haveOutcome = false;
    bool passed = false;
    bool interrupted = false;
    bool notInDownloadMode = false; // the board ran its own firmware
    std::string reason;
    std::string unit;  // the last board's unit identifier, when a recipe value gives it
    std::string ended; // why the slot's process ended, when it did unexpectedly
    Counters counters;
};

// A board whose programming a cancel cut short: it must be programmed again.
struct InterruptedBoard {
    std::string label;
    int board = 0;
};

struct StationState {
    explicit StationState(Counters::Time start) : totals(start) {}
    std::string station;   // --station, may be empty
    std::string recipe;    // the recipe's name, or the image's file name
    std::string link;      // station-wide link status ("factory link down"); empty: none
    std::string message;   // a notice for the operator (the image changed on disk, ...)
    bool stopping = false; // q pressed: no new boards
    std::vector<SlotState> slots;
    Counters totals;
    std::vector<InterruptedBoard> interrupted;
};

// The outcome of a board found running its own firmware.
extern const char kNotInDownloadMode[];
// A waiting slot's problem while its port's node is not there.
extern const char kNoDevice[];

// The last board's outcome in one word or phrase: "PASS", "FAIL",
// "INTERRUPTED", "NOT IN DOWNLOAD MODE".
std::string outcomeWord(const SlotState &slot);

// The slot's state as the operator reads it: "WAITING" ("NO PORT YET" while
// the port's node is not there), "PROGRAMMING 42 %",
// "PASS" or "FAIL" (held until the board is taken out), "STOPPED".
std::string stateWord(const SlotState &slot);
// A second line: the failure's reason, the waiting port's problem, or
// "check fixture" after failures in a row.
std::string stateDetail(const SlotState &slot);
// While waiting for the next board: how the last one ended ("last board:
// FAIL, HashVerify Fail"), for an operator who looked away while it was
// held; "" before the first.
std::string lastBoard(const SlotState &slot);

// The screen, or plain lines when the output is no terminal.
class StationView {
  public:
    virtual ~StationView() = default;
    // Something happened in a slot: "board 3 programming", "board 3 PASS".
    virtual void slotEvent(const StationState &state, size_t slot, const std::string &event) = 0;
    // A station-wide notice (state.message or state.link changed).
    virtual void notice(const StationState &state, const std::string &text) = 0;
    // Redraw when it shows state continuously; cheap when nothing changed.
    virtual void refresh(const StationState &state, Counters::Time now) = 0;
    // Readable when the operator typed something; -1 when keys are not read.
    virtual int keyFd() const { return -1; }
    // A key typed by the operator, or -1 when none is waiting.
    virtual int key() { return -1; }
    // Leaves the screen, if any, before the summary is printed.
    virtual void close() {}
};

} // namespace gang
