#include "oneshot/oneshot_run.h"

#include "common/board_programming.h"
#include "common/child.h"
#include "common/failure_reason.h"
#include "common/log_row.h"
#include "common/ports.h"
#include "common/program.h"
#include "common/run_directory.h"
#include "common/screen_text.h"
#include "common/port_claim.h"
#include "common/supervisor.h"
#include "oneshot/result_table.h"
#include "oneshot/status_display.h"

#include "KelvoPG_core.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <unistd.h>

namespace gang {
namespace {

constexpr int kPollMs = 50;
const char *const kSysRoot = "/sys";

std::string resultText(const Board &board) {
    switch (board.outcome) {
    case Outcome::Ok:
        return "ok";
    case Outcome::Interrupted:
        return "interrupted";
    default:
        return board.reason;
    }
}

factory::cfx::BoardResult::Kind resultKind(Outcome outcome) {
    using Kind = factory::cfx::BoardResult::Kind;
    return outcome == Outcome::Ok            ? Kind::Passed
           : outcome == Outcome::Interrupted ? Kind::Interrupted
                                             : Kind::Failed;
}

// The ports of the run, checked: false with a usage error.
bool collectPorts(const Options &options, std::vector<std::string> *ports,
                  std::vector<std::string> *resolved, std::string *error) {
    *ports = options.ports;
    if (options.allPorts) {
        if (!listAdapterPorts(kTtyClassDir, ports, error)) {
            return false;
        }
        if (ports->empty()) {
            *error = "--all: no serial adapter found";
            return false;
        }
    }
    return checkPorts(*ports, resolved, error);
}

IdentityContext identityContext(const std::vector<Board> &boards, const RunOutputs &out) {
    IdentityContext context;
    context.handle = out.link.handle();
    context.runDir = out.runDir;
    context.runId = newRunId();
    context.sysRoot = kSysRoot;
    for (const Board &board : boards) {
        context.labels.push_back(board.label);
        context.ports.push_back(board.port);
    }
    context.logNames = outputFileNames(context.labels);
    return context;
}

// The one board of port i, with its values.
BoardIdentity boardIdentity(const DownloadJob &job, const IdentityContext &context,
                            const Board &board, size_t i) {
    BoardIdentity identity = makeIdentity(context, i, 1);
    if (!job.unique.empty() && board.valuesRefused.empty()) {
        giveValues(job.unique, board.values, &identity);
    }
    return identity;
}

// Each board's values, committed before any board is touched; a board
// without values is not started.
void allocateAll(const DownloadJob &job, std::vector<Board> *boards) {
    if (job.unique.empty()) {
        return;
    }
    for (Board &board : *boards) {
        std::string error;
        if (!allocateValues(job.unique, board.port, &board.values, &error)) {
            board.valuesRefused = error;
        }
    }
}

// Every board's worker at once, followed to the end: the display, the
// log row and the factory's messages of each board.
class OneShot : public ChildEvents {
  public:
    using Finished = std::function<void(const Board &)>;

    OneShot(const DownloadJob &job, const IdentityContext &context, std::vector<Board> *boards,
            StatusDisplay *display, Finished finished)
        : job_(job), context_(context), boards_(*boards), display_(display),
          finished_(std::move(finished)), supervisor_(boards->size(), this) {}

    int run() {
        startAll();
        while (!supervisor_.allEnded()) {
            supervisor_.turn(kPollMs);
            display_->update(boards_, std::chrono::steady_clock::now());
        }
        display_->finish(boards_, std::chrono::steady_clock::now());
        return supervisor_.cancelledBy();
    }

    void message(size_t i, const ChildMessage &message) override {
        Board &board = boards_[i];
        switch (message.kind) {
        case ChildMessage::Kind::Board:
            decodeIdentity(message.text, &board.record.id);
            break;
        case ChildMessage::Kind::Progress:
            board.phase = message.phase;
            board.percent = message.percent;
            break;
        case ChildMessage::Kind::Result:
            board.record.finished = true;
            board.record.result = message.result;
            break;
        case ChildMessage::Kind::Error:
            board.reason = message.text;
            break;
        default:
            break;
        }
    }

    void ended(size_t i, int waitStatus, bool cancelled) override {
        Board &board = boards_[i];
        if (board.record.finished) {
            concludeWithResult(&board);
        } else if (!board.reason.empty()) {
            conclude(&board, Outcome::Failed, board.reason);
        } else if (cancelled) {
            board.record.finished = true;
            board.record.result = KELVO_INTERRUPTED;
            concludeWithResult(&board);
        } else {
            conclude(&board, Outcome::Failed, deathReason(waitStatus));
        }
    }

  private:
    void startAll() {
        std::vector<int> claims;
        for (const Board &board : boards_) {
            claims.push_back(board.claimFd);
        }
        for (size_t i = 0; i < boards_.size(); ++i) {
            if (!startWorker(i, claims)) {
                releasePort(claims[i]);
                claims[i] = -1;
            }
        }
        // Each worker holds its own port now.
        for (size_t i = 0; i < boards_.size(); ++i) {
            if (claims[i] >= 0) {
                ::close(claims[i]);
            }
            boards_[i].claimFd = -1;
        }
    }

    bool startWorker(size_t i, const std::vector<int> &claims) {
        Board &board = boards_[i];
        board.record.id = boardIdentity(job_, context_, board, i);
        board.record.startWall = std::time(nullptr);
        board.start = std::chrono::steady_clock::now();
        const DownloadJob &job = job_;
        const IdentityContext &context = context_;
        const Allocation *values = job.unique.empty() ? nullptr : &board.values;
        std::string error = board.valuesRefused;
        bool started =
            error.empty() && supervisor_.start(
                                 i, claims[i], claims,
                                 [&job, &context, i, values](pid_t parent, int statusFd) {
                                     becomeChild(parent, statusFd);
                                     programBoard(job, makeIdentity(context, i, 1), values);
                                     ::_exit(0);
                                 },
                                 &error);
        if (!started) {
            supervisor_.skip(i);
            conclude(&board, Outcome::Failed, error);
        }
        return started;
    }

    void concludeWithResult(Board *board) {
        int result = board->record.result;
        if (result == KELVO_SUCCESS) {
            conclude(board, Outcome::Ok, "");
        } else if (result == KELVO_INTERRUPTED) {
            conclude(board, Outcome::Interrupted, "");
        } else {
            conclude(board, Outcome::Failed,
                     failureReason(readWhole(board->record.id.logFile), result));
        }
    }

    void conclude(Board *board, Outcome outcome, const std::string &reason) {
        board->end = std::chrono::steady_clock::now();
        board->outcome = outcome;
        board->reason = reason;
        board->record.seconds = elapsedSeconds(*board, board->end);
        board->record.outcome = resultText(*board);
        finished_(*board);
    }

    const DownloadJob &job_;
    const IdentityContext &context_;
    std::vector<Board> &boards_;
    StatusDisplay *display_;
    Finished finished_;
    Supervisor supervisor_;
};

std::vector<Board> makeBoards(const std::vector<std::string> &ports,
                              const std::vector<std::string> &names,
                              const std::vector<std::string> &resolved,
                              const std::vector<int> &claims) {
    std::vector<std::string> labels = slotLabels(ports, names);
    std::vector<Board> boards(ports.size());
    for (size_t i = 0; i < ports.size(); ++i) {
        boards[i].port = ports[i];
        boards[i].label = labels[i];
        boards[i].resolved = resolved[i];
        boards[i].claimFd = claims[i];
    }
    return boards;
}

int exitStatus(const std::vector<Board> &boards, int signal, bool logOk) {
    if (signal != 0) {
        return 128 + signal;
    }
    for (const Board &board : boards) {
        if (board.outcome != Outcome::Ok) {
            return kExitFailed;
        }
    }
    return logOk ? kExitOk : kExitFailed;
}

} // namespace

int runOneShot(const Options &options) {
    std::vector<std::string> ports, resolved;
    std::string error;
    if (!collectPorts(options, &ports, &resolved, &error)) {
        return usageError(error);
    }
    DownloadJob job;
    int loaded = loadJob(options, &job);
    if (loaded != kExitOk) {
        return loaded;
    }
    // Every port taken before any is programmed: a port held by another
    // program is the station's problem, not a board's failure.
    std::vector<int> claims;
    if (!claimEveryPort(ports, &claims)) {
        return kExitUsage;
    }
    std::vector<std::string> names = options.names;
    names.resize(ports.size()); // --all names none
    std::vector<Board> boards = makeBoards(ports, names, resolved, claims);
    RunOutputs out;
    if (int status = openRunOutputs(options, job.unique, claims, &out); status != kExitOk) {
        return status;
    }
    factory::FactoryLink &link = out.link;
    IdentityContext context = identityContext(boards, out);
    std::string recipe = factoryRecipeName(options, job);
    bool terminal = ::isatty(STDOUT_FILENO) == 1;
    StatusDisplay display(stdout, terminal);
    // The display is first updated once every board's process is started.
    display.setFooter([&link] {
        link.connect();
        return link.statusLine();
    });
    bool logOk = true;
    installParentSignals();
    LogContext logContext{&job, options.station, options.operatorId};
    std::vector<factory::BoardTransaction> transactions(boards.size());
    OneShot oneShot(job, context, &boards, &display, [&](const Board &board) {
        size_t slot = static_cast<size_t>(&board - boards.data());
        if (out.log.isOpen() && !out.log.append(stationLogRow(logContext, board.record), &error)) {
            logOk = false;
            complain(kExitFailed, error);
        }
        link.boardEnded(transactions[slot],
                        factoryResult(job, recipe, resultKind(board.outcome), board.record));
    });
    allocateAll(job, &boards);
    auto now = std::chrono::system_clock::now();
    for (size_t i = 0; i < boards.size(); ++i) {
        transactions[i] =
            link.boardStarted(factoryUnit(boardIdentity(job, context, boards[i], i)), now);
    }
    int signal = oneShot.run();
    // A row reaching the last column would wrap on some terminals.
    size_t width = terminal ? std::max<size_t>(1, terminalSize(STDOUT_FILENO).cols - 1) : 0;
    std::fputs(resultTable(boards, out.runDir, width).c_str(), stdout);
    logOk = closeRunOutputs(&out) && logOk;
    return exitStatus(boards, signal, logOk);
}

} // namespace gang
