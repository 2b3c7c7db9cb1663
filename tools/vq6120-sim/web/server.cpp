#include "web/server.hpp"

#include <httplib.h>

#include <chrono>
#include <optional>
#include <thread>

#include "web/api.hpp"
#include "web/routes.hpp"

namespace vq6120::sim {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

// A ping this often finds out that a quiet stream's page has gone, and so
// frees its thread.
constexpr auto kStreamPing = 2s;
// Changes closer together than this go out as one event.
constexpr auto kStreamCoalesce = 50ms;
// The largest request body; serial lines are bounded further by the API.
constexpr std::size_t kMaxBody = 16 * 1024;

void send(httplib::Response &res, const LiveReply &reply) {
    res.status = reply.status;
    res.set_header("Cache-Control", reply.cache_control);
    res.set_content(reply.body, reply.content_type);
}

void send_json(httplib::Response &res, int status, const json &j) {
    send(res, {status, "application/json", "no-store", live_dump(j)});
}

// The `?t=N` of a request, when given.
std::optional<std::string> terminal_param(const httplib::Request &req) {
    return req.has_param("t") ? std::optional<std::string>(req.get_param_value("t")) : std::nullopt;
}

// One page's event stream: the state whenever it changed, and the log
// entries it has not had yet.
struct Stream {
    std::size_t terminal = 0;
    std::uint64_t seen = 0;
    std::uint64_t frame_seq = 0;
    std::uint64_t serial_seq = 0;
    std::string last_state;
};

}  // namespace

// Debian's cpp-httplib is a compiled library built without ThreadSanitizer:
// the sanitizer sees its memory calls but not all of the synchronisation
// around them, and so reports races between its own worker threads. Reports
// from inside it are set aside; everything of ours stays checked. Read only
// by a ThreadSanitizer runtime.
extern "C" const char *__tsan_default_suppressions() { return "called_from_lib:libcpp-httplib.so\n"; }

bool parse_http_address(const std::string &text, LiveOptions &options, std::string &error) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        error = "--http wants ADDRESS:PORT, e.g. 127.0.0.1:8080 (got '" + text + "')";
        return false;
    }
    const std::string port = text.substr(colon + 1);
    char *end = nullptr;
    const long p = std::strtol(port.c_str(), &end, 10);
    if (port.empty() || *end != '\0' || p < 0 || p > 65535) {
        error = "--http port '" + port + "' is not in 0..65535";
        return false;
    }
    options.address = text.substr(0, colon);
    options.port = static_cast<std::uint16_t>(p);
    return true;
}

LiveView::LiveView(std::unique_ptr<LiveSource> source, LiveOptions options)
    : source_(std::move(source)), options_(std::move(options)), http_(std::make_unique<httplib::Server>()) {}

LiveView::~LiveView() { stop(); }

std::string LiveView::url() const {
    return "http://" + options_.address + ":" + std::to_string(port_) + "/";
}

bool LiveView::start(std::string &error) {
    // The streams' threads plus a few that are always free for the rest.
    const auto threads = static_cast<std::size_t>(options_.max_streams) + 4;
    http_->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    // A kept-alive connection holds its thread between requests too, and a
    // page that polls every second would hold one for good: one request per
    // connection (cheap on loopback) gives the thread back at once.
    http_->set_keep_alive_max_count(1);
    // A connection that sends nothing (a browser's spare one) waits this long.
    http_->set_keep_alive_timeout(2);
    http_->set_read_timeout(5);
    http_->set_payload_max_length(kMaxBody);
    // The library's default adds SO_REUSEPORT, with which a second simulator
    // asked for the same port would share it silently, each page landing on
    // either. Plain SO_REUSEADDR: quick restarts, and a clear refusal.
    http_->set_socket_options([](socket_t sock) {
        const int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char *>(&yes), sizeof yes);
    });
    routes();
    const int port = options_.port == 0 ? http_->bind_to_any_port(options_.address)
                                        : (http_->bind_to_port(options_.address, options_.port) ? options_.port : -1);
    if (port <= 0) {
        error = "cannot listen for HTTP on " + options_.address + ":" + std::to_string(options_.port);
        return false;
    }
    port_ = static_cast<std::uint16_t>(port);
    thread_ = std::thread([this] { http_->listen_after_bind(); });
    return true;
}

void LiveView::stop() {
    feed_.close();
    if (thread_.joinable()) {
        http_->stop();
        thread_.join();
    }
}

void LiveView::routes() {
    auto &h = *http_;
    // Every route but the event stream is answered by live_reply; httplib
    // matches the path to the route.
    for (const LiveRoute &route : live_routes()) {
        const auto handler = [this, route](const httplib::Request &req, httplib::Response &res) {
            send(res, live_reply(*source_, {std::string(route.method), route.path, terminal_param(req),
                                            req.get_header_value("Content-Type"), req.body}));
        };
        if (route.method == "POST") {
            h.Post(route.path, handler);
        } else {
            h.Get(route.path, handler);
        }
    }

    h.Get("/events", [this](const httplib::Request &req, httplib::Response &res) {
        const auto t = live_terminal(terminal_param(req), source_->size());
        if (!t) {
            send_json(res, 404, {{"error", "no such terminal"}});
            return;
        }
        if (streams_.fetch_add(1) >= options_.max_streams) {
            streams_.fetch_sub(1);
            res.set_header("Retry-After", "5");
            send_json(res, 503, {{"error", "too many open live pages; poll /state.json"}});
            return;
        }
        res.set_header("Cache-Control", "no-store");
        auto stream = std::make_shared<Stream>();
        stream->terminal = *t;
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, stream](std::size_t, httplib::DataSink &sink) {
                if (feed_.closed()) {
                    sink.done();
                    return true;
                }
                const auto version = feed_.wait(stream->seen, kStreamPing);
                if (feed_.closed()) {
                    sink.done();
                    return true;
                }
                if (version == stream->seen) {
                    static constexpr char kPing[] = ": ping\n\n";
                    return sink.write(kPing, sizeof kPing - 1);
                }
                stream->seen = version;
                json state_now = live_state(*source_, stream->terminal);
                std::string state = live_dump(state_now);
                const auto frames = feed_.frames_after(stream->terminal, stream->frame_seq);
                const auto serial = feed_.serial_after(stream->terminal, stream->serial_seq);
                if (!frames.empty()) {
                    stream->frame_seq = frames.back().seq;
                }
                if (!serial.empty()) {
                    stream->serial_seq = serial.back().seq;
                }
                if (state == stream->last_state && frames.empty() && serial.empty()) {
                    return true;
                }
                json event = {{"frames", entries_json(frames)}, {"serial", entries_json(serial)}};
                if (state != stream->last_state) {
                    event["state"] = std::move(state_now);
                    stream->last_state = std::move(state);
                }
                const std::string text = "data: " + live_dump(event) + "\n\n";
                if (!sink.write(text.data(), text.size())) {
                    return false;
                }
                std::this_thread::sleep_for(kStreamCoalesce);
                return true;
            },
            [this](bool) { streams_.fetch_sub(1); });
    });
}

}  // namespace vq6120::sim
