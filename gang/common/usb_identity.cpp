#include "common/usb_identity.h"

#include "common/failure_reason.h"

#include <climits>
#include <cstdlib>
#include <fstream>

namespace gang {
namespace {

// First line of a small sysfs attribute, or "" when it is missing.
std::string attribute(const std::string &dir, const char *name) {
    std::ifstream in(dir + "/" + name);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) {
        line.pop_back();
    }
    return line;
}

std::string parentOf(const std::string &dir) {
    size_t slash = dir.find_last_of('/');
    return slash == std::string::npos || slash == 0 ? "" : dir.substr(0, slash);
}

std::string resolve(const std::string &path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

} // namespace

UsbIdentity usbIdentity(const std::string &sysRoot, const std::string &resolvedPort) {
    UsbIdentity id;
    std::string name = resolvedPort.substr(resolvedPort.find_last_of('/') + 1);
    std::string root = resolve(sysRoot);
    std::string dir = resolve(sysRoot + "/class/tty/" + name + "/device");
    if (root.empty() || dir.empty()) {
        return id;
    }
    // The tty's device is an interface (or a port below it); the USB device
    // is the first ancestor that carries the vendor and product ids.
    for (; dir.size() > root.size() && dir.compare(0, root.size(), root) == 0;
         dir = parentOf(dir)) {
        std::string vendor = attribute(dir, "idVendor");
        std::string product = attribute(dir, "idProduct");
        if (!vendor.empty() && !product.empty()) {
            id.usbId = vendor + ":" + product;
            // The descriptor is the device's own text, like its replies.
            id.serial = printableText(attribute(dir, "serial"));
            break;
        }
    }
    return id;
}

} // namespace gang
