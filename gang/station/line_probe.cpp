#include "station/line_probe.h"

#include "KelvoPG_core.h"

#include <cstring>
#include <sys/stat.h>

namespace gang {
namespace {

const char kPing[] = "ping\n";
const char kAnswer[] = "ping";
constexpr uint32_t kAnswerLen = 4;

// The core's diagnostics while probing: kept as the port's problem, never
// shown while nobody answers.
void captureLine(int32_t, const char *line, void *context) {
    std::string *text = static_cast<std::string *>(context);
    if (text->empty()) {
        *text = line;
    }
}

class Capture {
  public:
    explicit Capture(std::string *text) { infohelper_set_line_hook(captureLine, text); }
    ~Capture() { infohelper_set_line_hook(nullptr, nullptr); }
};

// "cannot access /dev/ttyUSB0: busy" -> "busy"
std::string shortReason(const std::string &line) {
    size_t colon = line.rfind(": ");
    return colon == std::string::npos ? line : line.substr(colon + 2);
}

} // namespace

bool LineProbe::ensureOpen(uint32_t rate) {
    if (open_ && rate_ == rate) {
        return true;
    }
    close();
    struct stat st {};
    if (::stat(port_.c_str(), &st) != 0) {
        problem_ = "no device"; // an adapter that comes with the board
        return false;
    }
    std::string said;
    {
        Capture capture(&said);
        open_ = serialport_open(port_.c_str(), rate) != 0;
    }
    if (!open_) {
        problem_ = said.empty() ? "cannot open" : shortReason(said);
        return false;
    }
    problem_.clear();
    rate_ = rate;
    return true;
}

Answer LineProbe::ping(uint32_t rate, int waitMs) {
    if (!ensureOpen(rate)) {
        return Answer::NoPort;
    }
    std::string said;
    char reply[kAnswerLen + 1] = {};
    {
        Capture capture(&said);
        serialport_set_timeout(static_cast<uint32_t>(waitMs));
        if (serialport_write(reinterpret_cast<const uint8_t *>(kPing), sizeof kPing - 1) ==
            static_cast<int32_t>(sizeof kPing - 1)) {
            serialport_read(reinterpret_cast<uint8_t *>(reply), kAnswerLen);
        }
    }
    bool answered = std::strcmp(reply, kAnswer) == 0;
    if (!said.empty() || (!answered && reply[0] != '\0')) {
        close(); // a hung-up line or stray bytes: start afresh next time
    }
    if (!said.empty()) {
        problem_ = shortReason(said);
        return Answer::NoPort;
    }
    return answered ? Answer::Yes : Answer::No;
}

void LineProbe::close() {
    if (open_) {
        std::string said;
        Capture capture(&said);
        serialport_close();
    }
    open_ = false;
    rate_ = 0;
}

} // namespace gang
