// GetDataFromEthernet and GetConnectStatus through a real socket: the handle
// reads one end of a socket pair while the harness writes the stream into the
// other end in fuzzer-chosen pieces. This covers what the pure harnesses do
// not: the choice between reading and walking what is buffered, the read into
// the buffer's free space, the host's length at the exported boundary, the
// probe's read-and-search loop, and the close at the end.
//
// Input: byte 0 gives the number of operations (1..16), then two bytes per
// operation, used in turn: how many stream bytes to write before the call, and
// which call (GetDataFromEthernet with one of several capacities, or the probe
// with no wait). The rest is the stream. When the stream is used up the writing
// end is shut down and the host must get every whole frame, then 0.
//
// The reference keeps its own copy of the buffered bytes. What the library
// read is known exactly: all that was written and is no longer queued in the
// socket. With no wait, the probe reads whatever is queued until the reply is
// found, the buffer is full, or nothing is left, so its reads are known too.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "transport/connection.hpp"
#include "transport/memory.hpp"

#define FUZZ_HARNESS "socket receive"
#include "fuzz_check.hpp"
#include "reference.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kCapacity = 32768;

std::size_t length_at(const Bytes &b, std::size_t at) { return ::length_at(b.data() + at); }

std::int32_t reference_result(const Bytes &b, std::size_t at, std::int32_t current) {
    return ::reference_result(b[at + 2], b[at + 6], b[at + 7], current);
}

bool front_is_whole(const Bytes &b) {
    if (b.size() < 8) return false;
    const std::size_t len = length_at(b, 0);
    return len >= 8 && len <= kCapacity && len <= b.size();
}

struct Harness {
    const std::uint8_t *stream;
    std::size_t stream_size;
    std::size_t written = 0;  // into the socket
    std::size_t fed = 0;      // taken out of the socket by the library
    Bytes model;              // what the library must hold
    int host_end = -1, terminal_end = -1;
    bool closed = false;

    std::size_t queued() const {
        int n = 0;
        ioctl(host_end, FIONREAD, &n);
        return static_cast<std::size_t>(n);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 1) return 0;
    const std::size_t ops = (data[0] % 16u) + 1;
    if (size < 1 + 2 * ops) return 0;
    Harness t;
    t.stream = data + 1 + 2 * ops;
    t.stream_size = size - 1 - 2 * ops;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) fail("socketpair");
    t.host_end = pair[0];
    t.terminal_end = pair[1];
    // The stream fits the socket's buffers whole, so writes never block.
    const int room = 1 << 20;
    setsockopt(t.terminal_end, SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    setsockopt(t.host_end, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);

    // From the library's allocator: ExitVQ6120 gives it back there.
    auto *handle = vq6120::memory::create<VQ6120_Connection>();
    if (handle == nullptr) fail("no memory for the connection");
    handle->socket = t.host_end;

    static constexpr std::int32_t kCapacities[] = {64, 0, -5, 1, 2, 7, 300, 32768};
    std::vector<std::uint8_t> out(40000);
    // Every operation writes, or consumes, or drops, or ends the input.
    const std::size_t max_calls = 4 * (t.stream_size + 8) + 64;
    std::size_t idle = 0;
    for (std::size_t call = 0; call < max_calls; ++call) {
        const std::size_t written_before = t.written, fed_before = t.fed, model_before = t.model.size();
        const std::uint8_t piece = data[1 + 2 * (call % ops)];
        const std::uint8_t op = data[2 + 2 * (call % ops)];

        const std::size_t want = piece < 0xC0 ? std::size_t{piece} : std::size_t{piece - 0xBFu} * 1024u;
        std::size_t n = t.stream_size - t.written < want ? t.stream_size - t.written : want;
        while (n > 0) {
            const ssize_t w = send(t.terminal_end, t.stream + t.written, n, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (w <= 0) fail("socket buffer full");
            t.written += static_cast<std::size_t>(w);
            n -= static_cast<std::size_t>(w);
        }
        if (t.written == t.stream_size && !t.closed) {
            shutdown(t.terminal_end, SHUT_WR);
            t.closed = true;
        }

        if (op % 5 == 4) {
            // The probe, no wait.
            const std::int32_t got = GetConnectStatus(handle, 0);
            std::uint8_t request[16];
            CHECK(recv(t.terminal_end, request, sizeof request, MSG_DONTWAIT) == 8);
            static const std::uint8_t kRequest[8] = {8, 0, 0x40, 0, 0, 0, 0, 0};
            CHECK(std::memcmp(request, kRequest, 8) == 0);
            std::int32_t want_result = 0;
            for (;;) {
                // Search the whole frames for the reply.
                std::size_t at = 0;
                bool found = false;
                while (t.model.size() - at >= 8) {
                    const std::size_t len = length_at(t.model, at);
                    if (len < 8 || len > kCapacity) {
                        t.model.clear();  // out of step: all dropped, go on reading
                        break;
                    }
                    if (len > t.model.size() - at) break;
                    if (t.model[at + 2] == 0x40 && t.model[at + 6] == 0x00) {
                        want_result = (len - 8 >= 6 && std::memcmp(&t.model[at + 8], "VQ6120", 6) == 0) ? 1 : 0;
                        t.model.erase(t.model.begin() + static_cast<std::ptrdiff_t>(at),
                                      t.model.begin() + static_cast<std::ptrdiff_t>(at + len));
                        found = true;
                        break;
                    }
                    at += len;
                }
                if (found) break;
                // Not there: one read of what is queued, or give up.
                const std::size_t free = kCapacity - t.model.size();
                const std::size_t avail = t.written - t.fed;
                if (free == 0 || avail == 0) break;  // full, nothing queued, or closed: 0
                const std::size_t take = avail < free ? avail : free;
                t.model.insert(t.model.end(), t.stream + t.fed, t.stream + t.fed + take);
                t.fed += take;
            }
            CHECK(got == want_result);
        } else {
            const std::int32_t capacity = kCapacities[op % 8];
            std::int32_t len = capacity;
            // Waiting only when something is there to read keeps each run fast.
            const std::uint8_t wait = (op & 0x80) != 0 && (t.written > t.fed || t.closed) ? 1 : 0;
            const std::int32_t got = GetDataFromEthernet(handle, out.data(), &len, wait);

            std::int32_t result = 1;
            bool length_set = false;
            std::int32_t payload_length = 0;
            Bytes delivered;
            bool closed_now = false;
            if (!front_is_whole(t.model)) {
                // One read when the socket is readable (data queued, or the
                // end of the stream) and the buffer has room.
                const std::size_t free = kCapacity - t.model.size();
                const std::size_t avail = t.written - t.fed;
                if ((avail > 0 || t.closed) && free > 0) {
                    if (avail > 0) {
                        const std::size_t take = avail < free ? avail : free;
                        t.model.insert(t.model.end(), t.stream + t.fed, t.stream + t.fed + take);
                        t.fed += take;
                    } else {
                        closed_now = true;
                    }
                }
            }
            if (closed_now) {
                result = 0;
                length_set = true;
            } else if (t.model.empty()) {
                length_set = true;
            } else {
                std::size_t at = 0;
                for (;;) {
                    if (t.model.size() - at < 8) break;
                    const std::size_t flen = length_at(t.model, at);
                    if (flen < 8 || flen > kCapacity) {
                        at = t.model.size();  // out of step: all dropped
                        length_set = true;
                        payload_length = 0;
                        break;
                    }
                    if (flen > t.model.size() - at) break;
                    result = reference_result(t.model, at, result);
                    length_set = true;
                    payload_length = 0;
                    const std::size_t frame_at = at;
                    at += flen;
                    if (result >= 3) {
                        const std::size_t roomy = capacity > 0 ? std::size_t(capacity) : 0;
                        const std::size_t copied = flen - 8 < roomy ? flen - 8 : roomy;
                        payload_length = static_cast<std::int32_t>(copied);
                        delivered.assign(t.model.begin() + static_cast<std::ptrdiff_t>(frame_at + 8),
                                         t.model.begin() + static_cast<std::ptrdiff_t>(frame_at + 8 + copied));
                        break;
                    }
                    if (at == t.model.size()) break;
                }
                t.model.erase(t.model.begin(), t.model.begin() + static_cast<std::ptrdiff_t>(at));
            }
            CHECK(got == result);
            CHECK(len == (length_set ? payload_length : capacity));
            CHECK(delivered.empty() || std::memcmp(out.data(), delivered.data(), delivered.size()) == 0);
        }
        CHECK(t.fed == t.written - t.queued());
        CHECK(handle->received.size() == t.model.size());
        CHECK(t.model.empty() || std::memcmp(handle->received.bytes().data(), t.model.data(), t.model.size()) == 0);
        if (t.closed && t.fed == t.written && !front_is_whole(t.model)) break;
        // A whole round of operations that changed nothing changes nothing again.
        const bool progressed = t.written != written_before || t.fed != fed_before || t.model.size() != model_before;
        idle = progressed ? 0 : idle + 1;
        if (idle > ops) break;
    }
    if (t.closed && t.fed == t.written && !front_is_whole(t.model)) {
        // Everything whole was handed out: the end of the stream is reported.
        std::int32_t len = 64;
        CHECK(GetDataFromEthernet(handle, out.data(), &len, 1) == 0);
        CHECK(len == 0);
    }
    ExitVQ6120(handle);
    close(t.terminal_end);
    return 0;
}
