// Collecting frames into a write batch, and sending it.
#include <cstring>

#include "connection.hpp"

namespace vq6120 {

bool Batch::append(std::span<const std::uint8_t> frame) noexcept {
    if (size + frame.size() > capacity) {
        std::size_t grown = capacity == 0 ? 4096 : capacity;
        while (grown < size + frame.size()) {
            grown *= 2;
        }
        auto *more = static_cast<std::uint8_t *>(memory::reallocate(bytes, grown));
        if (more == nullptr) {
            return false;
        }
        bytes = more;
        capacity = grown;
    }
    std::memcpy(bytes + size, frame.data(), frame.size());
    size += frame.size();
    return true;
}

namespace {

// Sends bytes of the batch; a failure is kept for VQ6120Ex_EndBatch to report.
void send_batched(Connection &c, std::span<const std::uint8_t> bytes) noexcept {
    const net::SendOutcome outcome = c.end != End::None ? net::SendOutcome::Failed : net::send_all(c.socket, bytes);
    if (outcome == net::SendOutcome::Stalled) {
        c.end = End::Stalled;
    }
    if (outcome != net::SendOutcome::Sent) {
        c.batch.failed = true;
    }
}

}  // namespace

bool flush_batch(Connection &c) noexcept {
    if (c.batch.size != 0) {
        send_batched(c, c.batch.held());
        c.batch.size = 0;
    }
    return !c.batch.failed;
}

std::int32_t route_frame(Connection &c, std::span<const std::uint8_t> frame) noexcept {
    switch (c.phase) {
    case Phase::Connecting:
        return refuse(c, VQ6120_REFUSED_STATE);  // nothing can be sent yet
    case Phase::ConnectFailed:
        return refuse(c, VQ6120_REFUSED_CLOSED);
    case Phase::Connected:
        break;
    }
    if (queued_mode(c)) {
        return queue_frame(c, frame);
    }
    if (c.batch.size + frame.size() > kBatchFlushSize) {
        flush_batch(c);
    }
    if (!c.batch.append(frame)) {
        // No memory to hold it: what was collected goes now, then this frame,
        // so the order on the wire is kept and nothing is dropped.
        flush_batch(c);
        send_batched(c, frame);
    }
    return accept(c);
}

}  // namespace vq6120
