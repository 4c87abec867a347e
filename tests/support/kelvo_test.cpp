#include "kelvo_test.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <poll.h>
#include <random>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kt {
namespace {

using Clock = std::chrono::steady_clock;

int removeEntry(const char *path, const struct stat *, int, struct FTW *) {
    return ::remove(path);
}

int decodeStatus(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return -1;
}

// Waits for pid until the deadline; kills it when the time is up.
int reap(int pid, Clock::time_point deadline, bool *timed_out) {
    int status = 0;
    for (;;) {
        int r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            return decodeStatus(status);
        }
        if (r < 0 && errno != EINTR) {
            return -1;
        }
        if (Clock::now() >= deadline) {
            *timed_out = true;
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return decodeStatus(status);
        }
        ::usleep(2000);
    }
}

[[noreturn]] void execChild(const std::vector<std::string> &argv, const std::string &cwd) {
    if (::chdir(cwd.c_str()) != 0) {
        ::_exit(126);
    }
    // The tests ignore SIGPIPE for their own pipes; the program starts with
    // the default, as a shell would start it.
    ::signal(SIGPIPE, SIG_DFL);
    std::vector<char *> args;
    for (const auto &a : argv) {
        args.push_back(const_cast<char *>(a.c_str()));
    }
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
}

// Moves the child's output into out/err and feeds its input until both
// pipes are closed or the deadline passes.
void pump(int out_fd, int err_fd, int in_fd, const std::string &input, RunResult &res,
          Clock::time_point deadline) {
    size_t fed = 0;
    if (input.empty() && in_fd >= 0) {
        ::close(in_fd);
        in_fd = -1;
    }
    while (out_fd >= 0 || err_fd >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd fds[3] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}, {in_fd, POLLOUT, 0}};
        if (::poll(fds, 3, static_cast<int>(left.count())) < 0 && errno != EINTR) {
            break;
        }
        int *fdp[2] = {&out_fd, &err_fd};
        std::string *dst[2] = {&res.out, &res.err};
        for (int i = 0; i < 2; ++i) {
            if (*fdp[i] < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                continue;
            }
            char buf[4096];
            ssize_t n = ::read(*fdp[i], buf, sizeof buf);
            if (n > 0) {
                dst[i]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(*fdp[i]);
                *fdp[i] = -1;
            }
        }
        if (in_fd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t n = ::write(in_fd, input.data() + fed, input.size() - fed);
            if (n > 0) {
                fed += static_cast<size_t>(n);
            }
            if (n < 0 || fed == input.size()) {
                ::close(in_fd);
                in_fd = -1;
            }
        }
    }
    for (int fd : {out_fd, err_fd, in_fd}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

} // namespace

TempDir::TempDir() {
    const char *base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kelvo-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data())) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = buf.data();
}

TempDir::~TempDir() {
    ::nftw(path_.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

namespace {

// The write end of a pipe whose read end is already closed.
int brokenPipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC)) {
        throw std::runtime_error("pipe failed");
    }
    ::close(fds[0]);
    return fds[1];
}

void setChildOutput(Output output, int captured, int broken) {
    switch (output) {
    case Output::Captured:
        ::dup2(captured, 1);
        break;
    case Output::Closed:
        ::close(1);
        break;
    case Output::BrokenPipe:
        ::dup2(broken, 1);
        break;
    }
}

RunResult spawn(const std::vector<std::string> &argv, const std::string &cwd, int timeout_ms,
                const std::string &input, Output output) {
    int out[2], err[2], in[2];
    if (::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC) || ::pipe2(in, O_CLOEXEC)) {
        throw std::runtime_error("pipe failed");
    }
    ::signal(SIGPIPE, SIG_IGN);
    int broken = output == Output::BrokenPipe ? brokenPipe() : -1;
    int pid = ::fork();
    if (pid == 0) {
        ::dup2(in[0], 0);
        setChildOutput(output, out[1], broken);
        ::dup2(err[1], 2);
        execChild(argv, cwd);
    }
    if (broken >= 0) {
        ::close(broken);
    }
    ::close(out[1]);
    ::close(err[1]);
    ::close(in[0]);
    RunResult res;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    pump(out[0], err[0], in[1], input, res, deadline);
    res.exit_code = reap(pid, deadline, &res.timed_out);
    return res;
}

} // namespace

RunResult run(const std::vector<std::string> &argv, const std::string &cwd, int timeout_ms,
              const std::string &input) {
    return spawn(argv, cwd, timeout_ms, input, Output::Captured);
}

RunResult runWithOutput(const std::vector<std::string> &argv, const std::string &cwd, Output output,
                        int timeout_ms) {
    return spawn(argv, cwd, timeout_ms, "", output);
}

RunResult runCli(const std::vector<std::string> &args, const std::string &cwd, int timeout_ms) {
    std::vector<std::string> argv{KELVO_CLI_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, cwd, timeout_ms);
}

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool fileExists(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

void writeFile(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::string randomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto &c : s) {
        c = static_cast<char>(gen() & 0xFF);
    }
    return s;
}

#ifdef KELVO_SIM_PATH
ChipSim::ChipSim(const std::string &dir, const std::vector<std::string> &args)
    : flash_(dir + "/simflash.bin"), log_(dir + "/simcommands.log") {
    int out[2];
    if (::pipe2(out, O_CLOEXEC)) {
        throw std::runtime_error("pipe failed");
    }
    std::vector<std::string> argv{KELVO_SIM_PATH, "--flash", flash_, "--log", log_};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_ = ::fork();
    if (pid_ == 0) {
        // A test that crashes must not leave its simulator holding CTest's pipes.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        ::dup2(out[1], 1);
        execChild(argv, dir);
    }
    ::close(out[1]);
    out_fd_ = out[0];
    // The first line of its output is the terminal's path.
    auto deadline = Clock::now() + std::chrono::seconds(10);
    std::string line;
    while (line.find('\n') == std::string::npos && Clock::now() < deadline) {
        pollfd p{out_fd_, POLLIN, 0};
        if (::poll(&p, 1, 100) > 0) {
            char c[256];
            ssize_t n = ::read(out_fd_, c, sizeof c);
            if (n <= 0) {
                break;
            }
            line.append(c, static_cast<size_t>(n));
        }
    }
    auto nl = line.find('\n');
    if (nl == std::string::npos) {
        stop();
        throw std::runtime_error("kelvo_chipsim did not print its terminal path");
    }
    tty_ = line.substr(0, nl);
}

ChipSim::~ChipSim() {
    stop();
}

int ChipSim::stop() {
    if (pid_ <= 0) {
        return 0;
    }
    ::kill(pid_, SIGTERM);
    bool timed_out = false;
    int code = reap(pid_, Clock::now() + std::chrono::seconds(10), &timed_out);
    pid_ = -1;
    if (out_fd_ >= 0) {
        ::close(out_fd_);
        out_fd_ = -1;
    }
    return code;
}

std::string ChipSim::flash() {
    stop();
    return readFile(flash_);
}
#endif

} // namespace kt
