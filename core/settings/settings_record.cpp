// The download settings record "record.dat": defaults, load and save, the
// setters (one read-modify-write each) and the two printouts.
#include "KelvoPG_core.h"
#include "settings_file.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

static_assert(sizeof(DeviceSetting) == 652, "record.dat holds exactly 652 bytes");
static_assert(offsetof(DeviceSetting, image) == 108 && offsetof(DeviceSetting, chip_erase) == 620 &&
                  offsetof(DeviceSetting, flash_offset) == 636,
              "record fields at their file offsets");
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the record is stored as the raw in-memory image, little-endian");

namespace {

constexpr int32_t kDefaultBaudrate = 1000000;

// Column at which the aligned values of ShowSetting begin (1-based).
constexpr int kValueColumn = 25;

using IntField = int32_t DeviceSetting::*;

// Load, let change() modify the record, save. Nothing is written when the
// load fails.
template <typename Change> int updateRecord(Change change) {
    DeviceSetting record;
    int result = load_device_setting(&record);
    if (result != KELVO_SUCCESS) {
        return result;
    }
    change(&record);
    return save_device_setting(&record);
}

int setIntField(IntField field, const char *text) {
    int32_t value = parse_decimal32(text);
    return updateRecord([&](DeviceSetting *record) { record->*field = value; });
}

template <size_t Width>
int setTextField(char (DeviceSetting::*field)[Width], const char *text, const char *name) {
    if (!text_fits(text, Width, name)) {
        return KELVO_VALUE_REFUSED;
    }
    return updateRecord([&](DeviceSetting *record) { store_text(record->*field, Width, text); });
}

// " Label:" followed by blanks up to the value column, then the number.
void printAlignedInt(const char *label, int32_t value) {
    std::printf(" %-*s%d\n", kValueColumn - 2, label, value);
}

} // namespace

extern "C" void default_device_setting(DeviceSetting *out) {
    std::memset(out, 0, sizeof *out);
    std::strcpy(out->device, "NaN");
    out->baudrate = kDefaultBaudrate;
    std::strcpy(out->image, "NaN");
    out->hash_verify = 1;
    std::strcpy(out->flash_offset, "0x0000");
}

extern "C" void create_device_setting(void) {
    DeviceSetting defaults;
    default_device_setting(&defaults);
    create_record_file(KELVO_RECORD_FILE, &defaults, sizeof defaults);
}

extern "C" int load_device_setting(DeviceSetting *out) {
    DeviceSetting record;
    default_device_setting(&record);
    int result = load_record_file(KELVO_RECORD_FILE, &record, sizeof record);
    if (result == KELVO_SUCCESS) {
        *out = record;
    }
    return result;
}

extern "C" int save_device_setting(const DeviceSetting *in) {
    return save_record_file(KELVO_RECORD_FILE, in, sizeof *in);
}

extern "C" int addDevice(const char *text) {
    return setTextField(&DeviceSetting::device, text, "device");
}

extern "C" int setImgPath(const char *text) {
    return setTextField(&DeviceSetting::image, text, "image");
}

extern "C" int setFlashOffset(const char *text) {
    return setTextField(&DeviceSetting::flash_offset, text, "flash_offset");
}

extern "C" int setBaudRate(const char *text) {
    return setIntField(&DeviceSetting::baudrate, text);
}

extern "C" int setChipErase(const char *text) {
    return setIntField(&DeviceSetting::chip_erase, text);
}

extern "C" int setHashVerify(const char *text) {
    return setIntField(&DeviceSetting::hash_verify, text);
}

extern "C" int setKeepSysData(const char *text) {
    return setIntField(&DeviceSetting::keep_sys_data, text);
}

extern "C" int setKeepWifiData(const char *text) {
    return setIntField(&DeviceSetting::keep_wifi_data, text);
}

extern "C" int ShowDevice(void) {
    DeviceSetting record;
    int result = load_device_setting(&record);
    if (result != KELVO_SUCCESS) {
        return result;
    }
    std::puts("CMD_download_device");
    std::printf(" Added device:\t%s\n", field_text(record.device, sizeof record.device).c_str());
    std::fflush(stdout);
    return KELVO_SUCCESS;
}

extern "C" int ShowSetting(void) {
    DeviceSetting record;
    int result = load_device_setting(&record);
    if (result != KELVO_SUCCESS) {
        return result;
    }
    std::puts("CMD_download_setting");
    std::printf(" Image file path:\t%s\n", field_text(record.image, sizeof record.image).c_str());
    std::printf(" Baudrate:\t\t%d\n", record.baudrate);
    printAlignedInt("Chip Erase:", record.chip_erase);
    printAlignedInt("Hash Verify:", record.hash_verify);
    printAlignedInt("Keep sys data:", record.keep_sys_data);
    printAlignedInt("Keep wifi data:", record.keep_wifi_data);
    std::printf(" %-*s%s\n", kValueColumn - 2, "Flash Offset:",
                field_text(record.flash_offset, sizeof record.flash_offset).c_str());
    std::fflush(stdout);
    return KELVO_SUCCESS;
}
