// The station's recipe loader on arbitrary recipe files, beside a small
// image whose digest the seeds name.
#include "fuzz_support.h"
#include "common/recipe.h"

#include <cstring>

namespace {

const char kImage[] = "station image\n";

bool terminated(const char *field, size_t size) { return std::memchr(field, 0, size) != nullptr; }

void checkAccepted(const gang::DownloadJob &job) {
    const DeviceSetting &rec = job.record;
    if (!terminated(rec.image, sizeof rec.image) ||
        !terminated(rec.flash_offset, sizeof rec.flash_offset)) {
        fuzz::fail("an accepted recipe left a text field unterminated");
    }
    if (rec.chip_erase != 0 && (rec.keep_sys_data != 0 || rec.keep_wifi_data != 0)) {
        fuzz::fail("an accepted recipe erases the chip and keeps data");
    }
    if (job.imageSha256 != gang::hexDigest(job.image, job.imageSize) ||
        job.recipeSha256.size() != 64) {
        fuzz::fail("an accepted recipe's digests do not match what was read");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::enterScratchDirectory();
    fuzz::silenceStdout();
    fuzz::writeFile("fw.bin", reinterpret_cast<const uint8_t *>(kImage), sizeof kImage - 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::writeFile("recipe.toml", data, size);
    gang::DownloadJob job;
    std::string error;
    if (gang::loadRecipe("recipe.toml", &job, &error)) {
        checkAccepted(job);
    } else if (error.empty()) {
        fuzz::fail("a refused recipe without a reason");
    }
    return 0;
}
