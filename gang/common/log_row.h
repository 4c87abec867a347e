// The columns of the traceability log and the row of one board, the same
// for a one-shot run and for the station, so that both can share a file.
#pragma once

#include "common/board_identity.h"
#include "common/csv_log.h"
#include "common/download_job.h"
#include "common/options.h"

#include <string>
#include <vector>

namespace gang {

struct LogContext {
    const DownloadJob *job;
    std::string station;
    std::string operatorId;
};

// The fixed columns, then one per per-board value of the recipe.
std::vector<CsvColumn> logColumns(const PerBoardValues &unique);

// A board's row; result stays empty until the board has one.
std::vector<std::string> stationLogRow(const LogContext &context, const BoardRecord &record);

} // namespace gang
