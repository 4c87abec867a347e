#include "common/download_job.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace gang {
namespace {

// A stand-in for the record's device during the checks: the device of the
// record is never used here, so "NaN" there must not refuse the run.
const char kAnyPort[] = "(each port)";

} // namespace

std::string hexDigest(const uint8_t *bytes, int64_t size) {
    sha256_context ctx;
    char hex[65];
    sha256_init(&ctx);
    sha256_update(&ctx, bytes, static_cast<uint64_t>(size));
    sha256_final_hex(&ctx, hex);
    return hex;
}

namespace {

std::string absolutePath(const char *path) {
    char buf[PATH_MAX];
    return ::realpath(path, buf) ? std::string(buf) : std::string(path);
}

} // namespace

DownloadJob::~DownloadJob() {
    std::free(image);
}

int prepareJob(DownloadJob *job) {
    DeviceSetting &rec = job->record;
    int result = kelvo_load_download_settings(&rec);
    if (result != KELVO_SUCCESS) {
        return result;
    }
    std::memset(rec.device, 0, sizeof rec.device);
    std::strcpy(rec.device, kAnyPort);
    result = kelvo_check_download_settings(&rec);
    if (result == KELVO_SUCCESS) {
        result = kelvo_read_image_file(rec.image, &job->image, &job->imageSize);
    }
    if (result == KELVO_SUCCESS) {
        result = kelvo_check_download_plan(&rec, job->imageSize);
    }
    if (result == KELVO_SUCCESS) {
        job->imagePath = absolutePath(rec.image);
        job->imageSha256 = hexDigest(job->image, job->imageSize);
    }
    return result;
}

bool recordForPort(const DownloadJob &job, const std::string &port, DeviceSetting *rec) {
    *rec = job.record;
    if (port.size() >= sizeof rec->device) {
        return false;
    }
    std::memset(rec->device, 0, sizeof rec->device);
    std::memcpy(rec->device, port.data(), port.size());
    return true;
}

} // namespace gang
