// The chip's ROM boot loader: reads command lines and answers them.
#pragma once

#include "board_bay.h"
#include "command_log.h"
#include "command_parser.h"
#include "flash_model.h"
#include "options.h"
#include "pty_line.h"
#include "xmodem_receiver.h"

#include <map>
#include <string>

namespace sim {

class BootLoader {
  public:
    BootLoader(const SimOptions &options, PtyLine &line, FlashModel &flash, BoardBay &bay,
               CommandLog &log, CommandLog &events)
        : options_(options), line_(line), flash_(flash), bay_(bay), log_(log), events_(events) {}
    // Serves host sessions until a stop request or a hang-up.
    void serve();
    // Only receives XModem transfers into offset 0, one after another.
    void servePlainXmodem();
    // False (and the reason on standard error) when the flash file could not be written.
    bool saveFlash();

  private:
    enum class LineRead { Line, TooLong, Gone };
    LineRead nextLine(std::string &raw);
    // A byte that reaches the boot loader: a board is in and runs at the
    // host's rate (at another rate it would only see garbage).
    bool boardHears();
    // --boot-log: the board runs its own firmware, which prints a banner
    // now and then and ignores what it is sent.
    bool runsFirmware() const;
    void printBanner();
    const ChipFaults &faults() const;
    const XmodemFaults &xmodemFaults() const;
    void handleLine(const std::string &raw);
    void dispatch(const Command &command);

    void readWord(const Command &command);
    void ping();
    void lineConfig(const Command &command);
    void chipErase(const Command &command);
    void sectorErase(const Command &command);
    std::chrono::milliseconds sectorEraseTime(const Command &command) const;
    void flashWrite(const Command &command);
    void hashQuery(const Command &command);

    Clock::duration thinkTime(const Command &command) const;
    void answer(const std::string &bytes);
    // Bytes of a reply in the adapter's packets; turnaround: the first
    // waits the chip's turnaround. False when the line is gone.
    bool deliver(const std::string &bytes, bool turnaround);
    void acknowledgeErase();
    void replyError(const std::string &reason);
    std::string readWordReply(uint64_t address) const;
    int expectedPin() const;
    void note(const std::string &event) const;
    void recordTransfer(const XmodemResult &result);

    const SimOptions &options_;
    PtyLine &line_;
    FlashModel &flash_;
    BoardBay &bay_;
    long board_ = 0; // the board the state below belongs to
    long hostSpeed_ = -1;
    long priorSpeed_ = -1;
    Clock::time_point speedChangedAt_{};
    CommandLog &log_;
    CommandLog &events_;
    // Words written with "EW" since the board was reset; "DW" reads them back.
    std::map<uint64_t, uint32_t> words_;
    Clock::time_point nextBanner_{}; // --boot-log: when the firmware prints again
    bool haveWrite_ = false;         // where the last "fwd" wrote, for "hashq"
    uint64_t lastWriteOffset_ = 0;
};

} // namespace sim
