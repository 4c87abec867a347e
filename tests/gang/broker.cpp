#include "broker.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kt {
namespace {

using Clock = std::chrono::steady_clock;

const char *const kServer = "/usr/lib/rabbitmq/bin/rabbitmq-server";
const char *const kEpmd = "/usr/bin/epmd";
constexpr auto kStartTimeout = std::chrono::seconds(90);
constexpr auto kStopTimeout = std::chrono::seconds(30);

// Ports the kernel hands out now, all held at once so that they differ.
bool freePorts(int count, std::vector<int> *ports) {
    std::vector<int> fds;
    for (int i = 0; i < count; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
            break;
        }
        fds.push_back(fd);
        ports->push_back(ntohs(addr.sin_port));
    }
    for (int fd : fds) {
        ::close(fd);
    }
    return static_cast<int>(ports->size()) == count;
}

bool accepts(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

uid_t brokerUid = 0;
gid_t brokerGid = 0;

int chownEntry(const char *path, const struct stat *, int, struct FTW *) {
    return ::lchown(path, brokerUid, brokerGid);
}

// The child's side: the broker's user when we are root, a parent-death
// signal (set after the user change, which clears it), output to a file.
[[noreturn]] void execAs(bool switchUser, const std::string &dir,
                         const std::vector<std::string> &argv, const std::vector<std::string> &env,
                         const std::string &out) {
    if (switchUser &&
        (::setgroups(0, nullptr) != 0 || ::setgid(brokerGid) != 0 || ::setuid(brokerUid) != 0)) {
        ::_exit(126);
    }
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    int null = ::open("/dev/null", O_RDONLY);
    if (::chdir(dir.c_str()) != 0 || fd < 0 || null < 0) {
        ::_exit(126);
    }
    ::dup2(null, 0);
    ::dup2(fd, 1);
    ::dup2(fd, 2);
    std::vector<char *> args, envp;
    for (const std::string &a : argv) {
        args.push_back(const_cast<char *>(a.c_str()));
    }
    for (const std::string &e : env) {
        envp.push_back(const_cast<char *>(e.c_str()));
    }
    args.push_back(nullptr);
    envp.push_back(nullptr);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
}

void endProcess(pid_t *pid, int sig, std::chrono::seconds patience) {
    if (*pid <= 0) {
        return;
    }
    ::kill(*pid, sig);
    auto deadline = Clock::now() + patience;
    int status;
    while (::waitpid(*pid, &status, WNOHANG) == 0) {
        if (Clock::now() >= deadline) {
            ::kill(*pid, SIGKILL);
            ::waitpid(*pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    *pid = -1;
}

} // namespace

Broker::~Broker() {
    stop();
    endProcess(&epmdPid_, SIGTERM, std::chrono::seconds(5));
}

bool Broker::prepare(std::string *error) {
    std::vector<int> ports;
    if (!freePorts(3, &ports)) {
        *error = "no free local ports for the broker";
        return false;
    }
    port_ = ports[0];
    distPort_ = ports[1];
    epmdPort_ = ports[2];
    writeFile(dir_.file("enabled_plugins"), "[rabbitmq_amqp1_0].\n");
    // Only logins with a password: a wrong one must fail, not fall back to
    // the anonymous guest that the plugin allows by default.
    writeFile(dir_.file("rabbitmq.conf"),
              "listeners.tcp.default = 127.0.0.1:" + std::to_string(port_) +
                  "\nloopback_users = none\ndisk_free_limit.absolute = 1MB\n"
                  "amqp1_0.default_user = none\n");
    writeFile(dir_.file("rabbitmq-env.conf"), "");
    if (::geteuid() == 0) {
        passwd *user = ::getpwnam("rabbitmq");
        if (user == nullptr) {
            *error = "no rabbitmq user: is the rabbitmq-server package installed?";
            return false;
        }
        brokerUid = user->pw_uid;
        brokerGid = user->pw_gid;
        ::nftw(dir_.path().c_str(), chownEntry, 16, FTW_PHYS);
    }
    std::vector<std::string> epmd{kEpmd, "-port", std::to_string(epmdPort_), "-address",
                                  "127.0.0.1"};
    epmdPid_ = ::fork();
    if (epmdPid_ == 0) {
        execAs(false, dir_.path(), epmd, {"PATH=/usr/bin:/bin"}, dir_.file("epmd.out"));
    }
    prepared_ = true;
    return true;
}

bool Broker::start(std::string *error) {
    if (::access(kServer, X_OK) != 0 || ::access(kEpmd, X_OK) != 0) {
        *error = std::string(kServer) + " or " + kEpmd +
                 " missing: install rabbitmq-server (scripts/lib/deps.sh)";
        return false;
    }
    if (!prepared_ && !prepare(error)) {
        return false;
    }
    const std::string &d = dir_.path();
    std::vector<std::string> env{
        "PATH=/usr/bin:/bin:/usr/sbin:/sbin",
        "HOME=" + d,
        "LANG=C.UTF-8",
        "RUNNING_UNDER_SYSTEMD=1", // the script then runs the VM in its own process
        "ERL_EPMD_PORT=" + std::to_string(epmdPort_),
        "RABBITMQ_NODENAME=kelvo-test-" + std::to_string(::getpid()) + "@localhost",
        "RABBITMQ_NODE_IP_ADDRESS=127.0.0.1",
        "RABBITMQ_NODE_PORT=" + std::to_string(port_),
        "RABBITMQ_DIST_PORT=" + std::to_string(distPort_),
        "RABBITMQ_MNESIA_BASE=" + d + "/mnesia",
        "RABBITMQ_LOG_BASE=" + d + "/log",
        "RABBITMQ_CONFIG_FILE=" + d + "/rabbitmq.conf",
        "RABBITMQ_ADVANCED_CONFIG_FILE=" + d + "/advanced.config",
        "RABBITMQ_CONF_ENV_FILE=" + d + "/rabbitmq-env.conf",
        "RABBITMQ_ENABLED_PLUGINS_FILE=" + d + "/enabled_plugins",
        "RABBITMQ_PID_FILE=" + d + "/rabbitmq.pid"};
    pid_ = ::fork();
    if (pid_ == 0) {
        execAs(::geteuid() == 0, d, {kServer}, env, dir_.file("server.out"));
    }
    if (pid_ < 0) {
        *error = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    return waitReady(error);
}

bool Broker::waitReady(std::string *error) {
    auto deadline = Clock::now() + kStartTimeout;
    while (Clock::now() < deadline) {
        int status;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            *error = "the broker ended while starting:\n" + tail();
            return false;
        }
        if (accepts(port_)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    *error = "the broker did not take connections within 90 s:\n" + tail();
    stop();
    return false;
}

std::string Broker::tail() const {
    std::string text = readFile(dir_.file("server.out"));
    return text.size() > 3000 ? text.substr(text.size() - 3000) : text;
}

void Broker::stop() {
    endProcess(&pid_, SIGTERM, kStopTimeout);
}

void Broker::kill() {
    endProcess(&pid_, SIGKILL, kStopTimeout);
}

std::string Broker::url(const std::string &queue, const std::string &password) const {
    return "amqp://guest:" + password + "@127.0.0.1:" + std::to_string(port_) + "/queue/" + queue;
}

} // namespace kt
