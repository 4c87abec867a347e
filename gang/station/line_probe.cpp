#include "station/line_probe.h"

#include "station/station_state.h"

#include "KelvoPG_core.h"

#include <cctype>
#include <cstring>
#include <sys/stat.h>

namespace gang {
namespace {

const char kPing[] = "ping\n";
const char kAnswer[] = "ping";
constexpr uint32_t kAnswerLen = 4;
constexpr uint32_t kReplySize = 100;
// The word every connection writes before it changes the line's rate; a
// chip reset into its boot loader holds another value there. Reading it
// back tells the board a slot has met from the next one put in.
const char kMarkWrite[] = "EW 40002800 7EFFFFFF\n";
const char kMarkRead[] = "DW 40002800\r\n";
const char kMarkValue[] = "7EFFFFFF";

bool holdsMark(const char *reply) {
    std::string text(reply);
    for (char &c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text.find(kMarkValue) != std::string::npos;
}

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
        problem_ = kNoDevice; // an adapter that comes with the board
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

bool LineProbe::exchange(uint32_t rate, const std::string &command, int waitMs, char *reply,
                         uint32_t size) {
    if (!ensureOpen(rate)) {
        return false;
    }
    std::string said;
    {
        Capture capture(&said);
        serialport_set_timeout(static_cast<uint32_t>(waitMs));
        bool sent =
            command.empty() || serialport_write(reinterpret_cast<const uint8_t *>(command.data()),
                                                static_cast<uint32_t>(command.size())) ==
                                   static_cast<int32_t>(command.size());
        if (sent) {
            serialport_read(reinterpret_cast<uint8_t *>(reply), size);
        }
    }
    if (!said.empty()) {
        close(); // a hung-up line: start afresh next time
        problem_ = shortReason(said);
        return false;
    }
    return true;
}

Answer LineProbe::ping(uint32_t rate, int waitMs) {
    char reply[kAnswerLen + 1] = {};
    if (!exchange(rate, kPing, waitMs, reply, kAnswerLen)) {
        return Answer::NoPort;
    }
    if (std::strcmp(reply, kAnswer) == 0) {
        return Answer::Yes;
    }
    if (reply[0] == '\0') {
        return Answer::No;
    }
    close(); // stray bytes: start afresh next time, without what is left of them
    return Answer::Other;
}

Answer LineProbe::mark(uint32_t rate, int waitMs) {
    char reply[kReplySize + 1] = {};
    if (!exchange(rate, kMarkWrite, waitMs, reply, kReplySize)) {
        return Answer::NoPort;
    }
    return reply[0] == '\0' ? Answer::No : Answer::Yes;
}

Answer LineProbe::marked(uint32_t rate, int waitMs) {
    char reply[kReplySize + 1] = {};
    if (!exchange(rate, kMarkRead, waitMs, reply, kReplySize)) {
        return Answer::NoPort;
    }
    if (reply[0] == '\0') {
        return Answer::No;
    }
    return holdsMark(reply) ? Answer::Yes : Answer::Other;
}

Answer LineProbe::listen(uint32_t rate, int waitMs) {
    char reply[kReplySize + 1] = {};
    if (!exchange(rate, "", waitMs, reply, kReplySize)) {
        return Answer::NoPort;
    }
    return reply[0] == '\0' ? Answer::No : Answer::Other;
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
