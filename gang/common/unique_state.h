// The allocation state of a recipe's per-board values: how many of each
// were handed out. Every process that allocates from the same state file
// (the slots of a station, other stations on the machine) takes its lock;
// a value is committed to the file, synced, before its board is touched,
// so that no crash can hand it out twice.
#pragma once

#include "common/unique_values.h"

#include <cstdint>
#include <string>
#include <vector>

namespace gang {

// The values of one board, by the recipe's order.
struct Allocation {
    std::vector<uint64_t> indexes;
    std::vector<std::string> texts;
};

// Files beside the state: its lock, and the journal of every value handed
// out and what became of its board.
std::string uniqueLockPath(const PerBoardValues &perBoard);
std::string uniqueJournalPath(const PerBoardValues &perBoard);

// The state file, when there is one, belongs to these values (the same
// names, ranges and lists). false with the reason; never changes it.
bool checkUniqueState(const PerBoardValues &perBoard, std::string *error);

// Takes the next value of each, commits the state and notes the allocation
// in the journal (who: the slot or port). false with the reason when a
// range or list is used up, the state does not belong to the recipe or
// cannot be written: then nothing was handed out.
bool allocateValues(const PerBoardValues &perBoard, const std::string &who, Allocation *allocation,
                    std::string *error);

// Notes in the journal what became of the board that got allocation
// ("ok", or "failed: why"). Best effort: the values stay used either way.
void recordOutcome(const PerBoardValues &perBoard, const Allocation &allocation,
                   const std::string &who, const std::string &outcome);

// Per value: its name, the next value and how many are left.
bool uniqueStatusText(const PerBoardValues &perBoard, std::string *text, std::string *error);

// "name=text" of each value, separated by spaces.
std::string allocationText(const PerBoardValues &perBoard, const Allocation &allocation);

} // namespace gang
