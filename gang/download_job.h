// What every board of a run receives: the checked settings record and the
// image, read once by the parent before any port is opened.
#pragma once

#include "KelvoPG_core.h"

#include <cstdint>
#include <string>

namespace gang {

struct DownloadJob {
    DeviceSetting record{};
    uint8_t *image = nullptr; // from malloc
    int64_t imageSize = 0;
    std::string imagePath;   // absolute
    std::string imageSha256; // lower-case hex
    DownloadJob() = default;
    ~DownloadJob();
    DownloadJob(const DownloadJob &) = delete;
    DownloadJob &operator=(const DownloadJob &) = delete;
};

// Reads "record.dat" (never writes it) and the image it names, with the
// checks and messages of a single download; the record's device is not
// used, each port takes its place. 176, or the core's result after its
// messages on standard output.
int prepareJob(DownloadJob *job);

// The record for one port: false when the path does not fit the record.
bool recordForPort(const DownloadJob &job, const std::string &port, DeviceSetting *rec);

} // namespace gang
