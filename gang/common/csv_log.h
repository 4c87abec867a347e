// The traceability log: one CSV line per board, appended so that stations
// sharing the file never interleave their lines.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace gang {

// Fields joined by commas; a field with a comma, a quote, CR or LF is
// quoted, its quotes doubled. Ends with CR LF.
std::string csvLine(const std::vector<std::string> &fields);

struct CsvColumn {
    CsvColumn(const char *columnName, bool isNumeric = false)
        : name(columnName), numeric(isNumeric) {}
    std::string name;
    // Numbers are written as they are; text that a spreadsheet would take
    // for a formula gets a leading single quote.
    bool numeric = false;
};

// A row of the columns: as csvLine, except that a text field starting with
// '=', '+', '-', '@', a tab or a CR is quoted with a ' in front, so that a
// spreadsheet shows it instead of running it.
std::string csvRow(const std::vector<CsvColumn> &columns, const std::vector<std::string> &fields);

class CsvLog {
  public:
    CsvLog() = default;
    ~CsvLog();
    CsvLog(const CsvLog &) = delete;
    CsvLog &operator=(const CsvLog &) = delete;

    // Opens (creates) a regular file for appending and writes the header
    // when the file is empty; refuses anything else (a FIFO, a device), and
    // a file whose first line is not this header.
    bool open(const std::string &path, const std::vector<CsvColumn> &columns, std::string *error);
    bool isOpen() const { return fd_ >= 0; }
    // One write() of the whole row, after a line end when the file does not
    // end with one; a row cut short is removed again.
    bool append(const std::vector<std::string> &fields, std::string *error);
    // fsync, then close.
    bool close(std::string *error);

  private:
    bool checkHeader(off_t size, std::string *error);
    std::string headerLine() const;
    bool writeLine(const std::string &line, bool locked, std::string *error);
    int fd_ = -1;
    std::string path_;
    std::vector<CsvColumn> columns_;
};

} // namespace gang
