// The traceability log: one CSV line per board, appended so that stations
// sharing the file never interleave their lines.
#pragma once

#include <string>
#include <vector>

namespace gang {

// Fields joined by commas; a field with a comma, a quote, CR or LF is
// quoted, its quotes doubled. Ends with CR LF.
std::string csvLine(const std::vector<std::string> &fields);

class CsvLog {
  public:
    CsvLog() = default;
    ~CsvLog();
    CsvLog(const CsvLog &) = delete;
    CsvLog &operator=(const CsvLog &) = delete;

    // Opens (creates) the file for appending and writes the header when
    // the file is empty.
    bool open(const std::string &path, const std::vector<std::string> &header, std::string *error);
    bool isOpen() const { return fd_ >= 0; }
    // One write() of the whole line.
    bool append(const std::vector<std::string> &fields, std::string *error);
    // fsync, then close.
    bool close(std::string *error);

  private:
    bool writeLine(const std::string &line, std::string *error);
    int fd_ = -1;
    std::string path_;
};

} // namespace gang
