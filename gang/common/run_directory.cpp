#include "common/run_directory.h"

#include "common/safe_files.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <set>
#include <sys/stat.h>

namespace gang {
namespace {

constexpr int kMaxSameSecondRuns = 100;

std::string timestampName() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char buf[64];
    std::strftime(buf, sizeof buf, "gang-%Y%m%d-%H%M%S", &local);
    return buf;
}

bool useExisting(const std::string &dir, std::string *error) {
    struct stat st;
    if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return true;
    }
    *error = "cannot create output directory " + dir + ": " + std::strerror(EEXIST);
    return false;
}

} // namespace

bool createRunDirectory(const std::string &requested, std::string *path, std::string *error) {
    if (!requested.empty()) {
        *path = requested;
        if (::mkdir(requested.c_str(), 0755) == 0) {
            return true;
        }
        if (errno == EEXIST) {
            return useExisting(requested, error);
        }
        *error = "cannot create output directory " + requested + ": " + std::strerror(errno);
        return false;
    }
    std::string base = timestampName();
    for (int n = 1; n <= kMaxSameSecondRuns; ++n) {
        *path = n == 1 ? base : base + "-" + std::to_string(n);
        if (::mkdir(path->c_str(), 0755) == 0) {
            return true;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    *error = "cannot create output directory " + *path + ": " + std::strerror(errno);
    return false;
}

std::string freeRunDirectoryName() {
    std::string base = timestampName();
    std::string path = base;
    struct stat st;
    for (int n = 2; n <= kMaxSameSecondRuns && ::lstat(path.c_str(), &st) == 0; ++n) {
        path = base + "-" + std::to_string(n);
    }
    return path;
}

bool makeRunDirectory(const std::string &path, std::string *error) {
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
        *error = "cannot create output directory " + path + ": " + std::strerror(errno);
        return false;
    }
    // Named at the start, it may have been made since by someone else.
    return checkOwnDirectory(path, error);
}

std::vector<std::string> outputFileNames(const std::vector<std::string> &ports) {
    std::vector<std::string> names;
    std::set<std::string> taken;
    for (const std::string &port : ports) {
        std::string base = port.substr(port.find_last_of('/') + 1);
        if (base.empty() || base == "." || base == "..") {
            base = "port";
        }
        std::string name = base + ".log";
        for (int n = 2; taken.count(name); ++n) {
            name = base + "-" + std::to_string(n) + ".log";
        }
        taken.insert(name);
        names.push_back(name);
    }
    return names;
}

} // namespace gang
