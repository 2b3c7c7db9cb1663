#include "live_start.hpp"

#include "farm/farm.hpp"
#include "serve/server.hpp"
#include "web/server.hpp"

namespace vq6120::sim {
namespace {

template <class Loop>
bool start(const std::string &http, Loop &loop, std::shared_ptr<void> &live, std::ostream &out,
           std::string &error) {
    if (http.empty()) {
        return true;
    }
    LiveOptions options;
    if (!parse_http_address(http, options, error)) {
        return false;
    }
    auto view = std::make_shared<LiveView>(live_source(loop), options);
    if (!view->start(error)) {
        return false;
    }
    loop.watch(view->watcher());
    out << "http: " << view->url() << std::endl;
    live = std::move(view);
    return true;
}

}  // namespace

bool check_live_address(const std::string &http, std::string &error) {
    LiveOptions options;
    return parse_http_address(http, options, error);
}

bool start_live(const std::string &http, Simulator &loop, std::shared_ptr<void> &live, std::ostream &out,
                std::string &error) {
    return start(http, loop, live, out, error);
}

bool start_live(const std::string &http, Farm &loop, std::shared_ptr<void> &live, std::ostream &out,
                std::string &error) {
    return start(http, loop, live, out, error);
}

}  // namespace vq6120::sim
