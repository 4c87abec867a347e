#include "station/watch_mode.h"

#include "common/csv_log.h"
#include "station/event_lines.h"
#include "factory/factory_link.h"
#include "common/log_row.h"
#include "station/operator_screen.h"
#include "common/program.h"
#include "common/ports.h"
#include "common/recipe.h"
#include "common/screen_text.h"
#include "station/station.h"
#include "station/station_factory_link.h"
#include "common/supervisor.h"

#include "KelvoPG_core.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace gang {
namespace {

// Where a port that is not there yet would be: its directory resolved
// (a by-id or by-path link's directory, a relative name), its name as given.
std::string absentTarget(const std::string &port) {
    size_t slash = port.rfind('/');
    std::string dir = slash == std::string::npos ? "." : port.substr(0, slash + 1);
    char buf[PATH_MAX];
    if (::realpath(dir.c_str(), buf) == nullptr) {
        return port;
    }
    return std::string(buf) + "/" + port.substr(slash == std::string::npos ? 0 : slash + 1);
}

// A port whose node is missing is a fixture whose board brings its own
// adapter: its slot waits for the node. Any other port is checked as for
// a one-shot run. The same port twice is refused either way.
bool checkWatchedPorts(const std::vector<std::string> &ports, std::vector<std::string> *resolved,
                       std::vector<std::string> *absent, std::string *error) {
    std::vector<std::string> present;
    for (const std::string &port : ports) {
        struct stat st {};
        if (::stat(port.c_str(), &st) == 0) {
            present.push_back(port);
        } else {
            absent->push_back(port);
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
        std::string target = exists ? presentResolved[next++] : absentTarget(port);
        for (size_t i = 0; i < resolved->size(); ++i) {
            if (ports[i] == port || (*resolved)[i] == target) {
                *error = "the same port twice: " + ports[i] + " and " + port +
                         (ports[i] == port ? "" : " are " + target);
                return false;
            }
        }
        resolved->push_back(target);
    }
    return true;
}

// Said once at the start: a slot whose port is not there waits for it.
void warnAbsentPorts(const std::vector<std::string> &absent) {
    for (const std::string &port : absent) {
        std::fprintf(stderr,
                     "kelvo_pgtool_gang: warning: %s is not there yet; its slot waits for it "
                     "(an adapter that comes with the board appears when the board is put in)\n",
                     port.c_str());
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

namespace {

// The ports of the station and their slot names: false after a usage error.
bool watchedPorts(const Options &options, std::vector<std::string> *ports,
                  std::vector<std::string> *names, std::vector<std::string> *resolved) {
    std::string error;
    *ports = options.ports;
    *names = options.names;
    if (options.allPorts && !listAdapterPorts(kTtyClassDir, ports, &error)) {
        complain(kExitUsage, error);
        return false;
    }
    names->resize(ports->size()); // --all names none
    if (ports->empty()) {
        complain(kExitUsage, "--all: no serial adapter found");
        return false;
    }
    std::vector<std::string> absent;
    if (!checkWatchedPorts(*ports, resolved, &absent, &error)) {
        complain(kExitUsage, error);
        return false;
    }
    warnAbsentPorts(absent);
    return true;
}

StationState initialState(const Options &options, const DownloadJob &job,
                          const StationSetup &setup) {
    StationState state(std::chrono::steady_clock::now());
    state.station = options.station;
    state.recipe = job.recipeName.empty() ? baseName(job.imagePath) : job.recipeName;
    const IdentityContext &slots = setup.identity;
    for (size_t i = 0; i < slots.ports.size(); ++i) {
        state.slots.emplace_back(slots.labels[i], slots.ports[i], state.totals.start());
    }
    return state;
}

} // namespace

int runWatch(const Options &options) {
    StationSetup setup;
    std::vector<std::string> names;
    if (!watchedPorts(options, &setup.identity.ports, &names, &setup.resolved)) {
        return kExitUsage;
    }
    DownloadJob job;
    int loaded = loadJob(options, &job);
    if (loaded != kExitOk) {
        return loaded;
    }
    if (!claimEveryPort(setup.identity.ports, &setup.claims)) {
        return kExitUsage;
    }
    setup.identity.labels = slotLabels(setup.identity.ports, names);
    setup.station = options.station;
    RunOutputs out;
    if (int status = openRunOutputs(options, job.unique, setup.claims, &out, true);
        status != kExitOk) {
        return status;
    }
    setup.identity.runDir = out.runDir;
    setup.identity.runId = newRunId();
    setup.identity.handle = out.link.handle();
    setup.identity.logNames = setup.identity.labels;
    setup.identity.station = true;
    StationState state = initialState(options, job, setup);
    StationFactoryLink factory(&out.link, job, factoryRecipeName(options, job),
                               setup.identity.ports.size());
    if (out.link.active()) {
        setup.observer = &factory;
    }
    installParentSignals();
    std::unique_ptr<StationView> view = makeView();
    LogContext context{&job, options.station, options.operatorId};
    BoardLogger logger = [&](const BoardRecord &report, std::string *why) {
        return !out.log.isOpen() || out.log.append(stationLogRow(context, report), why);
    };
    StationOutcome outcome = runStation(job, setup, view.get(), logger, &state);
    view->close();
    std::fputs(stationSummary(state, std::chrono::steady_clock::now()).c_str(), stdout);
    struct stat st {};
    if (::stat(setup.identity.runDir.c_str(), &st) == 0) { // made by the first board, if any
        std::printf("Output of each board: %s\n", setup.identity.runDir.c_str());
    }
    bool logOk = closeRunOutputs(&out) && !outcome.logFailed;
    if (outcome.signal != 0) {
        return 128 + outcome.signal;
    }
    return outcome.stopped && logOk ? kExitOk : kExitFailed;
}

} // namespace gang
