#include "station/operator_screen.h"

#include "common/screen_text.h"

#include "KelvoPG_core.h"

#include <curses.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace gang {
namespace {

constexpr int kHeaderRows = 2;
constexpr int kMinTileWidth = 16; // "PROGRAMMING 100 %"-ish, cut to fit
constexpr int kMinTileHeight = 2;

enum Pair : short { kWaiting = 1, kProgramming, kPass, kFail, kAlarm, kIdle, kAfterFail };

// At most width characters; a cut text ends with "..." when there is room.
std::string cut(const std::string &text, int width) {
    if (width <= 0) {
        return "";
    }
    if (static_cast<int>(text.size()) <= width) {
        return text;
    }
    return width > 6 ? text.substr(0, width - 3) + "..." : text.substr(0, width);
}

// A text cut to fit keeps a blank column on each side, clear of the tile's edge.
std::string centred(const std::string &text, int width) {
    std::string shown = static_cast<int>(text.size()) <= width ? text : cut(text, width - 2);
    int pad = (width - static_cast<int>(shown.size())) / 2;
    return std::string(pad, ' ') + shown;
}

std::string boardNumber(const SlotState &slot) {
    if (slot.board <= 0) {
        return "";
    }
    return (slot.unit.empty() ? "" : slot.unit + " ") + "#" + std::to_string(slot.board) + " ";
}

// The slots' labels as their tiles' headings show them: long names such as
// "usb-FTDI_..._A50285BI-if00-port0" lose what they share and keep their
// ends, so that the tiles stay told apart.
std::vector<std::string> tileLabels(const StationState &state, int tileWidth) {
    std::vector<std::string> labels;
    size_t numberWidth = 0;
    for (const SlotState &slot : state.slots) {
        labels.push_back(slot.label);
        numberWidth = std::max(numberWidth, boardNumber(slot).size());
    }
    // The blank column between tiles, a space before and after the label.
    int room = tileWidth - 3 - static_cast<int>(numberWidth);
    return fittedLabels(std::move(labels), static_cast<size_t>(std::max(1, room)));
}

// A state word too long for the tile in two lines, cut at a blank.
std::vector<std::string> wordLines(const std::string &word, int width) {
    size_t blank = word.find(' ', word.size() / 2 > 0 ? word.size() / 2 - 1 : 0);
    if (static_cast<int>(word.size()) <= width || blank == std::string::npos) {
        return {word};
    }
    return {word.substr(0, blank), word.substr(blank + 1)};
}

// Block letters for what the operator must read from afar: the result
// and the progress. Five rows, three columns each; '#' is a lit cell.
struct Glyph {
    char c;
    const char *rows[5];
};

const Glyph kGlyphs[] = {
    {'P', {"###", "# #", "###", "#  ", "#  "}}, {'A', {"###", "# #", "###", "# #", "# #"}},
    {'S', {"###", "#  ", "###", "  #", "###"}}, {'F', {"###", "#  ", "## ", "#  ", "#  "}},
    {'I', {"###", " # ", " # ", " # ", "###"}}, {'L', {"#  ", "#  ", "#  ", "#  ", "###"}},
    {'0', {"###", "# #", "# #", "# #", "###"}}, {'1', {" # ", "## ", " # ", " # ", "###"}},
    {'2', {"###", "  #", "###", "#  ", "###"}}, {'3', {"###", "  #", "###", "  #", "###"}},
    {'4', {"# #", "# #", "###", "  #", "  #"}}, {'5', {"###", "#  ", "###", "  #", "###"}},
    {'6', {"###", "#  ", "###", "# #", "###"}}, {'7', {"###", "  #", "  #", "  #", "  #"}},
    {'8', {"###", "# #", "###", "# #", "###"}}, {'9', {"###", "# #", "###", "  #", "###"}},
    {'%', {"# #", "  #", " # ", "#  ", "# #"}}, {' ', {"   ", "   ", "   ", "   ", "   "}},
};
constexpr int kGlyphRows = 5;
constexpr int kGlyphStep = 4; // three columns and a gap

const Glyph *glyphFor(char c) {
    for (const Glyph &g : kGlyphs) {
        if (g.c == c) {
            return &g;
        }
    }
    return nullptr;
}

// The text in block letters when every character has one and it fits.
bool bigTextFits(const std::string &text, int width, int height) {
    for (char c : text) {
        if (glyphFor(c) == nullptr) {
            return false;
        }
    }
    return !text.empty() && static_cast<int>(text.size()) * kGlyphStep <= width &&
           height >= kGlyphRows;
}

void drawBigText(const std::string &text, int top, int left, int width, int attr) {
    int start = left + (width - static_cast<int>(text.size()) * kGlyphStep + 1) / 2;
    for (size_t i = 0; i < text.size(); ++i) {
        const Glyph *g = glyphFor(text[i]);
        for (int row = 0; row < kGlyphRows; ++row) {
            for (int col = 0; col < 3; ++col) {
                if (g->rows[row][col] == '#') {
                    // A lit cell is the tile's colours swapped.
                    attron(attr ^ A_REVERSE);
                    mvaddch(top + row, start + static_cast<int>(i) * kGlyphStep + col, ' ');
                    attroff(attr ^ A_REVERSE);
                    attron(attr);
                }
            }
        }
    }
}

// What a tile shows in block letters: the result, or the progress.
std::string bigText(const SlotState &slot) {
    if (slot.phase == SlotPhase::Holding && !slot.interrupted && !slot.notInDownloadMode) {
        return slot.passed ? "PASS" : "FAIL";
    }
    if (slot.phase == SlotPhase::Programming && slot.corePhase == KELVO_PHASE_WRITING &&
        slot.percent >= 0) {
        return std::to_string(slot.percent) + "%";
    }
    return "";
}

} // namespace

// One wording in every size, so that tiles side by side read alike.
std::string tileCounters(const Counters &c, Counters::Time now, int width) {
    double yield = c.yieldPercent();
    std::string percent = yield < 0 ? "-" : std::to_string(static_cast<int>(yield + 0.5)) + "%";
    std::string rate = std::to_string(static_cast<int>(c.perHour(now) + 0.5)) + "/h";
    std::string text = std::to_string(c.passed()) + " ok  " + std::to_string(c.failed()) + " fail";
    for (const std::string &part : {"  " + percent, "  " + rate}) {
        if (static_cast<int>(text.size() + part.size()) > width) {
            break;
        }
        text += part;
    }
    return cut(text, width);
}

std::string lastBoardLine(const SlotState &slot, int width) {
    if (!slot.haveOutcome) {
        return "";
    }
    std::string word = outcomeWord(slot);
    for (const std::string &text : {lastBoard(slot), "last board: " + word, "last: " + word}) {
        if (static_cast<int>(text.size()) <= width) {
            return text;
        }
    }
    return word;
}

TileLayout layoutTiles(int slots, int width, int height) {
    TileLayout best;
    int bestScore = -1;
    for (int columns = 1; columns <= std::max(slots, 1); ++columns) {
        int rows = (slots + columns - 1) / columns;
        int w = width / columns;
        int h = height / std::max(rows, 1);
        if (w < kMinTileWidth || h < kMinTileHeight) {
            continue;
        }
        // A cell is about twice as high as wide: a tile reads best when
        // neither side is far shorter than the other.
        int score = std::min(w, h * 2);
        if (score > bestScore) {
            bestScore = score;
            best = TileLayout{columns, rows, w, h};
        }
    }
    return best;
}

OperatorScreen::OperatorScreen(FILE *out, bool color) {
    SCREEN *screen = newterm(nullptr, out, stdin);
    screen_ = screen;
    if (screen == nullptr) {
        return;
    }
    open_ = true;
    cbreak(); // Ctrl-C stays a signal
    noecho();
    nodelay(stdscr, TRUE);
    keypad(stdscr, TRUE);
    curs_set(0);
    color_ = color && has_colors() && start_color() == OK;
    if (color_) {
        use_default_colors();
        init_pair(kWaiting, COLOR_WHITE, COLOR_BLUE);
        init_pair(kProgramming, COLOR_BLACK, COLOR_YELLOW);
        init_pair(kPass, COLOR_BLACK, COLOR_GREEN);
        init_pair(kFail, COLOR_WHITE, COLOR_RED);
        init_pair(kAlarm, COLOR_WHITE, COLOR_MAGENTA);
        init_pair(kIdle, -1, -1);
        init_pair(kAfterFail, COLOR_RED, COLOR_WHITE);
    }
}

OperatorScreen::~OperatorScreen() {
    close();
    if (screen_ != nullptr) {
        delscreen(static_cast<SCREEN *>(screen_));
    }
}

void OperatorScreen::close() {
    if (open_) {
        endwin();
        open_ = false;
    }
}

int OperatorScreen::keyFd() const {
    return open_ && keys_ ? STDIN_FILENO : -1;
}

int OperatorScreen::key() {
    if (!open_) {
        return -1;
    }
    if (!::isatty(STDIN_FILENO)) {
        // Keys from a pipe (a script driving the station): plain bytes.
        char c;
        ssize_t n = ::read(STDIN_FILENO, &c, 1);
        keys_ = n != 0 && (n > 0 || errno == EAGAIN || errno == EINTR);
        return n == 1 ? static_cast<unsigned char>(c) : -1;
    }
    int key = getch();
    if (key == KEY_RESIZE) {
        clear(); // the next refresh lays the tiles out again
        return -1;
    }
    return key == ERR ? -1 : key;
}

void OperatorScreen::slotEvent(const StationState &, size_t, const std::string &) {
    // The tiles show the state; events only matter to plain output.
}

void OperatorScreen::notice(const StationState &, const std::string &text) {
    notice_ = text;
}

int OperatorScreen::attributeFor(const SlotState &slot) const {
    bool alarm = slot.counters.alarm() && slot.phase != SlotPhase::Programming;
    if (!color_) {
        // Without colour the states still differ at a glance.
        if (alarm || (slot.phase == SlotPhase::Holding && !slot.passed)) {
            return A_REVERSE | A_BOLD;
        }
        if (slot.phase == SlotPhase::Waiting && slot.haveOutcome && !slot.passed &&
            !slot.interrupted) {
            return A_UNDERLINE;
        }
        return slot.phase == SlotPhase::Programming ? A_BOLD : A_NORMAL;
    }
    if (alarm) {
        return COLOR_PAIR(kAlarm) | A_BOLD;
    }
    bool lastFailed = slot.haveOutcome && !slot.passed && !slot.interrupted;
    switch (slot.phase) {
    case SlotPhase::Waiting:
        // The operator who looked away sees that the last board failed.
        return lastFailed ? COLOR_PAIR(kAfterFail) | A_BOLD : COLOR_PAIR(kWaiting);
    case SlotPhase::Programming:
        return COLOR_PAIR(kProgramming);
    case SlotPhase::Holding:
        return COLOR_PAIR(slot.passed ? kPass : kFail) | A_BOLD;
    default:
        return COLOR_PAIR(kIdle);
    }
}

void OperatorScreen::drawHeader(const StationState &state, Counters::Time now) {
    int width = COLS;
    std::string title = state.station.empty() ? "STATION" : "STATION " + state.station;
    if (!state.recipe.empty()) {
        title += "  " + state.recipe;
    }
    std::string totals = countersText(state.totals, now);
    attron(A_REVERSE | A_BOLD);
    mvhline(0, 0, ' ', width);
    mvaddstr(0, 1, cut(title, width - 2).c_str());
    int at = std::max(1, width - 1 - static_cast<int>(totals.size()));
    if (at > static_cast<int>(title.size()) + 2) {
        mvaddstr(0, at, totals.c_str());
    }
    attroff(A_REVERSE | A_BOLD);
    std::string line = !state.message.empty() ? state.message : notice_;
    if (line.empty()) {
        line = state.stopping ? "stopping after the boards in progress"
                              : "q: stop after the boards in progress   Ctrl-C: cancel now";
    }
    move(1, 0);
    clrtoeol();
    int linkWidth = state.link.empty() ? 0 : static_cast<int>(state.link.size()) + 2;
    mvaddstr(1, 1, cut(line, width - 2 - linkWidth).c_str());
    if (!state.link.empty()) {
        attron(A_BOLD);
        mvaddstr(1, std::max(1, width - linkWidth), cut(state.link, width - 1).c_str());
        attroff(A_BOLD);
    }
}

void OperatorScreen::drawTile(const SlotState &slot, const std::string &label, int top, int left,
                              const TileLayout &layout, Counters::Time now) {
    int w = layout.width - 1; // a blank column between tiles
    int h = layout.height - (layout.height > 3 ? 1 : 0);
    int attr = attributeFor(slot);
    attron(attr);
    for (int row = 0; row < h; ++row) {
        mvhline(top + row, left, ' ', w);
    }
    std::string heading = " " + label;
    std::string boardNo = boardNumber(slot);
    mvaddstr(top, left, cut(heading, w - static_cast<int>(boardNo.size())).c_str());
    mvaddstr(top, left + w - static_cast<int>(boardNo.size()), boardNo.c_str());
    std::string word = stateWord(slot);
    std::string detail = slot.phase == SlotPhase::Holding
                             ? (slot.reason.empty() ? "REMOVE BOARD" : slot.reason)
                             : stateDetail(slot);
    if (slot.phase == SlotPhase::Holding && slot.counters.alarm() && !slot.passed) {
        detail = "CHECK FIXTURE";
    }
    std::string counts = tileCounters(slot.counters, now, w - 2);
    if (h == 2) {
        // Label and state share the first line; the reason or counters follow.
        mvaddstr(top, left + std::min(w / 2, static_cast<int>(heading.size()) + 1),
                 cut(" " + word, w / 2).c_str());
        mvaddstr(top + 1, left + 1, cut(detail.empty() ? counts : detail, w - 2).c_str());
    } else if (h >= kGlyphRows + 5 && bigTextFits(bigText(slot), w - 2, h)) {
        // Room for block letters: heading, a line above them (what to do
        // while the result is held, else the state), the letters, the
        // reason or phase below them, counters.
        bool holding = slot.phase == SlotPhase::Holding;
        int letters = top + std::max(2, (h - kGlyphRows) / 2);
        attron(A_BOLD);
        mvaddstr(letters - (letters - top >= 3 ? 2 : 1), left,
                 centred(holding ? "REMOVE BOARD" : word, w).c_str());
        attroff(A_BOLD);
        drawBigText(bigText(slot), letters, left, w, attr);
        std::string below = holding ? slot.reason : detail;
        if (holding && slot.counters.alarm() && !slot.passed) {
            below = "CHECK FIXTURE: " + slot.reason;
        }
        mvaddstr(letters + kGlyphRows + 1, left, centred(below, w).c_str());
        mvaddstr(top + h - 1, left + 1, cut(counts, w - 2).c_str());
    } else {
        std::vector<std::string> words = wordLines(word, w - 2);
        int extra = static_cast<int>(words.size()) - 1;
        int wordRow = top + std::max(1, (h - 1) / 2 - (h >= 5 ? 1 : 0) - extra);
        attron(A_BOLD);
        for (size_t n = 0; n < words.size(); ++n) {
            mvaddstr(wordRow + static_cast<int>(n), left, centred(words[n], w).c_str());
        }
        attroff(A_BOLD);
        int below = wordRow + extra + 1;
        if (h >= 4 && !detail.empty()) {
            mvaddstr(below, left, centred(detail, w).c_str());
        }
        mvaddstr(top + h - 1, left + 1, cut(counts, w - 2).c_str());
        if (h >= 5 && slot.phase == SlotPhase::Holding && !slot.reason.empty()) {
            mvaddstr(below + 1, left, centred("REMOVE BOARD", w).c_str());
        }
        int lastRow = below + (detail.empty() ? 0 : 1);
        std::vector<std::string> last = wordLines(lastBoardLine(slot, w - 2), w - 2);
        for (size_t n = 0; slot.phase == SlotPhase::Waiting && n < last.size(); ++n) {
            if (lastRow + static_cast<int>(last.size()) - 1 < top + h - 1) {
                mvaddstr(lastRow + static_cast<int>(n), left, centred(last[n], w).c_str());
            }
        }
        if (h == 3 && !detail.empty() && slot.phase != SlotPhase::Programming) {
            mvaddstr(top + h - 1, left + 1, cut(detail, w - 2).c_str());
        }
    }
    attroff(attr);
}

void OperatorScreen::refresh(const StationState &state, Counters::Time now) {
    if (!open_) {
        return;
    }
    erase();
    drawHeader(state, now);
    int slots = static_cast<int>(state.slots.size());
    TileLayout layout = layoutTiles(slots, COLS, LINES - kHeaderRows);
    if (!layout.fits()) {
        mvaddstr(kHeaderRows, 1, cut("The terminal is too small for the tiles.", COLS - 2).c_str());
    }
    std::vector<std::string> labels = tileLabels(state, layout.width);
    for (int i = 0; layout.fits() && i < slots; ++i) {
        int top = kHeaderRows + (i / layout.columns) * layout.height;
        int left = (i % layout.columns) * layout.width;
        size_t slot = static_cast<size_t>(i);
        drawTile(state.slots[slot], labels[slot], top, left, layout, now);
    }
    wnoutrefresh(stdscr);
    doupdate();
}

} // namespace gang
