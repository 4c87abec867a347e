#include "common/ports.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

namespace gang {
namespace {

bool isAdapterName(const char *name) {
    return std::strncmp(name, "ttyUSB", 6) == 0 || std::strncmp(name, "ttyACM", 6) == 0;
}

bool checkOnePort(const std::string &port, std::string *resolved, std::string *error) {
    struct stat st;
    if (::stat(port.c_str(), &st) != 0) {
        *error = port + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISCHR(st.st_mode)) {
        *error = port + ": not a serial port (not a character device)";
        return false;
    }
    char buf[PATH_MAX];
    if (::realpath(port.c_str(), buf) == nullptr) {
        *error = port + ": " + std::strerror(errno);
        return false;
    }
    *resolved = buf;
    return true;
}

} // namespace

bool listAdapterPorts(const std::string &ttyClassDir, std::vector<std::string> *ports,
                      std::string *error) {
    DIR *dir = ::opendir(ttyClassDir.c_str());
    if (dir == nullptr) {
        *error = "cannot list " + ttyClassDir + ": " + std::strerror(errno);
        return false;
    }
    ports->clear();
    while (const dirent *entry = ::readdir(dir)) {
        if (isAdapterName(entry->d_name)) {
            ports->push_back(std::string("/dev/") + entry->d_name);
        }
    }
    ::closedir(dir);
    std::sort(ports->begin(), ports->end());
    return true;
}

bool checkPorts(const std::vector<std::string> &ports, std::vector<std::string> *resolved,
                std::string *error) {
    resolved->clear();
    for (const std::string &port : ports) {
        std::string target;
        if (!checkOnePort(port, &target, error)) {
            return false;
        }
        auto same = std::find(resolved->begin(), resolved->end(), target);
        if (same != resolved->end()) {
            const std::string &first = ports[static_cast<size_t>(same - resolved->begin())];
            *error = "the same port twice: " + first + " and " + port + " are " + target;
            return false;
        }
        resolved->push_back(target);
    }
    return true;
}

} // namespace gang
