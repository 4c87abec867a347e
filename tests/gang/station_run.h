// kelvo_pgtool_gang --watch in the background for the end-to-end tests:
// its output into a file, its keys from a pipe.
#pragma once

#include "sha256_hex.h"

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace gt {

// Polls done until it holds or limit has passed.
bool waitFor(const std::function<bool()> &done, std::chrono::seconds limit);
// How often what occurs in text.
size_t count(const std::string &text, const std::string &what);

class StationRun {
  public:
    // Starts "kelvo_pgtool_gang --watch ARGS..." in dir; output into dir/outName.
    StationRun(const std::string &dir, const std::vector<std::string> &args,
               const std::string &outName = "station.out");
    ~StationRun();
    StationRun(const StationRun &) = delete;
    StationRun &operator=(const StationRun &) = delete;

    std::string output() const;
    // Waits until the output holds text n times.
    bool sawTimes(const std::string &text, size_t n, int limit = 60);
    bool saw(const std::string &text, int limit = 60) { return sawTimes(text, 1, limit); }
    void key(char c);
    void signal(int sig);
    // The exit status, or -1 when it did not end in time.
    int exitStatus(int limit = 60);

  private:
    std::string out_;
    pid_t pid_ = -1;
    int keys_ = -1;
};

} // namespace gt
