// The core's operations called in one long-lived process, as the desktop
// program does: the port must be released after every failure, and a
// second transfer must not show the first one's progress.
#include "e2e_support.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace dt {
namespace {

// Runs the operation with the working directory and standard output
// moved into dir; returns its result and what it printed.
template <typename Op> int32_t runInDir(const std::string &dir, Op op, std::string *out) {
    char old[4096];
    EXPECT_NE(::getcwd(old, sizeof old), nullptr);
    EXPECT_EQ(::chdir(dir.c_str()), 0);
    std::string capture = dir + "/stdout.txt";
    std::fflush(stdout);
    int saved = ::dup(1);
    int fd = ::open(capture.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ::dup2(fd, 1);
    ::close(fd);
    int32_t result = op();
    std::fflush(stdout);
    ::dup2(saved, 1);
    ::close(saved);
    EXPECT_EQ(::chdir(old), 0);
    *out = kt::readFile(capture);
    return result;
}

// True when nobody holds the terminal: the core closed its port.
bool lineFree(const std::string &tty) {
    int fd = ::open(tty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
}

class InProcess : public DeviceTest {};

TEST_F(InProcess, SecondDownloadStartsItsProgressAfresh) {
    rec_.baudrate = 115200; // paced, so the monitor sees each transfer advance
    rec_.hash_verify = 0;
    setImage(kt::randomBytes(16 * 1024, 21));
    startSim({"--baud-model"});
    for (int round = 0; round < 2; ++round) {
        std::string out;
        EXPECT_EQ(runInDir(dir_.path(), xmodem_download_image, &out), KELVO_SUCCESS) << out;
        SplitOutput split = splitProgress(out);
        ASSERT_EQ(split.runs.size(), 1u) << out;
        expectSoundProgress(split.runs[0]);
        EXPECT_TRUE(lineFree(tty()));
    }
}

TEST_F(InProcess, PortReleasedAfterEveryFailure) {
    setImage(kt::randomBytes(3000, 22));
    struct Case {
        std::vector<std::string> simArgs;
        int32_t (*op)();
        int32_t expected;
    } cases[] = {
        {{"--no-ping"}, eraseChip, KELVO_NO_PING},
        {{"--refuse-ucfg"}, xmodem_download_image, KELVO_CONFIG_REFUSED},
        {{"--erase-extra"}, eraseChip, KELVO_ERASE_FAILED},
        {{"--fwd-crc"}, xmodem_download_image, KELVO_TRANSFER_FAILED},
        {{"--wrong-digest"}, xmodem_download_image, KELVO_TRANSFER_FAILED},
    };
    for (const Case &c : cases) {
        startSim(c.simArgs);
        std::string out;
        EXPECT_EQ(runInDir(dir_.path(), c.op, &out), c.expected) << c.simArgs[0] << "\n" << out;
        EXPECT_TRUE(lineFree(tty())) << c.simArgs[0];
        sim_.reset();
    }
}

} // namespace
} // namespace dt
