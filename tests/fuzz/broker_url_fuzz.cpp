// The --cfx broker address on arbitrary text: never a crash, a reason for
// every refusal, and an accepted URL names a host, a port and a target.
#include "factory/cfx_url.h"
#include "fuzz_support.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    factory::BrokerUrl url;
    std::string error;
    if (!factory::parseBrokerUrl(text, &url, &error)) {
        if (error.empty()) {
            fuzz::fail("a refused URL without a reason");
        }
        return 0;
    }
    if (url.host.empty() || url.port <= 0 || url.port > 65535 || url.address.empty() ||
        url.address[0] != '/') {
        fuzz::fail("an accepted URL without a host, port or address");
    }
    return 0;
}
