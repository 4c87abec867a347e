// End-to-end device tests: the real kelvo_pgtool_cli against kelvo_chipsim,
// each case in its own directory with its own simulator and terminal.
#pragma once

#include "KelvoPG_core.h"
#include "kelvo_test.h"

#include <gtest/gtest.h>

#include <cstring>

#include <memory>
#include <string>
#include <vector>

namespace dt {

// Simulated flash size of every case: small, so files compare quickly.
constexpr size_t kFlashSize = 0x40000;

// Standard output split into its text with each run of progress prints
// replaced by "<progress>", and the percentages of each run.
struct SplitOutput {
    std::string text;
    std::vector<std::vector<int>> runs;
};
SplitOutput splitProgress(const std::string &out);

// The checks every progress run must pass: rises, never starts at 100,
// ends at 100.
void expectSoundProgress(const std::vector<int> &run);

// The bytes the connect sequence sends at this baud rate.
std::string connectLog(int baud = 1000000);

// Flash contents after a write of data at offset: the last XModem block is
// filled up with zeros, and the chip writes whole blocks.
void applyWrite(std::string *flash, size_t offset, const std::string &data);

class DeviceTest : public ::testing::Test {
  protected:
    DeviceTest();

    // Writes a flash file of kFlashSize random bytes for the simulator to
    // load, and returns its contents.
    std::string seedFlash(unsigned seed = 7);
    // Starts the simulator (a flash size is always passed) and points the
    // record's device at it.
    void startSim(const std::vector<std::string> &args = {});
    void saveRecord();
    // Writes the image file and the record pointing at it.
    void setImage(const std::string &bytes, const std::string &name = "image.bin");

    kt::RunResult cli(const std::vector<std::string> &args, int timeout_ms = 120000);
    std::string commandLog() const { return sim_ ? sim_->commandLog() : ""; }
    std::string flash() { return sim_->flash(); }
    const std::string &tty() const { return sim_->tty(); }
    std::string path(const std::string &name) const { return dir_.file(name); }

    kt::TempDir dir_;
    DeviceSetting rec_;
    std::unique_ptr<kt::ChipSim> sim_;
};

} // namespace dt
