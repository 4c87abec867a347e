// The image download: settings checks, the image read whole, the connect
// sequence, an optional chip erase and the writes of the region plan.
#include "device_internal.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Image {
    uint8_t *bytes;
    size_t size;
};

// flash_offset of the record: 176 with its value, or 178..180 after the
// messages.
int checkDownloadOffset(const DeviceSetting &rec, uint32_t *offset) {
    if (std::strcmp(rec.flash_offset, "NaN") == 0) {
        kelvo::reportSettingProblem("Please set flash offset");
        return KELVO_OFFSET_NOT_SET;
    }
    switch (kelvo::parseFlashOffset(rec.flash_offset, offset)) {
    case kelvo::OffsetCheck::BadFormat:
        kelvo::reportSettingProblem("Flash Offset format incorrect.(specify 0x...)");
        return KELVO_OFFSET_FORMAT;
    case kelvo::OffsetCheck::OutOfRange:
        kelvo::reportSettingProblem("Flash Offset out of range");
        return KELVO_OFFSET_RANGE;
    case kelvo::OffsetCheck::Valid:
        break;
    }
    return KELVO_SUCCESS;
}

// Why an open image file cannot be sent, or nullptr when it can.
const char *imageSizeProblem(const struct stat &st) {
    if (S_ISDIR(st.st_mode)) {
        return std::strerror(EISDIR);
    }
    if (!S_ISREG(st.st_mode)) {
        return "not a regular file";
    }
    if (st.st_size == 0) {
        return "the file is empty";
    }
    if (st.st_size > INT32_MAX) { // beyond what one XModem transfer counts
        return "the file is too large";
    }
    return nullptr;
}

const char *readAll(int fd, uint8_t *buf, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = read(fd, buf + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return std::strerror(errno);
        }
        if (n == 0) {
            return "the file ended before its stated size";
        }
        done += static_cast<size_t>(n);
    }
    return nullptr;
}

// Reads the whole file into image->bytes; nullptr or the reason it failed.
const char *loadImage(int fd, Image *image) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        return std::strerror(errno);
    }
    if (const char *problem = imageSizeProblem(st)) {
        return problem;
    }
    image->size = static_cast<size_t>(st.st_size);
    image->bytes = static_cast<uint8_t *>(std::malloc(image->size));
    if (image->bytes == nullptr) {
        return "not enough memory";
    }
    const char *problem = readAll(fd, image->bytes, image->size);
    if (problem != nullptr) {
        std::free(image->bytes);
        image->bytes = nullptr;
    }
    return problem;
}

// 176 with the image in memory, or 186 after a message naming the path
// and the reason.
int readImage(const char *path, Image *image) {
    image->bytes = nullptr;
    image->size = 0;
    // Non-blocking, so that a named pipe cannot stall the open.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    const char *problem = fd < 0 ? std::strerror(errno) : loadImage(fd, image);
    if (fd >= 0) {
        close(fd);
    }
    if (problem != nullptr) {
        std::printf("Cannot read image file %s: %s\n", path, problem);
        std::fflush(stdout);
        return KELVO_FILE_ERROR;
    }
    return KELVO_SUCCESS;
}

using Plan = std::vector<kelvo::RegionWrite>;

// The writes of the download: 176, or 179 when an offset that is not a
// multiple of the XModem block would zero part of a kept region.
int planDownload(const DeviceSetting &rec, const Image &image, uint32_t offset, Plan *plan) {
    *plan = kelvo::planImageWrites(image.size, offset, rec.flash_offset, rec.keep_sys_data,
                                   rec.keep_wifi_data);
    if (kelvo::paddingHitsKeptRegion(*plan, rec.keep_sys_data, rec.keep_wifi_data)) {
        std::printf("Flash Offset %s is not a multiple of 0x400: the last XModem block "
                    "would overwrite kept data\n",
                    rec.flash_offset);
        std::fflush(stdout);
        return KELVO_OFFSET_FORMAT;
    }
    return KELVO_SUCCESS;
}

// A chip erase wipes the regions that a keep option asks to leave as they
// are: the download would skip them and still report success with the
// calibration gone. 176, or 189 after a message naming both settings.
int checkEraseKeepsNothing(const DeviceSetting &rec) {
    bool sys = rec.keep_sys_data != 0, wifi = rec.keep_wifi_data != 0;
    if (rec.chip_erase != 1 || (!sys && !wifi)) {
        return KELVO_SUCCESS;
    }
    bool both = sys && wifi;
    std::string data, keep, erase;
    if (sys) {
        data = "system data";
        keep = "keep_sys_data " + std::to_string(rec.keep_sys_data);
        erase = "keep_sys_data 0";
    }
    if (wifi) {
        data += both ? " and Wi-Fi data" : "Wi-Fi data";
        keep += (both ? " and " : "") + ("keep_wifi_data " + std::to_string(rec.keep_wifi_data));
        erase += both ? " and keep_wifi_data 0" : "keep_wifi_data 0";
    }
    const char *them = both ? "them" : "it";
    infohelper_output(0,
                      "chip_erase 1 would erase the %s that %s ask%s to keep: set chip_erase 0 "
                      "to keep %s, or %s to let %s be erased",
                      data.c_str(), keep.c_str(), both ? "" : "s", them, erase.c_str(), them);
    return KELVO_SETTINGS_CONFLICT;
}

// The record's own checks, before any serial traffic: 176, or 177..180 or
// 189 after the messages. Text fields come back zero-terminated.
int checkRecord(DeviceSetting *rec, uint32_t *offset) {
    int result = kelvo::checkSettingValues(rec);
    if (result == KELVO_SUCCESS) {
        result = checkDownloadOffset(*rec, offset);
    }
    if (result == KELVO_SUCCESS) {
        result = checkEraseKeepsNothing(*rec);
    }
    return result;
}

int64_t planBytes(const Plan &plan) {
    int64_t total = 0;
    for (const auto &step : plan) {
        total += static_cast<int64_t>(step.length);
    }
    return total;
}

int writeImage(const DeviceSetting &rec, const Image &image, const Plan &plan) {
    kelvo::printLine("\r\nStart download\r");
    kelvo::startPlanProgress(planBytes(plan));
    int64_t written = 0;
    for (const auto &step : plan) {
        kelvo::startPlanWrite(written);
        written += static_cast<int64_t>(step.length);
        if (step.announce != nullptr) {
            kelvo::printLine(step.announce);
        }
        int result =
            kelvo_xmodem_write(image.bytes + step.position, static_cast<int64_t>(step.length),
                               rec.flash_pin, step.offset.c_str(), rec.hash_verify);
        if (result == KELVO_INTERRUPTED) {
            return result; // announced already; no failure message
        }
        if (result != KELVO_SUCCESS) {
            kelvo::printLine(step.failure);
            return KELVO_TRANSFER_FAILED;
        }
    }
    kelvo::printLine("End Download\r");
    return KELVO_SUCCESS;
}

} // namespace

extern "C" int kelvo_check_download_settings(DeviceSetting *rec) {
    uint32_t offset = 0;
    return checkRecord(rec, &offset);
}

extern "C" int kelvo_check_download_plan(const DeviceSetting *rec, int64_t image_size) {
    DeviceSetting copy = *rec;
    uint32_t offset = 0;
    int result = checkRecord(&copy, &offset);
    if (result == KELVO_SUCCESS) {
        Plan plan;
        result = planDownload(copy, Image{nullptr, static_cast<size_t>(image_size)}, offset, &plan);
    }
    return result;
}

extern "C" int kelvo_read_image_file(const char *path, uint8_t **bytes, int64_t *size) {
    Image image{nullptr, 0};
    int result = readImage(path, &image);
    *bytes = image.bytes;
    *size = static_cast<int64_t>(image.size);
    return result;
}

extern "C" int32_t kelvo_download_image_data(const DeviceSetting *settings, const uint8_t *bytes,
                                             int64_t size) {
    DeviceSetting rec = *settings; // the connect sequence learns the flash pin into it
    uint32_t offset = 0;
    Plan plan;
    Image image{const_cast<uint8_t *>(bytes), static_cast<size_t>(size)};
    int result = checkRecord(&rec, &offset);
    if (result == KELVO_SUCCESS) {
        result = planDownload(rec, image, offset, &plan);
    }
    if (result != KELVO_SUCCESS) {
        return result;
    }
    kelvo::beginOperation();
    result = kelvo::connectDevice(&rec, "Ping received", true);
    if (result == KELVO_SUCCESS && rec.chip_erase == 1) {
        result = kelvo::eraseWholeChip(rec.flash_pin, true);
    }
    if (result == KELVO_SUCCESS) {
        result = writeImage(rec, image, plan);
    }
    result = kelvo::endOperation(result);
    kelvo::endPlanProgress();
    return result;
}

extern "C" int32_t xmodem_download_image(void) {
    DeviceSetting rec;
    int result = kelvo_load_download_settings(&rec);
    if (result == KELVO_SUCCESS) {
        result = kelvo_check_download_settings(&rec);
    }
    if (result != KELVO_SUCCESS) {
        return result;
    }
    uint8_t *bytes = nullptr;
    int64_t size = 0;
    result = kelvo_read_image_file(rec.image, &bytes, &size);
    if (result == KELVO_SUCCESS) {
        result = kelvo_download_image_data(&rec, bytes, size);
    }
    std::free(bytes);
    return result;
}
