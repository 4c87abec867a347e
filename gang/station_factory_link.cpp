#include "station_factory_link.h"

#include "KelvoPG_core.h"

namespace gang {

constexpr std::chrono::seconds StationFactoryLink::kHeartbeat;

cfx::Unit factoryUnit(const std::string &handle, const BoardReport &report,
                      const std::string &tag) {
    cfx::Unit unit;
    unit.position = static_cast<int>(report.slot + 1);
    unit.positionName = report.label;
    unit.identifier = !report.usb.serial.empty()
                          ? report.usb.serial
                          : handle + "/" + std::to_string(unit.position) + "/" + tag;
    return unit;
}

cfx::BoardResult factoryResult(const DownloadJob &job, const std::string &recipe,
                               cfx::BoardResult::Kind kind, const BoardReport &report) {
    cfx::BoardResult result;
    result.kind = kind;
    result.recipe = recipe;
    result.imageSha256 = job.imageSha256;
    result.flashOffset = job.record.flash_offset;
    result.reason = kind == cfx::BoardResult::Kind::Passed ? "" : report.outcome;
    result.resultCode = report.finished ? report.result : -1;
    result.end = std::chrono::system_clock::now();
    result.start = result.end - std::chrono::duration_cast<std::chrono::system_clock::duration>(
                                    std::chrono::duration<double>(report.seconds));
    return result;
}

StationFactoryLink::StationFactoryLink(FactoryLink *link, const DownloadJob &job,
                                       std::string recipe, size_t slots)
    : link_(*link), job_(job), recipe_(std::move(recipe)), open_(slots),
      nextHeartbeat_(std::chrono::steady_clock::now() + kHeartbeat) {}

void StationFactoryLink::boardStarted(const BoardReport &report) {
    cfx::Unit unit = factoryUnit(link_.handle(), report, std::to_string(report.board));
    open_[report.slot] = link_.boardStarted(unit, std::chrono::system_clock::now());
}

void StationFactoryLink::boardEnded(const BoardReport &report) {
    using Kind = cfx::BoardResult::Kind;
    Kind kind = report.result == KELVO_SUCCESS       ? Kind::Passed
                : report.result == KELVO_INTERRUPTED ? Kind::Interrupted
                                                     : Kind::Failed;
    link_.boardEnded(open_[report.slot], factoryResult(job_, recipe_, kind, report));
    open_[report.slot] = BoardTransaction();
}

std::string StationFactoryLink::poll() {
    link_.connect(); // the slots' processes are started before the first poll
    auto now = std::chrono::steady_clock::now();
    if (now >= nextHeartbeat_) {
        link_.heartbeat(kHeartbeat);
        nextHeartbeat_ = now + kHeartbeat;
    }
    // Only trouble is shown: a link that works needs no one's attention.
    return link_.isUp() ? "" : link_.statusLine();
}

} // namespace gang
