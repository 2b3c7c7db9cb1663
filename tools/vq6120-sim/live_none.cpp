#include "live_start.hpp"

namespace vq6120::sim {
namespace {

constexpr const char *kNoLiveView = "--http: the live view is not available in this build (no cpp-httplib)";

}  // namespace

bool check_live_address(const std::string &, std::string &error) {
    error = kNoLiveView;
    return false;
}

bool start_live(const std::string &http, Simulator &, std::shared_ptr<void> &, std::ostream &, std::string &error) {
    error = kNoLiveView;
    return http.empty();
}

bool start_live(const std::string &http, Farm &, std::shared_ptr<void> &, std::ostream &, std::string &error) {
    error = kNoLiveView;
    return http.empty();
}

}  // namespace vq6120::sim
