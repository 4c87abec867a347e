// Expected bytes of the two settings files, built here by hand from their
// documented layouts, and a fixture running the CLI in a fresh directory.
#pragma once

#include "kelvo_test.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ct {

constexpr size_t kRecordSize = 652;
constexpr size_t kMapSize = 6160;
constexpr size_t kRowSize = 616;

inline void putText(std::string &bytes, size_t at, const std::string &text) {
    bytes.replace(at, text.size(), text);
}

inline void putInt(std::string &bytes, size_t at, int32_t value) {
    uint32_t v = static_cast<uint32_t>(value);
    for (int i = 0; i < 4; ++i) {
        bytes[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    }
}

// Zero-fills a text field over its width and writes text at its start.
inline void putField(std::string &bytes, size_t at, size_t width, const std::string &text) {
    bytes.replace(at, width, std::string(width, '\0'));
    putText(bytes, at, text);
}

inline std::string defaultRecord() {
    std::string r(kRecordSize, '\0');
    putText(r, 0, "NaN");
    putInt(r, 104, 1000000);
    putText(r, 108, "NaN");
    putInt(r, 624, 1);
    putText(r, 636, "0x0000");
    return r;
}

inline std::string defaultMap() {
    std::string m(kMapSize, '\0');
    for (int k = 1; k <= 10; ++k) {
        size_t row = (k - 1) * kRowSize;
        putInt(m, row, k);
        putText(m, row + 4, "NaN");
        putText(m, row + 516, "NaN");
    }
    return m;
}

inline void putRow(std::string &map, int k, const std::string &path, const std::string &offset) {
    size_t row = (k - 1) * kRowSize;
    putField(map, row + 4, 512, path);
    putField(map, row + 516, 100, offset);
}

// Equal bytes; on a difference names the sizes and the first differing
// offset instead of printing binary contents.
inline ::testing::AssertionResult sameBytes(const std::string &actual,
                                            const std::string &expected) {
    if (actual == expected) {
        return ::testing::AssertionSuccess();
    }
    size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) {
        ++at;
    }
    return ::testing::AssertionFailure() << actual.size() << " bytes where " << expected.size()
                                         << " were expected; first difference at offset " << at;
}

// A CLI run in a fresh working directory.
class CliTest : public ::testing::Test {
  protected:
    kt::RunResult cli(const std::vector<std::string> &args) { return kt::runCli(args, dir.path()); }
    std::string record() const { return kt::readFile(dir.file("record.dat")); }
    std::string map() const { return kt::readFile(dir.file("generate.dat")); }
    void writeRecord(const std::string &bytes) { kt::writeFile(dir.file("record.dat"), bytes); }
    void writeMap(const std::string &bytes) { kt::writeFile(dir.file("generate.dat"), bytes); }
    // Names in the working directory, sorted.
    std::vector<std::string> listing() const;

    kt::TempDir dir;
};

// Runs the CLI with writes limited to zero bytes (as on a full disk).
kt::RunResult cliWithoutSpace(const std::vector<std::string> &args, const std::string &cwd);

} // namespace ct
