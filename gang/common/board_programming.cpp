#include "common/board_programming.h"

#include "common/child.h"

#include "KelvoPG_core.h"

#include <cstdio>

namespace gang {
int programBoard(const DownloadJob &job, BoardIdentity identity) {
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
    sendMessage(boardMessage(encodeIdentity(identity)));
    startProgressWatch();
    // The board's file reads like the output of "kelvo_pgtool_cli -download".
    std::puts("Beginning XModem Download...");
    std::fflush(stdout);
    int result =
        mustLeave() ? KELVO_INTERRUPTED : kelvo_download_image_data(&rec, job.image, job.imageSize);
    stopProgressWatch();
    std::fflush(stdout);
    sendMessage(resultMessage(result));
    quietOutput();
    return result;
}

} // namespace gang
