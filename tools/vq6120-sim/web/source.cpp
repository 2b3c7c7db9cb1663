#include "web/source.hpp"

#include "farm/farm.hpp"
#include "serve/server.hpp"

namespace vq6120::sim {
namespace {

class SimulatorSource : public LiveSource {
public:
    explicit SimulatorSource(Simulator &s) : sim_(s) {}
    std::size_t size() const override { return 1; }
    Terminal terminal(std::size_t) const override { return sim_.terminal(); }
    nlohmann::json summary(std::size_t) const override {
        const bool connected = sim_.host_connected();
        return {{"index", 0}, {"port", sim_.port()}, {"connected", connected},
                {"state", connected ? "host connected" : "no host"}};
    }
    void post(std::size_t, const std::string &command) override { sim_.post(command); }

private:
    Simulator &sim_;
};

class FarmSource : public LiveSource {
public:
    explicit FarmSource(Farm &f) : farm_(f) {}
    std::size_t size() const override { return farm_.size(); }
    Terminal terminal(std::size_t i) const override { return farm_.terminal(i); }
    nlohmann::json summary(std::size_t i) const override {
        const FarmTerminalState s = farm_.state(i);
        std::string state = s.host_connected ? "host " + s.host : "no host";
        for (const auto &[on, word] : {std::pair{s.frozen, "frozen"}, {s.silent, "silent"},
                                       {s.not_accepting, "not accepting"}, {s.down, "down"}}) {
            if (on) {
                state += std::string(", ") + word;
            }
        }
        return {{"index", i}, {"port", s.port}, {"connected", s.host_connected}, {"state", state}};
    }
    void post(std::size_t i, const std::string &command) override {
        farm_.post("on " + std::to_string(i) + " " + command);
    }

private:
    Farm &farm_;
};

}  // namespace

std::unique_ptr<LiveSource> live_source(Simulator &simulator) { return std::make_unique<SimulatorSource>(simulator); }
std::unique_ptr<LiveSource> live_source(Farm &farm) { return std::make_unique<FarmSource>(farm); }

}  // namespace vq6120::sim
