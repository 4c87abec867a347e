// The raw record of every command line the simulator received.
#pragma once

#include <string>

namespace sim {

class CommandLog {
  public:
    CommandLog() = default;
    ~CommandLog();
    CommandLog(const CommandLog &) = delete;
    CommandLog &operator=(const CommandLog &) = delete;

    // An empty path keeps no log.
    bool open(const std::string &path, std::string &error);
    // Appends the bytes at once (no buffering), so readers see them immediately.
    bool append(const std::string &bytes);

  private:
    int fd_ = -1;
};

} // namespace sim
