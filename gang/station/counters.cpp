#include "station/counters.h"

#include <algorithm>
#include <cstdio>

namespace gang {
namespace {

constexpr std::chrono::minutes kRateWindow{15};
// Below this, a rate says more about one board's timing than about the line.
constexpr std::chrono::seconds kShortestWindow{60};

} // namespace

void Counters::record(bool passed, Time when) {
    if (passed) {
        ++passed_;
        streak_ = 0;
    } else {
        ++failed_;
        ++streak_;
    }
    recent_.push_back(when);
    while (!recent_.empty() && recent_.front() <= when - kRateWindow) {
        recent_.pop_front();
    }
}

double Counters::yieldPercent() const {
    return boards() == 0 ? -1 : 100.0 * passed_ / boards();
}

double Counters::perHour(Time now) const {
    Time from = now - kRateWindow;
    size_t count = 0;
    for (auto it = recent_.rbegin(); it != recent_.rend() && *it > from; ++it) {
        ++count;
    }
    auto window = std::min<std::chrono::steady_clock::duration>(kRateWindow, now - start_);
    window = std::max<std::chrono::steady_clock::duration>(window, kShortestWindow);
    return count * 3600.0 / std::chrono::duration<double>(window).count();
}

std::string countersText(const Counters &counters, Counters::Time now) {
    char text[128];
    double yield = counters.yieldPercent();
    char yieldText[16] = "-";
    if (yield >= 0) {
        std::snprintf(yieldText, sizeof yieldText, "%.1f %%", yield);
    }
    std::snprintf(text, sizeof text, "%d passed, %d failed, yield %s, %.0f boards/h",
                  counters.passed(), counters.failed(), yieldText, counters.perHour(now));
    return text;
}

} // namespace gang
