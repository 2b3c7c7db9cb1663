// Opening, probing and closing a connection.
#include "connection.hpp"

#include <chrono>

#include "memory.hpp"

namespace vq6120 {

Fill fill_from_socket(Connection &c, int timeout_ms) noexcept {
    if (reads_closed(c)) {
        return Fill::Closed;
    }
    if (c.phase == Phase::Connecting) {
        return Fill::NothingRead;  // nothing can have arrived yet
    }
    // Without a wait the read alone tells whether anything came: one system
    // call per look instead of two, which counts for a host draining many
    // terminals as each turns readable.
    if (timeout_ms > 0 && net::wait_readable(c.socket, timeout_ms) != net::Readiness::Ready) {
        return Fill::NothingRead;
    }
    const auto room = c.received.free_space();
    if (room.empty()) {
        return Fill::NothingRead;
    }
    const net::ReadOutcome read = net::read_some(c.socket, room);
    switch (read.kind) {
    case net::ReadOutcome::Data:
        c.received.commit(read.count);
        return Fill::Read;
    case net::ReadOutcome::NothingRead:
        return Fill::NothingRead;
    case net::ReadOutcome::Closed:
        break;
    }
    return Fill::Closed;
}

namespace {

// Reads through the receive buffer until the model-name reply is there or the
// deadline passes. Other frames stay buffered for GetDataFromEthernet.
std::int32_t await_model_reply(Connection &c, net::Clock::time_point deadline) noexcept {
    for (;;) {
        switch (take_model_reply(c.received)) {
        case ModelReply::Match: return 1;
        case ModelReply::Mismatch: return 0;
        case ModelReply::NotFound: break;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - net::Clock::now());
        const int timeout_ms = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        const Fill fill = fill_from_socket(c, timeout_ms);
        if (fill == Fill::Closed) {
            return 0;
        }
        if (fill == Fill::NothingRead && (timeout_ms == 0 || c.received.free_space().empty())) {
            return 0;
        }
    }
}

}  // namespace
}  // namespace vq6120

using namespace vq6120;

namespace vq6120 {

Connection *open_connection(Connect how, std::uint32_t address, std::uint16_t port) noexcept {
    if (!net::service_start()) {
        return nullptr;
    }
    auto *c = memory::create<Connection>();
    if (c == nullptr) {
        net::service_release();
        return nullptr;
    }
    c->socket = how == Connect::Blocking ? net::connect_ipv4(address, port) : net::connect_start(address, port);
    if (c->socket == net::kInvalidSocket) {
        memory::destroy(c);
        net::service_release();
        return nullptr;
    }
    return c;
}

}  // namespace vq6120

extern "C" VQ6120_API VQ6120_HANDLE VQ6120_CALL InitialVQ6120(uint32_t address, uint16_t port) {
    return open_connection(Connect::Blocking, address, port);
}

extern "C" VQ6120_API void VQ6120_CALL ExitVQ6120(VQ6120_HANDLE handle) {
    if (handle == nullptr) {
        return;
    }
    if (handle->batch_open) {
        if (queued_mode(*handle)) {
            queue_end_batch(*handle);
        } else {
            flush_batch(*handle);  // what a batch collected is not lost
        }
    }
    if (queued_mode(*handle)) {
        flush_queue(*handle);  // what the socket takes now; never waits
    }
    net::close(handle->socket);
    memory::destroy(handle);
    net::service_release();
}

extern "C" VQ6120_API int32_t VQ6120_CALL GetConnectStatus(VQ6120_HANDLE handle, uint8_t timeoutSeconds) {
    if (handle == nullptr) {
        return 0;
    }
    switch (handle->phase) {
    case Phase::Connecting:
        return refuse(*handle, VQ6120_REFUSED_STATE);
    case Phase::ConnectFailed:
        return refuse(*handle, VQ6120_REFUSED_CLOSED);
    case Phase::Connected:
        break;
    }
    if (queued_mode(*handle)) {
        if (handle->batch_open) {
            return refuse(*handle, VQ6120_REFUSED_STATE);
        }
        // Behind what waits, never waiting for room: the answer can only come
        // once the request went.
        if (transmit(*handle, channel::kTerminal, 0x00, 0x00, {}) == 0) {
            return 0;
        }
        flush_queue(*handle);
        return await_model_reply(*handle, net::Clock::now() + std::chrono::seconds(timeoutSeconds));
    }
    const auto deadline = net::Clock::now() + std::chrono::seconds(timeoutSeconds);
    // Inside a batch, what was collected goes first and the request right
    // after it: the answer cannot come while the request waits in the batch.
    const bool batching = handle->batch_open;
    if (batching) {
        flush_batch(*handle);
        handle->batch_open = false;
    }
    transmit(*handle, channel::kTerminal, 0x00, 0x00, {});
    handle->batch_open = batching;
    return await_model_reply(*handle, deadline);
}

// The project's version, handed in by the build from its one definition.
extern "C" VQ6120_API double VQ6120_CALL GetDllVersion(void) { return VQ6120_VERSION; }
