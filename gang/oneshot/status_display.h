// The live view of a run: on a terminal, the ports' lines redrawn in place
// at most ten times a second, fitted to the terminal's size; elsewhere, one
// plain line per port and phase change.
#pragma once

#include "oneshot/board.h"
#include "common/screen_text.h"

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace gang {

// "connecting", "erasing", "writing 37 %", "verifying", or the outcome.
std::string phaseText(const Board &board);

// The lines of one frame, none longer than size.cols - 1, at most
// size.rows - 1 of them: one line per port while they fit, else several
// ports to a line, and a count of the rest when even those do not fit.
std::vector<std::string> frameLines(const std::vector<Board> &boards, SteadyTime now,
                                    TerminalSize size);

class StatusDisplay {
  public:
    StatusDisplay(FILE *out, bool terminal) : out_(out), terminal_(terminal) {}
    // A line about the station itself under the ports' lines (the factory
    // link), asked for at every update; empty shows nothing.
    void setFooter(std::function<std::string()> footer) { footer_ = std::move(footer); }
    // Shows what changed; on a terminal no more often than every 100 ms.
    void update(const std::vector<Board> &boards, SteadyTime now);
    // The last state of every board, drawn at once.
    void finish(const std::vector<Board> &boards, SteadyTime now);

  private:
    void redraw(const std::vector<Board> &boards, SteadyTime now);
    void printChanges(const std::vector<Board> &boards, SteadyTime now);

    FILE *out_;
    bool terminal_;
    bool drawn_ = false;
    size_t drawnLines_ = 0; // of the last frame: how far up the next one starts
    SteadyTime lastDraw_{};
    std::vector<std::string> shown_; // per board: last phase printed (plain mode)
    std::function<std::string()> footer_;
    std::string footerShown_; // plain mode
};

} // namespace gang
