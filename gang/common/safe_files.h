// Files and directories that another local user cannot turn against the
// station: its files are always created new and never through a symbolic
// link, and the directories that receive them are the user's own.
#pragma once

#include <string>

namespace gang {

// Creates path as a new file (mode 0644 before the umask), open for
// writing: its descriptor, or -1 with error (and errno, EEXIST when the
// name is taken by a file or a planted symbolic link alike) when it cannot
// be created.
int createNewFile(const std::string &path, std::string *error);

// true when dir is a directory owned by the effective user and not
// writable by every user (the sticky bit is no excuse); false with error
// saying what is wrong and what to do.
bool checkOwnDirectory(const std::string &dir, std::string *error);

// dir created (mode 0700) when missing, then checked as above.
bool makeOwnDirectory(const std::string &dir, std::string *error);

// The first line of a file that holds a secret, without its line end:
// false with error unless it is a regular file of the effective user that
// nobody else may read or write (chmod 600), and not empty.
bool readSecretFile(const std::string &path, std::string *text, std::string *error);

} // namespace gang
