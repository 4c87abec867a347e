#include "factory_link.h"

#include <climits>
#include <unistd.h>

namespace factory {

std::string defaultSpoolDir(const std::string &runDir) {
    std::string dir = runDir;
    while (dir.size() > 1 && dir.back() == '/') {
        dir.pop_back();
    }
    size_t slash = dir.rfind('/');
    if (slash == std::string::npos) {
        return "cfx-spool";
    }
    return dir.substr(0, slash + 1) + "cfx-spool";
}

std::string defaultHandle() {
    char host[HOST_NAME_MAX + 1] = {};
    if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') {
        return "kelvo.localhost";
    }
    return std::string("kelvo.") + host;
}

FactoryLink::~FactoryLink() {
    finish(std::chrono::milliseconds(0));
}

bool FactoryLink::start(const FactoryLinkOptions &options, const std::string &runDir,
                        std::string *error) {
    if (options.url.empty()) {
        return true;
    }
    if (!parseBrokerUrl(options.url, &url_, error)) {
        return false;
    }
    if (!options.password.empty()) {
        url_.password = options.password;
    }
    handle_ = options.handle.empty() ? defaultHandle() : options.handle;
    std::string dir = options.spoolDir.empty() ? defaultSpoolDir(runDir) : options.spoolDir;
    if (!spool_.open(dir, error)) {
        return false;
    }
    publisher_ = std::make_unique<Publisher>(url_, &spool_);
    post("CFX.EndpointConnected", std::chrono::system_clock::now(),
         cfx::endpointConnectedBody(handle_));
    return true;
}

void FactoryLink::connect() {
    if (active()) {
        publisher_->start();
    }
}

uint64_t FactoryLink::post(const std::string &name, cfx::WallTime when,
                           const nlohmann::ordered_json &body) {
    std::string error;
    uint64_t number = 0;
    if (!spool_.append(cfx::envelope(name, handle_, when, body), &error, &number)) {
        // The board's result is in its log; only the factory's copy is lost.
        if (!spoolFailed_) {
            warnings_ += "factory link: " + error + " (message " + name + " lost)\n";
        }
        spoolFailed_ = true;
        return 0;
    }
    spoolFailed_ = false;
    publisher_->wake();
    return number;
}

BoardTransaction FactoryLink::boardStarted(const cfx::Unit &unit, cfx::WallTime when) {
    BoardTransaction transaction;
    transaction.unit = unit;
    if (!active()) {
        return transaction;
    }
    transaction.id = cfx::newUuid();
    post("CFX.Production.WorkStarted", when, cfx::workStartedBody(transaction.id, unit));
    return transaction;
}

void FactoryLink::boardEnded(const BoardTransaction &transaction, const cfx::BoardResult &result) {
    if (!active() || transaction.id.empty()) {
        return;
    }
    post("CFX.Production.TestAndInspection.UnitsTested", result.end,
         cfx::unitsTestedBody(transaction.id, transaction.unit, result));
    post("CFX.Production.WorkCompleted", result.end,
         cfx::workCompletedBody(transaction.id, transaction.unit, result));
}

void FactoryLink::heartbeat(std::chrono::seconds interval) {
    if (!active()) {
        return;
    }
    uint64_t number = post("CFX.Heartbeat", std::chrono::system_clock::now(),
                           cfx::heartbeatBody(handle_, interval));
    // Only the latest heartbeat says anything: while the broker is away,
    // the one before it gives way (a no-op once delivered).
    if (number != 0 && waitingHeartbeat_ != 0) {
        spool_.remove(waitingHeartbeat_);
    }
    if (number != 0) {
        waitingHeartbeat_ = number;
    }
}

bool FactoryLink::isUp() const {
    return active() && publisher_->status().state == LinkState::Up;
}

std::string FactoryLink::statusLine() const {
    if (!active()) {
        return "";
    }
    LinkStatus status = publisher_->status();
    switch (status.state) {
    case LinkState::Up:
        return "factory link up";
    case LinkState::Connecting:
        return "factory link connecting to " + url_.hostPort();
    case LinkState::Down:
        break;
    }
    return "factory link down: " + status.reason;
}

std::string FactoryLink::takeWarnings() {
    if (active()) {
        LinkStatus status = publisher_->status();
        if (status.rejected > rejectedSeen_) {
            warnings_ +=
                "factory link: message moved aside, not sent again: " + status.lastRejected + "\n";
            rejectedSeen_ = status.rejected;
        }
    }
    std::string text;
    text.swap(warnings_);
    return text;
}

std::string FactoryLink::finish(std::chrono::milliseconds grace) {
    if (!active()) {
        return "";
    }
    if (grace.count() > 0) {
        publisher_->start(); // a run too short to have connected still delivers
    }
    publisher_->stop(grace);
    warnings_ = takeWarnings(); // refusals during the last deliveries too
    LinkStatus status = publisher_->status();
    size_t waiting = spool_.size();
    std::string line = "factory link: " + std::to_string(status.delivered) +
                       " messages delivered to " + url_.shown();
    if (waiting > 0) {
        line +=
            "; " + std::to_string(waiting) + " waiting in " + spool_.dir() + " for the next run";
        if (status.state == LinkState::Down) {
            line += " (link down: " + status.reason + ")";
        }
    }
    publisher_.reset();
    return line + "\n";
}

} // namespace factory
