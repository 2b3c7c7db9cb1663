#include "harness.hpp"

#include <zlib.h>

#include <httplib.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char **environ;

namespace vq6120::gateway::test {

namespace {

bool connectable(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

void fail(const std::string &what) { throw std::runtime_error(what); }

// ---- Scratch directory and child processes --------------------------------

ScratchDir::ScratchDir() {
    std::random_device r;
    path_ = std::filesystem::temp_directory_path() /
            ("vq6120-gateway-test-" + std::to_string(::getpid()) + "-" + std::to_string(r()));
    std::filesystem::create_directories(path_);
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    if (!keep_) std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path ScratchDir::write(const std::string &name, const std::string &content) const {
    const auto p = path_ / name;
    std::ofstream(p) << content;
    return p;
}

Child::Child(const std::vector<std::string> &args, bool pipe_stdio, const std::filesystem::path &log,
             const std::vector<std::string> &env) {
    int to[2] = {-1, -1}, from[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (pipe_stdio) {
        if (::pipe2(to, O_CLOEXEC) != 0 || ::pipe2(from, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_adddup2(&actions, to[0], 0);
        posix_spawn_file_actions_adddup2(&actions, from[1], 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    }
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    std::vector<char *> argv;
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (char **e = environ; *e != nullptr; ++e) envp.push_back(*e);
    for (const auto &e : env) envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + args[0]);
    if (pipe_stdio) {
        ::close(to[0]);
        ::close(from[1]);
        in_ = to[1];
        out_ = from[0];
    }
}

Child::Child(Child &&o) noexcept
    : pid_(std::exchange(o.pid_, -1)), in_(std::exchange(o.in_, -1)), out_(std::exchange(o.out_, -1)),
      buffered_(std::move(o.buffered_)) {}

Child &Child::operator=(Child &&o) noexcept {
    if (this != &o) {
        if (running()) stop(SIGKILL);
        pid_ = std::exchange(o.pid_, -1);
        in_ = std::exchange(o.in_, -1);
        out_ = std::exchange(o.out_, -1);
        buffered_ = std::move(o.buffered_);
    }
    return *this;
}

Child::~Child() {
    if (running()) stop(SIGKILL);
}

void Child::write(const std::string &text) {
    if (::write(in_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) fail("cannot write to process " + std::to_string(pid_));
}

std::optional<std::string> Child::read_line(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (const auto nl = buffered_.find('\n'); nl != std::string::npos) {
            std::string line = buffered_.substr(0, nl);
            buffered_.erase(0, nl + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{out_, POLLIN, 0};
        char chunk[4096];
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1) return std::nullopt;
        const ssize_t n = ::read(out_, chunk, sizeof chunk);
        if (n <= 0) return std::nullopt;
        buffered_.append(chunk, static_cast<std::size_t>(n));
    }
}

int Child::stop(int signal) {
    if (!running()) return -1;
    ::kill(pid_, signal);
    int status = 0;
    for (int i = 0; i < 1000 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i) std::this_thread::sleep_for(10ms);
    if (::waitpid(pid_, &status, WNOHANG) == 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        return -1;  // did not stop on the signal
    }
    pid_ = -1;
    for (int *fd : {&in_, &out_}) {
        if (*fd >= 0) ::close(std::exchange(*fd, -1));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::map<std::string, double> scrape(std::uint16_t port, std::string *text) {
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

std::map<std::string, double> scrape_until(std::uint16_t port, const std::string &name, double value) {
    auto m = scrape(port);
    for (int i = 0; i < 200 && m[name] != value; ++i) {
        std::this_thread::sleep_for(50ms);
        m = scrape(port);
    }
    return m;
}

std::uint16_t free_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        throw std::runtime_error("no free port");
    }
    ::close(fd);
    return ntohs(a.sin_port);
}

// ---- Broker -----------------------------------------------------------------

Broker::Broker(const ScratchDir &dir, const BrokerOptions &options) : dir_(dir), port_(free_port()) {
    // Without TCP_NODELAY on its client sockets the broker holds a small
    // message behind one not yet acknowledged, up to the peer's delayed ACK
    // (40 ms here): the tail of every latency figure.
    std::string conf = "listener " + std::to_string(port_) + " 127.0.0.1\nlog_dest stderr\nset_tcp_nodelay true\n";
    if (options.persistent) {
        // Started as root, mosquitto runs as its own user: its database
        // directory must be writable by anyone.
        const auto db = dir.path() / "broker-db";
        std::filesystem::create_directories(db);
        std::filesystem::permissions(db, std::filesystem::perms::all);
        conf += "persistence true\npersistence_location " + db.string() + "/\nqueue_qos0_messages true\n";
    } else {
        conf += "persistence false\n";
    }
    if (options.unbounded_queues) conf += "max_queued_messages 0\n";
    if (options.unbounded_in_flight) conf += "max_inflight_messages 0\n";
    if (options.tls) {
        // A CA and a broker certificate for 127.0.0.1, readable by the
        // broker's own user.
        const auto run = [&](const std::vector<std::string> &args) {
            Child c(args, false, dir.path() / "openssl.log");
            if (c.stop(0) != 0) fail("openssl failed: see openssl.log");
        };
        const std::string d = dir.path().string() + "/";
        run({VQ6120_OPENSSL, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", d + "ca.key", "-out",
             d + "ca.pem", "-days", "2", "-subj", "/CN=vq6120 test CA"});
        run({VQ6120_OPENSSL, "req", "-newkey", "rsa:2048", "-nodes", "-keyout", d + "broker.key", "-out", d + "broker.csr",
             "-subj", "/CN=127.0.0.1"});
        dir.write("san.cnf", "subjectAltName=IP:127.0.0.1\n");
        run({VQ6120_OPENSSL, "x509", "-req", "-in", d + "broker.csr", "-CA", d + "ca.pem", "-CAkey", d + "ca.key",
             "-CAcreateserial", "-out", d + "broker.pem", "-days", "2", "-extfile", d + "san.cnf"});
        for (const char *f : {"ca.pem", "broker.pem", "broker.key"}) {
            std::filesystem::permissions(dir.path() / f, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                                                             std::filesystem::perms::group_read | std::filesystem::perms::others_read);
        }
        ca_file_ = d + "ca.pem";
        conf += "cafile " + ca_file_ + "\ncertfile " + d + "broker.pem\nkeyfile " + d + "broker.key\n";
    }
    if (options.users.empty()) {
        conf += "allow_anonymous true\n";
    } else {
        const auto passwords = dir.path() / "passwords";
        std::ofstream(passwords).flush();  // -b adds to an existing file
        for (const User &u : options.users) {
            Child p({VQ6120_MOSQUITTO_PASSWD, "-b", passwords.string(), u.name, u.password}, false, dir.path() / "passwd.log");
            if (p.stop(0) != 0) fail("mosquitto_passwd failed");
        }
        conf += "allow_anonymous false\npassword_file " + passwords.string() + "\nacl_file " +
                dir.write("acl", options.acl).string() + "\n";
    }
    config_ = dir.write("mosquitto.conf", conf);
    start();
}

void Broker::start() {
    process_ = Child({VQ6120_MOSQUITTO, "-c", config_.string()}, false, dir_.path() / "mosquitto.log");
    for (int i = 0; i < 500 && !connectable(port_); ++i) std::this_thread::sleep_for(10ms);
    if (!connectable(port_)) fail("mosquitto did not start on port " + std::to_string(port_));
}

void Broker::stop() { process_.stop(SIGTERM); }

// ---- MQTT client --------------------------------------------------------------

nlohmann::json Received::json() const { return nlohmann::json::parse(payload, nullptr, false); }

Client::Client(std::uint16_t port, const std::string &id, const User &user, bool persistent, const std::string &ca_file) {
    mosquitto_lib_init();
    mosq_ = mosquitto_new(id.c_str(), !persistent, this);
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    if (!user.name.empty()) mosquitto_username_pw_set(mosq_, user.name.c_str(), user.password.c_str());
    if (!ca_file.empty()) mosquitto_tls_set(mosq_, ca_file.c_str(), nullptr, nullptr, nullptr, nullptr);
    mosquitto_connect_v5_callback_set(mosq_, on_connect);
    mosquitto_message_v5_callback_set(mosq_, on_message);
    mosquitto_subscribe_v5_callback_set(mosq_, on_subscribe);
    mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
    mosquitto_property *props = nullptr;
    if (persistent) mosquitto_property_add_int32(&props, MQTT_PROP_SESSION_EXPIRY_INTERVAL, 600);
    const int rc = mosquitto_connect_bind_v5(mosq_, "127.0.0.1", port, 10, nullptr, props);
    mosquitto_property_free_all(&props);
    if (rc != MOSQ_ERR_SUCCESS) fail("client " + id + " cannot connect: " + mosquitto_strerror(rc));
    mosquitto_loop_start(mosq_);
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, 5s, [&] { return connected_; })) fail("client " + id + " was not accepted");
}

Client::~Client() {
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
    mosquitto_destroy(mosq_);
}

void Client::on_connect(mosquitto *m, void *self, int rc, int, const mosquitto_property *) {
    auto *c = static_cast<Client *>(self);
    std::lock_guard lock(c->mutex_);
    c->connected_ = rc == 0;
    for (const auto &f : c->filters_) mosquitto_subscribe_v5(m, nullptr, f.c_str(), 1, 0, nullptr);
    c->changed_.notify_all();
}

void Client::on_message(mosquitto *, void *self, const mosquitto_message *m, const mosquitto_property *props) {
    auto *c = static_cast<Client *>(self);
    std::function<void(const mosquitto_message &)> *sink = nullptr;
    {
        std::lock_guard lock(c->mutex_);
        if (c->sink_) sink = &c->sink_;
    }
    if (sink != nullptr) {
        (*sink)(*m);  // set once, before the stream starts
        return;
    }
    Received r{m->topic, std::string(static_cast<const char *>(m->payload), static_cast<std::size_t>(m->payloadlen)), {},
               m->retain};
    void *data = nullptr;
    std::uint16_t length = 0;
    if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &data, &length, false) != nullptr) {
        r.correlation.assign(static_cast<const char *>(data), length);
        std::free(data);
    }
    std::lock_guard lock(c->mutex_);
    c->received_.push_back(std::move(r));
    c->changed_.notify_all();
}

void Client::subscribe(const std::string &filter) {
    int mid = 0;
    {
        std::lock_guard lock(mutex_);
        filters_.push_back(filter);
    }
    if (mosquitto_subscribe_v5(mosq_, &mid, filter.c_str(), 1, 0, nullptr) != MOSQ_ERR_SUCCESS) fail("cannot subscribe");
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, 5s, [&] { return acked_.count(mid) != 0; })) fail("no SUBACK for " + filter);
}

void Client::on_subscribe(mosquitto *, void *self, int mid, int, const int *, const mosquitto_property *) {
    auto *c = static_cast<Client *>(self);
    std::lock_guard lock(c->mutex_);
    c->acked_.insert(mid);
    c->changed_.notify_all();
}

void Client::publish(const std::string &topic, const std::string &payload, const std::string &correlation, bool retain) {
    mosquitto_property *props = nullptr;
    if (!correlation.empty()) {
        mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, correlation.data(),
                                      static_cast<std::uint16_t>(correlation.size()));
    }
    const int rc = mosquitto_publish_v5(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1,
                                        retain, props);
    mosquitto_property_free_all(&props);
    if (rc != MOSQ_ERR_SUCCESS) fail(std::string("cannot publish: ") + mosquitto_strerror(rc));
}

std::optional<Received> Client::await(const std::function<bool(const Received &)> &match, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    std::optional<Received> found;
    changed_.wait_for(lock, limit, [&] {
        for (const Received &r : received_) {
            if (match(r)) {
                found = r;
                return true;
            }
        }
        return false;
    });
    return found;
}

std::optional<Received> Client::await_topic(const std::string &topic, std::chrono::milliseconds limit) {
    return await([&](const Received &r) { return r.topic == topic; }, limit);
}

std::optional<Received> Client::await_json(const std::string &topic, const std::string &key, const nlohmann::json &value,
                                           std::chrono::milliseconds limit) {
    return await(
        [&](const Received &r) {
            if (r.topic != topic) return false;
            const auto j = r.json();
            return j.is_object() && j.contains(key) && j[key] == value;
        },
        limit);
}

std::vector<Received> Client::all() {
    std::lock_guard lock(mutex_);
    return received_;
}

void Client::divert(std::function<void(const mosquitto_message &)> sink) {
    std::lock_guard lock(mutex_);
    sink_ = std::move(sink);
}

void Client::clear() {
    std::lock_guard lock(mutex_);
    received_.clear();
}

// ---- Virtual terminal and gateway ---------------------------------------------

Farm::Farm(const ScratchDir &dir, std::size_t count)
    : process_({VQ6120_SIM_PATH, "--terminals", std::to_string(count), "--port", "0"}, true, dir.path() / "farm.log") {
    // "ports: A-B" for consecutive ports, else "ports: P1 P2 ...".
    const auto first = process_.read_line();
    if (!first || first->rfind("ports: ", 0) != 0) throw std::runtime_error("the farm did not start: " + first.value_or(""));
    std::istringstream words(first->substr(7));
    for (std::string w; words >> w;) {
        const auto dash = w.find('-');
        const int from = std::stoi(w.substr(0, dash));
        const int to = dash == std::string::npos ? from : std::stoi(w.substr(dash + 1));
        for (int p = from; p <= to; ++p) ports_.push_back(static_cast<std::uint16_t>(p));
    }
    if (ports_.size() != count) throw std::runtime_error("the farm listed " + std::to_string(ports_.size()) + " ports");
}

void Farm::command(std::size_t i, const std::string &line) { command("on " + std::to_string(i) + " " + line); }

void Farm::command(const std::string &line) { process_.write(line + "\n"); }

std::string Farm::dump(std::size_t i) {
    command(i, "dump");
    std::string text;
    while (const auto line = process_.read_line()) {
        if (line->rfind("terminal ", 0) == 0) continue;  // the farm's heading
        text += *line + "\n";
        if (line->rfind("serial 2 ", 0) == 0) break;  // the dump's last line
    }
    return text;
}

std::uint64_t Farm::traffic_sent() {
    // "farm: N terminals, ..., traffic T frames sent"; other lines (a dump's
    // heading) may come first.
    command("status");
    while (const auto line = process_.read_line()) {
        if (line->rfind("farm: ", 0) != 0) continue;
        const auto at = line->rfind(" traffic ");
        if (at == std::string::npos) break;
        return std::stoull(line->substr(at + 9));
    }
    fail("the farm did not answer status");
}

bool Farm::dump_soon(std::size_t i, const std::function<bool(const std::string &)> &match,
                     std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    do {
        if (match(dump(i))) return true;
        std::this_thread::sleep_for(20ms);
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

GatewayProcess::GatewayProcess(const ScratchDir &dir, const nlohmann::json &config, const std::string &name,
                               const std::vector<std::string> &options, const std::vector<std::string> &env)
    : config_(dir.write(name + ".json", config.dump(2))), log_(dir.path() / (name + ".log")) {
    std::vector<std::string> args{VQ6120_GATEWAY_PATH};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(config_.string());
    // The scratch directory as the service's state directory, as systemd
    // would give it: files the gateway keeps stay with the test.
    std::vector<std::string> environment{"STATE_DIRECTORY=" + dir.path().string()};
    environment.insert(environment.end(), env.begin(), env.end());
    process_ = Child(args, false, log_, environment);
}

int GatewayProcess::stop(int signal) { return process_.stop(signal); }

void GatewayProcess::signal(int signal) { ::kill(process_.pid(), signal); }

void GatewayProcess::rewrite(const std::string &text) {
    // Whole or not at all: the gateway may read it at any moment.
    const auto next = config_.string() + ".next";
    std::ofstream(next) << text;
    std::filesystem::rename(next, config_);
}

std::string GatewayProcess::log() const {
    std::stringstream s;
    s << std::ifstream(log_).rdbuf();
    return s.str();
}

nlohmann::json test_config(std::uint16_t broker_port, const std::string &client_id,
                           const std::vector<std::pair<std::string, std::uint16_t>> &terminals) {
    nlohmann::json c{{"broker",
                      {{"host", "127.0.0.1"},
                       {"port", broker_port},
                       {"client_id", client_id},
                       {"reconnect_min_ms", 100},
                       {"reconnect_max_ms", 400}}},
                     {"prefix", "vq6120"},
                     {"terminal_reconnect_min_ms", 100},
                     {"terminal_reconnect_max_ms", 400},
                     {"terminals", nlohmann::json::array()}};
    for (const auto &[name, port] : terminals) {
        c["terminals"].push_back({{"name", name}, {"address", "127.0.0.1"}, {"port", port}});
    }
    return c;
}

// ---- A plant -------------------------------------------------------------------

void need(const std::filesystem::path &path, const std::string &remedy) {
    if (std::filesystem::exists(path)) return;
    std::fprintf(stderr, "SKIPPED: %s is missing (%s); this test cannot run\n", path.c_str(), remedy.c_str());
    std::fflush(stderr);
    std::_Exit(77);
}

std::string topic(const std::string &terminal, const std::string &rest) { return "vq6120/" + terminal + "/" + rest; }

nlohmann::json command(Client &c, const std::string &terminal, const std::string &op, nlohmann::json args,
                       const std::string &id) {
    args["id"] = id;
    c.publish(topic(terminal, "cmd/" + op), args.dump());
    const auto r = c.await_json(topic(terminal, "cmd/result"), "id", id);
    return r ? r->json() : nlohmann::json();
}

namespace {

void be32(std::string &out, std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) out += static_cast<char>((v >> s) & 0xFF);
}

void chunk(std::string &out, const char *type, const std::string &data) {
    be32(out, static_cast<std::uint32_t>(data.size()));
    const std::string body = std::string(type, 4) + data;
    out += body;
    be32(out, static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef *>(body.data()), static_cast<uInt>(body.size()))));
}

}  // namespace

std::string deflate(const std::string &raw) {
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    std::string out(size, '\0');
    compress2(reinterpret_cast<Bytef *>(out.data()), &size, reinterpret_cast<const Bytef *>(raw.data()),
              static_cast<uLong>(raw.size()), 1);
    out.resize(size);
    return out;
}

std::string grey_png(std::uint32_t w, std::uint32_t h, std::string idat,
                     const std::function<std::uint8_t(std::uint32_t, std::uint32_t)> &pixel) {
    if (idat.empty()) {
        std::string raw;
        raw.reserve(static_cast<std::size_t>(w + 1) * h);
        for (std::uint32_t y = 0; y < h; ++y) {
            raw += '\0';
            for (std::uint32_t x = 0; x < w; ++x) raw += static_cast<char>(pixel ? pixel(x, y) : (x + y) & 0xFF);
        }
        idat = deflate(raw);
    }
    std::string out = "\x89PNG\r\n\x1a\n";
    std::string ihdr;
    be32(ihdr, w);
    be32(ihdr, h);
    ihdr += std::string("\x08\x00\x00\x00\x00", 5);
    chunk(out, "IHDR", ihdr);
    chunk(out, "IDAT", idat);
    chunk(out, "IEND", {});
    return out;
}

Plant::Plant(const ScratchDir &dir, std::size_t terminals)
    : dir(dir), broker(dir), farm(dir, terminals), client(broker.port(), "observer") {
    client.subscribe("vq6120/#");
}

std::unique_ptr<GatewayProcess> Plant::gateway(const std::string &id, const std::vector<std::string> &names, std::size_t first,
                                               const std::vector<std::string> &unanswered) {
    std::vector<std::pair<std::string, std::uint16_t>> list;
    for (std::size_t i = 0; i < names.size(); ++i) list.emplace_back(names[i], farm.port(first + i));
    for (const auto &n : unanswered) list.emplace_back(n, free_port());
    auto g = std::make_unique<GatewayProcess>(dir, test_config(broker.port(), id, list), id);
    for (const auto &n : names) {
        if (!client.await_json(topic(n, "state"), "state", "online")) fail(n + " did not come online");
    }
    return g;
}

}  // namespace vq6120::gateway::test
