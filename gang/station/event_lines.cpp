#include "station/event_lines.h"

#include <cerrno>
#include <ctime>
#include <unistd.h>

namespace gang {

void EventLines::print(const std::string &who, const std::string &what) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::fprintf(out_, "%s %s: %s\n", stamp, who.c_str(), what.c_str());
    std::fflush(out_);
}

void EventLines::slotEvent(const StationState &state, size_t slot, const std::string &event) {
    print(state.slots[slot].label, event);
}

void EventLines::notice(const StationState &, const std::string &text) {
    print("station", text);
}

void EventLines::refresh(const StationState &state, Counters::Time) {
    if (state.link != link_) {
        link_ = state.link;
        print("station", link_.empty() ? "link up" : link_);
    }
}

int EventLines::key() {
    char c;
    ssize_t n = ::read(keys_, &c, 1);
    if (n == 1) {
        return static_cast<unsigned char>(c);
    }
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        keys_ = -1; // ended input: no more keys, and nothing to poll
    }
    return -1;
}

} // namespace gang
