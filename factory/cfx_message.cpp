#include "cfx_message.h"

#include <cstdio>
#include <ctime>
#include <random>
#include <sys/random.h>

namespace factory {
namespace cfx {
namespace {

using json = nlohmann::ordered_json;

const char *const kTestName = "FLASH_PROGRAM";

void randomBytes(unsigned char *bytes, size_t n) {
    size_t got = 0;
    while (got < n) {
        ssize_t r = ::getrandom(bytes + got, n - got, 0);
        if (r <= 0) {
            break; // only on an ancient kernel: fall back below
        }
        got += static_cast<size_t>(r);
    }
    if (got < n) {
        std::random_device device;
        for (; got < n; ++got) {
            bytes[got] = static_cast<unsigned char>(device());
        }
    }
}

std::string testComments(const BoardResult &result) {
    std::string text = "recipe=" + result.recipe + " image_sha256=" + result.imageSha256 +
                       " flash_offset=" + result.flashOffset;
    if (result.resultCode >= 0) {
        text += " result=" + std::to_string(result.resultCode);
    }
    for (const auto &value : result.values) {
        text += " " + value.first + "=" + value.second;
    }
    return text;
}

const char *testResult(const BoardResult &result) {
    switch (result.kind) {
    case BoardResult::Kind::Passed:
        return "Passed";
    case BoardResult::Kind::Interrupted:
        return "Aborted";
    default:
        return "Failed";
    }
}

json symptoms(const BoardResult &result) {
    json list = json::array();
    if (result.kind == BoardResult::Kind::Passed) {
        return list;
    }
    std::string code = result.resultCode >= 0 ? std::to_string(result.resultCode) : "none";
    list.push_back({{"UniqueIdentifier", newUuid()},
                    {"SymptomCode", "KELVO_RESULT_" + code},
                    {"SymptomCategory", "Flash programming"},
                    {"Description", result.reason},
                    {"Comments", "result " + code}});
    return list;
}

json unitPosition(const Unit &unit) {
    return {{"UnitIdentifier", unit.identifier},
            {"PositionNumber", unit.position},
            {"PositionName", unit.positionName}}; // no placement: a fixture, not a panel
}

} // namespace

const char *const kVersion = "1.7";

std::string newUuid() {
    unsigned char b[16];
    randomBytes(b, sizeof b);
    b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40); // version 4
    b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80); // RFC 4122 variant
    char text[37];
    std::snprintf(text, sizeof text,
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                  b[14], b[15]);
    return text;
}

std::string timeStamp(WallTime when) {
    using namespace std::chrono;
    std::time_t seconds = system_clock::to_time_t(when);
    long millis =
        static_cast<long>(duration_cast<milliseconds>(when.time_since_epoch()).count() % 1000);
    if (millis < 0) {
        millis += 1000;
    }
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char date[32], zone[8];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
    std::strftime(zone, sizeof zone, "%z", &local); // +0100
    char text[48];
    std::snprintf(text, sizeof text, "%s.%03ld%.3s:%.2s", date, millis, zone, zone + 3);
    return text;
}

std::string envelope(const std::string &messageName, const std::string &source, WallTime when,
                     const json &body) {
    json message = {
        {"MessageName", messageName}, {"Version", kVersion}, {"TimeStamp", timeStamp(when)},
        {"UniqueID", newUuid()},      {"Source", source},    {"Target", nullptr},
        {"RequestID", nullptr},       {"MessageBody", body}};
    // Invalid UTF-8 from a device (a USB serial string) is replaced, not fatal.
    return message.dump(-1, ' ', false, json::error_handler_t::replace);
}

json endpointConnectedBody(const std::string &handle) {
    // This station takes no requests, so it names no address for them.
    return {
        {"CFXHandle", handle}, {"RequestNetworkUri", nullptr}, {"RequestTargetAddress", nullptr}};
}

json heartbeatBody(const std::string &handle, std::chrono::seconds interval) {
    char frequency[48];
    long s = static_cast<long>(interval.count());
    std::snprintf(frequency, sizeof frequency, "%02ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    return {{"CFXHandle", handle}, {"HeartbeatFrequency", frequency}};
}

json workStartedBody(const std::string &transaction, const Unit &unit) {
    return {{"TransactionID", transaction},
            {"Lane", unit.position},
            {"PrimaryIdentifier", unit.identifier},
            {"HermesIdentifier", nullptr},
            {"UnitCount", 1},
            {"Units", json::array({unitPosition(unit)})}};
}

json unitsTestedBody(const std::string &transaction, const Unit &unit, const BoardResult &result) {
    bool passed = result.kind == BoardResult::Kind::Passed;
    json test = {{"UniqueIdentifier", newUuid()},
                 {"TestName", kTestName},
                 {"TestStartTime", timeStamp(result.start)},
                 {"TestEndTime", timeStamp(result.end)},
                 {"TestConditions", json::array()},
                 {"TestProcedure", nullptr},
                 {"Comments", testComments(result)},
                 {"Result", testResult(result)},
                 {"Error", passed ? json(nullptr) : json(result.reason)},
                 {"SymptomsFound", symptoms(result)},
                 {"DefectsFound", json::array()},
                 {"Measurements", json::array()}};
    json tested = {{"UnitIdentifier", unit.identifier},
                   {"UnitPositionNumber", unit.position},
                   {"OverallResult", passed ? "Passed" : "Failed"},
                   {"Tests", json::array({test})}};
    return {{"TransactionID", transaction},
            {"TestMethod", "Automated"},
            {"Tester", nullptr},
            {"TestedUnits", json::array({tested})}};
}

json workCompletedBody(const std::string &transaction, const Unit &unit,
                       const BoardResult &result) {
    const char *outcome = "Failed";
    if (result.kind == BoardResult::Kind::Passed) {
        outcome = "Completed";
    } else if (result.kind == BoardResult::Kind::Interrupted) {
        outcome = "Aborted";
    }
    return {{"TransactionID", transaction},
            {"Result", outcome},
            {"PrimaryIdentifier", unit.identifier},
            {"HermesIdentifier", nullptr},
            {"UnitCount", 1},
            {"Units", json::array({unitPosition(unit)})},
            {"PerformanceImpacts", json::array()}};
}

} // namespace cfx
} // namespace factory
