// What both modes of kelvo_pgtool_gang share: exit statuses, messages on
// standard error, the taking of every port, and the run's outputs.
#pragma once

#include "common/csv_log.h"
#include "common/download_job.h"
#include "common/factory_report.h"
#include "common/options.h"
#include "common/unique_values.h"

#include <string>
#include <vector>

namespace gang {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr const char *kProgram = "kelvo_pgtool_gang";
constexpr const char *kTtyClassDir = "/sys/class/tty";

// "kelvo_pgtool_gang: why" on standard error; returns status.
int complain(int status, const std::string &why);
// complain(kExitUsage, why) and where to find help; returns kExitUsage.
int usageError(const std::string &why);

// The job of a run: the recipe when one is given, else record.dat. 0, or
// the exit status after the message (2 for a refused recipe or no record.dat).
int loadJob(const Options &options, DownloadJob *job);

// --unique-status: each per-board value of the recipe with the next one
// and how many are left. 0, or 2 after the reason.
int printUniqueStatus(const Options &options);

// Takes every port before any is programmed: a port held by another
// program, or a device that is no serial line, is the station's problem,
// not a board's failure. Then prints one line per such port and that
// nothing was sent, and returns false.
bool claimEveryPort(const std::vector<std::string> &ports, std::vector<int> *fds);

// What a run writes besides its boards' flashes.
struct RunOutputs {
    CsvLog log; // open only with --log
    std::string runDir;
    factory::FactoryLink link; // active only with --cfx
};

// Opens the log, creates the run directory, checks that it and the spool
// are the user's own, and starts the factory link: kExitOk. On failure
// prints why, lets go of the claimed ports and returns the exit status
// (kExitUsage for a directory refused as unsafe). With laterDirectory, a
// default run directory is only named: its first board creates it.
// The log has a column per value of unique.
int openRunOutputs(const Options &options, const PerBoardValues &unique,
                   const std::vector<int> &claims, RunOutputs *outputs,
                   bool laterDirectory = false);

// After the run: the factory link's closing line on standard output, its
// warnings on standard error, the log closed. false when the log failed.
bool closeRunOutputs(RunOutputs *outputs);

} // namespace gang
