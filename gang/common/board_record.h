// A board of either mode as the log, the screen and the factory link see it.
#pragma once

#include "common/usb_identity.h"

#include <cstddef>
#include <ctime>
#include <string>

namespace gang {

// One board of a slot, at its start (result unknown) and at its end.
struct BoardReport {
    size_t slot = 0; // index from 0; shown as slot + 1
    std::string label;
    std::string port;
    int board = 0; // the slot's running count
    UsbIdentity usb;
    std::time_t startWall = 0;
    double seconds = 0;
    bool finished = false;
    int result = 0;      // the core's result code, once finished
    std::string outcome; // "ok", "interrupted", or the failure's reason
    std::string outputFile;
    std::string recipeName;   // empty without a recipe
    std::string recipeSha256; // of the recipe file
    std::string flashOffset;
};

} // namespace gang
