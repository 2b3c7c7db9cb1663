// The queued send mode: commands that never wait for the terminal. The
// queue's rules are functions over bytes (send_queue.hpp); this file feeds
// them from the socket and carries out their verdicts.
#include "queued.hpp"

#include <chrono>

namespace vq6120 {
namespace {

// Reads the system's send buffer into the queue's count. Where the system
// does not tell, its bound counts as waiting while the socket refuses bytes.
void measure(Connection &c) noexcept {
    std::size_t reading = 0;
    if (!net::unsent_bytes(c.socket, reading)) {
        reading = c.socket_full ? c.system_bound : 0;
    }
    measured(c.queue, reading);
}

// The connection is over for `why`: shut down, reads as closed, refuses
// everything.
void end_connection(Connection &c, End why) noexcept {
    if (c.end == End::None) {
        net::shutdown(c.socket);
        c.end = why;
    }
}

// Flush's result for a connection that is over, with the reason recorded.
std::int32_t over(Connection &c) noexcept {
    refuse(c, closed_reason(c));
    return -1;
}

// Hands the socket what it takes of `bytes` now; false when the send failed
// (the connection is then over).
bool send_some(Connection &c, std::span<const std::uint8_t> bytes, std::size_t &sent) noexcept {
    const net::Handed handed = net::send_now(c.socket, bytes);
    sent = handed.count;
    c.socket_full = handed.full;
    if (handed.failed) {
        end_connection(c, End::SendFailed);
        return false;
    }
    return true;
}

// Whether `n` more bytes fit; the system is asked only when the count kept
// since its last answer (never below the truth) says they would not.
bool fits(Connection &c, std::size_t n) noexcept {
    if (admits(c.queue, n)) {
        return true;
    }
    measure(c);
    return admits(c.queue, n);
}

// After a full queue: the stall rule, judged now that the system was asked.
std::int32_t refuse_full(Connection &c) noexcept {
    if (stall_judged(c.queue, net::Clock::now())) {
        end_connection(c, End::Stalled);
        return refuse(c, VQ6120_REFUSED_STALLED);
    }
    return refuse(c, VQ6120_REFUSED_QUEUE_FULL);
}

}  // namespace

std::int32_t flush_queue(Connection &c) noexcept {
    if (reads_closed(c)) {
        return over(c);
    }
    if (!queued_mode(c)) {
        return 0;
    }
    SendQueue &q = c.queue;
    const auto bytes = sendable(q);
    if (!bytes.empty()) {
        std::size_t sent = 0;
        const bool alive = send_some(c, bytes, sent);
        handed_over(q, sent);
        if (!alive) {
            return over(c);
        }
    }
    // The system is asked when the bound starts (what waits then is what the
    // terminal must take) and when it may have run out; in between a flush
    // costs one send at most.
    const auto now = net::Clock::now();
    if ((q.stall.owed == 0 && waiting(q) != 0) || stall_due(q, now)) {
        measure(c);
    }
    if (stall_judged(q, now)) {
        end_connection(c, End::Stalled);
        return over(c);
    }
    return static_cast<std::int32_t>(sendable(q).size());
}

void judge_stall_if_due(Connection &c) noexcept {
    if (queued_mode(c) && c.end == End::None && stall_due(c.queue, net::Clock::now())) {
        flush_queue(c);
    }
}

std::int32_t queue_frame(Connection &c, std::span<const std::uint8_t> frame) noexcept {
    if (c.end != End::None) {
        return refuse(c, closed_reason(c));
    }
    SendQueue &q = c.queue;
    if (c.batch_open) {
        // Queued whole or refused whole: after one refusal the batch only
        // waits for its end, which drops it.
        if (c.batch_refusal == VQ6120_REFUSED_NONE) {
            if (!fits(c, frame.size())) {
                c.batch_refusal = VQ6120_REFUSED_QUEUE_FULL;
            } else if (!push(q, frame)) {
                c.batch_refusal = VQ6120_REFUSED_MEMORY;
            } else {
                q.batch += frame.size();
                return accept(c);
            }
        }
        return refuse(c, c.batch_refusal);
    }
    if (q.size != 0) {
        judge_stall_if_due(c);
        if (c.end != End::None) {
            return refuse(c, closed_reason(c));
        }
    }
    if (!fits(c, frame.size())) {
        return refuse_full(c);
    }
    // Room for all of it first, so that a frame the socket takes only in part
    // is never cut on the wire for want of memory.
    if (!reserve(q, frame.size())) {
        return refuse(c, VQ6120_REFUSED_MEMORY);
    }
    std::size_t sent = 0;
    if (q.size == 0 && !send_some(c, frame, sent)) {
        return refuse(c, VQ6120_REFUSED_CLOSED);
    }
    sent_past(q, sent);
    push(q, frame.subspan(sent));
    return accept(c);
}

void enter_mode(Connection &c) noexcept {
    if (c.queue.limit == 0) {
        c.mode = Mode::Direct;
        return;
    }
    c.mode = Mode::Queued;
    c.system_bound = net::bound_send_buffer(c.socket);
    c.queue.stall.restart(net::Clock::now(), 0);
    measure(c);
}

void queue_begin_batch(Connection &c) noexcept {
    c.batch_open = true;
    c.queue.batch = 0;
    c.batch_refusal = VQ6120_REFUSED_NONE;
}

std::int32_t queue_end_batch(Connection &c) noexcept {
    c.batch_open = false;
    const bool nothing_ahead = c.queue.size == c.queue.batch;
    const std::uint8_t refused = c.end != End::None ? closed_reason(c) : c.batch_refusal;
    end_batch(c.queue, refused == VQ6120_REFUSED_NONE);
    c.batch_refusal = VQ6120_REFUSED_NONE;
    if (refused != VQ6120_REFUSED_NONE) {
        return refuse(c, refused);
    }
    // Nothing was waiting ahead of it: the batch goes now, as far as it can.
    if (nothing_ahead && flush_queue(c) < 0) {
        return 0;  // the reason is recorded
    }
    return accept(c);
}

}  // namespace vq6120

using namespace vq6120;

extern "C" VQ6120_API int32_t VQ6120_CALL VQ6120Ex_SetSendQueue(VQ6120_HANDLE handle, int32_t limitBytes) {
    if (handle == nullptr) {
        return 0;
    }
    Connection &c = *handle;
    if (limitBytes < 0 || (limitBytes > 0 && limitBytes < VQ6120_SEND_QUEUE_MIN)) {
        return refuse(c, VQ6120_REFUSED_ARGUMENT);
    }
    if (reads_closed(c)) {
        return refuse(c, closed_reason(c));
    }
    const auto limit = static_cast<std::size_t>(limitBytes);
    // A batch open in the direct mode would be cut in two; in the queued
    // mode only a change of mode would.
    if ((c.batch_open && (c.mode == Mode::Direct || limit == 0)) || (limit < c.queue.limit && c.queue.size != 0)) {
        return refuse(c, VQ6120_REFUSED_STATE);
    }
    if (c.queue.capacity > limit) {
        release(c.queue);  // nothing is held: the limit may only fall then
    }
    c.queue.limit = limit;
    // While connecting the mode waits for the connect to be through.
    if (c.phase == Phase::Connected && !c.batch_open && (c.mode == Mode::Direct || limit == 0)) {
        enter_mode(c);
    }
    return accept(c);
}

extern "C" VQ6120_API int32_t VQ6120_CALL VQ6120Ex_Flush(VQ6120_HANDLE handle) {
    return handle == nullptr ? -1 : flush_queue(*handle);
}

extern "C" VQ6120_API int32_t VQ6120_CALL VQ6120Ex_WaitingBytes(VQ6120_HANDLE handle) {
    if (handle == nullptr) {
        return -1;
    }
    Connection &c = *handle;
    if (c.phase != Phase::Connected) {
        return 0;
    }
    std::size_t system = 0;
    if (queued_mode(c)) {
        measure(c);
        system = c.queue.system;
    } else if (!net::unsent_bytes(c.socket, system)) {
        system = 0;
    }
    const std::size_t total = c.queue.size + system;
    return total > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(total);
}

extern "C" VQ6120_API int32_t VQ6120_CALL VQ6120Ex_LastRefusal(VQ6120_HANDLE handle) {
    return handle == nullptr ? -1 : handle->refusal;
}

extern "C" VQ6120_API int32_t VQ6120_CALL VQ6120Ex_NextCheck(VQ6120_HANDLE handle) {
    if (handle == nullptr || !queued_mode(*handle) || reads_closed(*handle)) {
        return -1;
    }
    const auto left = until_judgement(handle->queue, net::Clock::now());
    if (left < net::Clock::duration::zero()) {
        return -1;
    }
    // Rounded up: a wait of this long ends with the bound run out, not a
    // moment before it (which would wake the host once more for nothing).
    return static_cast<int32_t>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}
