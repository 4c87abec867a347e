// The live view of a run: on a terminal, one line per port redrawn in place
// at most ten times a second; elsewhere, one plain line per port and phase
// change.
#pragma once

#include "board.h"

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace gang {

// "connecting", "erasing", "writing 37 %", "verifying", or the outcome.
std::string phaseText(const Board &board);

class StatusDisplay {
  public:
    StatusDisplay(FILE *out, bool terminal) : out_(out), terminal_(terminal) {}
    // A line about the station itself under the boards' lines (the factory
    // link), asked for at every update; empty shows nothing.
    void setFooter(std::function<std::string()> footer) { footer_ = std::move(footer); }
    // Shows what changed; on a terminal no more often than every 100 ms.
    void update(const std::vector<Board> &boards, SteadyTime now);
    // The last state of every board, drawn at once.
    void finish(const std::vector<Board> &boards, SteadyTime now);

  private:
    void redraw(const std::vector<Board> &boards, SteadyTime now);
    void printChanges(const std::vector<Board> &boards, SteadyTime now);
    std::string lineFor(const Board &board, SteadyTime now, size_t portWidth) const;

    FILE *out_;
    bool terminal_;
    bool drawn_ = false;
    SteadyTime lastDraw_{};
    std::vector<std::string> shown_; // per board: last phase printed (plain mode)
    std::function<std::string()> footer_;
    std::string footerShown_;
    size_t linesDrawn_ = 0;
};

} // namespace gang
