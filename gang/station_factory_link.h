// The station's boards, told to the factory link: one transaction per
// board from its start to its end, a heartbeat every minute, and the link's
// trouble as the station's status line.
#pragma once

#include "download_job.h"
#include "factory_link.h"
#include "station.h"

#include <chrono>
#include <vector>

namespace gang {

// The unit a board is: its adapter's USB serial number, else
// <handle>/<slot>/<tag> (the slot's board count on a station, the run's
// name in a one-shot run, which has no count of its own).
cfx::Unit factoryUnit(const std::string &handle, const BoardReport &report, const std::string &tag);

// What the factory is told of a board that ended as kind.
cfx::BoardResult factoryResult(const DownloadJob &job, const std::string &recipe,
                               cfx::BoardResult::Kind kind, const BoardReport &report);

class StationFactoryLink : public StationObserver {
  public:
    StationFactoryLink(FactoryLink *link, const DownloadJob &job, std::string recipe, size_t slots);
    void boardStarted(const BoardReport &report) override;
    void boardEnded(const BoardReport &report) override;
    std::string poll() override;

    static constexpr std::chrono::seconds kHeartbeat{60};

  private:
    FactoryLink &link_;
    const DownloadJob &job_;
    std::string recipe_;
    std::vector<BoardTransaction> open_; // per slot
    std::chrono::steady_clock::time_point nextHeartbeat_;
};

} // namespace gang
