// The station's boards, told to the factory link: one transaction per
// board from its start to its end, a heartbeat every minute, and the link's
// trouble as the station's status line.
#pragma once

#include "common/download_job.h"
#include "common/factory_report.h"
#include "station/station.h"

#include <chrono>
#include <vector>

namespace gang {

class StationFactoryLink : public StationObserver {
  public:
    StationFactoryLink(factory::FactoryLink *link, const DownloadJob &job, std::string recipe,
                       size_t slots);
    void boardStarted(const BoardRecord &record) override;
    void boardEnded(const BoardRecord &record) override;
    std::string poll() override;

    static constexpr std::chrono::seconds kHeartbeat{60};

  private:
    factory::FactoryLink &link_;
    const DownloadJob &job_;
    std::string recipe_;
    std::vector<factory::BoardTransaction> open_; // per slot
    std::chrono::steady_clock::time_point nextHeartbeat_;
};

} // namespace gang
