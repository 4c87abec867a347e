#include "common/board_programming.h"

#include "common/child.h"
#include "common/failure_reason.h"
#include "common/supervisor.h"

#include "KelvoPG_core.h"

#include <cstdio>
#include <vector>

namespace gang {
namespace {

uint32_t flashOffsetOf(const DeviceSetting &rec) {
    unsigned offset = 0;
    std::sscanf(rec.flash_offset, "0x%x", &offset); // checked with the recipe
    return offset;
}

// What the state's journal keeps of a board that got values.
std::string outcomeText(const std::string &logFile, int result) {
    if (result == KELVO_SUCCESS) {
        return "ok";
    }
    std::string why =
        result == KELVO_INTERRUPTED ? "interrupted" : failureReason(readWhole(logFile), result);
    return "used by a failed board (" + why + ")";
}

} // namespace

void giveValues(const PerBoardValues &perBoard, const Allocation &allocation,
                BoardIdentity *identity) {
    identity->values.clear();
    for (size_t i = 0; i < perBoard.values.size() && i < allocation.texts.size(); ++i) {
        identity->values.emplace_back(perBoard.values[i].name, allocation.texts[i]);
        if (perBoard.values[i].identifiesUnit) {
            identity->unit = allocation.texts[i];
        }
    }
}

int programBoard(const DownloadJob &job, BoardIdentity identity, const Allocation *given) {
    std::string error;
    DeviceSetting rec;
    if (!recordForPort(job, identity.port, &rec) && !recordForPort(job, identity.resolved, &rec)) {
        sendMessage(errorMessage(identity.port + ": the path is too long for the settings record"));
        return kNoResult;
    }
    int log = createBoardLog(&identity, &error);
    if (log < 0) {
        sendMessage(errorMessage(error));
        return kNoResult;
    }
    redirectOutput(log);
    // Committed to the state before the board is touched: a crash from
    // here on loses these values, it never hands them out again.
    Allocation allocation;
    bool withValues = !job.unique.empty();
    if (given != nullptr) {
        allocation = *given;
    } else if (withValues && !allocateValues(job.unique, identity.port, &allocation, &error)) {
        sendMessage(boardMessage(encodeIdentity(identity)));
        std::printf("%s\n", error.c_str());
        std::fflush(stdout);
        sendMessage(errorMessage(error));
        quietOutput();
        return kNoResult;
    }
    std::vector<uint8_t> image(job.image, job.image + job.imageSize);
    if (withValues) {
        giveValues(job.unique, allocation, &identity);
        patchImage(job.unique, allocation.indexes, flashOffsetOf(rec), image.data());
        std::printf("Per-board values: %s\n", allocationText(job.unique, allocation).c_str());
    }
    sendMessage(boardMessage(encodeIdentity(identity)));
    startProgressWatch();
    // The board's file reads like the output of "kelvo_pgtool_cli -download".
    std::puts("Beginning XModem Download...");
    std::fflush(stdout);
    int result = mustLeave() ? KELVO_INTERRUPTED
                             : kelvo_download_image_data(&rec, image.data(), job.imageSize);
    stopProgressWatch();
    std::fflush(stdout);
    if (withValues) {
        recordOutcome(job.unique, allocation, identity.port, outcomeText(identity.logFile, result));
    }
    sendMessage(resultMessage(result));
    quietOutput();
    return result;
}

} // namespace gang
