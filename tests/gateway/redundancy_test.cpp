// The role machine's rules on a hand-moved clock: each story is a list of
// inputs at exact times and what the machine holds and publishes after each.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "redundancy.hpp"

namespace vq6120::gateway {
namespace {

using namespace std::chrono_literals;

constexpr auto kSettle = 1000ms;
constexpr auto kFence = 5000ms;

struct Step {
    int at_ms;
    std::string input;  // "up", "down", "tick", "<node>=<payload>"
    Hold hold;
    Role role;
    std::string published;  // "", "active", "standby"
};

struct Story {
    std::string name;
    std::vector<Step> steps;
};

void play(const Story &story) {
    RoleMachine m("b", kSettle, kFence);
    const RoleMachine::Time t0{};
    for (std::size_t i = 0; i < story.steps.size(); ++i) {
        const Step &s = story.steps[i];
        const auto now = t0 + std::chrono::milliseconds(s.at_ms);
        if (s.input == "up") {
            m.broker_up(now);
        } else if (s.input == "down") {
            m.broker_down(now);
        } else if (s.input == "tick") {
            m.tick(now);
        } else {
            const auto eq = s.input.find('=');
            m.message(s.input.substr(0, eq), s.input.substr(eq + 1), now);
        }
        const auto published = m.take_publish();
        const std::string where = story.name + ", step " + std::to_string(i) + " (" + s.input + " at " + std::to_string(s.at_ms) + ")";
        EXPECT_EQ(m.hold(), s.hold) << where;
        EXPECT_EQ(m.role(), s.role) << where;
        EXPECT_EQ(published ? std::string(role_name(*published)) : "", s.published) << where;
    }
}

constexpr Hold N = Hold::none, K = Hold::keep, A = Hold::all;
constexpr Role S = Role::standby, Act = Role::active;

TEST(RoleMachine, Stories) {
    const Story stories[] = {
        {"alone: settles, claims, holds on its own echo",
         {{0, "up", N, S, ""}, {999, "tick", N, S, ""}, {1000, "tick", N, S, "active"}, {1001, "b=active", A, Act, ""}}},
        {"starts while another is active: standby, never claims",
         {{0, "up", N, S, ""}, {5, "a=active", N, S, ""}, {1000, "tick", N, S, "standby"}, {9000, "tick", N, S, ""}}},
        {"the active's will: the standby claims at once",
         {{0, "up", N, S, ""}, {5, "a=active", N, S, ""}, {1000, "tick", N, S, "standby"}, {3000, "a=gone", N, S, "active"},
          {3001, "b=active", A, Act, ""}}},
        {"the active gives up (says standby): the standby claims",
         {{0, "up", N, S, ""}, {5, "a=active", N, S, ""}, {1000, "tick", N, S, "standby"}, {2000, "a=standby", N, S, "active"},
          {2001, "b=active", A, Act, ""}}},
        {"both claim at once, the peer's claim first: yields",
         {{0, "up", N, S, ""}, {1000, "tick", N, S, "active"}, {1001, "a=active", N, S, "standby"}, {1002, "b=active", N, S, ""}}},
        {"both claim at once, ours first: stays active, the peer yields",
         {{0, "up", N, S, ""}, {1000, "tick", N, S, "active"}, {1001, "b=active", A, Act, ""}, {1002, "a=active", A, Act, ""},
          {1003, "a=standby", A, Act, ""}}},
        {"fencing: holds what it has, releases at exactly fence_ms",
         {{0, "up", N, S, ""}, {1000, "tick", N, S, "active"}, {1001, "b=active", A, Act, ""}, {2000, "down", K, Act, ""},
          {6999, "tick", K, Act, ""}, {7000, "tick", N, S, ""}}},
        {"back within fence_ms, no one else active: keeps, settles, claims again",
         {{0, "up", N, S, ""}, {1000, "tick", N, S, "active"}, {1001, "b=active", A, Act, ""}, {2000, "down", K, Act, ""},
          {3000, "up", K, Act, ""}, {3999, "tick", K, Act, ""}, {4000, "tick", K, Act, "active"}, {4001, "b=active", A, Act, ""},
          {9000, "tick", A, Act, ""}}},
        {"back within fence_ms, the peer took over: releases, stays standby",
         {{0, "up", N, S, ""}, {1000, "tick", N, S, "active"}, {1001, "b=active", A, Act, ""}, {2000, "down", K, Act, ""},
          {3000, "up", K, Act, ""}, {3010, "a=active", N, S, ""}, {4000, "tick", N, S, "standby"}, {9000, "tick", N, S, ""}}},
        {"fenced, back after the peer took over: takes nothing back",
         {{0, "up", N, S, ""}, {1000, "tick", N, S, "active"}, {1001, "b=active", A, Act, ""}, {2000, "down", K, Act, ""},
          {7000, "tick", N, S, ""}, {8000, "up", N, S, ""}, {8001, "a=active", N, S, ""}, {9000, "tick", N, S, "standby"}}},
        {"a standby that loses the broker has nothing to fence",
         {{0, "up", N, S, ""}, {5, "a=active", N, S, ""}, {1000, "tick", N, S, "standby"}, {2000, "down", N, S, ""},
          {9000, "tick", N, S, ""}}},
        {"junk and our own stale role while settling change nothing",
         {{0, "up", N, S, ""}, {1, "a=ACTIVE", N, S, ""}, {2, "b=active", N, S, ""}, {3, "a=", N, S, ""},
          {1000, "tick", N, S, "active"}}},
    };
    for (const Story &s : stories) play(s);
}

TEST(RoleMachine, DeadlineIsTheNearestTimer) {
    RoleMachine m("b", kSettle, kFence);
    const RoleMachine::Time t0{};
    EXPECT_FALSE(m.deadline());
    m.broker_up(t0);
    EXPECT_EQ(m.deadline(), t0 + kSettle);
    m.tick(t0 + kSettle);
    m.message("b", "active", t0 + kSettle);
    EXPECT_FALSE(m.deadline());
    m.broker_down(t0 + 2s);
    EXPECT_EQ(m.deadline(), t0 + 2s + kFence);
    // Back, settling, and down again: the fence runs from the first loss.
    m.broker_up(t0 + 3s);
    EXPECT_EQ(m.deadline(), t0 + 3s + kSettle);
    m.broker_down(t0 + 3s + 10ms);
    EXPECT_EQ(m.deadline(), t0 + 2s + kFence);
    m.tick(t0 + 2s + kFence);
    EXPECT_EQ(m.hold(), Hold::none);
}

}  // namespace
}  // namespace vq6120::gateway
