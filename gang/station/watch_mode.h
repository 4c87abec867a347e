// kelvo_pgtool_gang --watch: the production station, until q or a signal.
#pragma once

#include "common/download_job.h"
#include "common/options.h"

#include <string>

namespace gang {

// The job of a run: the recipe when one is given, else record.dat. 0, or
// the exit status after the message (2 for a refused recipe).
int loadJob(const Options &options, DownloadJob *job);

// Runs the station; the exit status.
int runWatch(const Options &options);

} // namespace gang
