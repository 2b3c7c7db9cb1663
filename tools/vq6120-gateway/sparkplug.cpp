#include "sparkplug.hpp"

#include <algorithm>
#include <chrono>
#include <memory>
#include <utility>

#include "bdseq.hpp"
#include "log.hpp"
#include "sparkplug_b.pb-c.h"

namespace vq6120::gateway::sparkplug {

namespace {

constexpr std::string_view kNamespace = "spBv1.0";
constexpr const char *kRebirth = "Node Control/Rebirth";
constexpr int kQos = 0;  // Sparkplug B: NDATA/DDATA and births at QoS 0, NDEATH (the will) at 1

std::uint64_t now_ms() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count());
}

// A terminal's metrics; those with an operation are writable.
struct Definition {
    const char *name;
    std::uint32_t datatype;
    const char *operation = nullptr;
};
constexpr Definition kDevice[] = {
    {"Inputs/DI1", Boolean},      {"Inputs/DI2", Boolean},      {"Last Key", UInt32},
    {"Serial/1", Bytes},          {"Serial/2", Bytes},          {"Model", String},
    {"State", String},            {"Outputs/DO1", Boolean, "do"}, {"Outputs/DO2", Boolean, "do"},
    {"LED", UInt32, "led"},       {"Backlight", Boolean, "backlight"}, {"Beeper", UInt32, "beep"},
    {"Text", String, "text"},
};

const Definition *definition(std::string_view name) {
    for (const Definition &d : kDevice) {
        if (name == d.name) return &d;
    }
    return nullptr;
}

Metric metric(const char *name, std::uint32_t datatype, decltype(Metric::value) value) {
    return Metric{name, datatype, std::move(value)};
}

}  // namespace

std::string encode(const Payload &payload) {
    SparkplugB__Payload p = SPARKPLUG_B__PAYLOAD__INIT;
    p.has_timestamp = 1;
    p.timestamp = payload.timestamp;
    if (payload.seq) {
        p.has_seq = 1;
        p.seq = *payload.seq;
    }
    std::vector<SparkplugB__Payload__Metric> metrics(payload.metrics.size());
    std::vector<SparkplugB__Payload__Metric *> pointers;
    for (std::size_t i = 0; i < payload.metrics.size(); ++i) {
        const Metric &m = payload.metrics[i];
        SparkplugB__Payload__Metric &c = metrics[i];
        sparkplug_b__payload__metric__init(&c);
        c.name = const_cast<char *>(m.name.c_str());
        c.has_timestamp = 1;
        c.timestamp = payload.timestamp;
        c.has_datatype = payload.datatypes ? 1 : 0;
        c.datatype = payload.datatypes ? m.datatype : 0;
        if (payload.historical) {
            c.has_is_historical = 1;
            c.is_historical = 1;
        }
        if (!m.value) {
            c.has_is_null = 1;
            c.is_null = 1;
        } else if (const bool *b = std::get_if<bool>(&*m.value)) {
            c.value_case = SPARKPLUG_B__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE;
            c.boolean_value = *b;
        } else if (const std::uint64_t *n = std::get_if<std::uint64_t>(&*m.value)) {
            // UInt32 and UInt64 both go in long_value (int_value holds the
            // types up to 16 bits and Int32).
            c.value_case = SPARKPLUG_B__PAYLOAD__METRIC__VALUE_LONG_VALUE;
            c.long_value = *n;
        } else {
            const std::string &s = std::get<std::string>(*m.value);
            if (m.datatype == Bytes) {
                c.value_case = SPARKPLUG_B__PAYLOAD__METRIC__VALUE_BYTES_VALUE;
                c.bytes_value.data = reinterpret_cast<std::uint8_t *>(const_cast<char *>(s.data()));
                c.bytes_value.len = s.size();
            } else {
                c.value_case = SPARKPLUG_B__PAYLOAD__METRIC__VALUE_STRING_VALUE;
                c.string_value = const_cast<char *>(s.c_str());
            }
        }
        pointers.push_back(&c);
    }
    p.n_metrics = pointers.size();
    p.metrics = pointers.data();
    std::string out(sparkplug_b__payload__get_packed_size(&p), '\0');
    sparkplug_b__payload__pack(&p, reinterpret_cast<std::uint8_t *>(out.data()));
    return out;
}

std::optional<Payload> decode(std::string_view bytes) {
    const std::unique_ptr<SparkplugB__Payload, void (*)(SparkplugB__Payload *)> p(
        sparkplug_b__payload__unpack(nullptr, bytes.size(), reinterpret_cast<const std::uint8_t *>(bytes.data())),
        [](SparkplugB__Payload *q) { sparkplug_b__payload__free_unpacked(q, nullptr); });
    if (!p) return std::nullopt;
    Payload out;
    if (p->has_seq) out.seq = p->seq;
    out.timestamp = p->timestamp;
    for (std::size_t i = 0; i < p->n_metrics; ++i) {
        const SparkplugB__Payload__Metric &c = *p->metrics[i];
        Metric m{c.name != nullptr ? c.name : "", c.has_datatype ? c.datatype : 0, std::nullopt};
        switch (c.value_case) {
        case SPARKPLUG_B__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE:
            m.value = c.boolean_value != 0;
            break;
        case SPARKPLUG_B__PAYLOAD__METRIC__VALUE_INT_VALUE:
            m.value = std::uint64_t{c.int_value};
            break;
        case SPARKPLUG_B__PAYLOAD__METRIC__VALUE_LONG_VALUE:
            m.value = std::uint64_t{c.long_value};
            break;
        case SPARKPLUG_B__PAYLOAD__METRIC__VALUE_STRING_VALUE:
            m.value = std::string(c.string_value != nullptr ? c.string_value : "");
            break;
        case SPARKPLUG_B__PAYLOAD__METRIC__VALUE_BYTES_VALUE:
            m.value = std::string(reinterpret_cast<const char *>(c.bytes_value.data), c.bytes_value.len);
            break;
        default:
            break;  // null, or a type this node takes no writes of
        }
        out.metrics.push_back(std::move(m));
    }
    return out;
}

EdgeNode::EdgeNode(const SparkplugConfig &config, std::string state_file)
    : config_(config), state_file_(std::move(state_file)), host_(config.primary_host_id) {
    if (state_file_.empty()) return;
    // The first CONNECT takes the number after the file's. A file that cannot
    // be read as one starts the node over at 0, as a first start would.
    const BdSeqRead read = read_bdseq(state_file_);
    if (read.last) {
        bd_seq_ = static_cast<std::uint8_t>((*read.last + 1) % 256);
        log(Level::info, "bdSeq continues from " + state_file_ + ": " + std::to_string(bd_seq_));
    } else if (!read.error.empty()) {
        log(Level::error, "bdSeq file unusable, starting over at 0: " + read.error);
    } else {
        log(Level::info, "bdSeq starts at 0: no " + state_file_ + " yet");
    }
}

std::string EdgeNode::topic(std::string_view type, const std::string &device) const {
    std::string t = std::string(kNamespace) + "/" + config_.group_id + "/" + std::string(type) + "/" + config_.edge_node_id;
    return device.empty() ? t : t + "/" + device;
}

Message EdgeNode::message(std::string_view type, const std::string &device, std::vector<Metric> metrics, bool with_seq,
                          bool datatypes) {
    Payload p;
    p.timestamp = now_ms();
    p.metrics = std::move(metrics);
    p.datatypes = datatypes;
    return sequenced(type, device, std::move(p), with_seq);
}

Message EdgeNode::sequenced(std::string_view type, const std::string &device, Payload p, bool with_seq) {
    if (with_seq) {
        p.seq = seq_;
        seq_ = (seq_ + 1) % 256;
    }
    return Message{topic(type, device), encode(p), kQos, false, {}};
}

const Metric *EdgeNode::known(const std::string &device, std::string_view name) const {
    const auto d = last_.find(device);
    if (d == last_.end()) return nullptr;
    const auto m = d->second.find(name);
    return m == d->second.end() || !m->second.value ? nullptr : &m->second;
}

Message EdgeNode::next_session(bool previous_sent) {
    // An attempt whose connect never reached a broker sent no CONNECT: its
    // number is used again, so the wills the broker saw count up by one.
    const bool moved = !started_ || previous_sent;
    if (started_ && previous_sent) bd_seq_ = static_cast<std::uint8_t>((bd_seq_ + 1) % 256);
    started_ = true;
    born_ = false;
    host_.new_session();
    if (moved && !state_file_.empty()) {
        std::string error;
        if (write_bdseq(state_file_, bd_seq_, error)) {
            file_failed_ = false;
        } else if (!std::exchange(file_failed_, true)) {
            log(Level::error, "bdSeq not kept across a restart: " + error);
        }
    }
    return death();
}

Message EdgeNode::death() const {
    Payload p;
    p.timestamp = now_ms();
    p.metrics.push_back(metric("bdSeq", Int64, std::uint64_t{bd_seq_}));
    return Message{topic("NDEATH"), encode(p), 1, false, {}};
}

std::vector<std::string> EdgeNode::filters() const {
    std::vector<std::string> all{topic("NCMD"), topic("DCMD") + "/+"};
    if (host_.configured()) all.push_back(host_.topic());
    return all;
}

std::optional<PrimaryHost::Change> EdgeNode::host_state(const std::string &topic_name, std::string_view payload,
                                                        std::string &why) {
    if (!host_.configured() || topic_name != host_.topic()) return std::nullopt;
    return host_.take(payload, why);
}

std::string EdgeNode::namespace_filter() const { return topic("+") + "/#"; }

Message EdgeNode::node_birth() {
    born_ = true;
    seq_ = 0;
    return message("NBIRTH", {},
                   {metric("bdSeq", Int64, std::uint64_t{bd_seq_}), metric(kRebirth, Boolean, false)}, true);
}

Message EdgeNode::device_birth(const std::string &device) {
    std::vector<Metric> all;
    for (const Definition &d : kDevice) {
        const Metric *m = known(device, d.name);
        all.push_back(std::string_view(d.name) == "State" ? metric("State", String, std::string("online"))
                      : m != nullptr                      ? *m
                                                          : Metric{d.name, d.datatype, std::nullopt});
    }
    return message("DBIRTH", device, std::move(all), true);
}

Message EdgeNode::device_death(const std::string &device) {
    forget(device);
    return message("DDEATH", device, {}, true, false);
}

void EdgeNode::forget(const std::string &device) { last_.erase(device); }

std::vector<Metric> EdgeNode::take(const std::string &device, const vq6120::Event &event) {
    std::vector<Metric> values;
    bool news = false;  // reported whatever it holds
    std::visit(
        [&](const auto &e) {
            using T = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<T, vq6120::Key>) {
                values.push_back(metric("Last Key", UInt32, std::uint64_t{e.code}));
                news = true;
            } else if constexpr (std::is_same_v<T, vq6120::DigitalInputs>) {
                values.push_back(metric("Inputs/DI1", Boolean, e.first != 0));
                values.push_back(metric("Inputs/DI2", Boolean, e.second != 0));
            } else if constexpr (std::is_same_v<T, vq6120::ModelName>) {
                values.push_back(metric("Model", String, e.name));
            } else if constexpr (std::is_same_v<T, vq6120::SerialData>) {
                values.push_back(metric(e.port == 2 ? "Serial/2" : "Serial/1", Bytes,
                                        std::string(reinterpret_cast<const char *>(e.bytes.data()), e.bytes.size())));
                news = true;
            }
        },
        event);
    if (news) {
        for (const Metric &m : values) last_[device][m.name] = m;
        return values;
    }
    return take(device, values);
}

std::vector<Metric> EdgeNode::take(const std::string &device, const std::vector<Metric> &written) {
    std::vector<Metric> changed;
    for (const Metric &m : written) {
        const Metric *was = known(device, m.name);
        if (was != nullptr && was->value == m.value) continue;
        last_[device][m.name] = m;
        changed.push_back(m);
    }
    return changed;
}

bool EdgeNode::answered(const std::string &device) const {
    return known(device, "Model") != nullptr && known(device, "Inputs/DI1") != nullptr;
}

Message EdgeNode::device_data(const std::string &device, std::vector<Metric> metrics) {
    return message("DDATA", device, std::move(metrics), true, false);
}

Payload EdgeNode::values(std::vector<Metric> metrics) {
    Payload p;
    p.timestamp = now_ms();
    p.metrics = std::move(metrics);
    return p;
}

Message EdgeNode::device_data(const std::string &device, Payload values) {
    return sequenced("DDATA", device, std::move(values), true);
}

void EdgeNode::outputs(const std::string &device, Write &w) const {
    // The terminal takes both outputs in one frame and cannot tell what they
    // hold. An output the DCMD does not name keeps the value written to it
    // since its terminal came online; one not written since is unknown (a
    // power cycle may have cleared it) and is written off, the state an
    // output takes without power, and reported as such: never switched on
    // from a value of an earlier connection.
    const auto named = [&](const char *name) {
        return std::find_if(w.metrics.begin(), w.metrics.end(), [&](const Metric &x) { return x.name == name; });
    };
    int state[2] = {0, 0};
    const char *names[2] = {"Outputs/DO1", "Outputs/DO2"};
    for (int i = 0; i < 2; ++i) {
        if (const auto it = named(names[i]); it != w.metrics.end()) {
            state[i] = std::get<bool>(*it->value) ? 1 : 0;
        } else if (const Metric *m = known(device, names[i]); m != nullptr) {
            state[i] = std::get<bool>(*m->value) ? 1 : 0;
        } else {
            w.metrics.push_back(metric(names[i], Boolean, false));
        }
    }
    w.arguments = {{"first", state[0]}, {"second", state[1]}};
}

std::optional<EdgeNode::Command> EdgeNode::command(const std::string &topic_name, std::string_view payload) const {
    Command c;
    const std::string dcmd = topic("DCMD") + "/";
    if (topic_name.rfind(dcmd, 0) == 0) {
        c.device = topic_name.substr(dcmd.size());
    } else if (topic_name != topic("NCMD")) {
        return std::nullopt;
    }
    if (payload.size() > kMaxCommandPayload) {
        c.refused.push_back("the payload is larger than " + std::to_string(kMaxCommandPayload) + " bytes");
        return c;
    }
    const auto p = decode(payload);
    if (!p) {
        c.refused.push_back("the payload is not a Sparkplug B payload");
        return c;
    }
    for (const Metric &m : p->metrics) {
        if (c.device.empty()) {
            if (m.name == kRebirth && m.value && std::holds_alternative<bool>(*m.value)) {
                c.rebirth = c.rebirth || std::get<bool>(*m.value);
            } else {
                c.refused.push_back("'" + m.name + "' is not a node metric that can be written");
            }
            continue;
        }
        const Definition *d = definition(m.name);
        if (d == nullptr || d->operation == nullptr) {
            c.refused.push_back("'" + m.name + "' is not a metric of the terminal that can be written");
            continue;
        }
        const bool boolean = d->datatype == Boolean;
        const bool text = d->datatype == String;
        if (!m.value || (boolean && !std::holds_alternative<bool>(*m.value)) ||
            (text && !std::holds_alternative<std::string>(*m.value)) ||
            (!boolean && !text && !std::holds_alternative<std::uint64_t>(*m.value))) {
            c.refused.push_back("'" + m.name + "' needs a value of its data type " + std::to_string(d->datatype));
            continue;
        }
        // A string metric goes out as a C string (protobuf-c): a NUL byte,
        // possible in a Bytes value, would cut the DDATA that reports it.
        if (text && std::get<std::string>(*m.value).find('\0') != std::string::npos) {
            c.refused.push_back("'" + m.name + "' holds a NUL byte, which its data type " + std::to_string(d->datatype) +
                                " cannot carry");
            continue;
        }
        Metric value{m.name, d->datatype, m.value};
        Write w{{value}, d->operation, nlohmann::json::object()};
        const std::string op = d->operation;
        if (op == "do") {
            // Both outputs go in one frame. Outputs named earlier in this
            // DCMD were folded in there; see outputs() for the other one.
            const auto earlier = std::find_if(c.writes.begin(), c.writes.end(), [](const Write &x) { return x.operation == "do"; });
            if (earlier != c.writes.end()) {
                std::erase_if(earlier->metrics, [&](const Metric &x) { return x.name == m.name; });
                earlier->metrics.push_back(value);
                outputs(c.device, *earlier);
                continue;
            }
            outputs(c.device, w);
        } else if (op == "led") {
            w.arguments = {{"value", std::get<std::uint64_t>(*m.value)}};
        } else if (op == "backlight") {
            w.arguments = {{"flag", std::get<bool>(*m.value) ? 1 : 0}};
        } else if (op == "beep") {
            w.arguments = {{"tone", std::get<std::uint64_t>(*m.value)}, {"pause", 0}, {"count", 1}};
        } else {
            w.arguments = {{"text", std::get<std::string>(*m.value)}};
        }
        c.writes.push_back(std::move(w));
    }
    return c;
}

}  // namespace vq6120::gateway::sparkplug
