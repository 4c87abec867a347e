#include "cfx_publisher.h"

#include <nlohmann/json.hpp>

#include <proton/connection.hpp>
#include <proton/connection_options.hpp>
#include <proton/container.hpp>
#include <proton/delivery_mode.hpp>
#include <proton/error_condition.hpp>
#include <proton/message.hpp>
#include <proton/message_id.hpp>
#include <proton/messaging_handler.hpp>
#include <proton/sender.hpp>
#include <proton/sender_options.hpp>
#include <proton/ssl.hpp>
#include <proton/target_options.hpp>
#include <proton/tracker.hpp>
#include <proton/transport.hpp>
#include <proton/work_queue.hpp>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

namespace factory {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How often the thread looks for new messages and a stop request.
constexpr milliseconds kTick(50);
constexpr milliseconds kFirstRetry(500);
constexpr milliseconds kLongestRetry(30000);
// A broker that stops answering is noticed within about this time.
constexpr milliseconds kIdleTimeout(20000);
// Messages sent and not yet settled, at most.
constexpr size_t kWindow = 64;
// How long a closing connection gets to say goodbye at the end.
constexpr milliseconds kCloseWait(500);

proton::binary tagOf(uint64_t number) {
    proton::binary tag(sizeof number, 0);
    std::memcpy(tag.data(), &number, sizeof number);
    return tag;
}

uint64_t numberOf(const proton::binary &tag) {
    uint64_t number = 0;
    if (tag.size() == sizeof number) {
        std::memcpy(&number, tag.data(), sizeof number);
    }
    return number;
}

std::string reasonOf(const proton::error_condition &error, const std::string &otherwise) {
    if (!error) {
        return otherwise;
    }
    std::string text = error.description();
    // "Connection refused - disconnected host:port": the address is known,
    // and the operator screen has little room.
    size_t suffix = text.find(" - disconnected ");
    if (suffix != std::string::npos) {
        text.erase(suffix);
    }
    return text.empty() ? error.name() : text;
}

} // namespace

class Publisher::Engine : public proton::messaging_handler {
  public:
    Engine(const BrokerUrl &url, Spool *spool) : url_(url), spool_(spool), container_(*this) {
        container_.auto_stop(false);
    }

    void run() {
        try {
            container_.run();
        } catch (const std::exception &e) {
            setDown(std::string("factory link stopped: ") + e.what());
        }
    }

    void wake() { woken_ = true; }

    void requestStop(milliseconds grace) {
        stopDeadline_ = (Clock::now() + grace).time_since_epoch().count();
        stopRequested_ = true;
    }

    LinkStatus status() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return status_;
    }

    // Everything below runs in the container's thread.
    void on_container_start(proton::container &) override {
        connect();
        tick();
    }

    void on_sender_open(proton::sender &) override {
        retryDelay_ = kFirstRetry;
        std::lock_guard<std::mutex> lock(mutex_);
        status_.state = LinkState::Up;
        status_.reason.clear();
    }

    void on_sendable(proton::sender &sender) override { sendPending(sender); }

    void on_tracker_accept(proton::tracker &tracker) override {
        uint64_t number = numberOf(tracker.tag());
        spool_->remove(number);
        unsettled_.erase(number);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++status_.delivered;
        }
        proton::sender sender = tracker.sender();
        sendPending(sender); // the window has room again: the backlog goes on
    }

    void on_tracker_reject(proton::tracker &tracker) override {
        uint64_t number = numberOf(tracker.tag());
        unsettled_.erase(number);
        std::string where = spool_->setAside(number, "rejected by the broker as malformed");
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++status_.rejected;
            status_.lastRejected = where + ": rejected by the broker";
        }
        proton::sender sender = tracker.sender();
        sendPending(sender);
    }

    // Released or modified: not taken this time; sent again, in order,
    // over a new connection.
    void on_tracker_release(proton::tracker &) override {
        dropConnection("the broker did not take a message");
    }

    void on_transport_error(proton::transport &transport) override {
        linkLost(reasonOf(transport.error(), "connection lost"));
    }

    void on_transport_close(proton::transport &) override {
        linkLost("the broker closed the connection");
    }

    void on_connection_error(proton::connection &connection) override {
        pendingReason_ = reasonOf(connection.error(), "the broker closed the connection");
    }

    void on_sender_error(proton::sender &sender) override {
        dropConnection(reasonOf(sender.error(), "the broker refused the address " + url_.address));
    }

    // A link the broker detaches without an error (a queue deleted under
    // it) sends nothing more: start again on a new connection.
    void on_sender_close(proton::sender &) override {
        if (!stopping_) {
            dropConnection("the broker closed the link to " + url_.address);
        }
    }

    void on_error(const proton::error_condition &error) override {
        dropConnection(reasonOf(error, "AMQP error"));
    }

  private:
    void connect() {
        proton::connection_options options;
        options.idle_timeout(proton::duration(kIdleTimeout.count()));
        options.sasl_enabled(true);
        if (!url_.user.empty()) {
            // With a user named, never fall back to an anonymous login.
            options.user(url_.user).password(url_.password).sasl_allowed_mechs("PLAIN");
        }
        if (url_.tls) {
            options.ssl_client_options(proton::ssl_client_options());
        } else {
            options.sasl_allow_insecure_mechs(true);
        }
        proton::sender_options senderOptions;
        senderOptions.delivery_mode(proton::delivery_mode::AT_LEAST_ONCE);
        // A durable target: a broker that creates the queue on demand
        // (RabbitMQ) makes it one that survives its restart.
        senderOptions.target(proton::target_options()
                                 .address(url_.address)
                                 .durability_mode(proton::target::CONFIGURATION));
        connected_ = true;
        pendingReason_.clear();
        try {
            std::string scheme = url_.tls ? "amqps://" : "amqp://";
            connection_ = container_.connect(scheme + url_.hostPort(), options);
            connection_.open_sender(url_.address, senderOptions);
        } catch (const std::exception &e) {
            connected_ = false;
            setDown(e.what());
            scheduleReconnect();
        }
    }

    void sendPending(proton::sender &sender) {
        std::string text;
        uint64_t number;
        while (sender.credit() > 0 && unsettled_.size() < kWindow &&
               spool_->next(lastSent_, &number, &text)) {
            lastSent_ = number;
            proton::message message;
            if (!fill(&message, text)) {
                std::string where = spool_->setAside(number, "not a CFX message in JSON");
                std::lock_guard<std::mutex> lock(mutex_);
                ++status_.rejected;
                status_.lastRejected = where + ": unreadable, not sent";
                continue;
            }
            sender.send(message, tagOf(number));
            unsettled_.insert(number);
        }
    }

    static bool fill(proton::message *message, const std::string &text) {
        nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
        if (!parsed.is_object() || !parsed.contains("UniqueID") ||
            !parsed["UniqueID"].is_string() || !parsed.contains("MessageName") ||
            !parsed["MessageName"].is_string()) {
            return false;
        }
        message->body(proton::binary(text));
        message->content_type("application/json");
        message->durable(true);
        // The receiver can drop a repeat by this id (or the envelope's).
        message->id(parsed["UniqueID"].get<std::string>());
        message->subject(parsed["MessageName"].get<std::string>());
        return true;
    }

    // Everything timed happens here, on one short timer: proton's run()
    // does not return while a timer is pending, so no long ones are left
    // behind at the end.
    void tick() {
        Clock::time_point now = Clock::now();
        if (stopping_) {
            if (!connected_ || now >= closeDeadline_) {
                container_.stop();
                return;
            }
        } else if (stopRequested_ && readyToStop()) {
            beginStop(now);
        } else {
            if (!connected_ && now >= reconnectAt_) {
                connect();
            }
            // Work on the connection goes through its queue: only there
            // does proton write what it produced to the socket.
            if (woken_.exchange(false) && connected_) {
                connection_.work_queue().add(proton::work([this] { sendAll(); }));
            }
        }
        container_.schedule(proton::duration(kTick.count()), [this] { tick(); });
    }

    void sendAll() {
        if (connected_ && status().state == LinkState::Up) {
            for (proton::sender sender : connection_.senders()) {
                sendPending(sender);
            }
        }
    }

    // Closes the connection cleanly when there is one; the tick stops the
    // container once it is closed, or after kCloseWait at the latest.
    void beginStop(Clock::time_point now) {
        stopping_ = true;
        closeDeadline_ = now + kCloseWait;
        if (connected_) {
            connection_.work_queue().add(proton::work([this] {
                if (connected_) {
                    connection_.close();
                }
            }));
        }
    }

    bool readyToStop() const {
        if (Clock::now().time_since_epoch().count() >= stopDeadline_.load()) {
            return true;
        }
        LinkState state = status().state;
        if (state == LinkState::Down) {
            return true;
        }
        return state == LinkState::Up && unsettled_.empty() && spool_->size() == 0;
    }

    void dropConnection(const std::string &reason) {
        if (pendingReason_.empty()) {
            pendingReason_ = reason; // the first report is the cause
        }
        if (connected_) {
            connection_.close();
        }
    }

    void linkLost(const std::string &reason) {
        if (!connected_) {
            return; // the same loss reported twice
        }
        connected_ = false;
        connection_ = proton::connection();
        unsettled_.clear();
        lastSent_ = 0; // what is left in the spool goes again, in order
        if (stopping_) {
            return; // the tick ends the container
        }
        setDown(pendingReason_.empty() ? reason : pendingReason_);
        scheduleReconnect();
    }

    void scheduleReconnect() {
        reconnectAt_ = Clock::now() + retryDelay_;
        retryDelay_ = std::min(retryDelay_ * 2, kLongestRetry);
    }

    void setDown(const std::string &reason) {
        std::lock_guard<std::mutex> lock(mutex_);
        status_.state = LinkState::Down;
        status_.reason = reason;
    }

    BrokerUrl url_;
    Spool *spool_;
    proton::container container_;
    proton::connection connection_;
    bool connected_ = false;
    bool stopping_ = false;
    std::string pendingReason_;
    uint64_t lastSent_ = 0;
    std::set<uint64_t> unsettled_;
    milliseconds retryDelay_ = kFirstRetry;
    Clock::time_point reconnectAt_{};
    Clock::time_point closeDeadline_{};

    std::atomic<bool> woken_{false};
    std::atomic<bool> stopRequested_{false};
    std::atomic<Clock::rep> stopDeadline_{0};
    mutable std::mutex mutex_;
    LinkStatus status_;
};

Publisher::Publisher(const BrokerUrl &url, Spool *spool)
    : engine_(std::make_unique<Engine>(url, spool)) {}

Publisher::~Publisher() {
    stop(milliseconds(0));
}

void Publisher::start() {
    if (!started_) {
        started_ = true;
        thread_ = std::thread([this] { engine_->run(); });
    }
}

void Publisher::wake() {
    engine_->wake();
}

LinkStatus Publisher::status() const {
    return engine_->status();
}

void Publisher::stop(milliseconds grace) {
    if (thread_.joinable()) {
        engine_->requestStop(grace);
        thread_.join();
    }
}

} // namespace factory
