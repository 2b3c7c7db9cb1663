#include "redundancy.hpp"

#include <algorithm>

namespace vq6120::gateway {

std::string_view role_name(Role r) { return r == Role::active ? "active" : "standby"; }

RoleMachine::RoleMachine(std::string node, std::chrono::milliseconds settle, std::chrono::milliseconds fence)
    : node_(std::move(node)), settle_(settle), fence_(fence) {}

void RoleMachine::broker_up(Time now) {
    phase_ = Phase::settling;
    settle_end_ = now + settle_;
    // A fence that runs goes on until the claim is confirmed again: a link
    // that comes and goes faster than settle_ms never holds terminals longer.
    // The retained roles come again on this connection.
    peers_.clear();
    last_published_.reset();
    // What it held it keeps, unconfirmed: nothing lost is connected again.
    if (hold_ == Hold::all) hold_ = Hold::keep;
    tick(now);
}

void RoleMachine::broker_down(Time now) {
    phase_ = Phase::down;
    to_publish_.reset();
    if (hold_ == Hold::none) return;
    hold_ = Hold::keep;
    if (!fencing_) {
        fencing_ = true;
        fence_end_ = now + fence_;
    }
    tick(now);
}

void RoleMachine::message(const std::string &node, std::string_view payload, Time now) {
    if (phase_ == Phase::down) return;
    const bool active = payload == "active";
    if (!active && payload != "standby" && payload != "gone") return;
    if (node == node_) {
        // Our own claim back from the broker, before any peer's: ours is first.
        if (phase_ == Phase::claiming && active) {
            phase_ = Phase::settled;
            role_ = Role::active;
            hold_ = Hold::all;
            fencing_ = false;
        }
        return;
    }
    if (payload == "gone") {
        peers_.erase(node);
    } else {
        peers_[node] = active ? Role::active : Role::standby;
    }
    if (active) {
        // Settling or claiming: the peer is (or claimed) first. Active: the
        // peer claimed after us and yields when it sees our claim.
        if (phase_ != Phase::settled || role_ != Role::active) yield();
        return;
    }
    if (phase_ == Phase::settled && role_ == Role::standby) claim_if_free();
    tick(now);
}

void RoleMachine::tick(Time now) {
    if (fencing_ && now >= fence_end_) {
        fencing_ = false;
        role_ = Role::standby;
        hold_ = Hold::none;
    }
    if (phase_ == Phase::settling && now >= settle_end_) {
        phase_ = Phase::settled;
        claim_if_free();
    }
}

std::optional<Role> RoleMachine::take_publish() {
    auto r = to_publish_;
    to_publish_.reset();
    return r;
}

std::optional<RoleMachine::Time> RoleMachine::deadline() const {
    std::optional<Time> at;
    if (phase_ == Phase::settling) at = settle_end_;
    if (fencing_) at = at ? std::min(*at, fence_end_) : fence_end_;
    return at;
}

std::string RoleMachine::active_peer() const {
    for (const auto &[node, role] : peers_) {
        if (role == Role::active) return node;
    }
    return {};
}

void RoleMachine::claim_if_free() {
    if (!active_peer().empty()) {
        yield();
        return;
    }
    phase_ = Phase::claiming;
    publish(Role::active);
}

void RoleMachine::yield() {
    role_ = Role::standby;
    hold_ = Hold::none;
    fencing_ = false;
    if (phase_ == Phase::claiming) phase_ = Phase::settled;
    if (phase_ == Phase::settled) publish(Role::standby);
}

void RoleMachine::publish(Role r) {
    if (last_published_ == r) return;
    last_published_ = r;
    to_publish_ = r;
}

}  // namespace vq6120::gateway
