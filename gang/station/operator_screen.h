// The operator's screen on a terminal: the station's totals at the top and
// one tile per slot, coloured by its state, laid out to fill the terminal
// (1 to 32 slots fit 80x24) and again after every resize.
#pragma once

#include "station/station_state.h"

#include <cstdio>

namespace gang {

// Tiles of a grid: columns and rows, each tile's width and height.
struct TileLayout {
    int columns = 0;
    int rows = 0;
    int width = 0;
    int height = 0;
    bool fits() const { return columns > 0; }
};

// The grid for slots tiles in an area of width x height cells: the one
// whose tiles come closest to a readable shape; !fits() when none is
// large enough.
TileLayout layoutTiles(int slots, int width, int height);

// A tile's counters at most width characters wide: "12 ok  1 fail  92%  276/h",
// the last parts dropped when they do not fit.
std::string tileCounters(const Counters &counters, Counters::Time now, int width);
// A waiting tile's last board at most width characters wide where the
// outcome word fits: the reason goes first, never that word.
std::string lastBoardLine(const SlotState &slot, int width);

class OperatorScreen : public StationView {
  public:
    // Takes over the terminal on out (and keys from standard input).
    OperatorScreen(FILE *out, bool color);
    ~OperatorScreen() override;
    OperatorScreen(const OperatorScreen &) = delete;
    OperatorScreen &operator=(const OperatorScreen &) = delete;

    void slotEvent(const StationState &state, size_t slot, const std::string &event) override;
    void notice(const StationState &state, const std::string &text) override;
    void refresh(const StationState &state, Counters::Time now) override;
    int keyFd() const override;
    int key() override;
    void close() override;

  private:
    void drawHeader(const StationState &state, Counters::Time now);
    void drawTile(const SlotState &slot, const std::string &label, int top, int left,
                  const TileLayout &layout, Counters::Time now);
    int attributeFor(const SlotState &slot) const;

    void *screen_ = nullptr; // SCREEN *
    bool color_ = false;
    bool open_ = false;
    bool keys_ = true; // false once standard input has ended
    std::string notice_;
};

} // namespace gang
