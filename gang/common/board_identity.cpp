#include "common/board_identity.h"

#include <nlohmann/json.hpp>

#include <climits>
#include <cstdlib>

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

// Its adapter's USB serial number, else <handle>/<slot>/<tag>: the slot's
// board count on a station, the run's name in a one-shot run.
std::string unitOf(const IdentityContext &context, const BoardIdentity &id) {
    if (!id.usb.serial.empty()) {
        return id.usb.serial;
    }
    std::string tag = context.station ? std::to_string(id.count) : context.runName;
    return context.handle + "/" + std::to_string(id.slot + 1) + "/" + tag;
}

} // namespace

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
                           {"log", id.logFile}};
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
    } catch (const nlohmann::json::exception &) {
        return false;
    }
    return true;
}

} // namespace gang
