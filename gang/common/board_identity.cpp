#include "common/board_identity.h"

#include "common/run_directory.h"
#include "common/safe_files.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace gang {
namespace {

std::string resolvedNow(const std::string &port) {
    char buf[PATH_MAX];
    return ::realpath(port.c_str(), buf) ? std::string(buf) : port;
}

std::string logFileOf(const IdentityContext &context, size_t slot, int count) {
    const std::string &name = context.logNames[slot];
    return context.runDir + "/" +
           (context.station ? name + "-" + std::to_string(count) + ".log" : name);
}

std::string unitOf(const IdentityContext &context, const BoardIdentity &id) {
    return context.handle + "/" + context.runId + "/" + std::to_string(id.slot + 1) + "/" +
           std::to_string(id.count);
}

// "dir/a-1.log" as its n-th free name: "dir/a-1-2.log".
std::string numberedName(const std::string &path, int n) {
    if (n == 1) {
        return path;
    }
    size_t slash = path.rfind('/');
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        dot = path.size();
    }
    return path.substr(0, dot) + "-" + std::to_string(n) + path.substr(dot);
}

constexpr int kMaxLogNames = 1000;

} // namespace

std::string newRunId() {
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    ::gmtime_r(&now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    return std::string(stamp) + "-" + std::to_string(::getpid());
}

int createBoardLog(BoardIdentity *identity, std::string *error) {
    std::string wanted = identity->logFile;
    // A station's run directory comes with its first board.
    size_t slash = wanted.rfind('/');
    if (slash != std::string::npos && slash > 0 &&
        !makeRunDirectory(wanted.substr(0, slash), error)) {
        return -1;
    }
    for (int n = 1; n <= kMaxLogNames; ++n) {
        std::string name = numberedName(wanted, n);
        int fd = createNewFile(name, error);
        if (fd >= 0) {
            identity->logFile = name;
            return fd;
        }
        if (errno != EEXIST) {
            return -1;
        }
    }
    *error = "cannot create " + wanted + ": " + std::to_string(kMaxLogNames) +
             " files of that name exist";
    return -1;
}

BoardIdentity makeIdentity(const IdentityContext &context, size_t slot, int count) {
    BoardIdentity id;
    id.slot = slot;
    id.label = context.labels[slot];
    id.port = context.ports[slot];
    id.resolved = resolvedNow(id.port);
    id.count = count;
    id.usb = usbIdentity(context.sysRoot, id.resolved);
    id.logFile = logFileOf(context, slot, count);
    id.unit = unitOf(context, id);
    return id;
}

std::string encodeIdentity(const BoardIdentity &id) {
    nlohmann::json json = {{"slot", id.slot},
                           {"label", id.label},
                           {"port", id.port},
                           {"resolved", id.resolved},
                           {"count", id.count},
                           {"unit", id.unit},
                           {"usb_serial", id.usb.serial},
                           {"usb_id", id.usb.usbId},
                           {"log", id.logFile},
                           {"values", id.values}};
    // Bytes that are no UTF-8 (a port's odd name) are replaced, not thrown.
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool decodeIdentity(const std::string &text, BoardIdentity *id) {
    nlohmann::json json = nlohmann::json::parse(text, nullptr, false);
    if (!json.is_object()) {
        return false;
    }
    try {
        id->slot = json.at("slot").get<size_t>();
        id->label = json.at("label").get<std::string>();
        id->port = json.at("port").get<std::string>();
        id->resolved = json.at("resolved").get<std::string>();
        id->count = json.at("count").get<int>();
        id->unit = json.at("unit").get<std::string>();
        id->usb.serial = json.at("usb_serial").get<std::string>();
        id->usb.usbId = json.at("usb_id").get<std::string>();
        id->logFile = json.at("log").get<std::string>();
        id->values = json.at("values").get<std::vector<std::pair<std::string, std::string>>>();
    } catch (const nlohmann::json::exception &) {
        return false;
    }
    return true;
}

} // namespace gang
