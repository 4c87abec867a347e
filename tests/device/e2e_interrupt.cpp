// Stopping a device operation: a signal in the middle of a transfer
// cancels it on the line, the next download goes through at once, and a
// download beside another reader of the terminal stays within its bounds.
#include "e2e_support.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace dt {
namespace {

using Clock = std::chrono::steady_clock;

// The command-line program in the background, its output in a file.
class BackgroundCli {
  public:
    // prefix: a command that runs the program (setpriv and its options).
    BackgroundCli(const std::vector<std::string> &args, const std::string &cwd,
                  const std::vector<std::string> &prefix = {})
        : out_(cwd + "/cli.out") {
        pid_ = fork();
        if (pid_ == 0) {
            int fd = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || chdir(cwd.c_str()) != 0) {
                _exit(126);
            }
            dup2(fd, 1);
            dup2(fd, 2);
            std::vector<char *> argv;
            for (const auto &p : prefix) {
                argv.push_back(const_cast<char *>(p.c_str()));
            }
            argv.push_back(const_cast<char *>(KELVO_CLI_PATH));
            for (const auto &a : args) {
                argv.push_back(const_cast<char *>(a.c_str()));
            }
            argv.push_back(nullptr);
            ::signal(SIGINT, SIG_DFL);
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~BackgroundCli() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    std::string output() const { return kt::readFile(out_); }
    // True once the output holds text, within timeout_ms.
    bool waitForOutput(const std::string &text, int timeout_ms) const {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (Clock::now() < deadline) {
            if (output().find(text) != std::string::npos) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    void sendSignal(int sig) const { kill(pid_, sig); }
    // Exit status (128 + signal when killed), or -1 after timeout_ms.
    int wait(int timeout_ms) {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (Clock::now() > deadline) {
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

  private:
    std::string out_;
    pid_t pid_ = -1;
};

class Interrupt : public DeviceTest, public ::testing::WithParamInterface<int> {
  protected:
    void SetUp() override {
        // Paced at 115200 baud, 128 KiB take about 11 s on the wire: time
        // enough to be caught in the middle.
        startSim({"--baud-model", "--events", path("events.log")});
        rec_.baudrate = 115200;
        setImage(kt::randomBytes(128 * 1024, 21));
    }
    // The simulator notes a transfer's end a moment after the host left.
    bool eventLogged(const std::string &text) {
        auto deadline = Clock::now() + std::chrono::seconds(10);
        while (kt::readFile(path("events.log")).find(text) == std::string::npos) {
            if (Clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }
};

TEST_P(Interrupt, TransferIsCancelledAndTheNextDownloadGoesThrough) {
    int sig = GetParam();
    {
        BackgroundCli run({"-download"}, dir_.path());
        ASSERT_TRUE(run.waitForOutput("Downloading ---- ", 60000)) << run.output();
        run.sendSignal(sig);
        EXPECT_EQ(run.wait(30000), 128 + sig);
        std::string out = run.output();
        EXPECT_EQ(out.substr(out.size() - 23), "\nOperation interrupted\n") << out;
        EXPECT_EQ(out.find("Xmodem transmit error"), std::string::npos) << out;
    }
    EXPECT_TRUE(eventLogged("xmodem cancelled ")) << kt::readFile(path("events.log"));

    // The chip is back at its commands: no wait for its own time-out.
    std::string image = kt::randomBytes(2048, 22);
    setImage(image);
    kt::RunResult next = cli({"-download"}, 60000);
    EXPECT_EQ(next.exit_code, 0) << next.out;
    EXPECT_TRUE(eventLogged("\nxmodem completed 2048 bytes"));
    EXPECT_TRUE(flash().substr(0, 2048) == image);
}

// A host killed outright cannot clear the exclusive mode it set on the
// terminal; the simulator must, or every later host without CAP_SYS_ADMIN
// finds the port busy. Run as such a host (root drops the capability).
TEST_F(Interrupt, HostKilledMidTransferLeavesThePortUsable) {
    std::vector<std::string> noAdmin;
    if (::geteuid() == 0) {
        noAdmin = {"/usr/bin/setpriv", "--inh-caps=-sys_admin", "--bounding-set=-sys_admin", "--"};
    }
    {
        BackgroundCli run({"-download"}, dir_.path(), noAdmin);
        ASSERT_TRUE(run.waitForOutput("Downloading ---- ", 60000)) << run.output();
        run.sendSignal(SIGKILL);
        EXPECT_EQ(run.wait(30000), 128 + SIGKILL);
    }
    EXPECT_TRUE(eventLogged("xmodem abandoned ")) << kt::readFile(path("events.log"));

    std::string image = kt::randomBytes(2048, 23);
    setImage(image);
    std::vector<std::string> next = noAdmin;
    next.insert(next.end(), {KELVO_CLI_PATH, "-download"});
    kt::RunResult r = kt::run(next, dir_.path(), 60000);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_TRUE(eventLogged("\nxmodem completed 2048 bytes"));
    EXPECT_TRUE(flash().substr(0, 2048) == image);
}

INSTANTIATE_TEST_SUITE_P(Signals, Interrupt, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const ::testing::TestParamInfo<int> &info) {
                             return std::string(sigabbrev_np(info.param));
                         });

// A process reading the terminal takes replies away from the download: it
// fails or succeeds, but within its own bounds.
TEST_F(DeviceTest, DownloadBesideAnotherReaderEnds) {
    startSim();
    setImage(kt::randomBytes(8192, 23));
    pid_t reader = fork();
    if (reader == 0) {
        int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, 1);
        execl("/bin/cat", "cat", tty().c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    kt::RunResult r = cli({"-download"}, 180000);
    kill(reader, SIGKILL);
    waitpid(reader, nullptr, 0);
    EXPECT_TRUE(r.exit_code == 0 || r.exit_code == 1) << r.exit_code << r.out;
}

} // namespace
} // namespace dt
