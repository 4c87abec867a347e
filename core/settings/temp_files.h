// Temporary files of whole-file replacement, "<target>.tmp.<pid>.<n>" beside
// the target. Each writer holds an exclusive flock on its temporary file for
// as long as it exists. The kernel drops that lock when the writer dies, by
// any signal, SIGKILL included, so a temporary file nobody holds locked was
// abandoned, whatever has become of the pid in its name: the pid may have been
// reused, or may belong to another pid namespace sharing the directory.
#pragma once

#include <string>

// The directory part of path ("." for a bare name).
std::string directory_of(const std::string &path);

// Creates and locks a new temporary file for target, registered with the
// interrupt handling so that a signal removes it. Returns its descriptor
// (write-only, close-on-exec) and sets *temp to its name; -1 with errno set
// when none could be created.
int temp_create_locked(const std::string &target, std::string *temp);

// Removes the abandoned temporary files of target: regular files named as
// above that no process holds locked. Files still being written, and names
// that only look alike, are left alone.
void temp_remove_abandoned(const std::string &target);
