// The directory that receives each board's output.
#pragma once

#include <string>
#include <vector>

namespace gang {

// requested, created when missing; or, when requested is empty, a new
// gang-<date>-<time>[-N] directory in the current directory.
bool createRunDirectory(const std::string &requested, std::string *path, std::string *error);

// A station may wait long before its first board: the name of a new
// gang-<date>-<time>[-N] directory, free now, for makeRunDirectory to
// create when the first board starts.
std::string freeRunDirectoryName();
// Creates path unless it exists; false with error unless it then is a
// directory of the user's own (checkOwnDirectory).
bool makeRunDirectory(const std::string &path, std::string *error);

// One output file name per port: its last path component and ".log",
// made unique within the run.
std::vector<std::string> outputFileNames(const std::vector<std::string> &ports);

} // namespace gang
