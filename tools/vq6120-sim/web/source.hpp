// What the live view shows and drives: the single simulator, or a farm's
// terminals. Every call is thread-safe (the HTTP threads make them) and acts
// on the loop only through its posted operator commands.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <memory>
#include <string>

#include "model/terminal.hpp"

namespace vq6120::sim {

class Simulator;
class Farm;

class LiveSource {
public:
    virtual ~LiveSource() = default;
    virtual std::size_t size() const = 0;
    virtual Terminal terminal(std::size_t i) const = 0;
    // For the list of terminals: index, port, connected, host, state.
    virtual nlohmann::json summary(std::size_t i) const = 0;
    // One operator command line of the single simulator's language.
    virtual void post(std::size_t i, const std::string &command) = 0;
};

std::unique_ptr<LiveSource> live_source(Simulator &simulator);
std::unique_ptr<LiveSource> live_source(Farm &farm);

}  // namespace vq6120::sim
