// A simulator in a fresh directory with a host connected to its line.
#pragma once

#include "host_line.h"
#include "kelvo_test.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace simtest {

class SimTest : public ::testing::Test {
  protected:
    // Starts kelvo_chipsim (optionally over an existing flash file) and
    // opens the host's side at 115200 baud.
    void start(const std::vector<std::string> &args, const std::string *flashBytes = nullptr) {
        if (flashBytes) {
            kt::writeFile(dir.file("simflash.bin"), *flashBytes);
        }
        sim = std::make_unique<kt::ChipSim>(dir.path(), args);
        ASSERT_TRUE(host.open(sim->tty(), 115200)) << sim->tty();
    }
    // Stops the simulator (saving the flash) and returns the flash file.
    std::string flash() {
        host.close();
        return sim->flash();
    }

    kt::TempDir dir;
    std::unique_ptr<kt::ChipSim> sim;
    HostLine host;
};

} // namespace simtest
