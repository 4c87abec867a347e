// Helpers shared by the tests: fresh directories, running the built
// programs with a deadline, file bytes, and the chip simulator.
#pragma once

#include <string>
#include <vector>

namespace kt {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

struct RunResult {
    int exit_code = -1; // exit status, or 128 + signal number
    bool timed_out = false;
    std::string out;
    std::string err;
};

// Runs argv[0] (a path) in cwd with the given standard input; kills it
// when timeout_ms has passed.
RunResult run(const std::vector<std::string> &argv, const std::string &cwd, int timeout_ms = 60000,
              const std::string &input = "");

// Where a program's standard output goes: captured into RunResult::out,
// closed before the start, or a pipe whose reader has already gone.
enum class Output { Captured, Closed, BrokenPipe };
RunResult runWithOutput(const std::vector<std::string> &argv, const std::string &cwd, Output output,
                        int timeout_ms = 60000);

// Runs the built kelvo_pgtool_cli with these arguments in cwd.
RunResult runCli(const std::vector<std::string> &args, const std::string &cwd,
                 int timeout_ms = 60000);

std::string readFile(const std::string &path); // "" when missing
bool fileExists(const std::string &path);
void writeFile(const std::string &path, const std::string &bytes);
// n pseudo-random bytes, the same for the same seed.
std::string randomBytes(size_t n, unsigned seed);

// kelvo_chipsim running in the background on its own pseudo-terminal.
class ChipSim {
  public:
    // Starts the simulator with these extra arguments (a flash file and a
    // command log in dir are always added); waits until it printed its path.
    ChipSim(const std::string &dir, const std::vector<std::string> &args = {});
    ~ChipSim();
    ChipSim(const ChipSim &) = delete;
    ChipSim &operator=(const ChipSim &) = delete;
    const std::string &tty() const { return tty_; }
    const std::string &flashFile() const { return flash_; }
    const std::string &logFile() const { return log_; }
    // Every command line the simulator received so far, raw.
    std::string commandLog() const { return readFile(log_); }
    // Stops it (SIGTERM), which saves the flash file; returns its exit status.
    int stop();
    std::string flash(); // stops if needed, then the flash file's bytes

  private:
    int pid_ = -1;
    int out_fd_ = -1;
    std::string tty_, flash_, log_;
};

} // namespace kt
