#include "station/station_factory_link.h"

#include "KelvoPG_core.h"

namespace gang {

constexpr std::chrono::seconds StationFactoryLink::kHeartbeat;

StationFactoryLink::StationFactoryLink(factory::FactoryLink *link, const DownloadJob &job,
                                       std::string recipe, size_t slots)
    : link_(*link), job_(job), recipe_(std::move(recipe)), open_(slots),
      nextHeartbeat_(std::chrono::steady_clock::now() + kHeartbeat) {}

void StationFactoryLink::boardStarted(const BoardRecord &record) {
    open_[record.id.slot] =
        link_.boardStarted(factoryUnit(record.id), std::chrono::system_clock::now());
}

void StationFactoryLink::boardEnded(const BoardRecord &report) {
    using Kind = factory::cfx::BoardResult::Kind;
    Kind kind = report.result == KELVO_SUCCESS       ? Kind::Passed
                : report.result == KELVO_INTERRUPTED ? Kind::Interrupted
                                                     : Kind::Failed;
    link_.boardEnded(open_[report.id.slot], factoryResult(job_, recipe_, kind, report));
    open_[report.id.slot] = factory::BoardTransaction();
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
