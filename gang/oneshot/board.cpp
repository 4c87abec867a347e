#include "oneshot/board.h"

#include "common/screen_text.h"

namespace gang {

double elapsedSeconds(const Board &board, SteadyTime now) {
    SteadyTime until = board.finished() ? board.end : now;
    return std::chrono::duration<double>(until - board.start).count();
}

std::vector<std::string> fittedLabels(const std::vector<Board> &boards, size_t width) {
    std::vector<std::string> labels;
    for (const Board &b : boards) {
        labels.push_back(b.label);
    }
    return fittedLabels(std::move(labels), width);
}

std::string shownReason(const Board &board) {
    return withoutPath(withoutPath(board.reason, board.port), board.resolved);
}

} // namespace gang
