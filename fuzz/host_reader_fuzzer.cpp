// The virtual terminal's frame reader over arbitrary host streams, fed in
// arbitrary chunks, with every whole frame acted on by the terminal model.
//
// Input: byte 0 picks the chunk size (1..256 bytes, or whole 4 KiB pages from
// 0xC0 up); the rest is the stream.
//
// Checked: every frame handed on is whole and its length field matches its
// bytes; after each read at most one partial frame stays buffered; a stream
// that goes out of step leaves nothing buffered; every frame the terminal
// sends back fits a frame the library accepts (8..32,768 bytes); and the
// terminal survives whatever it is sent.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "session/host_reader.hpp"
#include "model/terminal.hpp"

#define FUZZ_HARNESS "host reader"
#include "fuzz_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using namespace vq6120;
    if (size < 1) {
        return 0;
    }
    const std::size_t chunk = data[0] < 0xC0 ? std::size_t{data[0]} + 1 : std::size_t{data[0] - 0xBFu} * 4096u;
    const std::uint8_t *stream = data + 1;
    const std::size_t length = size - 1;

    sim::Terminal terminal;
    auto now = sim::Clock::time_point{} + std::chrono::hours(1);
    terminal.host_connected(now);
    std::vector<std::uint8_t> in;
    for (std::size_t at = 0; at < length;) {
        const std::size_t n = std::min(chunk, length - at);
        in.insert(in.end(), stream + at, stream + at + n);
        at += n;
        now += std::chrono::milliseconds(7);
        const sim::HostRead read = sim::read_host_frames(in, [&](const FrameCut &cut) {
            CHECK(cut.status == CutStatus::Whole);
            CHECK(cut.frame.size() == cut.header.length);
            CHECK(cut.header.length >= kHeaderSize);
            std::string problem;
            for (const sim::OutFrame &out : terminal.handle(cut.header, cut.payload(), now, &problem)) {
                CHECK(out.payload.size() <= kMaxReceiveFrameSize - kHeaderSize);
            }
        });
        if (read.out_of_step) {
            CHECK(in.empty());
            CHECK(read.bad_length < kHeaderSize);
        } else {
            // What stays is less than one whole frame.
            CHECK(in.size() < kHeaderSize || decode_header(in.data()).length > in.size());
        }
        for (const sim::OutFrame &out : terminal.on_time(now)) {
            CHECK(out.payload.size() <= kMaxReceiveFrameSize - kHeaderSize);
        }
    }
    return 0;
}
