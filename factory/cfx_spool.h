// Messages on their way to the broker, kept on disk: one file per message,
// synced before the sender hears of it, named by a number that gives the
// order of arrival, and removed only once the broker has accepted it. A
// message the broker refuses is moved to rejected/ with the reason beside
// it, under a name never used there before. One station at a time owns a
// spool (a lock on its directory).
//
// Numbers only increase, across runs too, so that a number names one
// message for good: the spool reserves them in blocks, writing the end of
// the block in use to the file "numbers" before it uses the first of them.
// A run starts after the reserved block of the one before (one write per
// block, not per message).
//
// Every file is created new (O_EXCL) and no name in the spool is followed
// as a symbolic link, so nothing planted there is overwritten or read.
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

    // Writes text as the newest message, synced to disk; its number in
    // *number when given.
    bool append(const std::string &text, std::string *error, uint64_t *number = nullptr);
    // The oldest message after number `after`; false when there is none.
    bool next(uint64_t after, uint64_t *number, std::string *text);
    // Forgets an accepted message.
    void remove(uint64_t number);
    // Moves a refused message to rejected/ with a file holding why; returns
    // its new path.
    std::string setAside(uint64_t number, const std::string &why);
    size_t size() const;

  private:
    bool openDirectories(const std::string &dir, std::string *error);
    bool scan(std::string *error);
    bool readReserved(std::string *error);
    bool reserveNumbers(std::string *error);
    int readMessage(uint64_t number) const;
    std::string asideName(uint64_t number, const std::string &why);

    std::string dir_;
    int lockFd_ = -1;
    int dirFd_ = -1;
    int rejectedFd_ = -1;
    uint64_t last_ = 0;     // the last number used
    uint64_t reserved_ = 0; // the end of the block of numbers written down
    std::set<uint64_t> numbers_;
    mutable std::mutex mutex_; // the station appends while the sender reads
};

} // namespace factory
