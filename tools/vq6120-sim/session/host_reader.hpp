// The simulator's side of the host's byte stream, as a function over bytes:
// whole frames are cut off the front and acted on, a partial frame stays for
// the next read. The server feeds it from the socket; the fuzzer feeds it
// arbitrary streams.
#pragma once

#include <cstdint>
#include <vector>

#include "transport/frame_codec.hpp"

namespace vq6120::sim {

struct HostRead {
    bool out_of_step = false;
    std::uint16_t bad_length = 0;  // the length field that put it out of step
};

// Calls `on_frame(const FrameCut &)` for every whole frame at the front of
// `in` (host frames may be up to 65,535 bytes) and erases them. A length field
// below 8 leaves no way to find the next frame boundary: `in` is cleared and
// the result says so.
template <class OnFrame>
HostRead read_host_frames(std::vector<std::uint8_t> &in, OnFrame &&on_frame) {
    HostRead result;
    std::size_t used = 0;
    for (;;) {
        const FrameCut cut = cut_frame(std::span<const std::uint8_t>(in).subspan(used), kMaxFrameSize);
        if (cut.status == CutStatus::Incomplete) {
            break;
        }
        if (cut.status == CutStatus::OutOfStep) {
            in.clear();
            result.out_of_step = true;
            result.bad_length = cut.header.length;
            return result;
        }
        on_frame(cut);
        used += cut.frame.size();
    }
    in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(used));
    return result;
}

}  // namespace vq6120::sim
