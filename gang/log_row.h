// The columns of the traceability log and the row of one board, the same
// for a one-shot run and for the station, so that both can share a file.
#pragma once

#include "board.h"
#include "csv_log.h"
#include "download_job.h"
#include "options.h"
#include "station.h"

#include <string>
#include <vector>

namespace gang {

struct LogContext {
    const DownloadJob *job;
    std::string station;
    std::string operatorId;
};

std::vector<CsvColumn> logColumns();

// A board's row; result stays empty until the board has one.
std::vector<std::string> stationLogRow(const LogContext &context, const BoardReport &report);

} // namespace gang
