#include "common/log_row.h"

#include <cstdio>
#include <ctime>

namespace gang {
namespace {

std::string isoTime(std::time_t t) {
    std::tm utc{};
    ::gmtime_r(&t, &utc);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return buf;
}

} // namespace

std::vector<CsvColumn> logColumns(const PerBoardValues &unique) {
    std::vector<CsvColumn> columns = {{"time"},
                                      {"port"},
                                      {"adapter_serial"},
                                      {"usb_id"},
                                      {"image"},
                                      {"image_size", true},
                                      {"image_sha256"},
                                      {"flash_offset"},
                                      {"chip_erase", true},
                                      {"hash_verify", true},
                                      {"result", true},
                                      {"result_text"},
                                      {"seconds", true},
                                      {"tool_version"},
                                      {"station"},
                                      {"operator"},
                                      {"slot"},
                                      {"board", true},
                                      {"recipe"},
                                      {"recipe_sha256"},
                                      {"reply_framing"}};
    for (const UniqueValue &value : unique.values) {
        columns.emplace_back(value.name.c_str());
    }
    return columns;
}

std::vector<std::string> stationLogRow(const LogContext &context, const BoardRecord &report) {
    const DownloadJob &job = *context.job;
    const DeviceSetting &rec = job.record;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", report.seconds);
    std::vector<std::string> row = {isoTime(report.startWall),
                                    report.id.port,
                                    report.id.usb.serial,
                                    report.id.usb.usbId,
                                    job.imagePath,
                                    std::to_string(job.imageSize),
                                    job.imageSha256,
                                    rec.flash_offset,
                                    std::to_string(rec.chip_erase),
                                    std::to_string(rec.hash_verify),
                                    report.finished ? std::to_string(report.result) : "",
                                    report.outcome,
                                    seconds,
                                    KELVO_VERSION,
                                    context.station,
                                    context.operatorId,
                                    report.id.label,
                                    std::to_string(report.id.count),
                                    job.recipeName,
                                    job.recipeSha256,
                                    job.quickReplies ? "quick" : "specified"};
    // A board refused before its values were given has none.
    for (size_t i = 0; i < job.unique.values.size(); ++i) {
        row.push_back(i < report.id.values.size() ? report.id.values[i].second : "");
    }
    return row;
}

} // namespace gang
