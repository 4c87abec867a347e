#include "common/program.h"

#include "common/log_row.h"
#include "common/unique_state.h"
#include "common/port_claim.h"
#include "common/recipe.h"

#include "KelvoPG_core.h"
#include "common/run_directory.h"
#include "common/safe_files.h"

#include <cerrno>
#include <cstdio>
#include <sstream>
#include <sys/stat.h>

namespace gang {

int complain(int status, const std::string &why) {
    std::fprintf(stderr, "%s: %s\n", kProgram, why.c_str());
    return status;
}

int usageError(const std::string &why) {
    complain(kExitUsage, why);
    std::fprintf(stderr, "Try '%s --help' for more information.\n", kProgram);
    return kExitUsage;
}

namespace {

// The framing every board of the run gets, said once when it is not the
// default; the children inherit it.
void settleReplyFraming(const Options &options, DownloadJob *job) {
    job->quickReplies = job->quickReplies || options.quickReplies || kelvo_quick_replies() != 0;
    kelvo_set_quick_replies(job->quickReplies ? 1 : 0);
    if (job->quickReplies) {
        std::printf("Reply framing: quick replies\n");
        std::fflush(stdout);
    }
}

} // namespace

int loadJob(const Options &options, DownloadJob *job) {
    if (options.recipeFile.empty()) {
        // Run in the wrong directory, the core's own messages would name
        // neither the file nor the way out.
        struct stat st {};
        if (::stat("record.dat", &st) != 0 && errno == ENOENT) {
            return complain(kExitUsage, "no record.dat in this directory: give the settings with "
                                        "--recipe FILE, or run where record.dat is");
        }
        if (prepareJob(job) != KELVO_SUCCESS) {
            return kExitFailed; // the core said why
        }
        settleReplyFraming(options, job);
        return kExitOk;
    }
    std::string error;
    if (!loadRecipe(options.recipeFile, job, &error)) {
        complain(kExitUsage, error);
        return complain(kExitUsage, "nothing was sent to any port");
    }
    settleReplyFraming(options, job);
    return kExitOk;
}

bool claimEveryPort(const std::vector<std::string> &ports, std::vector<int> *fds) {
    std::string error;
    if (claimPorts(ports, fds, &error)) {
        return true;
    }
    std::istringstream lines(error);
    for (std::string line; std::getline(lines, line);) {
        complain(kExitUsage, line);
    }
    complain(kExitUsage, "nothing was sent to any port");
    return false;
}

int printUniqueStatus(const Options &options) {
    DownloadJob job;
    int loaded = loadJob(options, &job);
    if (loaded != kExitOk) {
        return loaded;
    }
    if (job.unique.empty()) {
        return complain(kExitUsage, "recipe " + options.recipeFile + ": no [[unique]] values");
    }
    std::string text, error;
    if (!uniqueStatusText(job.unique, &text, &error)) {
        return complain(kExitUsage, error);
    }
    std::fputs(text.c_str(), stdout);
    return kExitOk;
}

namespace {

// The directory that holds path ("." for a bare name).
std::string parentOf(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The output and spool directories are where the station creates files:
// another local user able to change them could make it write elsewhere or
// replace what it wrote. Refused before any board is touched.
bool checkRunDirectories(const Options &options, const std::string &runDir, std::string *error) {
    if (!options.outputDir.empty() && !checkOwnDirectory(runDir, error)) {
        *error = "--output-dir refused: " + *error;
        return false;
    }
    if (options.cfxUrl.empty()) {
        return true;
    }
    if (!options.cfxSpool.empty()) {
        if (makeOwnDirectory(options.cfxSpool, error)) {
            return true;
        }
        *error = "--cfx-spool refused: " + *error;
        return false;
    }
    std::string spool = factory::defaultSpoolDir(runDir);
    if (!checkOwnDirectory(parentOf(spool), error) || !makeOwnDirectory(spool, error)) {
        *error = "the CFX spool " + spool + " (beside the run directory) refused: " + *error +
                 "; or give --cfx-spool DIR";
        return false;
    }
    return true;
}

} // namespace

int openRunOutputs(const Options &options, const PerBoardValues &unique,
                   const std::vector<int> &claims, RunOutputs *outputs, bool laterDirectory) {
    std::string error;
    int status = kExitFailed;
    bool named = laterDirectory && options.outputDir.empty();
    if (named) {
        outputs->runDir = freeRunDirectoryName();
    }
    if ((options.logFile.empty() ||
         outputs->log.open(options.logFile, logColumns(unique), &error)) &&
        (named || createRunDirectory(options.outputDir, &outputs->runDir, &error))) {
        status = kExitUsage;
        if (checkRunDirectories(options, outputs->runDir, &error)) {
            status = kExitFailed;
            if (outputs->link.start(factoryLinkOptions(options), outputs->runDir, &error)) {
                return kExitOk;
            }
        }
    }
    for (int fd : claims) {
        releasePort(fd);
    }
    complain(status, error);
    if (status == kExitUsage) {
        complain(status, "nothing was sent to any port");
    }
    return status;
}

bool closeRunOutputs(RunOutputs *outputs) {
    std::fputs(outputs->link.finish(factory::kFactoryLinkGrace).c_str(), stdout);
    std::fflush(stdout);
    std::string warnings = outputs->link.takeWarnings();
    if (!warnings.empty()) {
        std::fprintf(stderr, "%s", warnings.c_str());
    }
    std::string error;
    if (!outputs->log.close(&error)) {
        complain(kExitFailed, error);
        return false;
    }
    return true;
}

} // namespace gang
