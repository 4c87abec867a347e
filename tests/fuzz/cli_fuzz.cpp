// The command-line dispatch on arbitrary argument vectors, in-process. Each
// input starts from fresh settings whose device path does not exist, so
// no command can reach a real port.
#include "KelvoPG_core.h"
#include "cli.h"
#include "fuzz_support.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr size_t kMaxWords = 7;

// Words separated by NUL bytes, as the kernel hands them over.
std::vector<std::string> wordsOf(const uint8_t *data, size_t size) {
    std::vector<std::string> words(1);
    for (size_t i = 0; i < size && words.size() <= kMaxWords; ++i) {
        if (data[i] == '\0') {
            words.emplace_back();
        } else {
            words.back() += static_cast<char>(data[i]);
        }
    }
    if (size == 0) {
        words.clear();
    }
    return words;
}

void freshSettings() {
    std::remove(KELVO_GENERATE_FILE);
    std::remove("flash.bin");
    DeviceSetting record;
    default_device_setting(&record);
    std::snprintf(record.device, sizeof record.device, "%s", "/nonexistent/kelvo-fuzz-port");
    if (save_device_setting(&record) != KELVO_SUCCESS) {
        fuzz::fail("cannot prepare record.dat");
    }
    create_generate_setting();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::enterScratchDirectory();
    fuzz::silenceStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    freshSettings();
    int status = run_command(wordsOf(data, size));
    if (status != kExitOk && status != kExitFailed && status != kExitUsage) {
        fuzz::fail("an exit status outside 0, 1 and 2");
    }
    return 0;
}
