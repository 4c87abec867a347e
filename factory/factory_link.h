// The station's link to the factory: every board's start and end, and the
// station's own comings and goings, as CFX messages spooled on disk and
// published to the broker in the background. Without --cfx it does nothing.
#pragma once

#include "cfx_message.h"
#include "cfx_publisher.h"
#include "cfx_spool.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

namespace factory {

struct FactoryLinkOptions {
    std::string url;      // --cfx; empty: no link
    std::string handle;   // --cfx-handle; empty: kelvo.<hostname>
    std::string spoolDir; // --cfx-spool; empty: cfx-spool/ beside the run directory
    std::string password; // for a URL that names a user and no password
};

// The link's grace at the end of a run: long enough for a broker that is
// up, short enough that nobody waits for one that is slow.
constexpr std::chrono::seconds kFactoryLinkGrace{3};

// The default spool: cfx-spool in the directory that holds runDir.
std::string defaultSpoolDir(const std::string &runDir);
// kelvo.<hostname>
std::string defaultHandle();

// One board's transaction, from its start to its end.
struct BoardTransaction {
    std::string id; // empty when no link
    cfx::Unit unit;
};

class FactoryLink {
  public:
    FactoryLink() = default;
    ~FactoryLink();
    bool active() const { return publisher_ != nullptr; }
    const std::string &handle() const { return handle_; }

    // Checks the URL and opens the spool (usage and setup errors come back
    // in error), and announces the station in the spool.
    bool start(const FactoryLinkOptions &options, const std::string &runDir, std::string *error);
    // Starts the sender's thread and connection; again does nothing. Call
    // it once the boards' processes are forked: they would otherwise carry
    // copies of its sockets, and a closed connection would stay open in them.
    void connect();

    BoardTransaction boardStarted(const cfx::Unit &unit, cfx::WallTime when);
    void boardEnded(const BoardTransaction &transaction, const cfx::BoardResult &result);
    void heartbeat(std::chrono::seconds interval);

    bool isUp() const;
    // "factory link up", "factory link connecting to HOST:PORT", or
    // "factory link down: REASON"; empty without a link.
    std::string statusLine() const;
    // Problems that need someone's attention (a message that could not be
    // spooled, one the broker refused), each once; for standard error.
    std::string takeWarnings();

    // Lets the sender deliver for up to grace, then stops it. Returns the
    // closing line: what was delivered, or what waits in the spool.
    std::string finish(std::chrono::milliseconds grace);

  private:
    // Spools a message; its number, or 0 when it could not be spooled.
    uint64_t post(const std::string &name, cfx::WallTime when, const nlohmann::ordered_json &body);

    std::string handle_;
    BrokerUrl url_;
    Spool spool_;
    std::unique_ptr<Publisher> publisher_;
    std::string warnings_;
    uint64_t rejectedSeen_ = 0;
    bool spoolFailed_ = false;
    uint64_t waitingHeartbeat_ = 0; // the last heartbeat spooled
};

} // namespace factory
