#include "program.h"

#include "port_claim.h"

#include <cstdio>
#include <sstream>

namespace gang {

int complain(int status, const std::string &why) {
    std::fprintf(stderr, "%s: %s\n", kProgram, why.c_str());
    return status;
}

bool claimEveryPort(const std::vector<std::string> &ports, std::vector<int> *fds) {
    std::string error;
    if (claimPorts(ports, fds, &error)) {
        return true;
    }
    std::istringstream lines(error);
    for (std::string line; std::getline(lines, line);) {
        complain(kExitUsage, line);
    }
    complain(kExitUsage, "nothing was sent to any port");
    return false;
}

} // namespace gang
