// The real things the gateway is tested against, each in its own process on
// loopback: a mosquitto broker with its own configuration file on a free port,
// virtual terminals, the gateway itself; and an MQTT client that records what
// it receives.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct mosquitto;
struct mosquitto_message;
typedef struct mqtt5__property mosquitto_property;

namespace vq6120::gateway::test {

using namespace std::chrono_literals;

// Throws: the harness's failures end the test (or benchmark) that met them.
[[noreturn]] void fail(const std::string &what);

// A scratch directory, removed with everything in it unless kept.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    void keep() { keep_ = true; }
    const std::filesystem::path &path() const { return path_; }
    std::filesystem::path write(const std::string &name, const std::string &content) const;

private:
    std::filesystem::path path_;
    bool keep_ = false;
};

// A child process; killed (SIGKILL) when still running at destruction.
class Child {
public:
    Child() = default;
    // `env`: NAME=VALUE added to this process's environment.
    Child(const std::vector<std::string> &args, bool pipe_stdio, const std::filesystem::path &log,
          const std::vector<std::string> &env = {});
    Child(Child &&o) noexcept;
    Child &operator=(Child &&o) noexcept;
    ~Child();
    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0; }
    void write(const std::string &text);
    // One line of its standard output, waiting up to `limit`; nullopt at the end.
    std::optional<std::string> read_line(std::chrono::milliseconds limit = 10s);
    // Sends `signal` and waits up to 10 s for the exit; the exit status, or
    // 128 + signal number.
    int stop(int signal);

private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
    std::string buffered_;
};

std::uint16_t free_port();

// The samples of the gateway's metrics served on `port`, "name{labels}" ->
// value; `text`, when given, receives the page.
std::map<std::string, double> scrape(std::uint16_t port, std::string *text = nullptr);
// Scrapes until `name` reaches `value` (or 10 s pass); the last samples.
std::map<std::string, double> scrape_until(std::uint16_t port, const std::string &name, double value);

// mosquitto on 127.0.0.1 with a configuration of its own. With users, it
// takes only those (a password file) and applies the ACL `acl`. A persistent
// broker keeps sessions, retained and queued messages across a restart.
struct User {
    std::string name, password;
};
struct BrokerOptions {
    std::vector<User> users;
    std::string acl;
    bool persistent = false;
    bool tls = false;  // a TLS listener with a certificate from a CA made for the test
    // No limit on the messages queued for a client that is away (mosquitto
    // drops those past 1,000 by default and says so in its log).
    bool unbounded_queues = false;
    // No limit on the QoS 1 messages in flight to a subscriber: each is
    // written to it at once rather than held in the broker's memory, where a
    // broker killed with SIGKILL would lose it after acknowledging it.
    bool unbounded_in_flight = false;
};
class Broker {
public:
    explicit Broker(const ScratchDir &dir, const BrokerOptions &options = {});
    std::uint16_t port() const { return port_; }
    // The CA that signed a TLS broker's certificate; empty without TLS.
    std::string ca_file() const { return ca_file_; }
    void start();
    void stop();  // SIGTERM
    pid_t pid() const { return process_.pid(); }

private:
    const ScratchDir &dir_;
    std::uint16_t port_;
    std::filesystem::path config_;
    std::string ca_file_;
    Child process_;
};

struct Received {
    std::string topic;
    std::string payload;
    std::string correlation;
    bool retained = false;
    nlohmann::json json() const;
};

// An MQTT v5 client on its own network thread; subscriptions come back after
// a reconnect.
class Client {
public:
    // A persistent client's session (and what is queued for it) outlives its
    // connection.
    // With `ca_file` it connects over TLS, verifying the broker with it.
    Client(std::uint16_t port, const std::string &id, const User &user = {}, bool persistent = false,
           const std::string &ca_file = {});
    ~Client();
    void subscribe(const std::string &filter);
    void publish(const std::string &topic, const std::string &payload, const std::string &correlation = {},
                 bool retain = false);
    // The first message (since the last clear()) for which `match` holds,
    // waiting up to `limit`.
    std::optional<Received> await(const std::function<bool(const Received &)> &match, std::chrono::milliseconds limit = 10s);
    std::optional<Received> await_topic(const std::string &topic, std::chrono::milliseconds limit = 10s);
    // A JSON message on `topic` whose member `key` equals `value`.
    std::optional<Received> await_json(const std::string &topic, const std::string &key, const nlohmann::json &value,
                                       std::chrono::milliseconds limit = 10s);
    std::vector<Received> all();
    void clear();
    // From now on every message goes to `sink` (on the client's thread)
    // instead of the record: for streams too long to keep.
    void divert(std::function<void(const mosquitto_message &)> sink);

private:
    static void on_connect(mosquitto *, void *self, int rc, int flags, const mosquitto_property *props);
    static void on_message(mosquitto *, void *self, const mosquitto_message *m, const mosquitto_property *props);
    static void on_subscribe(mosquitto *, void *self, int mid, int count, const int *granted, const mosquitto_property *);
    mosquitto *mosq_ = nullptr;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Received> received_;
    std::vector<std::string> filters_;
    std::set<int> acked_;
    std::function<void(const mosquitto_message &)> sink_;
    bool connected_ = false;
};

// The simulator farm: `count` virtual terminals in one process, each on a
// free port, driven through the farm's standard input.
class Farm {
public:
    Farm(const ScratchDir &dir, std::size_t count);
    std::uint16_t port(std::size_t i) const { return ports_.at(i); }
    // An operator command for terminal `i`, or for all of them.
    void command(std::size_t i, const std::string &line);
    void command(const std::string &line);
    std::string dump(std::size_t i);
    // Whether terminal `i`'s dump comes to satisfy `match` within `limit`. The
    // farm reads its operator's lines and a host's frames from different
    // descriptors: a frame handed to the connection just before a dump may be
    // read just after it.
    bool dump_soon(std::size_t i, const std::function<bool(const std::string &)> &match,
                   std::chrono::milliseconds limit);
    // Traffic frames sent by all terminals so far (the farm's status line).
    std::uint64_t traffic_sent();
    pid_t pid() const { return process_.pid(); }

private:
    std::vector<std::uint16_t> ports_;
    Child process_;
};

// The gateway program with a configuration written from `config`; the
// scratch directory is its STATE_DIRECTORY.
class GatewayProcess {
public:
    GatewayProcess(const ScratchDir &dir, const nlohmann::json &config, const std::string &name = "gateway",
                   const std::vector<std::string> &options = {}, const std::vector<std::string> &env = {});
    int stop(int signal);
    void signal(int signal);
    // Rewrites the configuration file (then signal(SIGHUP) to reload it).
    void rewrite(const std::string &text);
    std::string log() const;
    pid_t pid() const { return process_.pid(); }

private:
    std::filesystem::path config_, log_;
    Child process_;
};

// A configuration for tests: fast reconnects, `terminals` as name -> port.
nlohmann::json test_config(std::uint16_t broker_port, const std::string &client_id,
                           const std::vector<std::pair<std::string, std::uint16_t>> &terminals);

// A tool a test needs and the machine lacks (`path` not there): said loudly
// with `remedy`, and the test process ends with ctest's SKIP status (77). Call
// it before the test starts anything.
void need(const std::filesystem::path &path, const std::string &remedy);

// "vq6120/<terminal>/<rest>"
std::string topic(const std::string &terminal, const std::string &rest);

// Publishes a command and returns its result (matched by "id"); null when
// none came.
nlohmann::json command(Client &c, const std::string &terminal, const std::string &op, nlohmann::json args,
                       const std::string &id);

// A test picture: an 8-bit grey PNG whose header claims `w` x `h` and whose
// image data is `idat` as given; empty: each row filtered by none and
// deflated, pixel (x, y) = `pixel(x, y)`, by default a diagonal gradient.
std::string grey_png(std::uint32_t w, std::uint32_t h, std::string idat = {},
                     const std::function<std::uint8_t(std::uint32_t, std::uint32_t)> &pixel = {});
std::string deflate(const std::string &raw);

// A broker, a farm of terminals and a client that sees everything under the
// prefix: where most tests start.
struct Plant {
    Plant(const ScratchDir &dir, std::size_t terminals);
    // A gateway serving farm terminals `first`.. as `names`, and `unanswered`
    // ones that nothing listens for; returns once the farm's are online.
    std::unique_ptr<GatewayProcess> gateway(const std::string &id, const std::vector<std::string> &names, std::size_t first = 0,
                                            const std::vector<std::string> &unanswered = {});
    const ScratchDir &dir;
    Broker broker;
    Farm farm;
    Client client;
};

}  // namespace vq6120::gateway::test
