// The columns of the traceability log and the row of one board, the same
// for a one-shot run and for the station, so that both can share a file.
#pragma once

#include "board.h"
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

std::vector<std::string> logHeader();

// A board of the station.
std::vector<std::string> stationLogRow(const LogContext &context, const BoardReport &report);

// The label of every port: NAME of NAME=PORT, else the last part of its path.
std::vector<std::string> slotLabelsFor(const Options &options);

} // namespace gang
