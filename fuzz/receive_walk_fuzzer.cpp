// The receive walk over arbitrary byte streams, fed in arbitrary chunks and
// drained with arbitrary capacities, exactly as GetDataFromEthernet drives it:
// read once when the front frame is not whole, then walk.
//
// Input: byte 0 gives the number of schedule entries (1..16), then two bytes
// per entry (chunk size, capacity), used in turn; the rest is the stream.
//
// Every call is checked against a reference written separately from the
// library: it reads frames straight out of the whole stream at the absolute
// offset where the buffer's front lies, so it needs no buffer at all. Checked:
// the result, whether and what length is reported, the delivered bytes (a
// byte-exact slice of the frame at that offset, cut to the capacity), the
// bytes left buffered (exactly the unconsumed tail of what was fed), the
// buffered size (0..32768), and progress on every step. Over the whole run,
// when the stream never went out of step, the delivered frames are exactly
// the delivering frames of a one-shot walk of the whole stream, in order.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "transport/receive_buffer.hpp"

#define FUZZ_HARNESS "receive walk"
#include "fuzz_check.hpp"
#include "reference.hpp"

namespace {

constexpr std::size_t kMaxFrame = 32768;

struct Step {
    std::size_t chunk;
    std::int32_t capacity;
    bool null_out;
    // The host's buffer, exactly `capacity` bytes on the heap so that any
    // write past it is caught; made once per input and reused.
    std::shared_ptr<std::uint8_t[]> out;
};

// Chunk sizes from single bytes up to whole buffers and more; capacities
// negative, zero, small, exact-ish and larger than any frame.
Step decode_step(std::uint8_t a, std::uint8_t b) {
    Step s{};
    s.chunk = a < 0xC0 ? std::size_t{a} + 1 : std::size_t{a - 0xBFu} * 2048u;
    s.null_out = false;
    if (b == 0) {
        s.capacity = -1;
    } else if (b == 1) {
        s.capacity = INT32_MIN;
    } else if (b == 2) {
        s.capacity = 0;
    } else if (b == 3) {
        s.capacity = 64;
        s.null_out = true;
    } else if (b >= 0xF0) {
        s.capacity = static_cast<std::int32_t>((b - 0xEFu) * 4096u);  // 4 KiB .. 64 KiB
    } else {
        s.capacity = b - 4;  // 0 .. 235
    }
    s.out.reset(new std::uint8_t[s.capacity > 0 ? std::size_t(s.capacity) : 0]);
    return s;
}

struct Expected {
    std::int32_t result = 1;
    bool length_set = false;
    std::int32_t payload_length = 0;
    std::size_t delivered_at = SIZE_MAX;  // stream offset of the delivered frame
    std::size_t new_front = 0;            // stream offset of the buffer's front afterwards
    bool out_of_step = false;
};

// What one walk must do when the buffer holds stream[front, fed).
Expected reference_walk(const std::uint8_t *stream, std::size_t front, std::size_t fed, const Step &step) {
    Expected e;
    std::size_t at = front;
    if (at == fed) {
        e.length_set = true;
        e.new_front = at;
        return e;
    }
    for (;;) {
        const std::size_t avail = fed - at;
        if (avail < 8) break;
        const std::size_t len = length_at(stream + at);
        if (len < 8 || len > kMaxFrame) {
            e.out_of_step = true;
            e.length_set = true;
            e.payload_length = 0;
            at = fed;  // everything buffered is dropped
            break;
        }
        if (len > avail) break;
        e.result = reference_result(stream[at + 2], stream[at + 6], stream[at + 7], e.result);
        e.length_set = true;
        e.payload_length = 0;
        const std::size_t frame_at = at;
        at += len;
        if (e.result >= 3) {
            const std::size_t room = (!step.null_out && step.capacity > 0) ? std::size_t(step.capacity) : 0;
            e.payload_length = static_cast<std::int32_t>(len - 8 < room ? len - 8 : room);
            e.delivered_at = frame_at;
            break;
        }
        if (at == fed) break;
    }
    e.new_front = at;
    return e;
}

// Offsets of the delivering frames of a one-shot walk over the whole stream,
// up to its last whole frame; `clean` is false when it meets a bad length.
std::vector<std::size_t> one_shot_deliveries(const std::uint8_t *stream, std::size_t size, bool &clean) {
    std::vector<std::size_t> out;
    clean = true;
    std::size_t at = 0;
    while (size - at >= 8) {
        const std::size_t len = length_at(stream + at);
        if (len < 8 || len > kMaxFrame) {
            clean = false;
            break;
        }
        if (len > size - at) break;
        if (reference_result(stream[at + 2], stream[at + 6], stream[at + 7], 1) >= 3) out.push_back(at);
        at += len;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 1) return 0;
    const std::size_t entries = (data[0] % 16u) + 1;
    if (size < 1 + 2 * entries) return 0;
    std::vector<Step> steps;
    for (std::size_t i = 0; i < entries; ++i) {
        steps.push_back(decode_step(data[1 + 2 * i], data[2 + 2 * i]));
    }
    const std::uint8_t *stream = data + 1 + 2 * entries;
    const std::size_t stream_size = size - 1 - 2 * entries;

    auto buffer = std::make_unique<vq6120::ReceiveBuffer>();
    std::size_t fed = 0;
    bool went_out_of_step = false;
    std::vector<std::size_t> delivered;

    // Each step feeds at least one byte or consumes at least one frame or
    // drops the buffer, so this bound is never reached by a walk that works.
    const std::size_t max_steps = 2 * stream_size + 4;
    std::size_t step_no = 0;
    bool moved_before = false;
    for (;; ++step_no) {
        CHECK(step_no <= max_steps);
        const Step &step = steps[step_no % steps.size()];
        const std::size_t front_before = fed - buffer->size();
        const std::size_t fed_before = fed;

        if (!buffer->front_is_whole()) {
            const auto room = buffer->free_space();
            CHECK(room.size() == vq6120::ReceiveBuffer::kCapacity - buffer->size());
            std::size_t n = step.chunk;
            if (n > room.size()) n = room.size();
            if (n > stream_size - fed) n = stream_size - fed;
            if (n != 0) std::memcpy(room.data(), stream + fed, n);
            buffer->commit(n);
            fed += n;
        }
        CHECK(buffer->size() <= vq6120::ReceiveBuffer::kCapacity);
        CHECK(buffer->size() == fed - front_before);

        const Expected want = reference_walk(stream, front_before, fed, step);

        std::uint8_t *const out = step.out.get();
        const vq6120::WalkOutcome got = vq6120::walk_frames(*buffer, step.null_out ? nullptr : out, step.capacity);

        CHECK(got.result == want.result);
        CHECK(got.length_set == want.length_set);
        if (got.length_set) CHECK(got.payload_length == want.payload_length);
        CHECK(got.payload_length >= 0);
        if (want.delivered_at != SIZE_MAX) {
            delivered.push_back(want.delivered_at);
            if (want.payload_length > 0) {
                CHECK(std::memcmp(out, stream + want.delivered_at + 8, std::size_t(want.payload_length)) == 0);
            }
        }
        went_out_of_step = went_out_of_step || want.out_of_step;

        CHECK(buffer->size() <= vq6120::ReceiveBuffer::kCapacity);
        CHECK(buffer->size() == fed - want.new_front);
        // The bytes left are the unconsumed tail of what was fed. All of them
        // are compared after anything moved (a consume now, or the compaction
        // that the next read's free_space() does after one); otherwise the
        // bytes compared before are where they were and only the new ones are.
        const auto left = buffer->bytes();
        const bool moved = want.new_front != front_before;
        const std::size_t from = (moved || moved_before) ? 0 : fed_before - front_before;
        CHECK(left.size() == 0 ||
              std::memcmp(left.data() + from, stream + want.new_front + from, left.size() - from) == 0);
        moved_before = moved;

        const bool progressed = fed != fed_before || want.new_front != front_before;
        if (!progressed) {
            // Only an exhausted stream may leave a step without progress.
            CHECK(fed == stream_size);
            break;
        }
    }

    if (!went_out_of_step) {
        bool clean = true;
        const std::vector<std::size_t> whole = one_shot_deliveries(stream, stream_size, clean);
        CHECK(clean);
        CHECK(delivered == whole);
    }
    return 0;
}
