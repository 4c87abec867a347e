// What a slot, or the whole station, has done: passes, failures, yield,
// boards per hour over the last quarter of an hour, and the alarm after
// failures in a row.
#pragma once

#include <chrono>
#include <deque>
#include <string>

namespace gang {

class Counters {
  public:
    using Time = std::chrono::steady_clock::time_point;
    // A slot that fails this many boards in a row wants its fixture checked.
    static constexpr int kAlarmStreak = 3;

    explicit Counters(Time start) : start_(start) {}
    void record(bool passed, Time when);
    Time start() const { return start_; }

    int passed() const { return passed_; }
    int failed() const { return failed_; }
    int boards() const { return passed_ + failed_; }
    // Passed in % of the boards finished; -1 before the first.
    double yieldPercent() const;
    // Boards finished (passed or failed) in the last 15 minutes, per hour;
    // over the time since the start while that is shorter.
    double perHour(Time now) const;
    bool alarm() const { return streak_ >= kAlarmStreak; }

  private:
    Time start_;
    int passed_ = 0;
    int failed_ = 0;
    int streak_ = 0; // failures since the last pass
    std::deque<Time> recent_;
};

// "12 passed, 1 failed, yield 92.3 %, 276 boards/h".
std::string countersText(const Counters &counters, Counters::Time now);

} // namespace gang
