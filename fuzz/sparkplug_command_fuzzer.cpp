// Sparkplug B commands as anyone allowed to publish on the plant's broker can
// send them: NCMD and DCMD payloads through EdgeNode::command, then each
// write mapped onto the operation table as the gateway does before it sends
// (the operation looked up, the arguments converted, ops::check), and the
// DDATA that reports a write carried out.
//
// Input: byte 0 picks the topic (0: the node's NCMD, 1: a DCMD of a terminal,
// 2: a DCMD of a name with odd characters, 3: another node's NCMD); the rest
// is the payload.
//
// Checked: only this node's topics are taken; NCMD gives no writes, DCMD no
// rebirth; every write names a writable metric and an operation of the table,
// with arguments the table knows and values of their kind; a write that
// passes ops::check comes back out of the command's one DDATA with the same
// value when it changed one; the same
// command taken a second time, after the writes were reported, maps alike;
// what the node decodes survives its own encoding (but for a NUL byte in a
// value of a type other than Bytes, which goes out as a C string).
// The gateway's own conversion (argument_value in gateway.cpp) is not
// reachable from outside the Gateway: the few lines of it that a Sparkplug
// write can reach (integers and text) are repeated here.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "operations.hpp"
#include "sparkplug.hpp"

#define FUZZ_HARNESS "sparkplug command"
#include "fuzz_check.hpp"

namespace {

using namespace vq6120::gateway;
using nlohmann::json;

// The arguments of `request` for `op` as the gateway converts them; empty
// when one is unknown or of the wrong kind.
std::optional<vq6120::ops::Arguments> arguments(const vq6120::ops::Operation &op, const json &request) {
    vq6120::ops::Arguments args;
    for (const auto &item : request.items()) {
        const vq6120::ops::Argument *arg = nullptr;
        for (const auto &a : op.arguments) {
            if (a.name == item.key()) arg = &a;
        }
        if (arg == nullptr) return std::nullopt;
        const json &v = item.value();
        if (arg->kind == vq6120::ops::Kind::Int) {
            if (!v.is_number_integer()) return std::nullopt;
            if (v.is_number_unsigned() && v.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
            args.emplace(item.key(), v.get<std::int64_t>());
        } else {
            if (!v.is_string()) return std::nullopt;
            args.emplace(item.key(), v.get<std::string>());
        }
    }
    return args;
}

bool same_value(const sparkplug::Metric &a, const sparkplug::Metric &b) {
    return a.name == b.name && a.datatype == b.datatype && a.value == b.value;
}

// Maps every write of `command` as the gateway does; reports the values the
// writes that would be sent changed, in one DDATA, as the gateway does once
// the terminal took them. DDATA carries no data types.
void carry_out(sparkplug::EdgeNode &node, const sparkplug::EdgeNode::Command &command) {
    std::vector<sparkplug::Metric> changed;
    for (const sparkplug::Write &write : command.writes) {
        CHECK(!write.metrics.empty());
        for (const sparkplug::Metric &m : write.metrics) CHECK(m.value.has_value());
        CHECK(write.arguments.is_object());
        const vq6120::ops::Operation *op = vq6120::ops::find(write.operation);
        CHECK(op != nullptr);
        const auto args = arguments(*op, write.arguments);
        const std::uint32_t type = write.metrics.front().datatype;
        CHECK(args.has_value() || type == sparkplug::UInt32 || type == sparkplug::UInt64);
        if (!args || !vq6120::ops::check(*op, *args)) continue;
        for (sparkplug::Metric &m : node.take(command.device, write.metrics)) changed.push_back(std::move(m));
    }
    if (changed.empty()) return;
    const vq6120::gateway::Message data = node.device_data(command.device, changed);
    const auto decoded = sparkplug::decode(data.payload);
    CHECK(decoded && decoded->metrics.size() == changed.size() && decoded->seq.has_value());
    for (std::size_t i = 0; i < changed.size(); ++i) {
        CHECK(decoded->metrics[i].name == changed[i].name && decoded->metrics[i].value == changed[i].value);
    }
    // The same values as they wait in the backlog: kept with their data
    // types, they read back as they were.
    const auto kept = sparkplug::decode(sparkplug::encode(sparkplug::EdgeNode::values(changed)));
    CHECK(kept && kept->metrics.size() == changed.size());
    for (std::size_t i = 0; i < changed.size(); ++i) CHECK(same_value(kept->metrics[i], changed[i]));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 1) return 0;
    static const SparkplugConfig config{"Plant", "gw"};
    const std::string base = "spBv1.0/Plant/";
    const std::string topics[] = {base + "NCMD/gw", base + "DCMD/gw/t1", base + "DCMD/gw/a b/\xff", base + "NCMD/gw2"};
    const std::string &topic = topics[data[0] % 4];
    const std::string_view payload(reinterpret_cast<const char *>(data) + 1, size - 1);

    sparkplug::EdgeNode node(config);
    node.next_session(false);
    node.node_birth();
    const auto command = node.command(topic, payload);
    if (data[0] % 4 == 3) {
        CHECK(!command.has_value());
        return 0;
    }
    CHECK(command.has_value());
    const bool dcmd = data[0] % 4 != 0;
    CHECK(dcmd == !command->device.empty());
    CHECK(!dcmd || (!command->rebirth && command->device == topic.substr(topic.find("/gw/") + 4)));
    CHECK(dcmd || command->writes.empty());
    for (const std::string &why : command->refused) CHECK(!why.empty());
    carry_out(node, *command);

    // The same command again, now that the outputs' last values are known.
    const auto again = node.command(topic, payload);
    CHECK(again && again->writes.size() == command->writes.size() && again->refused.size() == command->refused.size());
    carry_out(node, *again);

    // What the node decodes survives its own encoding.
    if (const auto p = sparkplug::decode(payload)) {
        const auto q = sparkplug::decode(sparkplug::encode(*p));
        CHECK(q && q->metrics.size() == p->metrics.size() && q->seq == p->seq);
        for (std::size_t i = 0; i < p->metrics.size(); ++i) {
            // Only Bytes carry a NUL byte; any other type goes out as a C string.
            const auto *s = p->metrics[i].value ? std::get_if<std::string>(&*p->metrics[i].value) : nullptr;
            if (s != nullptr && p->metrics[i].datatype != sparkplug::Bytes && s->find('\0') != std::string::npos) continue;
            CHECK(same_value(q->metrics[i], p->metrics[i]));
        }
    }
    return 0;
}
