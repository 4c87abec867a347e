// Replacing the settings files and "flash.bin": nothing left behind by a
// killed or interrupted command, the directory synced after the rename, and
// only regular files replaced.
#include "cli_test_util.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <regex>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace ct {
namespace {

// The command-line program started in the background, output discarded.
pid_t startCli(const std::vector<std::string> &args, const std::string &cwd) {
    std::vector<std::string> words{KELVO_CLI_PATH};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &w : words) {
        argv.push_back(&w[0]);
    }
    argv.push_back(nullptr);
    // These runs are killed on purpose, some inside the exit-time leak
    // check, whose tracer then leaves a report that means nothing.
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "ASAN_OPTIONS=", 13) != 0) {
            env.emplace_back(*e);
        }
    }
    const char *asan = std::getenv("ASAN_OPTIONS");
    env.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":detect_leaks=0");
    std::vector<char *> envp;
    for (std::string &e : env) {
        envp.push_back(&e[0]);
    }
    envp.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        int null = ::open("/dev/null", O_RDWR);
        if (::chdir(cwd.c_str()) != 0 || null < 0 || ::dup2(null, 1) < 0 || ::dup2(null, 2) < 0) {
            ::_exit(127);
        }
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    return pid;
}

// Exit status, or 1000 + signal for a process killed by a signal.
int waitFor(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

// The directory as the program names it (links resolved), as a regex.
std::string realDirPattern(const std::string &path) {
    char real[PATH_MAX];
    std::string resolved = ::realpath(path.c_str(), real) ? real : path;
    return std::regex_replace(resolved, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

// The leak check of a sanitized build cannot run under a tracer; the
// other sanitizer settings stay.
std::string noLeakCheckUnderTrace() {
    const char *asan = std::getenv("ASAN_OPTIONS");
    return std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":detect_leaks=0";
}

bool hasPrefix(const std::string &s, const std::string &prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

class FileReplace : public CliTest {
  protected:
    bool anyNamed(const std::string &prefix) const {
        for (const std::string &name : listing()) {
            if (hasPrefix(name, prefix)) {
                return true;
            }
        }
        return false;
    }
    // A composition that writes 128 MiB of erased flash between two files.
    void largeComposition() {
        kt::writeFile(dir.file("a.bin"), "first");
        kt::writeFile(dir.file("b.bin"), "last");
        ASSERT_EQ(cli({"-set", "generate_bin", "1", "a.bin", "0x0"}).exit_code, 0);
        ASSERT_EQ(cli({"-set", "generate_bin", "2", "b.bin", "0x8000000"}).exit_code, 0);
    }
};

TEST_F(FileReplace, KilledSettersLeaveOnlyTheSettingsFilesAfterOneCompletes) {
    ASSERT_EQ(cli({"-set", "baudrate", "1"}).exit_code, 0);
    std::mt19937 rng(20261207);
    const int kRounds = 30, kParallel = 4;
    for (int round = 0; round < kRounds; ++round) {
        pid_t pids[kParallel];
        for (pid_t &pid : pids) {
            pid = startCli({"-set", "baudrate", std::to_string(rng() % 100000)}, dir.path());
            ASSERT_GT(pid, 0);
        }
        for (pid_t pid : pids) {
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 30000));
            ::kill(pid, SIGKILL);
        }
        for (pid_t pid : pids) {
            waitFor(pid);
        }
    }
    ASSERT_EQ(cli({"-set", "baudrate", "115200"}).exit_code, 0);
    EXPECT_EQ(listing(), (std::vector<std::string>{"generate.dat", "record.dat"}));
    std::string expected = defaultRecord();
    putInt(expected, 104, 115200);
    EXPECT_TRUE(sameBytes(record(), expected));
}

// Whether a temporary file is abandoned is told by its writer's lock, not
// by the pid in its name: that pid may be alive again as another process.
TEST_F(FileReplace, SaveRemovesOnlyUnlockedTemporaryFilesOfTheSameFile) {
    ASSERT_EQ(cli({"-set", "baudrate", "1"}).exit_code, 0);
    std::string self = std::to_string(::getpid());
    std::string live = "record.dat.tmp." + self + ".1";
    kt::writeFile(dir.file(live), "being written");
    int liveFd = ::open(dir.file(live).c_str(), O_RDONLY);
    ASSERT_GE(liveFd, 0);
    ASSERT_EQ(::flock(liveFd, LOCK_EX), 0);
    kt::writeFile(dir.file("record.dat.tmp." + self + ".0"), "abandoned, pid reused");
    kt::writeFile(dir.file("record.dat.tmp.2147483647.9"), "abandoned");
    const std::vector<std::string> kept{"generate.dat.tmp.1.2", "record.dat.tmp.1.2.bak",
                                        "record.dat.tmp.1.x", "record.dat.tmp.1."};
    for (const std::string &name : kept) {
        kt::writeFile(dir.file(name), "not ours");
    }
    ASSERT_EQ(::mkfifo(dir.file("record.dat.tmp.3.3").c_str(), 0644), 0);

    ASSERT_EQ(cli({"-set", "baudrate", "115200"}).exit_code, 0);
    std::vector<std::string> expected = kept;
    expected.insert(expected.end(), {"generate.dat", "record.dat", "record.dat.tmp.3.3", live});
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listing(), expected);
    EXPECT_EQ(kt::readFile(dir.file(live)), "being written");
    ::close(liveFd);
}

TEST_F(FileReplace, SignalDuringGenerateRemovesTheTemporaryFileAndKeepsTheOldImage) {
    largeComposition();
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        kt::writeFile(dir.file("flash.bin"), "old image");
        pid_t pid = startCli({"-generate"}, dir.path());
        ASSERT_GT(pid, 0);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!anyNamed("flash.bin.tmp.") && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        ASSERT_TRUE(anyNamed("flash.bin.tmp.")) << "no temporary file seen";
        ::kill(pid, sig);
        EXPECT_EQ(waitFor(pid), 128 + sig);
        EXPECT_FALSE(anyNamed("flash.bin.tmp.")) << "signal " << sig;
        EXPECT_EQ(kt::readFile(dir.file("flash.bin")), "old image") << "signal " << sig;
    }
}

// Only strace shows the sync of the directory, the one thing that makes
// the rename survive a power loss.
TEST_F(FileReplace, DirectoryIsSyncedAfterEachRename) {
    if (std::system("strace -V >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "strace is not available";
    }
    kt::writeFile(dir.file("a.bin"), "image");
    ASSERT_EQ(cli({"-set", "generate_bin", "1", "a.bin", "0x0"}).exit_code, 0);
    for (const auto &command :
         std::vector<std::vector<std::string>>{{"-set", "baudrate", "9600"}, {"-generate"}}) {
        std::string trace = dir.file("trace.txt");
        std::vector<std::string> argv{
            "/usr/bin/env", noLeakCheckUnderTrace(),
            "strace",       "-qq",
            "-o",           trace,
            "-e",           "trace=rename,renameat,renameat2,openat,fsync",
            KELVO_CLI_PATH};
        argv.insert(argv.end(), command.begin(), command.end());
        kt::RunResult r = kt::run(argv, dir.path());
        ASSERT_EQ(r.exit_code, 0) << r.err;
        std::string text = kt::readFile(trace);
        ::unlink(trace.c_str());
        std::smatch m;
        std::regex synced("rename[a-z0-9]*\\([^\\n]*\\.tmp\\.[0-9.]+\", [^\\n]*\\) = 0\\n"
                          "(?:[^\\n]*\\n)*?openat\\(AT_FDCWD, \"(?:" +
                          realDirPattern(dir.path()) +
                          "|\\.)\", O_RDONLY\\|[A-Z_|]*O_DIRECTORY[^\\n]* = ([0-9]+)\\n" +
                          "fsync\\(([0-9]+)\\) += 0\\n");
        ASSERT_TRUE(std::regex_search(text, m, synced)) << command[0] << "\n" << text;
        EXPECT_EQ(m[1], m[2]);
    }
}

struct NotRegular {
    const char *what;
    void (*make)(const kt::TempDir &dir);
    mode_t kept; // type of what stands at the name afterwards
};

TEST_F(FileReplace, FlashBinThatIsNotARegularFileIsRefusedAndLeftAsItIs) {
    kt::writeFile(dir.file("a.bin"), "image");
    ASSERT_EQ(cli({"-set", "generate_bin", "1", "a.bin", "0x0"}).exit_code, 0);
    const NotRegular cases[] = {
        {"link to a pipe",
         [](const kt::TempDir &d) {
             ::mkfifo(d.file("pipe").c_str(), 0644);
             ::symlink("pipe", d.file("flash.bin").c_str());
         },
         S_IFLNK},
        {"link to a device",
         [](const kt::TempDir &d) { ::symlink("/dev/null", d.file("flash.bin").c_str()); },
         S_IFLNK},
        {"pipe", [](const kt::TempDir &d) { ::mkfifo(d.file("flash.bin").c_str(), 0644); },
         S_IFIFO},
        {"directory", [](const kt::TempDir &d) { ::mkdir(d.file("flash.bin").c_str(), 0755); },
         S_IFDIR},
    };
    for (const NotRegular &c : cases) {
        c.make(dir);
        kt::RunResult r = cli({"-generate"});
        EXPECT_EQ(r.out, "Beginning generate...\n"
                         "error in opening file : not a regular file\n"
                         "generate bin failed.\r\n")
            << c.what;
        EXPECT_EQ(r.exit_code, 1) << c.what;
        struct stat st;
        ASSERT_EQ(::lstat(dir.file("flash.bin").c_str(), &st), 0) << c.what;
        EXPECT_EQ(st.st_mode & S_IFMT, c.kept) << c.what;
        EXPECT_FALSE(anyNamed("flash.bin.tmp.")) << c.what;
        std::system(("rm -rf '" + dir.file("flash.bin") + "' '" + dir.file("pipe") + "'").c_str());
    }
    // A link to a regular file is still followed.
    kt::writeFile(dir.file("real.bin"), "old image");
    ASSERT_EQ(::symlink("real.bin", dir.file("flash.bin").c_str()), 0);
    EXPECT_EQ(cli({"-generate"}).exit_code, 0);
    EXPECT_EQ(kt::readFile(dir.file("real.bin")), "image");
}

// Root running a setter or "-generate" on someone else's files: each file
// keeps its owner, group and mode, or that user's next setter is refused.
TEST_F(FileReplace, ReplacedFilesKeepOwnerGroupAndModeUnderRoot) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root: only root can give a file to another user";
    }
    kt::writeFile(dir.file("a.bin"), "image");
    ASSERT_EQ(cli({"-set", "generate_bin", "1", "a.bin", "0x0"}).exit_code, 0);
    ASSERT_EQ(cli({"-generate"}).exit_code, 0);
    const uid_t owner = 4321;
    const gid_t group = 8765;
    const struct {
        const char *file;
        std::vector<std::string> command;
    } cases[] = {
        {"record.dat", {"-set", "baudrate", "9600"}},
        {"generate.dat", {"-set", "generate_bin", "2", "a.bin", "0x1000"}},
        {"flash.bin", {"-generate"}},
    };
    for (const auto &c : cases) {
        std::string path = dir.file(c.file);
        ASSERT_EQ(::chown(path.c_str(), owner, group), 0) << c.file;
        ASSERT_EQ(::chmod(path.c_str(), 0640), 0) << c.file;
        ASSERT_EQ(cli(c.command).exit_code, 0) << c.file;
        struct stat st;
        ASSERT_EQ(::stat(path.c_str(), &st), 0) << c.file;
        EXPECT_EQ(st.st_uid, owner) << c.file;
        EXPECT_EQ(st.st_gid, group) << c.file;
        EXPECT_EQ(st.st_mode & 07777, 0640u) << c.file;
    }
}

} // namespace
} // namespace ct
