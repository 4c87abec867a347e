#include "station/station_state.h"

#include "common/screen_text.h"

#include "KelvoPG_core.h"

namespace gang {

const char kNotInDownloadMode[] = "NOT IN DOWNLOAD MODE";
const char kNoDevice[] = "no device";

std::string outcomeWord(const SlotState &slot) {
    return slot.passed              ? "PASS"
           : slot.interrupted       ? "INTERRUPTED"
           : slot.notInDownloadMode ? kNotInDownloadMode
                                    : "FAIL";
}

std::string stateWord(const SlotState &slot) {
    switch (slot.phase) {
    case SlotPhase::Starting:
        return "STARTING";
    case SlotPhase::Waiting:
        return slot.problem == kNoDevice ? "NO PORT YET" : "WAITING";
    case SlotPhase::Programming:
        if (slot.corePhase == KELVO_PHASE_WRITING && slot.percent >= 0) {
            return "PROGRAMMING " + std::to_string(slot.percent) + " %";
        }
        return "PROGRAMMING";
    case SlotPhase::Holding:
        return outcomeWord(slot);
    case SlotPhase::Ended:
        break;
    }
    return "STOPPED";
}

std::string stateDetail(const SlotState &slot) {
    if (slot.counters.alarm() && slot.phase != SlotPhase::Ended) {
        return "check fixture";
    }
    switch (slot.phase) {
    case SlotPhase::Waiting:
        return slot.problem == kNoDevice ? "" : slot.problem; // the word says it
    case SlotPhase::Programming:
        return corePhaseName(slot.corePhase);
    case SlotPhase::Holding:
        return slot.reason;
    case SlotPhase::Ended:
        return slot.ended;
    case SlotPhase::Starting:
        break;
    }
    return "";
}

std::string lastBoard(const SlotState &slot) {
    if (!slot.haveOutcome) {
        return "";
    }
    std::string text = "last board: " + outcomeWord(slot);
    if (slot.notInDownloadMode) {
        return text;
    }
    std::string why = slot.reason.rfind("error: ", 0) == 0 ? slot.reason.substr(7) : slot.reason;
    return why.empty() ? text : text + ", " + why;
}

} // namespace gang
