// Messages on their way to the broker, kept on disk: one file per message,
// synced before the sender hears of it, named by a number that gives the
// order of arrival, and removed only once the broker has accepted it. A
// message the broker refuses is moved to rejected/ with the reason beside
// it. One station at a time owns a spool (a lock on its directory).
#pragma once

#include <cstdint>
#include <mutex>
#include <set>
#include <string>

namespace factory {

class Spool {
  public:
    Spool() = default;
    ~Spool();
    Spool(const Spool &) = delete;
    Spool &operator=(const Spool &) = delete;

    // Creates dir when missing, takes its lock and finds what an earlier
    // run left; false with error when it cannot, or another station holds it.
    bool open(const std::string &dir, std::string *error);
    const std::string &dir() const { return dir_; }

    // Writes text as the newest message, synced to disk.
    bool append(const std::string &text, std::string *error);
    // The oldest message after number `after`; false when there is none.
    bool next(uint64_t after, uint64_t *number, std::string *text);
    // Forgets an accepted message.
    void remove(uint64_t number);
    // Moves a refused message to rejected/ with a file holding why; returns
    // its new path.
    std::string setAside(uint64_t number, const std::string &why);
    size_t size() const;

  private:
    std::string pathOf(uint64_t number) const;
    bool scan(std::string *error);

    std::string dir_;
    int lockFd_ = -1;
    int dirFd_ = -1;
    uint64_t last_ = 0;
    std::set<uint64_t> numbers_;
    mutable std::mutex mutex_; // the station appends while the sender reads
};

} // namespace factory
