// The probe's search for the model-name reply, driven as GetConnectStatus
// drives it: bytes arrive in chunks and the search runs after every read,
// until it takes a reply out or the stream is used up.
//
// Input: byte 0 bit 0 asks for one walk (capacity 0) before the probe, as when
// the host polled before probing, so the buffer's front is not at its start;
// bits 4-7 give the number of chunk sizes (1..16) that follow, one byte each;
// the rest is the stream.
//
// Checked against a reference over a copy of the buffered bytes: which frame
// is the reply, Match or Mismatch from its payload, every other byte left in
// place and in order, the buffer dropped on a bad length met before a reply,
// untouched when the search ends on an incomplete frame.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "transport/receive_buffer.hpp"

#define FUZZ_HARNESS "model reply"
#include "fuzz_check.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

enum class Want { NotFound, Match, Mismatch };

struct Reference {
    Want result = Want::NotFound;
    Bytes left;  // the buffer afterwards
};

Reference reference_search(const Bytes &buffered) {
    Reference r;
    std::size_t at = 0;
    for (;;) {
        if (buffered.size() - at < 8) {
            r.left = buffered;
            return r;
        }
        const std::size_t len = std::size_t{buffered[at]} | (std::size_t{buffered[at + 1]} << 8);
        if (len < 8 || len > 32768) {
            return r;  // dropped: left empty
        }
        if (len > buffered.size() - at) {
            r.left = buffered;
            return r;
        }
        if (buffered[at + 2] == 0x40 && buffered[at + 6] == 0x00) {
            static const std::uint8_t kName[6] = {'V', 'Q', '6', '1', '2', '0'};
            const bool match = len - 8 >= 6 && std::memcmp(&buffered[at + 8], kName, 6) == 0;
            r.result = match ? Want::Match : Want::Mismatch;
            r.left.assign(buffered.begin(), buffered.begin() + static_cast<std::ptrdiff_t>(at));
            r.left.insert(r.left.end(), buffered.begin() + static_cast<std::ptrdiff_t>(at + len), buffered.end());
            return r;
        }
        at += len;
    }
}

Bytes snapshot(const vq6120::ReceiveBuffer &b) { return Bytes(b.bytes().begin(), b.bytes().end()); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 1) return 0;
    const bool walk_first = (data[0] & 1) != 0;
    const std::size_t n_chunks = (data[0] >> 4) + 1u;
    if (size < 1 + n_chunks) return 0;
    const std::uint8_t *chunks = data + 1;
    const std::uint8_t *stream = data + 1 + n_chunks;
    const std::size_t stream_size = size - 1 - n_chunks;

    auto buffer = std::make_unique<vq6120::ReceiveBuffer>();
    std::size_t fed = 0;
    auto feed = [&](std::size_t want) {
        const auto room = buffer->free_space();
        std::size_t n = want;
        if (n > room.size()) n = room.size();
        if (n > stream_size - fed) n = stream_size - fed;
        if (n != 0) std::memcpy(room.data(), stream + fed, n);
        buffer->commit(n);
        fed += n;
        return n;
    };

    if (walk_first) {
        feed(std::size_t{chunks[0]} * 16 + 1);
        vq6120::walk_frames(*buffer, nullptr, 0);
    }

    // Each round either feeds bytes or ends; the search itself runs once per
    // round, as the probe does after each read.
    for (std::size_t round = 0; round <= stream_size + 1; ++round) {
        const Bytes before = snapshot(*buffer);
        const Reference want = reference_search(before);
        const vq6120::ModelReply got = vq6120::take_model_reply(*buffer);
        CHECK(static_cast<int>(got) == static_cast<int>(want.result));
        CHECK(snapshot(*buffer) == want.left);
        CHECK(buffer->size() <= vq6120::ReceiveBuffer::kCapacity);
        if (got != vq6120::ModelReply::NotFound) {
            return 0;  // the probe has its answer

        }
        const std::uint8_t c = chunks[round % n_chunks];
        const std::size_t want_bytes = c < 0xE0 ? std::size_t{c} + 1 : std::size_t{c - 0xDFu} * 1024u;
        if (feed(want_bytes) == 0) {
            // Nothing more fits or nothing more comes: the probe gives up.
            return 0;
        }
    }
    fail("search never settled");
}
