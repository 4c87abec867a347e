#include "cli_test_util.h"

#include <algorithm>
#include <dirent.h>

namespace ct {

std::vector<std::string> CliTest::listing() const {
    std::vector<std::string> names;
    if (DIR *d = ::opendir(dir.path().c_str())) {
        while (dirent *e = ::readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

kt::RunResult cliWithoutSpace(const std::vector<std::string> &args, const std::string &cwd) {
    // With SIGXFSZ ignored, a write past the size limit fails with EFBIG
    // instead of killing the process; this works for root too.
    std::vector<std::string> argv{"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 0; exec \"$0\" \"$@\"",
                                  KELVO_CLI_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return kt::run(argv, cwd);
}

} // namespace ct
