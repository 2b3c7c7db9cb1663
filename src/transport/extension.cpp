// The calls beyond the terminal's own interface that a host serving many
// terminals from one loop needs: the socket to wait on, opening without
// blocking or with a time limit, write batches, and TCP keepalive.
#include <cerrno>
#include <chrono>

#include "connection.hpp"

using namespace vq6120;

namespace {

bool connect_through(VQ6120_HANDLE h) noexcept {
    return h->phase == Phase::Connected;
}

// Why a call that needs the connect through (or no batch open) is refused.
std::uint8_t state_refusal(VQ6120_HANDLE h) noexcept {
    return h->phase == Phase::ConnectFailed ? VQ6120_REFUSED_CLOSED : VQ6120_REFUSED_STATE;
}

}  // namespace

extern "C" VQ6120_API intptr_t VQ6120_CALL VQ6120Ex_GetSocket(VQ6120_HANDLE handle) {
    return handle == nullptr ? -1 : static_cast<intptr_t>(handle->socket);
}

extern "C" VQ6120_API VQ6120_HANDLE VQ6120_CALL VQ6120Ex_StartOpen(uint32_t address, uint16_t port) {
    Connection *c = open_connection(Connect::Started, address, port);
    if (c != nullptr) {
        c->phase = Phase::Connecting;
    }
    return c;
}

extern "C" VQ6120_API int32_t VQ6120_CALL VQ6120Ex_FinishOpen(VQ6120_HANDLE handle, int32_t waitMs) {
    if (handle == nullptr || handle->phase == Phase::ConnectFailed) {
        return 0;
    }
    if (connect_through(handle)) {
        return 1;
    }
    switch (net::connect_finish(handle->socket, waitMs > 0 ? waitMs : 0)) {
    case net::ConnectProgress::Connected:
        handle->phase = Phase::Connected;
        enter_mode(*handle);
        return 1;
    case net::ConnectProgress::Failed:
        handle->phase = Phase::ConnectFailed;
        return 0;
    case net::ConnectProgress::Pending:
        break;
    }
    return -1;
}

extern "C" VQ6120_API VQ6120_HANDLE VQ6120_CALL VQ6120Ex_Open(uint32_t address, uint16_t port, int32_t timeoutMs) {
    if (timeoutMs < 1) {
        return nullptr;
    }
    VQ6120_HANDLE h = VQ6120Ex_StartOpen(address, port);
    if (h == nullptr) {
        return nullptr;
    }
    // The wait can end early (a signal): go on until the limit is spent.
    using Clock = net::Clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        const int32_t done = VQ6120Ex_FinishOpen(h, left > 0 ? static_cast<int32_t>(left) : 0);
        if (done == 1) {
            return h;
        }
        if (done == 0 || left <= 0) {
            // The host learns why from errno, which closing must not change.
            const int why = done == 0 ? errno : ETIMEDOUT;
            ExitVQ6120(h);
            errno = why;
            return nullptr;
        }
    }
}

extern "C" VQ6120_API int32_t VQ6120_CALL VQ6120Ex_BeginBatch(VQ6120_HANDLE handle) {
    if (handle == nullptr) {
        return 0;
    }
    if (!connect_through(handle) || handle->batch_open) {
        return refuse(*handle, state_refusal(handle));
    }
    if (queued_mode(*handle)) {
        queue_begin_batch(*handle);
        return accept(*handle);
    }
    handle->batch_open = true;
    handle->batch.failed = false;
    return accept(*handle);
}

extern "C" VQ6120_API int32_t VQ6120_CALL VQ6120Ex_EndBatch(VQ6120_HANDLE handle) {
    if (handle == nullptr) {
        return 0;
    }
    if (!handle->batch_open) {
        return refuse(*handle, VQ6120_REFUSED_STATE);
    }
    if (queued_mode(*handle)) {
        return queue_end_batch(*handle);
    }
    const bool sent = flush_batch(*handle);
    handle->batch_open = false;
    handle->batch.failed = false;
    if (sent) {
        return accept(*handle);
    }
    return refuse(*handle, closed_reason(*handle));
}

extern "C" VQ6120_API int32_t VQ6120_CALL VQ6120Ex_BufferedBytes(VQ6120_HANDLE handle) {
    return handle == nullptr ? -1 : static_cast<int32_t>(handle->received.size());
}

extern "C" VQ6120_API int32_t VQ6120_CALL VQ6120Ex_SetKeepAlive(VQ6120_HANDLE handle, int32_t idleSeconds,
                                                              int32_t intervalSeconds, int32_t count) {
    if (handle == nullptr) {
        return 0;
    }
    if (!connect_through(handle)) {
        return refuse(*handle, state_refusal(handle));
    }
    const bool valid = idleSeconds == 0 || (idleSeconds >= 1 && idleSeconds <= 32767 && intervalSeconds >= 1 &&
                                            intervalSeconds <= 32767 && count >= 1 && count <= 127);
    if (!valid) {
        return refuse(*handle, VQ6120_REFUSED_ARGUMENT);
    }
    const bool set = idleSeconds == 0 ? net::set_keepalive(handle->socket, 0, 0, 0)
                                      : net::set_keepalive(handle->socket, idleSeconds, intervalSeconds, count);
    return set ? accept(*handle) : refuse(*handle, VQ6120_REFUSED_CLOSED);
}
