// The gateway's connection to the broker, driven from the owner's Poller
// rather than a thread of libmosquitto's: the link watches its socket there
// (for writing too while libmosquitto has bytes to send) and runs its
// keepalive and reconnect timer on the Poller's clock.
//
// Messages produced while the broker is away wait in a bounded queue; when it
// is full the oldest is dropped and counted. Retained state is not queued: the
// owner republishes the current state on every connect (`on_connected`).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "config.hpp"
#include "vq6120.hpp"

struct mosquitto;
struct mosquitto_message;
typedef struct mqtt5__property mosquitto_property;

namespace vq6120::gateway {

struct Message {
    std::string topic;
    std::string payload;
    int qos = 0;
    bool retain = false;
    std::string correlation;  // MQTT v5 correlation data; empty for none
    std::chrono::steady_clock::time_point read_at{};  // an event's: when it was read from its terminal
};

class MqttLink {
public:
    struct Callbacks {
        std::function<void()> connected;                    // subscribe and republish states here
        std::function<void(const std::string &reason)> lost;
        std::function<void(const std::string &topic, std::string_view payload, std::string_view correlation)> message;
        std::function<void()> ticked;                       // after each tick, at least once a second
        std::function<void(const Message &)> sent;          // handed to the connection
        // When set, the will of each new attempt; told whether the attempt
        // before it sent its CONNECT (reached a broker, refused or not).
        std::function<Message(bool previous_sent)> will;
        std::function<void(int mid)> acked;  // a QoS 1 message's PUBACK came
    };

    // `will` is what the broker publishes (retained) when the gateway goes
    // away without saying so.
    MqttLink(const BrokerConfig &config, const Message &will, Callbacks callbacks, vq6120::Poller &poller);
    ~MqttLink();
    MqttLink(const MqttLink &) = delete;
    MqttLink &operator=(const MqttLink &) = delete;

    void start();
    // Sends now when connected, queues otherwise (or when the send fails).
    void publish(Message m);
    // Hands `m` (QoS 1) to the connection now, never queued: its message id,
    // which the `acked` callback names once the broker took it; -1 when it
    // was not sent (not connected), -2 when it never can be (too large).
    int publish_acked(const Message &m);
    // `no_local`: this connection's own messages do not come back.
    void subscribe(const std::vector<std::string> &filters, bool no_local = true);
    void unsubscribe(const std::vector<std::string> &filters);


    // Publishes `last` (bypassing the queue when connected), writes out what
    // is pending for up to `flush_ms`, then disconnects cleanly so the broker
    // drops the last will.
    // `keep_will`: the DISCONNECT asks the broker to publish the will all
    // the same (MQTT 5 reason 0x04, Disconnect with Will Message).
    void stop(const std::vector<Message> &last, int flush_ms, bool keep_will = false);
    // Publishes `last`, disconnects keeping the will (0x04) and connects
    // again after the shortest backoff, all without blocking the loop.
    void leave(const Message &last);

    // Every connect after the first with a client made anew: none of
    // libmosquitto's unacknowledged QoS 1 copies from the connection before
    // goes again (the owner republishes what was not acknowledged).
    void fresh_sessions(bool on) { fresh_sessions_ = on; }

    bool connected() const { return connected_; }
    std::uint64_t dropped() const { return dropped_; }
    std::size_t queued() const { return queue_.size(); }
    std::uint64_t connects() const { return connects_; }

private:
    using Clock = std::chrono::steady_clock;
    static void on_connect(mosquitto *, void *self, int rc, int flags, const mosquitto_property *);
    static void on_disconnect(mosquitto *, void *self, int rc, const mosquitto_property *);
    static void on_message(mosquitto *, void *self, const mosquitto_message *m, const mosquitto_property *props);
    enum class Sent { yes, later, never };
    static void on_publish(mosquitto *, void *self, int mid, int reason, const mosquitto_property *);
    Sent send(const Message &m, int *mid = nullptr);
    void enqueue(Message m);
    void connection_lost(const std::string &reason);
    void attempt();
    // The client's options, will and callbacks; throws naming what failed.
    void configure();
    static void check(int rc, const char *what);
    // Follows the socket's number and write interest in the Poller.
    void notify();
    int socket() const;
    bool wants_write() const;
    void readable();
    void writable();
    void tick();
    // Milliseconds until tick() has work (keepalive or a due reconnect).
    int next_tick_ms() const;
    void schedule_tick();
    void detach();
    void in_chunks(const std::vector<std::string> &filters, const std::function<void(int, char **)> &send);

    BrokerConfig config_;
    Message will_;
    Callbacks callbacks_;
    mosquitto *mosq_ = nullptr;
    std::deque<Message> queue_;
    std::uint64_t dropped_ = 0;
    std::uint64_t connects_ = 0;
    bool connected_ = false;
    bool attempting_ = false;  // a socket exists (connecting or connected)
    bool stopping_ = false;
    vq6120::Backoff backoff_;  // the terminals' rule: doubling, with jitter
    std::minstd_rand random_;
    unsigned failures_ = 0;    // attempts failed since the last connection that was up
    bool sent_connect_ = false;  // this attempt's CONNECT left: the socket reached a peer
    bool leaving_ = false;       // leave() disconnected; the loss that follows is no failure
    bool fresh_sessions_ = false;
    bool attempted_ = false;  // an attempt was made with this client
    Clock::time_point next_attempt_{};
    std::string refusal_;  // the broker's refusal, reported with the disconnect that follows
    vq6120::Poller &poller_;
    vq6120::Poller::WatchId watch_ = 0;
    vq6120::Poller::TimerId tick_ = 0;
    int watched_fd_ = -1;  // as the Poller watches it
    bool watched_write_ = false;
};

}  // namespace vq6120::gateway
