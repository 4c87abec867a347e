#include "watch_mode.h"

#include "csv_log.h"
#include "event_lines.h"
#include "factory_link.h"
#include "log_row.h"
#include "operator_screen.h"
#include "port_claim.h"
#include "program.h"
#include "ports.h"
#include "recipe.h"
#include "run_directory.h"
#include "screen_text.h"
#include "station.h"
#include "station_factory_link.h"
#include "supervisor.h"

#include "KelvoPG_core.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace gang {
namespace {

// A port whose node is missing is a fixture whose board brings its own
// adapter: its slot waits for the node. Any other port is checked as for
// a one-shot run.
bool checkWatchedPorts(const std::vector<std::string> &ports, std::vector<std::string> *resolved,
                       std::string *error) {
    std::vector<std::string> present;
    for (const std::string &port : ports) {
        struct stat st {};
        if (::stat(port.c_str(), &st) == 0) {
            present.push_back(port);
        }
    }
    std::vector<std::string> presentResolved;
    if (!checkPorts(present, &presentResolved, error)) {
        return false;
    }
    resolved->clear();
    size_t next = 0;
    for (const std::string &port : ports) {
        bool exists = next < present.size() && present[next] == port;
        resolved->push_back(exists ? presentResolved[next++] : port);
    }
    return true;
}

void releaseAll(const std::vector<int> &claims) {
    for (int fd : claims) {
        releasePort(fd);
    }
}

std::string baseName(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::unique_ptr<StationView> makeView() {
    if (::isatty(STDOUT_FILENO) == 1) {
        const char *noColor = std::getenv("NO_COLOR");
        bool color = noColor == nullptr || noColor[0] == '\0';
        auto screen = std::make_unique<OperatorScreen>(stdout, color);
        if (screen->keyFd() >= 0) {
            return screen;
        }
    }
    // From a terminal in its line mode "q" arrives with its Enter; a
    // station started in the background must not read it (that would stop
    // it with SIGTTIN).
    bool background = ::isatty(STDIN_FILENO) == 1 && ::tcgetpgrp(STDIN_FILENO) != ::getpgrp();
    return std::make_unique<EventLines>(stdout, background ? -1 : STDIN_FILENO);
}

} // namespace

int loadJob(const Options &options, DownloadJob *job) {
    if (options.recipeFile.empty()) {
        return prepareJob(job) == KELVO_SUCCESS ? kExitOk : kExitFailed; // the core said why
    }
    std::string error;
    if (!loadRecipe(options.recipeFile, job, &error)) {
        complain(kExitUsage, error);
        return complain(kExitUsage, "nothing was sent to any port");
    }
    return kExitOk;
}

int runWatch(const Options &options) {
    std::string error;
    std::vector<std::string> resolved;
    std::vector<std::string> ports = options.ports;
    std::vector<std::string> names = options.names;
    if (options.allPorts && !listAdapterPorts(kTtyClassDir, &ports, &error)) {
        return complain(kExitUsage, error);
    }
    names.resize(ports.size()); // --all names none
    if (ports.empty()) {
        return complain(kExitUsage, "--all: no serial adapter found");
    }
    if (!checkWatchedPorts(ports, &resolved, &error)) {
        return complain(kExitUsage, error);
    }
    DownloadJob job;
    int loaded = loadJob(options, &job);
    if (loaded != kExitOk) {
        return loaded;
    }
    StationSetup setup;
    if (!claimEveryPort(ports, &setup.claims)) {
        return kExitUsage;
    }
    setup.ports = ports;
    setup.resolved = resolved;
    setup.labels = slotLabels(ports, names);
    setup.station = options.station;
    CsvLog log;
    if ((!options.logFile.empty() && !log.open(options.logFile, logColumns(), &error)) ||
        !createRunDirectory(options.outputDir, &setup.runDir, &error)) {
        releaseAll(setup.claims);
        return complain(kExitFailed, error);
    }
    FactoryLink link;
    if (!link.start(factoryLinkOptions(options), setup.runDir, &error)) {
        releaseAll(setup.claims);
        return complain(kExitFailed, error);
    }
    StationState state(std::chrono::steady_clock::now());
    state.station = options.station;
    state.recipe = job.recipeName.empty() ? baseName(job.imagePath) : job.recipeName;
    for (size_t i = 0; i < setup.ports.size(); ++i) {
        state.slots.emplace_back(setup.labels[i], setup.ports[i], state.totals.start());
    }
    StationFactoryLink factory(&link, job, factoryRecipeName(options, job), setup.ports.size());
    if (link.active()) {
        setup.observer = &factory;
    }
    installParentSignals();
    std::unique_ptr<StationView> view = makeView();
    LogContext context{&job, options.station, options.operatorId};
    BoardLogger logger = [&](const BoardReport &report, std::string *why) {
        return !log.isOpen() || log.append(stationLogRow(context, report), why);
    };
    StationOutcome outcome = runStation(job, setup, view.get(), logger, &state);
    view->close();
    std::fputs(stationSummary(state, std::chrono::steady_clock::now()).c_str(), stdout);
    std::printf("Output of each board: %s\n", setup.runDir.c_str());
    std::fputs(link.finish(kFactoryLinkGrace).c_str(), stdout);
    std::fflush(stdout);
    std::string warnings = link.takeWarnings();
    if (!warnings.empty()) {
        std::fprintf(stderr, "%s", warnings.c_str());
    }
    bool logOk = !outcome.logFailed;
    if (!log.close(&error)) {
        logOk = false;
        complain(kExitFailed, error);
    }
    if (outcome.signal != 0) {
        return 128 + outcome.signal;
    }
    return outcome.stopped && logOk ? kExitOk : kExitFailed;
}

} // namespace gang
