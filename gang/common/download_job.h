// What every board of a run receives: the checked settings record and the
// image, read once by the parent before any port is opened.
#pragma once

#include "KelvoPG_core.h"
#include "common/unique_values.h"

#include <cstdint>
#include <string>

namespace gang {

struct DownloadJob {
    DeviceSetting record{};
    uint8_t *image = nullptr; // from malloc
    int64_t imageSize = 0;
    std::string imagePath;     // absolute
    std::string imageSha256;   // lower-case hex
    std::string recipeName;    // empty without a recipe
    std::string recipeSha256;  // of the recipe file's bytes; empty without one
    PerBoardValues unique;     // the recipe's per-board values
    bool quickReplies = false; // replies framed by silence (kelvo_set_quick_replies)
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

// SHA-256 of the bytes as 64 lower-case hexadecimal digits.
std::string hexDigest(const uint8_t *bytes, int64_t size);

// The record for one port: false when the path does not fit the record.
bool recordForPort(const DownloadJob &job, const std::string &port, DeviceSetting *rec);

} // namespace gang
