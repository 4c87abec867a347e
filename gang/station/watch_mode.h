// kelvo_pgtool_gang --watch: the production station, until q or a signal.
#pragma once

#include "common/download_job.h"
#include "common/options.h"

#include <string>

namespace gang {

// Runs the station; the exit status.
int runWatch(const Options &options);

} // namespace gang
