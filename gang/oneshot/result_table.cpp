#include "oneshot/result_table.h"

#include "common/screen_text.h"

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

std::string resultTable(const std::vector<Board> &boards, const std::string &runDirectory,
                        size_t width) {
    const size_t kSecondsWidth = 7, kGaps = 3 * 2;
    size_t labelWidth = 4, resultWidth = 11, reasonWidth = 6, widestResult = 6;
    for (const Board &b : boards) {
        labelWidth = std::max(labelWidth, b.label.size());
        reasonWidth = std::max(reasonWidth, shownReason(b).size());
        widestResult = std::max(widestResult, std::string(statusWord(b.outcome)).size());
    }
    if (width > 0) {
        // The label and the result column give way first, then the reason;
        // a row still too long is cut.
        labelWidth = std::min(labelWidth, std::max<size_t>(4, width / 3));
        if (labelWidth + resultWidth + reasonWidth + kSecondsWidth + kGaps > width) {
            resultWidth = widestResult;
        }
        size_t fixed = labelWidth + resultWidth + kSecondsWidth + kGaps;
        reasonWidth = std::min(reasonWidth, std::max<size_t>(6, width > fixed ? width - fixed : 0));
    }
    std::vector<std::string> labels = fittedLabels(boards, labelWidth);
    auto row = [&](const std::string &label, const std::string &result, const std::string &reason,
                   const std::string &seconds) {
        std::string line = padded(label, labelWidth) + "  " + padded(result, resultWidth) + "  " +
                           padded(fitted(reason, reasonWidth), reasonWidth) + "  " + seconds;
        return (width > 0 ? fitted(line, width) : line) + "\n";
    };
    std::string text = row("PORT", "RESULT", "REASON", "SECONDS");
    size_t programmed = 0;
    for (size_t i = 0; i < boards.size(); ++i) {
        const Board &b = boards[i];
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%7.1f", elapsedSeconds(b, b.end));
        text += row(labels[i], statusWord(b.outcome), shownReason(b), seconds);
        programmed += b.outcome == Outcome::Ok;
    }
    text += std::to_string(programmed) + " of " + std::to_string(boards.size()) +
            " boards programmed\n";
    text += "Output of each board: " + runDirectory + "/\n";
    return text;
}

} // namespace gang
