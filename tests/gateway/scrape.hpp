// The gateway's metrics as a Prometheus scrape reads them.
#pragma once

#include <httplib.h>

#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "harness.hpp"

namespace vq6120::gateway::test {

// The samples of a scrape, "name{labels}" -> value.
inline std::map<std::string, double> scrape(std::uint16_t port, std::string *text = nullptr) {
    httplib::Client http("127.0.0.1", port);
    const auto res = http.Get("/metrics");
    if (!res || res->status != 200) fail("no metrics on port " + std::to_string(port));
    if (text != nullptr) *text = res->body;
    std::map<std::string, double> samples;
    std::istringstream lines(res->body);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        const auto space = line.rfind(' ');
        samples[line.substr(0, space)] = std::stod(line.substr(space + 1));
    }
    return samples;
}

// Scrapes until `name` reaches `value` (or 10 s pass); the last samples.
inline std::map<std::string, double> scrape_until(std::uint16_t port, const std::string &name, double value) {
    auto m = scrape(port);
    for (int i = 0; i < 200 && m[name] != value; ++i) {
        std::this_thread::sleep_for(50ms);
        m = scrape(port);
    }
    return m;
}

}  // namespace vq6120::gateway::test
