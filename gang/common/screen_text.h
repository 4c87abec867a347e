// Text for a terminal of a given size: short slot labels, lines cut to the
// width, reasons without the port's path that the label already names.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace gang {

struct TerminalSize {
    size_t rows = 24;
    size_t cols = 80;
};

// The size of the terminal on fd; 24 x 80 when it cannot be read.
TerminalSize terminalSize(int fd);

// One label per port, unique within the run: the name given (NAME=PORT),
// else the port's last path component; later ones of the same name get
// "-2", "-3", ... Names given keep theirs.
std::vector<std::string> slotLabels(const std::vector<std::string> &ports,
                                    const std::vector<std::string> &names);

// The core's phase (enum kelvo_phase) in a word: "connecting" (also while
// idle before the first phase), "erasing", "writing", "verifying".
std::string corePhaseName(int phase);

// text, at most width bytes; a cut ends with "...".
std::string fitted(const std::string &text, size_t width);

// A label cut to width keeps its end, where adapter numbers differ:
// "...B0-if00-port0".
std::string fittedLabel(const std::string &label, size_t width);

// The boards' labels cut to width where needed, an end they all share
// (such as "-if00-port0") left out first.
std::vector<std::string> fittedLabels(std::vector<std::string> labels, size_t width);

// text without path: "error: P: Input/output error" reads "error:
// Input/output error", "cannot access P: busy" reads "cannot access: busy".
std::string withoutPath(std::string text, const std::string &path);

} // namespace gang
