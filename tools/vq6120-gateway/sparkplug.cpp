#include "sparkplug.hpp"

#include <chrono>
#include <memory>

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
        c.has_datatype = 1;
        c.datatype = m.datatype;
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

EdgeNode::EdgeNode(const SparkplugConfig &config) : config_(config) {}

std::string EdgeNode::topic(std::string_view type, const std::string &device) const {
    std::string t = std::string(kNamespace) + "/" + config_.group_id + "/" + std::string(type) + "/" + config_.edge_node_id;
    return device.empty() ? t : t + "/" + device;
}

Message EdgeNode::message(std::string_view type, const std::string &device, std::vector<Metric> metrics, bool with_seq) {
    Payload p;
    p.timestamp = now_ms();
    p.metrics = std::move(metrics);
    return sequenced(type, device, std::move(p), with_seq);
}

Message EdgeNode::sequenced(std::string_view type, const std::string &device, Payload p, bool with_seq) {
    if (with_seq) {
        p.seq = seq_;
        seq_ = (seq_ + 1) % 256;
    }
    return Message{topic(type, device), encode(p), kQos, false, {}};
}

Message EdgeNode::next_session() {
    // bdSeq counts sessions that were born, 0..255, the first being 0: an
    // attempt that never reached the broker leaves it as it was, so the
    // NBIRTH and the NDEATH of one session carry the same number.
    if (born_) bd_seq_ = (bd_seq_ + 1) % 256;
    born_ = false;
    return death();
}

Message EdgeNode::death() const {
    Payload p;
    p.timestamp = now_ms();
    p.metrics.push_back(metric("bdSeq", UInt64, std::uint64_t{bd_seq_}));
    return Message{topic("NDEATH"), encode(p), 1, false, {}};
}

std::vector<std::string> EdgeNode::filters() const { return {topic("NCMD"), topic("DCMD") + "/+"}; }

Message EdgeNode::node_birth() {
    born_ = true;
    seq_ = 0;
    return message("NBIRTH", {},
                   {metric("bdSeq", UInt64, std::uint64_t{bd_seq_}), metric(kRebirth, Boolean, false)}, true);
}

Message EdgeNode::device_birth(const std::string &device, std::string_view state) {
    auto &last = last_[device];
    last["State"] = metric("State", String, std::string(state));
    std::vector<Metric> all;
    for (const Definition &d : kDevice) {
        const auto it = last.find(d.name);
        all.push_back(it != last.end() ? it->second : Metric{d.name, d.datatype, std::nullopt});
    }
    return message("DBIRTH", device, std::move(all), true);
}

Message EdgeNode::device_death(const std::string &device) {
    last_[device]["State"] = metric("State", String, std::string("offline"));
    return message("DDEATH", device, {}, true);
}

void EdgeNode::forget(const std::string &device) { last_.erase(device); }

Message EdgeNode::device_data(const std::string &device, const vq6120::Event &event) {
    return device_data(device, device_values(device, event));
}

Message EdgeNode::device_data(const std::string &device, Payload values) {
    return sequenced("DDATA", device, std::move(values), true);
}

Payload EdgeNode::device_values(const std::string &device, const vq6120::Event &event) {
    std::vector<Metric> changed;
    std::visit(
        [&](const auto &e) {
            using T = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<T, vq6120::Key>) {
                changed.push_back(metric("Last Key", UInt32, std::uint64_t{e.code}));
            } else if constexpr (std::is_same_v<T, vq6120::DigitalInputs>) {
                changed.push_back(metric("Inputs/DI1", Boolean, e.first != 0));
                changed.push_back(metric("Inputs/DI2", Boolean, e.second != 0));
            } else if constexpr (std::is_same_v<T, vq6120::ModelName>) {
                changed.push_back(metric("Model", String, e.name));
            } else if constexpr (std::is_same_v<T, vq6120::SerialData>) {
                changed.push_back(metric(e.port == 2 ? "Serial/2" : "Serial/1", Bytes,
                                         std::string(reinterpret_cast<const char *>(e.bytes.data()), e.bytes.size())));
            }
        },
        event);
    auto &last = last_[device];
    for (const Metric &m : changed) last[m.name] = m;
    Payload p;
    p.timestamp = now_ms();
    p.metrics = std::move(changed);
    return p;
}

Message EdgeNode::written(const std::string &device, const Metric &m) {
    last_[device][m.name] = m;
    return message("DDATA", device, {m}, true);
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
        Write w{m.name, d->operation, nlohmann::json::object()};
        const std::string op = d->operation;
        if (op == "do") {
            // Both outputs at once: the one not named keeps its last value.
            const auto &last = last_.count(c.device) ? last_.at(c.device) : std::map<std::string, Metric>{};
            const auto value = [&](const char *name) -> int {
                if (m.name == name) return std::get<bool>(*m.value) ? 1 : 0;
                const auto it = last.find(name);
                return it != last.end() && it->second.value && std::get<bool>(*it->second.value) ? 1 : 0;
            };
            w.arguments = {{"first", value("Outputs/DO1")}, {"second", value("Outputs/DO2")}};
        } else if (op == "led") {
            w.arguments = {{"value", std::get<std::uint64_t>(*m.value)}};
        } else if (op == "backlight") {
            w.arguments = {{"flag", std::get<bool>(*m.value) ? 1 : 0}};
        } else if (op == "beep") {
            w.arguments = {{"tone", std::get<std::uint64_t>(*m.value)}, {"pause", 0}, {"count", 1}};
        } else {
            w.arguments = {{"text", std::get<std::string>(*m.value)}};
        }
        c.writes.emplace_back(Metric{m.name, d->datatype, m.value}, std::move(w));
    }
    return c;
}

}  // namespace vq6120::gateway::sparkplug
