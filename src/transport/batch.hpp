// The bytes of a write batch: frames collected in order, sent in one go.
// Held in malloc'd memory, grown by doubling and kept between batches, so a
// host redrawing every cycle allocates only in its first cycles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

namespace vq6120 {

// A batch sends what it holds once it reaches this size and goes on
// collecting: the bytes on the wire stay the same, the memory stays bounded.
inline constexpr std::size_t kBatchFlushSize = std::size_t{1} << 20;

struct Batch {
    Batch() = default;
    Batch(const Batch &) = delete;
    Batch &operator=(const Batch &) = delete;
    ~Batch() { std::free(bytes); }

    // Appends `frame`; false when the memory for it cannot be had (nothing
    // is appended then).
    bool append(std::span<const std::uint8_t> frame) noexcept;
    std::span<const std::uint8_t> held() const noexcept { return {bytes, size}; }

    std::uint8_t *bytes = nullptr;
    std::size_t size = 0;
    std::size_t capacity = 0;
    // A send of this batch failed or stalled; reported when it ends.
    bool failed = false;
};

}  // namespace vq6120
