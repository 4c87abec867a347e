// One board programmed, in the process that meets it (a one-shot worker or
// a station's slot): its log opened, its identity told to the parent, the
// download, its result told.
#pragma once

#include "common/board_identity.h"
#include "common/download_job.h"
#include "common/unique_state.h"

namespace gang {

// Returned when the board could not be programmed at all; the parent was
// told why.
constexpr int kNoResult = -1;

// The core's result, or kNoResult. Standard output and error go to the
// board's log for the download and to /dev/null afterwards. With the
// recipe's per-board values, the board's copy of the image holds the
// values given, else values allocated here; none left: kNoResult, the
// board untouched.
int programBoard(const DownloadJob &job, BoardIdentity identity, const Allocation *given = nullptr);

// The values in the identity, and the identifying one as its unit.
void giveValues(const PerBoardValues &perBoard, const Allocation &allocation,
                BoardIdentity *identity);

} // namespace gang
