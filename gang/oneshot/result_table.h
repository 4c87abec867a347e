// The table at the end of a run, in the order the ports were given.
#pragma once

#include "oneshot/board.h"

#include <string>
#include <vector>

namespace gang {

// The table, "K of N boards programmed" and the run directory. Ports show
// as their labels, reasons without the port's path; with a width, no row
// is longer (a terminal's width - 1), the reason cut first.
std::string resultTable(const std::vector<Board> &boards, const std::string &runDirectory,
                        size_t width = 0);

} // namespace gang
