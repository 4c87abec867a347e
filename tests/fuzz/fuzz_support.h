// Shared set-up of the fuzz targets: a scratch working directory, quiet
// standard output, and a pseudo-terminal pair standing in for the chip's
// line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

// Moves the process into a fresh temporary directory, removed at exit.
void enterScratchDirectory();
// Sends standard output to /dev/null: the printouts would only slow the
// run down; libFuzzer reports on standard error.
void silenceStdout();
// Writes bytes to path in the working directory, replacing it.
void writeFile(const char *path, const uint8_t *data, size_t size);
// The file's bytes, empty when it cannot be read.
std::vector<uint8_t> readFile(const char *path);

// A pseudo-terminal whose slave end the core opens as its serial port;
// the target plays the chip on the master end.
class FakeLine {
  public:
    // Opens the pair and the core's port on it; aborts when that fails.
    FakeLine();
    // Discards anything left from the previous input in both directions,
    // then queues bytes for the core to read.
    void load(const std::vector<uint8_t> &bytes);

  private:
    void discardPending();
    int master_ = -1;
    int slave_ = -1; // our own handle, for flushing the port's input
};

// Aborts with a message: a broken property is a finding like a crash.
[[noreturn]] void fail(const char *what);

} // namespace fuzz
