#include "result_table.h"

#include <algorithm>
#include <cstdio>

namespace gang {
namespace {

const char *statusWord(Outcome outcome) {
    switch (outcome) {
    case Outcome::Ok:
        return "ok";
    case Outcome::Failed:
        return "FAILED";
    case Outcome::Interrupted:
        return "interrupted";
    case Outcome::Running:
        break;
    }
    return "running";
}

std::string padded(std::string text, size_t width) {
    text.resize(std::max(width, text.size()), ' ');
    return text;
}

} // namespace

std::string resultTable(const std::vector<Board> &boards, const std::string &runDirectory) {
    size_t portWidth = 4, reasonWidth = 6;
    for (const Board &b : boards) {
        portWidth = std::max(portWidth, b.port.size());
        reasonWidth = std::max(reasonWidth, b.reason.size());
    }
    std::string text = padded("PORT", portWidth) + "  " + padded("RESULT", 11) + "  " +
                       padded("REASON", reasonWidth) + "  SECONDS\n";
    size_t programmed = 0;
    for (const Board &b : boards) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%7.1f", elapsedSeconds(b, b.end));
        text += padded(b.port, portWidth) + "  " + padded(statusWord(b.outcome), 11) + "  " +
                padded(b.reason, reasonWidth) + "  " + seconds + "\n";
        programmed += b.outcome == Outcome::Ok;
    }
    text += std::to_string(programmed) + " of " + std::to_string(boards.size()) +
            " boards programmed\n";
    text += "Output of each board: " + runDirectory + "/\n";
    return text;
}

} // namespace gang
