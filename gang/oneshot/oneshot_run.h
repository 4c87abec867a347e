// kelvo_pgtool_gang without --watch: the image into the boards on every
// port at once, one worker process per port, a live display, a result
// table and a CSV log.
#pragma once

#include "common/options.h"

namespace gang {

// The exit status.
int runOneShot(const Options &options);

} // namespace gang
