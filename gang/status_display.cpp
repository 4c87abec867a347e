#include "status_display.h"

#include "KelvoPG_core.h"

#include <algorithm>
#include <sys/ioctl.h>
#include <unistd.h>

namespace gang {
namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

std::string phaseName(int phase) {
    switch (phase) {
    case KELVO_PHASE_ERASING:
        return "erasing";
    case KELVO_PHASE_WRITING:
        return "writing";
    case KELVO_PHASE_VERIFYING:
        return "verifying";
    default:
        return "connecting"; // idle before the first phase: the worker is connecting
    }
}

std::string outcomeText(const Board &board) {
    switch (board.outcome) {
    case Outcome::Ok:
        return "ok";
    case Outcome::Failed:
        return "FAILED: " + board.reason;
    case Outcome::Interrupted:
        return "interrupted";
    case Outcome::Running:
        break;
    }
    return phaseName(board.phase);
}

size_t terminalWidth(FILE *out) {
    winsize ws{};
    if (::ioctl(fileno(out), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) {
        return ws.ws_col;
    }
    return 80;
}

size_t widestPort(const std::vector<Board> &boards) {
    size_t width = 4;
    for (const Board &b : boards) {
        width = std::max(width, b.port.size());
    }
    return width;
}

} // namespace

double elapsedSeconds(const Board &board, SteadyTime now) {
    SteadyTime until = board.finished() ? board.end : now;
    return std::chrono::duration<double>(until - board.start).count();
}

std::string phaseText(const Board &board) {
    if (!board.finished() && board.phase == KELVO_PHASE_WRITING && board.percent >= 0) {
        return "writing " + std::to_string(board.percent) + " %";
    }
    return outcomeText(board);
}

std::string StatusDisplay::lineFor(const Board &board, SteadyTime now, size_t portWidth) const {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%6.1f s", elapsedSeconds(board, now));
    std::string port = board.port + std::string(portWidth - board.port.size(), ' ');
    std::string phase = phaseText(board);
    if (phase.size() < 16) {
        phase.resize(16, ' ');
    }
    return port + "  " + phase + "  " + seconds;
}

void StatusDisplay::redraw(const std::vector<Board> &boards, SteadyTime now) {
    size_t width = terminalWidth(out_);
    size_t portWidth = widestPort(boards);
    std::string text;
    if (drawn_) {
        text += "\033[" + std::to_string(linesDrawn_) + "A"; // back to the first line
    }
    std::vector<std::string> lines;
    for (const Board &board : boards) {
        lines.push_back(lineFor(board, now, portWidth));
    }
    std::string footer = footer_ ? footer_() : "";
    // Once shown, the footer keeps its line so that the cursor moves stay right.
    if (!footer.empty() || (drawn_ && linesDrawn_ > boards.size())) {
        lines.push_back(footer);
    }
    for (std::string &line : lines) {
        if (line.size() >= width) {
            line.resize(width - 1); // a wrapped line would break the cursor moves
        }
        text += "\r" + line + "\033[K\n";
    }
    linesDrawn_ = lines.size();
    std::fputs(text.c_str(), out_);
    std::fflush(out_);
    drawn_ = true;
    lastDraw_ = now;
}

void StatusDisplay::printChanges(const std::vector<Board> &boards, SteadyTime now) {
    shown_.resize(boards.size());
    for (size_t i = 0; i < boards.size(); ++i) {
        const Board &board = boards[i];
        std::string phase = board.finished() ? outcomeText(board) : phaseName(board.phase);
        if (phase != shown_[i]) {
            std::fprintf(out_, "%s: %s (%.1f s)\n", board.port.c_str(), phase.c_str(),
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
