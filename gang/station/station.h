// The production station: every port a slot with its own cycle, started
// by the board itself; counters, the traceability log and the view.
#pragma once

#include "common/board_identity.h"
#include "common/download_job.h"
#include "station/station_state.h"

#include <functional>
#include <string>
#include <vector>

namespace gang {

// Told of every board's start and end, and asked on every turn of the
// station's loop (at least twice a second) for a station-wide status line
// (empty: nothing to show); for parties other than the log.
class StationObserver {
  public:
    virtual ~StationObserver() = default;
    virtual void boardStarted(const BoardRecord &record) = 0;
    virtual void boardEnded(const BoardRecord &record) = 0;
    virtual std::string poll() = 0;
};

struct StationSetup {
    // Labels, ports, run directory and the factory's handle of every board.
    IdentityContext identity;
    // Per port: the device it named at the start.
    std::vector<std::string> resolved;
    // Per port: its descriptor, taken before any slot starts (or -1); each
    // passes to its slot, and the station closes its own copies.
    std::vector<int> claims;
    std::string station;
    StationObserver *observer = nullptr; // may be none
};

// Called when a board ends, for the log; false with why when it failed.
using BoardLogger = std::function<bool(const BoardRecord &, std::string *)>;

struct StationOutcome {
    int signal = 0;       // the signal that cancelled the run, or 0
    bool stopped = false; // ended by the operator's q
    bool logFailed = false;
};

// Runs the slots until q, a signal, or every slot has ended. The parent's
// signals must already be caught (installParentSignals).
StationOutcome runStation(const DownloadJob &job, const StationSetup &setup, StationView *view,
                          const BoardLogger &logger, StationState *state);

// The counters of every slot and of the station, for the end of a run.
std::string stationSummary(const StationState &state, Counters::Time now);

} // namespace gang
