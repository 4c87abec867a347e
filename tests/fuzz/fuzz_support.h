// Shared set-up of the fuzz targets: a scratch working directory, quiet
// standard output, files. The chip's line is in scripted_line.h.
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

// Aborts with a message: a broken property is a finding like a crash.
[[noreturn]] void fail(const char *what);

} // namespace fuzz
