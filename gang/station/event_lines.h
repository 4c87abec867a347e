// The station's view when standard output is no terminal (a pipe, a file,
// a service's journal): one line per slot event, no screen control.
#pragma once

#include "station/station_state.h"

#include <cstdio>

namespace gang {

class EventLines : public StationView {
  public:
    // keys: read "q" from this descriptor (a pipe or terminal), or -1.
    EventLines(FILE *out, int keys) : out_(out), keys_(keys) {}
    void slotEvent(const StationState &state, size_t slot, const std::string &event) override;
    void notice(const StationState &state, const std::string &text) override;
    void refresh(const StationState &state, Counters::Time now) override;
    int keyFd() const override { return keys_; }
    int key() override;

  private:
    void print(const std::string &who, const std::string &what);
    FILE *out_;
    int keys_;
    std::string link_; // last link status printed
};

} // namespace gang
