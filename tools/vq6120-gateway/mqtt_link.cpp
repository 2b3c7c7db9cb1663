#include "mqtt_link.hpp"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "log.hpp"

namespace vq6120::gateway {

namespace {

// Subscriptions go out in packets of this many filters.
constexpr std::size_t kFiltersPerSubscribe = 100;
constexpr int kMiscIntervalMs = 1000;

std::string reason_of(int rc) {
    return rc == MOSQ_ERR_ERRNO ? std::string("connection error") : mosquitto_strerror(rc);
}

// Whether the socket's connect completed: from then on the CONNECT that
// libmosquitto queued with it goes out.
bool reached_peer(int fd) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    return fd >= 0 && ::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) == 0;
}

}  // namespace

MqttLink::MqttLink(const BrokerConfig &config, const Message &will, Callbacks callbacks, vq6120::Poller &poller)
    : config_(config), will_(will), callbacks_(std::move(callbacks)), random_(std::random_device{}()), poller_(poller) {
    backoff_.initial = std::chrono::milliseconds(config_.reconnect_min_ms);
    backoff_.maximum = std::chrono::milliseconds(config_.reconnect_max_ms);
    static std::once_flag init;
    std::call_once(init, [] {
        mosquitto_lib_init();
        std::atexit([] { mosquitto_lib_cleanup(); });
    });
    mosq_ = mosquitto_new(config_.client_id.c_str(), true, this);
    if (mosq_ == nullptr) throw std::runtime_error("cannot create the MQTT client");
    try {
        configure();
    } catch (const std::exception &) {
        // No destructor will free the client.
        mosquitto_destroy(std::exchange(mosq_, nullptr));
        throw;
    }
}

void MqttLink::configure() {
    check(mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5), "protocol version");
    // Events are small and each is due at once: no Nagle delay on them.
    check(mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1), "TCP_NODELAY");
    check(mosquitto_will_set_v5(mosq_, will_.topic.c_str(), static_cast<int>(will_.payload.size()), will_.payload.data(),
                                will_.qos, will_.retain, nullptr),
          "last will");
    if (!config_.username.empty()) {
        check(mosquitto_username_pw_set(mosq_, config_.username.c_str(),
                                        config_.password.empty() ? nullptr : config_.password.c_str()),
              "credentials");
    }
    if (config_.tls) {
        const TlsConfig &t = *config_.tls;
        const auto opt = [](const std::string &s) { return s.empty() ? nullptr : s.c_str(); };
        check(mosquitto_tls_set(mosq_, t.ca_file.c_str(), nullptr, opt(t.cert_file), opt(t.key_file), nullptr), "TLS files");
        check(mosquitto_tls_insecure_set(mosq_, t.insecure), "TLS host check");
    }
    // libmosquitto's own account (packets, not their contents) with -v.
    mosquitto_log_callback_set(mosq_, [](mosquitto *, void *, int, const char *line) {
        log(Level::debug, std::string("mqtt: ") + line);
    });
    mosquitto_connect_v5_callback_set(mosq_, on_connect);
    mosquitto_disconnect_v5_callback_set(mosq_, on_disconnect);
    mosquitto_message_v5_callback_set(mosq_, on_message);
    mosquitto_publish_v5_callback_set(mosq_, on_publish);
}

MqttLink::~MqttLink() {
    detach();
    mosquitto_destroy(mosq_);
}

void MqttLink::detach() {
    if (watch_ != 0) poller_.unwatch(watch_);
    if (tick_ != 0) poller_.cancel(tick_);
    watch_ = 0;
    tick_ = 0;
}

void MqttLink::check(int rc, const char *what) {
    if (rc == MOSQ_ERR_SUCCESS) return;
    throw std::runtime_error(std::string("MQTT client set-up (") + what + "): " + reason_of(rc));
}

void MqttLink::start() {
    attempt();
    schedule_tick();
}

void MqttLink::schedule_tick() {
    tick_ = poller_.after(std::chrono::milliseconds(next_tick_ms()), [this] {
        tick_ = 0;
        if (stopping_) return;
        tick();
        if (callbacks_.ticked) callbacks_.ticked();
        if (!stopping_) schedule_tick();
    });
}

void MqttLink::attempt() {
    log(Level::info, "broker: connecting to " + config_.host + ":" + std::to_string(config_.port) +
                         (config_.username.empty() ? "" : " as " + config_.username) + (config_.tls ? " over TLS" : ""));
    if (fresh_sessions_ && std::exchange(attempted_, true)) {
        // libmosquitto keeps its copies of QoS 1 messages not acknowledged
        // and resends them, with their old contents, once the next CONNACK
        // came: after whatever the owner published on connect. A client made
        // anew carries none of them; the owner publishes again what was not
        // acknowledged.
        try {
            check(mosquitto_reinitialise(mosq_, config_.client_id.c_str(), true, this), "a fresh client");
            configure();
        } catch (const std::exception &e) {
            connection_lost(e.what());
            notify();
            return;
        }
    }
    if (callbacks_.will) {
        const Message will = callbacks_.will(std::exchange(sent_connect_, false));
        mosquitto_will_set_v5(mosq_, will.topic.c_str(), static_cast<int>(will.payload.size()), will.payload.data(), will.qos,
                              will.retain, nullptr);
    }
    // A connect that has not finished shows as a socket that is not yet
    // writable; the loop's write readiness then completes it.
    const int rc = mosquitto_connect_async(mosq_, config_.host.c_str(), config_.port, config_.keepalive_s);
    if (rc == MOSQ_ERR_SUCCESS) {
        attempting_ = true;
    } else {
        connection_lost(reason_of(rc));
    }
    notify();
}

void MqttLink::connection_lost(const std::string &reason) {
    const bool was_connected = connected_ || std::exchange(leaving_, false);
    connected_ = false;
    attempting_ = false;
    if (stopping_) return;
    // The terminals' backoff between the configured bounds, with their
    // jitter, so gateways that lost one broker do not return in step; a
    // connection that was up starts over from the lower bound.
    if (was_connected) failures_ = 0;
    const auto wait = vq6120::detail::Reconnects::delay(backoff_, failures_++, random_);
    next_attempt_ = Clock::now() + wait;
    log(Level::warning, "broker: " + reason + "; next attempt in " + std::to_string(wait.count()) + " ms");
    if (was_connected && callbacks_.lost) callbacks_.lost(reason);
}

void MqttLink::on_connect(mosquitto *, void *self, int rc, int, const mosquitto_property *) {
    auto *link = static_cast<MqttLink *>(self);
    link->sent_connect_ = true;
    if (rc != 0) {
        // Refused (credentials, identifier): the broker closes the connection.
        link->refusal_ = std::string("refused the connection: ") + mosquitto_reason_string(rc);
        return;
    }
    link->connected_ = true;
    ++link->connects_;
    log(Level::info, "broker: connected");
    // What waited while the broker was away goes first, in order; the owner
    // then adds the current state.
    while (!link->queue_.empty() && link->send(link->queue_.front()) != Sent::later) link->queue_.pop_front();
    if (link->callbacks_.connected) link->callbacks_.connected();
}

void MqttLink::on_disconnect(mosquitto *, void *self, int rc, const mosquitto_property *) {
    auto *link = static_cast<MqttLink *>(self);
    std::string reason = link->refusal_.empty() ? "connection lost (" + reason_of(rc) + ")" : link->refusal_;
    link->refusal_.clear();
    link->connection_lost(reason);
}

void MqttLink::on_message(mosquitto *, void *self, const mosquitto_message *m, const mosquitto_property *props) {
    auto *link = static_cast<MqttLink *>(self);
    void *data = nullptr;
    std::uint16_t length = 0;
    std::string correlation;
    if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &data, &length, false) != nullptr) {
        correlation.assign(static_cast<const char *>(data), length);
        std::free(data);
    }
    if (link->callbacks_.message) {
        link->callbacks_.message(m->topic, std::string_view(static_cast<const char *>(m->payload),
                                                            static_cast<std::size_t>(std::max(m->payloadlen, 0))),
                                 correlation);
    }
}

void MqttLink::on_publish(mosquitto *, void *self, int mid, int reason, const mosquitto_property *) {
    auto *link = static_cast<MqttLink *>(self);
    // A reason of 0x80 or more: the broker refused the message; it is not
    // taken, so it stays unacknowledged and goes again after a reconnect.
    if (reason < 0x80 && link->callbacks_.acked) link->callbacks_.acked(mid);
}

int MqttLink::publish_acked(const Message &m) {
    if (!connected_) return -1;
    int mid = -1;
    const Sent sent = send(m, &mid);
    notify();
    return sent == Sent::yes ? mid : sent == Sent::later ? -1 : -2;
}

MqttLink::Sent MqttLink::send(const Message &m, int *mid) {
    mosquitto_property *props = nullptr;
    if (!m.correlation.empty()) {
        mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, m.correlation.data(),
                                      static_cast<std::uint16_t>(std::min<std::size_t>(m.correlation.size(), 65535)));
    }
    const int rc = mosquitto_publish_v5(mosq_, mid, m.topic.c_str(), static_cast<int>(m.payload.size()),
                                        m.payload.data(), m.qos, m.retain, props);
    mosquitto_property_free_all(&props);
    if (rc == MOSQ_ERR_SUCCESS) {
        if (callbacks_.sent) callbacks_.sent(m);
        return Sent::yes;
    }
    if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_ERRNO) return Sent::later;
    // The broker will never take this one (too large for it, say): waiting
    // would hold up everything behind it.
    ++dropped_;
    log(Level::warning, "broker: dropped a message to " + m.topic + ": " + reason_of(rc));
    return Sent::never;
}

void MqttLink::enqueue(Message m) {
    if (config_.queue_limit == 0) {
        ++dropped_;
        return;
    }
    if (queue_.size() >= config_.queue_limit) {
        queue_.pop_front();
        ++dropped_;
    }
    queue_.push_back(std::move(m));
}

void MqttLink::publish(Message m) {
    if (connected_) {
        // In order: whatever still waits goes first.
        while (!queue_.empty() && send(queue_.front()) != Sent::later) queue_.pop_front();
        if (queue_.empty() && send(m) != Sent::later) {
            notify();
            return;
        }
    }
    enqueue(std::move(m));
}

void MqttLink::subscribe(const std::vector<std::string> &filters, bool no_local) {
    // No-local: the gateway's own results on .../cmd/result never come back.
    in_chunks(filters, [this, no_local](int n, char **chunk) {
        mosquitto_subscribe_multiple(mosq_, nullptr, n, chunk, 1, no_local ? MQTT_SUB_OPT_NO_LOCAL : 0, nullptr);
    });
}

void MqttLink::unsubscribe(const std::vector<std::string> &filters) {
    in_chunks(filters, [this](int n, char **chunk) { mosquitto_unsubscribe_multiple(mosq_, nullptr, n, chunk, nullptr); });
}

void MqttLink::in_chunks(const std::vector<std::string> &filters, const std::function<void(int, char **)> &send) {
    for (std::size_t i = 0; i < filters.size(); i += kFiltersPerSubscribe) {
        std::vector<char *> chunk;
        for (std::size_t j = i; j < std::min(filters.size(), i + kFiltersPerSubscribe); ++j) {
            chunk.push_back(const_cast<char *>(filters[j].c_str()));
        }
        send(static_cast<int>(chunk.size()), chunk.data());
    }
    notify();
}

void MqttLink::notify() {
    // Only a change reaches the Poller: a publish that leaves the socket's
    // readiness as it was costs the loop nothing.
    const int fd = socket();
    const bool write = wants_write();
    if (stopping_ || (fd == watched_fd_ && write == watched_write_)) return;
    if (fd != watched_fd_) {
        // The old descriptor is closed already or about to be: forget it
        // before a new socket can take its number.
        if (watch_ != 0) poller_.unwatch(watch_);
        watch_ = 0;
        // A lost connection brings the next attempt nearer than the next
        // keepalive tick.
        if (fd < 0 && tick_ != 0) {
            poller_.cancel(tick_);
            schedule_tick();
        }
        if (fd >= 0) {
            watch_ = poller_.watch(fd, true, write, [this](bool can_read, bool can_write) {
                if (can_read) readable();
                if (can_write) writable();
            });
        }
    } else if (watch_ != 0) {
        poller_.rewatch(watch_, true, write);
    }
    watched_fd_ = fd;
    watched_write_ = write;
}

int MqttLink::socket() const { return attempting_ ? mosquitto_socket(mosq_) : -1; }

bool MqttLink::wants_write() const { return attempting_ && mosquitto_want_write(mosq_); }

void MqttLink::readable() {
    if (!sent_connect_ && attempting_) sent_connect_ = reached_peer(mosquitto_socket(mosq_));
    const int rc = mosquitto_loop_read(mosq_, 64);
    if (rc != MOSQ_ERR_SUCCESS && attempting_) {
        // libmosquitto has closed the socket; on_disconnect may not have run.
        connection_lost("connection lost (" + reason_of(rc) + ")");
    }
    notify();
}

void MqttLink::writable() {
    if (!sent_connect_ && attempting_) sent_connect_ = reached_peer(mosquitto_socket(mosq_));
    const int rc = mosquitto_loop_write(mosq_, 64);
    if (rc != MOSQ_ERR_SUCCESS && attempting_) {
        mosquitto_disconnect(mosq_);
        connection_lost("connection lost (" + reason_of(rc) + ")");
    }
    notify();
}

void MqttLink::tick() {
    if (attempting_) {
        if (mosquitto_loop_misc(mosq_) != MOSQ_ERR_SUCCESS && attempting_) connection_lost("keepalive expired");
    } else if (!stopping_ && Clock::now() >= next_attempt_) {
        attempt();
        return;
    }
    notify();
}

int MqttLink::next_tick_ms() const {
    if (attempting_ || stopping_) return kMiscIntervalMs;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next_attempt_ - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, kMiscIntervalMs));
}

void MqttLink::leave(const Message &last) {
    if (!connected_) return;
    send(last);
    // Written out by the loop as the socket takes it; the broker closes
    // after the DISCONNECT and libmosquitto reports the loss.
    mosquitto_disconnect_v5(mosq_, MQTT_RC_DISCONNECT_WITH_WILL_MSG, nullptr);
    connected_ = false;
    leaving_ = true;
    notify();
}

void MqttLink::stop(const std::vector<Message> &last, int flush_ms, bool keep_will) {
    // From here the link writes out on its own, without the Poller.
    stopping_ = true;
    detach();
    if (!connected_) return;
    for (const Message &m : last) send(m);
    const auto deadline = Clock::now() + std::chrono::milliseconds(flush_ms);
    while (attempting_ && mosquitto_want_write(mosq_) && Clock::now() < deadline) {
        pollfd p{mosquitto_socket(mosq_), POLLOUT, 0};
        if (::poll(&p, 1, 50) > 0 && mosquitto_loop_write(mosq_, 64) != MOSQ_ERR_SUCCESS) break;
    }
    // A normal disconnect: the broker discards the last will, unless asked
    // to keep it.
    mosquitto_disconnect_v5(mosq_, keep_will ? MQTT_RC_DISCONNECT_WITH_WILL_MSG : MQTT_RC_NORMAL_DISCONNECTION, nullptr);
    while (attempting_ && mosquitto_want_write(mosq_) && Clock::now() < deadline) {
        if (mosquitto_loop_write(mosq_, 1) != MOSQ_ERR_SUCCESS) break;
    }
    connected_ = false;
    attempting_ = false;
}

}  // namespace vq6120::gateway
