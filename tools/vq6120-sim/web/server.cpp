#include "web/server.hpp"

#include <httplib.h>

#include <chrono>
#include <optional>
#include <thread>

#include "web/api.hpp"
#include "web/assets.hpp"

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

std::string dump(const json &j) {
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

void send_json(httplib::Response &res, int status, const json &j) {
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(dump(j), "application/json");
}

// The terminal a request is about: `?t=N`, the first when not given;
// nothing for a malformed or unknown one.
std::optional<std::size_t> terminal_of(const httplib::Request &req, std::size_t count) {
    if (!req.has_param("t")) {
        return 0;
    }
    const std::string t = req.get_param_value("t");
    if (t.empty() || t.size() > 6 || t.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    const auto i = std::stoul(t);
    return i < count ? std::optional<std::size_t>(i) : std::nullopt;
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

nlohmann::json LiveView::state(std::size_t terminal) const {
    json s = state_json(source_->terminal(terminal), false);
    s["terminal"] = source_->summary(terminal);
    s["connected"] = s["terminal"]["connected"];
    return s;
}

void LiveView::routes() {
    auto &h = *http_;
    for (const auto &asset : web_assets()) {
        const std::string path = asset.path == "/index.html" ? "/" : std::string(asset.path);
        h.Get(path, [&asset](const httplib::Request &, httplib::Response &res) {
            res.set_header("Cache-Control", "no-cache");
            res.set_content(asset.body.data(), asset.body.size(), std::string(asset.type).c_str());
        });
    }

    h.Get("/terminals.json", [this](const httplib::Request &, httplib::Response &res) {
        json list = json::array();
        for (std::size_t i = 0; i < source_->size(); ++i) {
            list.push_back(source_->summary(i));
        }
        send_json(res, 200, {{"terminals", list}});
    });

    h.Get("/state.json", [this](const httplib::Request &req, httplib::Response &res) {
        const auto t = terminal_of(req, source_->size());
        if (!t) {
            send_json(res, 404, {{"error", "no such terminal"}});
            return;
        }
        send_json(res, 200, state(*t));
    });

    h.Get("/events", [this](const httplib::Request &req, httplib::Response &res) {
        const auto t = terminal_of(req, source_->size());
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
                json state_now = state(stream->terminal);
                std::string state = dump(state_now);
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
                const std::string text = "data: " + dump(event) + "\n\n";
                if (!sink.write(text.data(), text.size())) {
                    return false;
                }
                std::this_thread::sleep_for(kStreamCoalesce);
                return true;
            },
            [this](bool) { streams_.fetch_sub(1); });
    });

    const auto post = [this](RequestKind kind) {
        return [this, kind](const httplib::Request &req, httplib::Response &res) {
            // A page of another site may post plain text or forms here, but
            // not JSON without the browser asking first: only JSON is taken.
            if (req.get_header_value("Content-Type").rfind("application/json", 0) != 0) {
                send_json(res, 415, {{"error", "send application/json"}});
                return;
            }
            const auto t = terminal_of(req, source_->size());
            if (!t) {
                send_json(res, 404, {{"error", "no such terminal"}});
                return;
            }
            const auto request = parse_request(kind, req.body);
            if (request.command.empty()) {
                send_json(res, request.status, {{"error", request.error}});
                return;
            }
            source_->post(*t, request.command);
            send_json(res, 200, {{"posted", request.command}});
        };
    };
    h.Post("/key", post(RequestKind::Key));
    h.Post("/inputs", post(RequestKind::Inputs));
    h.Post("/serial", post(RequestKind::Serial));
}

}  // namespace vq6120::sim
