// kelvo_pgtool_gang: the image of record.dat into the boards on many ports
// at once, one process per port, with a result table and a CSV log.
#include "KelvoPG_core.h"
#include "common/csv_log.h"
#include "common/download_job.h"
#include "factory/factory_link.h"
#include "common/log_row.h"
#include "common/options.h"
#include "common/program.h"
#include "common/ports.h"
#include "oneshot/result_table.h"
#include "common/run_directory.h"
#include "common/screen_text.h"
#include "station/station_factory_link.h"
#include "oneshot/status_display.h"
#include "common/supervisor.h"
#include "common/usb_identity.h"
#include "station/watch_mode.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace {

using gang::complain;
using gang::kExitFailed;
using gang::kExitOk;
using gang::kExitUsage;
using gang::kProgram;
using gang::kTtyClassDir;

const char *const kSysRoot = "/sys";

int usageError(const std::string &why) {
    complain(kExitUsage, why);
    std::fprintf(stderr, "Try '%s --help' for more information.\n", kProgram);
    return kExitUsage;
}

std::string resultText(const gang::Board &board) {
    switch (board.outcome) {
    case gang::Outcome::Ok:
        return "ok";
    case gang::Outcome::Interrupted:
        return "interrupted";
    default:
        return board.reason;
    }
}

// A one-shot board as a station reports one: each port's only board.
gang::BoardReport reportOf(const gang::Board &board, size_t slot) {
    gang::BoardReport report;
    report.slot = slot;
    report.port = board.port;
    report.label = board.label;
    report.board = 1;
    report.usb = board.usb;
    report.startWall = board.startWall;
    report.seconds = gang::elapsedSeconds(board, board.end);
    report.finished = board.haveResult;
    report.result = board.result;
    report.outcome = resultText(board);
    return report;
}

// The ports of the run, checked: false after a usage error message.
bool collectPorts(const gang::Options &options, std::vector<std::string> *ports,
                  std::vector<std::string> *resolved, std::string *error) {
    *ports = options.ports;
    if (options.allPorts) {
        if (!gang::listAdapterPorts(kTtyClassDir, ports, error)) {
            return false;
        }
        if (ports->empty()) {
            *error = "--all: no serial adapter found";
            return false;
        }
    }
    return gang::checkPorts(*ports, resolved, error);
}

std::vector<gang::Board> makeBoards(const std::vector<std::string> &ports,
                                    const std::vector<std::string> &names,
                                    const std::vector<std::string> &resolved,
                                    const std::vector<int> &claims) {
    std::vector<std::string> labels = gang::slotLabels(ports, names);
    std::vector<gang::Board> boards(ports.size());
    for (size_t i = 0; i < ports.size(); ++i) {
        boards[i].port = ports[i];
        boards[i].label = labels[i];
        boards[i].resolved = resolved[i];
        boards[i].usb = gang::usbIdentity(kSysRoot, resolved[i]);
        boards[i].claimFd = claims[i];
    }
    return boards;
}

void setOutputFiles(std::vector<gang::Board> *boards, const std::string &runDir) {
    std::vector<std::string> labels;
    for (const gang::Board &board : *boards) {
        labels.push_back(board.label);
    }
    std::vector<std::string> files = gang::outputFileNames(labels);
    for (size_t i = 0; i < boards->size(); ++i) {
        (*boards)[i].outputFile = runDir + "/" + files[i];
    }
}

// A one-shot run has no board count of its own: the run directory's name
// makes the identifier unique across runs.
std::vector<factory::BoardTransaction> startTransactions(factory::FactoryLink *link,
                                                      const std::vector<gang::Board> &boards,
                                                      const std::string &runDir) {
    std::vector<factory::BoardTransaction> transactions;
    auto now = std::chrono::system_clock::now();
    std::string runName = runDir.substr(runDir.find_last_of('/') + 1);
    for (size_t i = 0; i < boards.size(); ++i) {
        factory::cfx::Unit unit = gang::factoryUnit(link->handle(), reportOf(boards[i], i), runName);
        transactions.push_back(link->boardStarted(unit, now));
    }
    return transactions;
}

factory::cfx::BoardResult::Kind resultKind(gang::Outcome outcome) {
    using Kind = factory::cfx::BoardResult::Kind;
    return outcome == gang::Outcome::Ok            ? Kind::Passed
           : outcome == gang::Outcome::Interrupted ? Kind::Interrupted
                                                   : Kind::Failed;
}

int exitStatus(const std::vector<gang::Board> &boards, int signal, bool logOk) {
    if (signal != 0) {
        return 128 + signal;
    }
    for (const gang::Board &board : boards) {
        if (board.outcome != gang::Outcome::Ok) {
            return kExitFailed;
        }
    }
    return logOk ? kExitOk : kExitFailed;
}

int run(const gang::Options &options) {
    std::vector<std::string> ports, resolved;
    std::string error;
    if (!collectPorts(options, &ports, &resolved, &error)) {
        return usageError(error);
    }
    gang::DownloadJob job;
    int loaded = gang::loadJob(options, &job);
    if (loaded != kExitOk) {
        return loaded;
    }
    // Every port taken before any is programmed: a port held by another
    // program is the station's problem, not a board's failure.
    std::vector<int> claims;
    if (!gang::claimEveryPort(ports, &claims)) {
        return kExitUsage;
    }
    std::vector<std::string> names = options.names;
    names.resize(ports.size()); // --all names none
    std::vector<gang::Board> boards = makeBoards(ports, names, resolved, claims);
    gang::RunOutputs out;
    if (!gang::openRunOutputs(options, claims, &out)) {
        return kExitFailed;
    }
    const std::string &runDir = out.runDir;
    factory::FactoryLink &link = out.link;
    setOutputFiles(&boards, runDir);
    std::vector<factory::BoardTransaction> transactions = startTransactions(&link, boards, runDir);
    std::string recipe = gang::factoryRecipeName(options, job);
    bool terminal = ::isatty(STDOUT_FILENO) == 1;
    gang::StatusDisplay display(stdout, terminal);
    // The display is first updated once every board's process is started.
    display.setFooter([&link] {
        link.connect();
        return link.statusLine();
    });
    bool logOk = true;
    gang::installParentSignals();
    gang::LogContext context{&job, options.station, options.operatorId};
    int signal = gang::superviseRun(job, &boards, &display, [&](const gang::Board &board) {
        size_t slot = static_cast<size_t>(&board - boards.data());
        gang::BoardReport report = reportOf(board, slot);
        std::string why;
        if (out.log.isOpen() && !out.log.append(gang::stationLogRow(context, report), &why)) {
            logOk = false;
            complain(kExitFailed, why);
        }
        link.boardEnded(transactions[slot],
                        gang::factoryResult(job, recipe, resultKind(board.outcome), report));
    });
    // A row reaching the last column would wrap on some terminals.
    size_t width = terminal ? std::max<size_t>(1, gang::terminalSize(STDOUT_FILENO).cols - 1) : 0;
    std::fputs(gang::resultTable(boards, runDir, width).c_str(), stdout);
    logOk = gang::closeRunOutputs(&out) && logOk;
    return exitStatus(boards, signal, logOk);
}

} // namespace

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
        return kExitOk;
    case gang::ParseOutcome::Version:
        std::printf("%s %s\n", kProgram, KELVO_VERSION);
        return kExitOk;
    case gang::ParseOutcome::UsageError:
        return usageError(error);
    case gang::ParseOutcome::Run:
        break;
    }
    return options.watch ? gang::runWatch(options) : run(options);
}
