// A recipe: the locked settings of a station in a TOML file, checked whole
// before any port is touched.
#pragma once

#include "common/download_job.h"

#include <string>
#include <sys/types.h>
#include <ctime>

namespace gang {

// Reads the recipe, the image it names (relative to the recipe's
// directory) and checks the image against the recipe's SHA-256. Fills job
// (record, image, path, digest, recipe name and the recipe file's own
// digest). false with the reason; nothing has been sent anywhere.
bool loadRecipe(const std::string &path, DownloadJob *job, std::string *error);

// Notices that the image file changed on disk after it was read.
class ImageWatch {
  public:
    void start(const std::string &path);
    // True the first time the file is seen changed (or gone); never again.
    bool changedOnce();

  private:
    std::string path_;
    bool reported_ = true;
    ino_t inode_ = 0;
    off_t size_ = 0;
    struct timespec mtime_ {};
};

} // namespace gang
