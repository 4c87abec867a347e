// Sends the spool's messages to the broker in their order, from a thread
// of its own, so that the station never waits for the factory network:
// reconnects with backoff when the broker cannot be reached, refuses the
// login or goes away, and removes each message from the spool once the
// broker has accepted it.
#pragma once

#include "cfx_spool.h"
#include "cfx_url.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace factory {

enum class LinkState { Connecting, Up, Down };

struct LinkStatus {
    LinkState state = LinkState::Connecting;
    std::string reason;     // why it is down
    uint64_t delivered = 0; // accepted by the broker in this run
    uint64_t rejected = 0;
    std::string lastRejected; // "<path>: <why>" of the newest refused message
};

class Publisher {
  public:
    Publisher(const BrokerUrl &url, Spool *spool);
    ~Publisher();
    Publisher(const Publisher &) = delete;
    Publisher &operator=(const Publisher &) = delete;

    // Starts the thread, once.
    void start();
    // A new message is in the spool.
    void wake();
    LinkStatus status() const;
    // Gives the link up to grace to deliver what is spooled while it is up
    // or still connecting (not when it is down), then closes it. What was
    // not accepted stays in the spool for the next run.
    void stop(std::chrono::milliseconds grace);

    class Engine; // the thread's side

  private:
    std::unique_ptr<Engine> engine_;
    std::thread thread_;
    bool started_ = false; // once: a stopped container does not run again
};

} // namespace factory
