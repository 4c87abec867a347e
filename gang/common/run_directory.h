// The directory that receives each board's output.
#pragma once

#include <string>
#include <vector>

namespace gang {

// requested, created when missing; or, when requested is empty, a new
// gang-<date>-<time>[-N] directory in the current directory.
bool createRunDirectory(const std::string &requested, std::string *path, std::string *error);

// One output file name per port: its last path component and ".log",
// made unique within the run.
std::vector<std::string> outputFileNames(const std::vector<std::string> &ports);

} // namespace gang
