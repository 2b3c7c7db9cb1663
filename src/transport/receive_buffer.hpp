// The receive side of a connection, as functions over bytes: the reassembly
// buffer, the frame walk that classifies and delivers, and the search for the
// probe's model-name reply. No socket call is made here, so all of it is
// tested and fuzzed without a network.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "frame_codec.hpp"

namespace vq6120 {

// Received bytes not yet consumed, always starting at a frame boundary.
// Consumed frames only advance the start; the remaining bytes move to the
// front when room is needed for the next read, so draining a burst of frames
// costs the same per frame however many are buffered.
class ReceiveBuffer {
public:
    static constexpr std::size_t kCapacity = kMaxReceiveFrameSize;

    std::span<const std::uint8_t> bytes() const noexcept { return {data_.data() + begin_, count_}; }
    std::size_t size() const noexcept { return count_; }

    // The front frame as the codec sees it.
    FrameCut front() const noexcept { return cut_frame(bytes(), kCapacity); }
    bool front_is_whole() const noexcept { return front().status == CutStatus::Whole; }

    // Room at the end for the next read; empty when the buffer is full.
    std::span<std::uint8_t> free_space() noexcept;
    // Records that `n` bytes were written at the start of free_space().
    void commit(std::size_t n) noexcept;

    void consume(std::size_t n) noexcept;
    // Takes out `n` bytes at `offset` from the start, keeping the rest in order.
    void erase(std::size_t offset, std::size_t n) noexcept;
    void clear() noexcept { begin_ = count_ = 0; }

private:
    std::array<std::uint8_t, kCapacity> data_{};
    std::size_t begin_ = 0;
    std::size_t count_ = 0;
};

// Receive results (the VQ6120_RECV_ values of the public header).
namespace recv {
inline constexpr std::int32_t kClosed = 0;
inline constexpr std::int32_t kNothing = 1;
inline constexpr std::int32_t kConsumed = 2;
inline constexpr std::int32_t kFrame37 = 3;
inline constexpr std::int32_t kDiStatus = 4;
inline constexpr std::int32_t kModelName = 5;
inline constexpr std::int32_t kSerial1 = 6;
inline constexpr std::int32_t kSerial2 = 7;
inline constexpr std::int32_t kFrame10 = 8;
inline constexpr std::int32_t kFirstDelivering = kFrame37;
}  // namespace recv

// The result after a frame with `header` was consumed, given the result so
// far in the same call: recognised frames set it, unrecognised commands on a
// known channel leave it, an unknown channel sets it to 0.
std::int32_t classify(const FrameHeader &header, std::int32_t current) noexcept;

struct WalkOutcome {
    std::int32_t result = recv::kNothing;
    bool length_set = false;       // false: leave the host's length as it was
    std::int32_t payload_length = 0;
};

// Takes whole frames off the front of `buffer`: non-delivering ones are
// consumed silently, the first delivering one has its payload copied into
// `out` (at most `capacity` bytes; a negative capacity or null `out` copies
// nothing) and ends the walk. A front frame that is out of step drops
// everything buffered and delivers nothing.
WalkOutcome walk_frames(ReceiveBuffer &buffer, std::uint8_t *out, std::int32_t capacity) noexcept;

enum class ModelReply { NotFound, Match, Mismatch };

// Looks through the whole buffered frames for the first terminal-channel frame
// with command 0x00 and takes that frame alone out of the buffer. Match when
// its payload begins with the model prefix "VQ6120" (a payload that ends or
// holds a zero byte before six bytes are through is a mismatch).
ModelReply take_model_reply(ReceiveBuffer &buffer) noexcept;

// The digital-input and keypad payload decoders behind ParseDIStatus and
// ParseKeypadMessage.
std::int32_t parse_di_status(std::int32_t valid, const std::uint8_t *payload, std::int32_t length,
                             std::uint8_t *first, std::uint8_t *second) noexcept;
std::int32_t parse_keypad(std::int32_t valid, const std::uint8_t *payload, std::int32_t length) noexcept;

}  // namespace vq6120
