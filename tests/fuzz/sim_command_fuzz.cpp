// The simulator's command-line parser on arbitrary host lines.
#include "command_parser.h"
#include "fuzz_support.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string line(reinterpret_cast<const char *>(data), size);
    sim::ParsedLine parsed = sim::parseCommand(line);
    std::string word = sim::commandWord(line);
    if (parsed.ok && !sim::isCommandWord(word)) {
        fuzz::fail("a line accepted without a command word");
    }
    if (parsed.ok != parsed.error.empty()) {
        fuzz::fail("a refusal without its reason, or a reason on success");
    }
    if (parsed.ok && parsed.command.pin != 0 && parsed.command.pin != 1) {
        fuzz::fail("a flash pin other than 0 or 1");
    }
    return 0;
}
