// Per-board values of a recipe ([[unique]]): a counter, a MAC address or a
// line of a prepared list, written into each board's copy of the image at
// a flash offset of its own.
#pragma once

#include <toml++/toml.h>

#include <cstdint>
#include <string>
#include <vector>

namespace gang {

enum class UniqueKind { Counter, Mac, List };

struct UniqueValue {
    std::string name;
    UniqueKind kind = UniqueKind::Counter;
    uint32_t offset = 0; // flash offset
    size_t width = 0;    // bytes written
    bool identifiesUnit = false;
    // Counter and MAC: first + index * step, up to last.
    uint64_t first = 0, last = 0, step = 1;
    // Counter: "u8" ... "u64be", or text of digits digits ("dec"/"hex").
    std::string format;
    int digits = 0;
    std::string prefix;
    // List: the file's lines as bytes, and what identifies the list.
    std::string listFile; // as the recipe names it
    std::string listSha256;
    std::vector<std::string> lines;

    // How many values there are: the largest index + 1 (never 0).
    uint64_t count() const;
    // The value at index (< count()): the bytes written and the text logged.
    std::string bytesAt(uint64_t index) const;
    std::string textAt(uint64_t index) const;
    // What the allocation state must match: the range (or the list).
    std::string rangeText() const;
};

struct PerBoardValues {
    std::vector<UniqueValue> values;
    std::string statePath; // the allocation state; empty without values

    bool empty() const { return values.empty(); }
};

// Where the image lands and what the recipe keeps, for the places' checks.
struct ImagePlace {
    uint32_t flashOffset = 0;
    int64_t imageSize = 0;
    bool keepSysData = false;
    bool keepWifiData = false;
};

// One of the values is the unit's identifier.
bool identifiesUnit(const PerBoardValues &perBoard);

// Reads "unique" and "unique_state" of the recipe's table; files relative
// to recipeDir. false with the reason for anything the issue refuses.
bool parseUniqueValues(const toml::table &recipe, const std::string &recipeDir,
                       const ImagePlace &place, PerBoardValues *perBoard, std::string *error);

// Writes every value at its index into image (the image starts at
// flashOffset); the places were checked by parseUniqueValues.
void patchImage(const PerBoardValues &perBoard, const std::vector<uint64_t> &indexes,
                uint32_t flashOffset, uint8_t *image);

} // namespace gang
