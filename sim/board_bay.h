// The fixture around the chip: which board is in it, the control FIFO that
// puts boards in and takes them out, and the simulated operator who swaps
// a board once the host has programmed it.
#pragma once

#include "clock.h"
#include "flash_model.h"
#include "options.h"

#include <cstdint>
#include <string>

namespace sim {

class BoardBay {
  public:
    BoardBay(const BoardOptions &options, FlashModel &flash, const std::string &flashFile)
        : options_(options), flash_(flash), flashFile_(flashFile) {}
    ~BoardBay();
    BoardBay(const BoardBay &) = delete;
    BoardBay &operator=(const BoardBay &) = delete;

    // Creates the control FIFO and puts the first board in unless absent.
    bool open(std::string &error);
    bool active() const { return options_.active(); }
    bool present() const { return !active() || present_; }
    // The board in the fixture, counted from 1 (0 before the first).
    long board() const { return board_; }
    // The current board gets the command line's fault switches.
    bool faulty() const;
    // The board's own line rate: 115200 until a line configuration.
    long rate() const { return rate_; }
    void setRate(long rate) { rate_ = rate; }
    // The host did more than ping: once it closes the port (discarding its
    // input, so hostFlushes grows), the board has been programmed.
    void noteWork(uint64_t hostFlushes);
    // Takes control lines and lets the operator act; call it often.
    void tick(uint64_t hostFlushes);

  private:
    void readControl();
    void handleControl(const std::string &line);
    void insert();
    void remove();

    const BoardOptions &options_;
    FlashModel &flash_;
    std::string flashFile_;
    int fifo_ = -1;
    int fifoWriter_ = -1; // keeps the FIFO from reading as ended between writers
    bool createdFifo_ = false;
    std::string pending_;
    bool present_ = false;
    long board_ = 0;
    long rate_ = 115200;
    bool worked_ = false;
    uint64_t workMark_ = 0;
    Clock::time_point nextInsert_{};
    bool insertDue_ = false;
};

} // namespace sim
