// Taking the ports of a run before any of them is programmed: each is
// opened, locked and put in exclusive mode by the parent, then handed over
// to its board's worker. A port another program holds, or one that is no
// serial line, stops the run before any traffic, naming the holder where it
// can be found.
#pragma once

#include <string>
#include <vector>

namespace gang {

// "process 1234 (minicom)" for every process whose flock on the device
// shows in locksFile (normally /proc/locks), joined by ", "; "" when none
// does. procRoot (normally /proc) gives the names.
std::string lockHolders(const std::string &device, const std::string &locksFile,
                        const std::string &procRoot);

// Takes each port: fds receives one descriptor per port (-1 where the port
// could not be opened for another reason: its worker then reports that).
// false when any port is busy or is no terminal, with one line per such
// port in error; the ports taken are released again.
bool claimPorts(const std::vector<std::string> &ports, std::vector<int> *fds, std::string *error);

// Lets go of a port taken by claimPorts that no worker will use.
void releasePort(int fd);

// In a worker: lets go of the lock and exclusive mode of its own port so
// that the download can open it (the descriptor stays open), and closes
// the other ports' descriptors without releasing them.
void handOverPort(int own, const std::vector<int> &others);

} // namespace gang
