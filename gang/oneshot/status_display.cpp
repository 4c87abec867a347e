#include "oneshot/status_display.h"

#include "KelvoPG_core.h"

#include <algorithm>
#include <unistd.h>

namespace gang {
namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr size_t kPhaseWidth = 16;  // "writing 100 %" and the like line up
constexpr size_t kSecondsWidth = 8; // "%6.1f s"
constexpr size_t kShortPhaseWidth = 6;

std::string phaseName(int phase) {
    return corePhaseName(phase);
}

std::string outcomeText(const Board &board) {
    switch (board.outcome) {
    case Outcome::Ok:
        return "ok";
    case Outcome::Failed:
        return "FAILED: " + shownReason(board);
    case Outcome::Interrupted:
        return "interrupted";
    case Outcome::Running:
        break;
    }
    return phaseName(board.phase);
}

// The phase in at most kShortPhaseWidth characters, for the compact layout.
std::string shortPhase(const Board &board) {
    switch (board.outcome) {
    case Outcome::Ok:
        return "ok";
    case Outcome::Failed:
        return "FAILED";
    case Outcome::Interrupted:
        return "intr";
    case Outcome::Running:
        break;
    }
    if (board.phase == KELVO_PHASE_WRITING && board.percent >= 0) {
        return std::to_string(board.percent) + "%";
    }
    return phaseName(board.phase).substr(0, kShortPhaseWidth);
}

std::string padded(std::string text, size_t width) {
    text.resize(std::max(width, text.size()), ' ');
    return text;
}

size_t widestLabel(const std::vector<Board> &boards) {
    size_t width = 1;
    for (const Board &b : boards) {
        width = std::max(width, b.label.size());
    }
    return width;
}

std::string seconds(const Board &board, SteadyTime now) {
    char text[32];
    std::snprintf(text, sizeof text, "%6.1f s", elapsedSeconds(board, now));
    return text;
}

std::vector<std::string> oneLineEach(const std::vector<Board> &boards, SteadyTime now,
                                     size_t width) {
    size_t labelWidth = std::min(widestLabel(boards), std::max<size_t>(4, width / 3));
    bool withSeconds = width >= labelWidth + 2 + 10 + 2 + kSecondsWidth;
    size_t phaseWidth =
        width - std::min(width, labelWidth + 2) - (withSeconds ? 2 + kSecondsWidth : 0);
    std::vector<std::string> labels = fittedLabels(boards, labelWidth);
    std::vector<std::string> lines;
    for (size_t i = 0; i < boards.size(); ++i) {
        const Board &board = boards[i];
        std::string phase =
            padded(fitted(phaseText(board), phaseWidth), std::min(kPhaseWidth, phaseWidth));
        std::string line = padded(labels[i], labelWidth) + "  " + phase;
        if (withSeconds) {
            line += "  " + seconds(board, now);
        }
        lines.push_back(fitted(line, width));
    }
    return lines;
}

// "2 ok, 1 FAILED, 3 running" for the boards from first on.
std::string tally(const std::vector<Board> &boards, size_t first) {
    size_t counts[4] = {};
    for (size_t i = first; i < boards.size(); ++i) {
        ++counts[static_cast<int>(boards[i].outcome)];
    }
    const char *words[4] = {"running", "ok", "FAILED", "interrupted"};
    std::string text;
    for (int i : {1, 2, 3, 0}) {
        if (counts[i] > 0) {
            text += (text.empty() ? "" : ", ") + std::to_string(counts[i]) + " " + words[i];
        }
    }
    return text;
}

std::vector<std::string> severalPerLine(const std::vector<Board> &boards, size_t width,
                                        size_t maxLines) {
    // Room for two cells a line where it can be had.
    size_t labelWidth =
        std::min(widestLabel(boards), std::max<size_t>(8, width / 2 > 9 ? width / 2 - 9 : 0));
    size_t cellWidth = labelWidth + 1 + kShortPhaseWidth;
    size_t perLine = std::max<size_t>(1, (width + 2) / (cellWidth + 2));
    size_t shown = boards.size();
    if ((shown + perLine - 1) / perLine > maxLines) {
        shown = (maxLines - 1) * perLine; // the last line counts the rest
    }
    std::vector<std::string> labels = fittedLabels(boards, labelWidth);
    std::vector<std::string> lines;
    for (size_t i = 0; i < shown; ++i) {
        std::string cell =
            padded(labels[i], labelWidth) + " " + padded(shortPhase(boards[i]), kShortPhaseWidth);
        if (i % perLine == 0) {
            lines.push_back(cell);
        } else {
            lines.back() += "  " + cell;
        }
    }
    if (shown < boards.size()) {
        lines.push_back("+" + std::to_string(boards.size() - shown) +
                        " more: " + tally(boards, shown));
    }
    for (std::string &line : lines) {
        line = fitted(line, width);
    }
    return lines;
}

} // namespace

std::string phaseText(const Board &board) {
    if (!board.finished() && board.phase == KELVO_PHASE_WRITING && board.percent >= 0) {
        return "writing " + std::to_string(board.percent) + " %";
    }
    return outcomeText(board);
}

std::vector<std::string> frameLines(const std::vector<Board> &boards, SteadyTime now,
                                    TerminalSize size) {
    // The cursor ends on the line below the frame: a frame of rows - 1
    // lines is the most that never scrolls its own first line away. A line
    // reaching the last column would wrap on some terminals.
    size_t maxLines = size.rows > 1 ? size.rows - 1 : 0;
    size_t width = size.cols > 1 ? size.cols - 1 : 1;
    if (maxLines == 0 || boards.empty()) {
        return {};
    }
    if (boards.size() <= maxLines) {
        return oneLineEach(boards, now, width);
    }
    return severalPerLine(boards, width, maxLines);
}

void StatusDisplay::redraw(const std::vector<Board> &boards, SteadyTime now) {
    TerminalSize size = terminalSize(fileno(out_));
    std::string footer = footer_ ? footer_() : "";
    TerminalSize forPorts = size;
    if (!footer.empty() && forPorts.rows > 2) {
        --forPorts.rows; // the footer's line
    }
    std::vector<std::string> lines = frameLines(boards, now, forPorts);
    if (!footer.empty() && forPorts.rows < size.rows) {
        lines.push_back(fitted(footer, size.cols > 1 ? size.cols - 1 : 1));
    }
    std::string text = "\r";
    size_t up = std::min(drawnLines_, size.rows > 1 ? size.rows - 1 : 0);
    if (up > 0) {
        text += "\033[" + std::to_string(up) + "A"; // back to the frame's first line
    }
    for (const std::string &line : lines) {
        text += line + "\033[K\n";
    }
    text += "\033[J"; // what a larger frame before left below this one
    std::fputs(text.c_str(), out_);
    std::fflush(out_);
    drawn_ = true;
    drawnLines_ = lines.size();
    lastDraw_ = now;
}

void StatusDisplay::printChanges(const std::vector<Board> &boards, SteadyTime now) {
    shown_.resize(boards.size());
    for (size_t i = 0; i < boards.size(); ++i) {
        const Board &board = boards[i];
        std::string phase = board.finished() ? outcomeText(board) : phaseName(board.phase);
        if (phase != shown_[i]) {
            std::fprintf(out_, "%s: %s (%.1f s)\n", board.label.c_str(), phase.c_str(),
                         elapsedSeconds(board, now));
            shown_[i] = phase;
        }
    }
    std::string footer = footer_ ? footer_() : "";
    if (footer != footerShown_) {
        if (!footer.empty()) {
            std::fprintf(out_, "%s\n", footer.c_str());
        }
        footerShown_ = footer;
    }
    std::fflush(out_);
}

void StatusDisplay::update(const std::vector<Board> &boards, SteadyTime now) {
    if (!terminal_) {
        printChanges(boards, now);
    } else if (!drawn_ || now - lastDraw_ >= kRedrawInterval) {
        redraw(boards, now);
    }
}

void StatusDisplay::finish(const std::vector<Board> &boards, SteadyTime now) {
    if (terminal_) {
        redraw(boards, now);
    } else {
        printChanges(boards, now);
    }
}

} // namespace gang
