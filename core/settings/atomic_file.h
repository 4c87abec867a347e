// Whole-file replacement that never leaves a truncated file behind: the new
// content goes to a temporary file in the target's directory, is synced, and
// is renamed over the target only once it is complete; the directory is
// synced after the rename. A signal that ends the process removes the
// temporary file; one left by a killed process goes at the next save of the
// same target.
#pragma once

#include <cstddef>
#include <string>

struct AtomicFile {
    int fd = -1;
    std::string target;
    std::string temp;
};

// Prints "error in opening file : <reason>" on every failure below; after a
// failure the temporary file is gone and the target is untouched. A target
// that exists and is not a regular file (also through a link) is refused
// with the reason "not a regular file".
bool atomic_begin(AtomicFile *file, const char *target);
bool atomic_append(AtomicFile *file, const void *data, size_t len);
// Syncs and renames over the target (replace) ...
bool atomic_commit(AtomicFile *file);
// ... or links it in place only when the target does not exist yet.
bool atomic_commit_new(AtomicFile *file, bool *existed);
void atomic_abort(AtomicFile *file);

// One buffer as the whole new content of target.
bool atomic_write_file(const char *target, const void *data, size_t len);
// Like atomic_write_file, but an existing target is kept as it is.
bool atomic_create_file(const char *target, const void *data, size_t len);

// The one message of every settings-file failure, with the system's reason
// or a reason of our own.
void print_file_error(int err);
void print_file_problem(const char *reason);
