// The table at the end of a run, in the order the ports were given.
#pragma once

#include "board.h"

#include <string>
#include <vector>

namespace gang {

// The table, "K of N boards programmed" and the run directory.
std::string resultTable(const std::vector<Board> &boards, const std::string &runDirectory);

} // namespace gang
