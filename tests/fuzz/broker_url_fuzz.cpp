// The --cfx broker address on arbitrary text: never a crash, a reason for
// every refusal, an accepted URL names a host, a port and a target, and no
// part of a password is ever shown. The input's first NUL byte, if any,
// stands for a password marker whose 'Q' appears nowhere else: where it
// ends up between the scheme and the URL's last '@' (where user and
// password are, however the rest is broken), the refusal must not show it; where it ends up in
// an accepted URL's password, nor may the URL shown.
#include "factory/cfx_url.h"
#include "fuzz_support.h"

#include <string>

namespace {

const char kMarker[] = "Qz7Qz7";

// Whether the marker may be a password, or a part of one, in text: before
// the last '@' and after the first "://", if any (before it is a scheme).
bool markerIsUserInfo(const std::string &text) {
    size_t marker = text.find(kMarker);
    size_t at = text.rfind('@');
    size_t scheme = text.find("://");
    return marker != std::string::npos && at != std::string::npos && marker < at &&
           (scheme == std::string::npos || marker > scheme);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    if (text.find('Q') != std::string::npos || text.find("%51") != std::string::npos) {
        return 0; // a 'Q', so the marker, comes from the NUL only
    }
    size_t nul = text.find('\0');
    if (nul != std::string::npos) {
        text.replace(nul, 1, kMarker);
    }
    factory::BrokerUrl url;
    std::string error;
    bool secret = markerIsUserInfo(text);
    if (!factory::parseBrokerUrl(text, &url, &error)) {
        if (error.empty()) {
            fuzz::fail("a refused URL without a reason");
        }
        if (secret && error.find('Q') != std::string::npos) {
            fuzz::fail("a refused URL's message shows its password");
        }
        return 0;
    }
    if (url.host.empty() || url.port <= 0 || url.port > 65535 || url.address.empty() ||
        url.address[0] != '/') {
        fuzz::fail("an accepted URL without a host, port or address");
    }
    if (url.password.find('Q') != std::string::npos && url.shown().find('Q') != std::string::npos) {
        fuzz::fail("the URL shown holds its password");
    }
    return 0;
}
