// Active and standby: which of a pair of gateways holds the terminals. The
// terminals themselves take one host at a time, so two gateways can never
// both talk to one terminal; this machine keeps them from fighting over
// them. Pure logic on a clock the caller passes in: no sockets, no timers.
//
// Each gateway publishes its role, retained, on <prefix>/_gateway/<node>/role
// ("active", "standby"; the broker's will says "gone") and reads everyone's.
// The rules, with their timers:
//
//  1. A gateway starts standby, holding nothing.
//  2. After the broker connects it settles for `settle_ms`, reading the
//     retained roles; whatever it held before it keeps, but connects no
//     terminal it lost. A peer seen active meanwhile makes it standby (it
//     releases what it held): one that starts, or comes back, while another
//     is active stays standby.
//  3. Settled, with no peer active (none, or its will said gone, or it
//     said standby), it claims: publishes "active" and waits for that
//     message to come back from the broker. The broker hands every
//     subscriber the messages of one broker in one order, so of two claims
//     made at once both gateways see the same one first: a claim whose echo
//     comes back before any peer's "active" wins (active: it connects
//     every terminal); one that sees a peer's "active" first yields
//     (standby). An active gateway ignores a later peer claim: that peer
//     saw this one's first and yields.
//  4. Fencing: an active gateway that loses the broker keeps the terminals
//     it holds but connects none it loses; after `fence_ms` without the
//     broker it releases all of them and becomes standby, so that the
//     standby, which the broker told of its will, can take them. Back on
//     the broker it goes through rule 2 like a fresh start; the fence runs
//     on until its claim is confirmed again, so a link that comes and goes
//     does not keep the terminals past `fence_ms`.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "config.hpp"

namespace vq6120::gateway {

enum class Role { standby, active };
std::string_view role_name(Role r);

// What the gateway does with its terminals.
enum class Hold {
    none,  // holds none: every terminal released
    keep,  // keeps the ones online, reconnects none it loses
    all,   // connects and keeps every terminal
};

class RoleMachine {
public:
    using Clock = std::chrono::steady_clock;
    using Time = Clock::time_point;

    RoleMachine(std::string node, std::chrono::milliseconds settle, std::chrono::milliseconds fence);

    void broker_up(Time now);
    void broker_down(Time now);
    // A role message on <prefix>/_gateway/<node>/role, our own included:
    // "active", "standby", "gone"; anything else is ignored.
    void message(const std::string &node, std::string_view payload, Time now);
    // Time passed: settling and fencing end here.
    void tick(Time now);

    Role role() const { return role_; }
    Hold hold() const { return hold_; }
    bool claiming() const { return phase_ == Phase::claiming; }
    bool settling() const { return phase_ == Phase::settling; }
    // Active with its claim confirmed on this broker connection: it answers
    // commands. The commands come on the role connection, in the broker's
    // one order with the roles, so of a pair exactly one answers each.
    bool answers() const { return role_ == Role::active && phase_ == Phase::settled; }
    // The role to publish now (retained), once per change; nothing while
    // the broker is away or the gateway settles.
    std::optional<Role> take_publish();
    // When tick() has work next; nullopt when nothing waits for time.
    std::optional<Time> deadline() const;
    // The peer known to be active; empty when none is.
    std::string active_peer() const;

private:
    enum class Phase { down, settling, claiming, settled };
    void claim_if_free();
    void yield();
    void publish(Role r);

    std::string node_;
    std::chrono::milliseconds settle_, fence_;
    Phase phase_ = Phase::down;
    Role role_ = Role::standby;
    Hold hold_ = Hold::none;
    Time settle_end_{}, fence_end_{};
    bool fencing_ = false;
    std::map<std::string, Role, std::less<>> peers_;  // gone ones are dropped
    std::optional<Role> to_publish_;
    std::optional<Role> last_published_;  // on this broker connection
};

}  // namespace vq6120::gateway
