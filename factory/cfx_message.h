// CFX messages (IPC-2591) as JSON text: the envelope and the bodies this
// station sends.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace factory {
namespace cfx {

using WallTime = std::chrono::system_clock::time_point;

// The version of the standard whose message shapes these follow.
extern const char *const kVersion;

// A random (version 4) UUID in lower-case text.
std::string newUuid();

// ISO 8601 local time with milliseconds and the UTC offset,
// e.g. 2026-12-07T15:56:36.250+01:00.
std::string timeStamp(WallTime when);

// The envelope around body, with a new UniqueID, as one line of JSON.
std::string envelope(const std::string &messageName, const std::string &source, WallTime when,
                     const nlohmann::ordered_json &body);

// The one production unit of a board's transaction.
struct Unit {
    std::string identifier;
    int position = 0; // the slot number, from 1
    std::string positionName;
};

// What the station knows about a board's result.
struct BoardResult {
    enum class Kind { Passed, Failed, Interrupted } kind = Kind::Failed;
    std::string recipe;      // recipe name
    std::string imageSha256; // hex
    std::string flashOffset; // as in the settings, "0x10000"
    std::string reason;      // failure text, empty on success
    int resultCode = -1;     // the core's result, -1 when there is none
    // Values written into the unit (name, text), told with its test.
    std::vector<std::pair<std::string, std::string>> values;
    WallTime start{}, end{};
};

nlohmann::ordered_json endpointConnectedBody(const std::string &handle);
nlohmann::ordered_json heartbeatBody(const std::string &handle, std::chrono::seconds interval);
nlohmann::ordered_json workStartedBody(const std::string &transaction, const Unit &unit);
nlohmann::ordered_json unitsTestedBody(const std::string &transaction, const Unit &unit,
                                       const BoardResult &result);
nlohmann::ordered_json workCompletedBody(const std::string &transaction, const Unit &unit,
                                         const BoardResult &result);

} // namespace cfx
} // namespace factory
