// kelvo_pgtool_gang: the image into the boards on many ports, one process
// per port; once (oneshot/) or as a station that waits for every board
// (station/, --watch).
#include "common/options.h"
#include "common/program.h"
#include "oneshot/oneshot_run.h"
#include "station/watch_mode.h"

#include "KelvoPG_core.h"

#include <csignal>
#include <cstdio>

int main(int argc, char **argv) {
    kelvo_prepare_process();
    // A log (or a board's output) growing past the file size limit must
    // fail its write, like a full disk, not kill the run and lose the rows.
    std::signal(SIGXFSZ, SIG_IGN);
    gang::Options options;
    std::string error;
    switch (gang::parseOptions(argc, argv, &options, &error)) {
    case gang::ParseOutcome::Help:
        std::fputs(gang::usageText(), stdout);
        return gang::kExitOk;
    case gang::ParseOutcome::Version:
        std::printf("%s %s\n", gang::kProgram, KELVO_VERSION);
        return gang::kExitOk;
    case gang::ParseOutcome::UsageError:
        return gang::usageError(error);
    case gang::ParseOutcome::Run:
        break;
    }
    if (options.uniqueStatus) {
        return gang::printUniqueStatus(options);
    }
    return options.watch ? gang::runWatch(options) : gang::runOneShot(options);
}
