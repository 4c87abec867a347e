// One board programmed, in the process that meets it (a one-shot worker or
// a station's slot): its log opened, its identity told to the parent, the
// download, its result told.
#pragma once

#include "common/board_identity.h"
#include "common/download_job.h"

namespace gang {

// Returned when the board could not be programmed at all; the parent was
// told why.
constexpr int kNoResult = -1;

// The core's result, or kNoResult. Standard output and error go to the
// board's log for the download and to /dev/null afterwards.
int programBoard(const DownloadJob &job, BoardIdentity identity);

} // namespace gang
