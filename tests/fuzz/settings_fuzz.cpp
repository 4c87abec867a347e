// The settings loaders, setters and printouts on arbitrary "record.dat" and
// "generate.dat" contents of any length.
#include "KelvoPG_core.h"
#include "fuzz_support.h"

#include <cstring>

namespace {

void checkRecordSetter() {
    if (setImgPath("image.bin") != KELVO_SUCCESS) {
        fuzz::fail("setter on a readable record");
    }
    DeviceSetting record;
    if (load_device_setting(&record) != KELVO_SUCCESS || std::strcmp(record.image, "image.bin")) {
        fuzz::fail("the stored image path does not read back");
    }
    if (fuzz::readFile(KELVO_RECORD_FILE).size() != sizeof(DeviceSetting)) {
        fuzz::fail("record.dat not rewritten at its full size");
    }
}

void checkMapSetter() {
    if (setBinPathOffset("10", "last.bin", "0x9000") != KELVO_SUCCESS) {
        fuzz::fail("setter on a readable map");
    }
    GenerateParam map[KELVO_MAP_ROWS];
    if (load_generate_setting(map) != KELVO_SUCCESS || std::strcmp(map[9].path, "last.bin") ||
        std::strcmp(map[9].offset, "0x9000")) {
        fuzz::fail("the stored map row does not read back");
    }
    if (fuzz::readFile(KELVO_GENERATE_FILE).size() != sizeof map) {
        fuzz::fail("generate.dat not rewritten at its full size");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::enterScratchDirectory();
    fuzz::silenceStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::writeFile(KELVO_RECORD_FILE, data, size);
    fuzz::writeFile(KELVO_GENERATE_FILE, data, size);
    create_device_setting();
    create_generate_setting();
    if (ShowDevice() != KELVO_SUCCESS || ShowSetting() != KELVO_SUCCESS ||
        ShowGenerateMap() != KELVO_SUCCESS) {
        fuzz::fail("a printout refused a readable file");
    }
    checkRecordSetter();
    checkMapSetter();
    return 0;
}
