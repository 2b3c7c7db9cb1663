// A long conversation through one connection: numbered commands out, one
// numbered terminal frame back for each, from a terminal thread that answers
// as fast as it reads. Nothing may be lost, duplicated or reordered, the heap
// must stay flat, and (under the asan preset) nothing may leak.
//
// One million frames each way by default; sanitizer builds default to
// 100,000. VQ6120_SOAK_FRAMES overrides either.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "raw_peer.hpp"
#include "test_peer.hpp"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VQ6120_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VQ6120_SANITIZED 1
#endif
#endif

namespace vq6120 {
namespace {

using test::Bytes;

std::uint32_t soak_frames() {
    if (const char *env = std::getenv("VQ6120_SOAK_FRAMES")) {
        return static_cast<std::uint32_t>(std::strtoul(env, nullptr, 10));
    }
#ifdef VQ6120_SANITIZED
    return 100000;
#else
    return 1000000;
#endif
}

std::uint32_t get_le32(const std::uint8_t *p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}
void put_le32(std::uint8_t *p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

// The answer to command `seq` cycles through the delivering frame kinds.
struct Kind {
    std::uint8_t channel, command;
    std::int32_t result;
};
constexpr Kind kKinds[] = {{0x40, 0x37, 3}, {0x40, 0x0A, 4}, {0x40, 0x10, 8}, {0x60, 0x00, 6}, {0x61, 0x00, 7}};
constexpr std::size_t kKindCount = sizeof kKinds / sizeof kKinds[0];

// Payload of the answer to `seq`: the number, then seq % 40 bytes counting on.
std::size_t answer_payload(std::uint32_t seq, std::uint8_t *out) {
    put_le32(out, seq);
    const std::size_t filler = seq % 40;
    for (std::size_t i = 0; i < filler; ++i) {
        out[4 + i] = static_cast<std::uint8_t>(seq + i);
    }
    return 4 + filler;
}

// Reads the host's frames and answers each: a numbered command with its
// numbered frame (plus a consumed 0x11 frame after every seventh), the
// model-name request with the reply. Ends when the host closes.
void terminal(int fd) {
    // Answers go out at once: with Nagle's algorithm a small answer written
    // while the previous one is unacknowledged waits for the host's delayed
    // ACK, tens of milliseconds per batch.
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::vector<std::uint8_t> in, out;
    in.reserve(1 << 17);
    out.reserve(1 << 17);
    std::uint8_t chunk[65536];
    for (;;) {
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        in.insert(in.end(), chunk, chunk + n);
        std::size_t at = 0;
        out.clear();
        while (in.size() - at >= 8) {
            const std::size_t len = in[at] | (in[at + 1] << 8);
            if (len < 8 || in.size() - at < len) {
                break;
            }
            const std::uint8_t *f = &in[at];
            std::uint8_t header[8] = {0, 0, 0x40, 0, 0, 0, 0, 0};
            std::uint8_t payload[64];
            std::size_t payload_size = 0;
            if (len == 8 && f[2] == 0x40 && f[6] == 0x00) {
                std::memcpy(payload, "VQ6120", 6);
                payload_size = 6;
            } else if (len >= 12) {
                const std::uint32_t seq = get_le32(f + 8);
                const Kind &k = kKinds[seq % kKindCount];
                header[2] = k.channel;
                header[6] = k.command;
                header[7] = k.channel == 0x61 ? static_cast<std::uint8_t>(seq) : 0;
                payload_size = answer_payload(seq, payload);
            }
            header[0] = static_cast<std::uint8_t>(8 + payload_size);
            out.insert(out.end(), header, header + 8);
            out.insert(out.end(), payload, payload + payload_size);
            if (len >= 12 && get_le32(f + 8) % 7 == 6) {
                const std::uint8_t consumed[9] = {9, 0, 0x40, 0, 0, 0, 0x11, 0, 0x01};
                out.insert(out.end(), consumed, consumed + 9);
            }
            at += len;
        }
        in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(at));
        if (!out.empty() && !test::write_all(fd, out)) {
            break;
        }
    }
    ::close(fd);
}

TEST(Soak, MillionFramesEachWayInOrderWithFlatHeap) {
    const std::uint32_t frames = soak_frames();
    constexpr std::uint32_t kBatch = 64;
    constexpr std::uint32_t kProbeEvery = 100000;

    test::Listener listener;
    VQ6120_HANDLE h = InitialVQ6120(htonl(INADDR_LOOPBACK), listener.port());
    ASSERT_NE(h, nullptr);
    const int fd = listener.accept();
    ASSERT_GE(fd, 0);
    std::thread peer(terminal, fd);

    const Bytes big(1000, 0x42);  // every 1000th command goes through the heap-built frame path
    std::size_t heap_at_start = 0;
    const auto start = std::chrono::steady_clock::now();
    std::uint32_t received = 0, probes = 0, consumed = 0;
    std::uint8_t out[64], want[64];
    for (std::uint32_t sent = 0; sent < frames;) {
        const std::uint32_t batch_end = std::min(frames, sent + kBatch);
        for (; sent < batch_end; ++sent) {
            if (sent % 1000 == 999) {
                Bytes command(big);
                put_le32(command.data(), sent);
                ASSERT_EQ(SendCOMData(h, command.data(), static_cast<std::int32_t>(command.size()), 1), 1);
            } else {
                std::uint8_t seq[4];
                put_le32(seq, sent);
                ASSERT_EQ(SendData(h, 0x40, 0x2A, 0, seq, 4), 1);
            }
        }
        if (sent % kProbeEvery < kBatch && sent >= kBatch) {
            // Answers to the batch are in flight before the reply: the probe
            // must take the reply alone and leave them for the walk below.
            ASSERT_EQ(GetConnectStatus(h, 10), 1) << "probe after frame " << sent;
            ++probes;
        }
        for (int tries = 0; received < sent; ++tries) {
            ASSERT_LT(tries, 100000) << "stuck at frame " << received;
            std::int32_t len = sizeof out;
            const std::int32_t r = GetDataFromEthernet(h, out, &len, 1);
            if (r == VQ6120_RECV_NOTHING) {
                continue;
            }
            if (r == VQ6120_RECV_CONSUMED) {
                ++consumed;
                continue;
            }
            const std::size_t want_size = answer_payload(received, want);
            ASSERT_EQ(r, kKinds[received % kKindCount].result) << "frame " << received;
            ASSERT_EQ(static_cast<std::size_t>(len), want_size) << "frame " << received;
            ASSERT_EQ(std::memcmp(out, want, want_size), 0)
                << "frame " << received << " came as " << get_le32(out);
            ++received;
        }
        if (heap_at_start == 0 && sent >= frames / 10) {
            heap_at_start = mallinfo2().uordblks;
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::size_t heap_at_end = mallinfo2().uordblks;

    std::int32_t len = sizeof out;
    EXPECT_EQ(GetDataFromEthernet(h, out, &len, 0), VQ6120_RECV_NOTHING) << "traffic beyond the last answer";
    ExitVQ6120(h);
    peer.join();

    std::printf("soak: %u frames each way, %u probes, %u consumed frames, %.2f s, heap %zu -> %zu bytes\n", frames,
                probes, consumed, seconds, heap_at_start, heap_at_end);
    EXPECT_EQ(received, frames);
#ifndef VQ6120_SANITIZED
    // The library keeps nothing per frame: whatever the heap held once the
    // conversation was going, it holds at the end (a little slack for the
    // allocator's own bookkeeping).
    EXPECT_LE(heap_at_end, heap_at_start + 4096);
#endif
}

}  // namespace
}  // namespace vq6120
