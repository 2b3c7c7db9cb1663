// What the hot paths cost, measured rather than read off the code: heap
// allocations per command and per receive call, and socket calls while
// draining buffered frames.
//
// Allocations are counted by replacing the global operator new and delete
// and, in builds without AddressSanitizer, malloc and free as well (the
// sanitizer owns malloc there: the library's own allocation functions, which
// it calls for all its memory, are counted instead).
// Only the calling thread is counted, so the test peer's own recording on
// its thread does not show up.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "test_peer.hpp"
#include "transport/connection.hpp"
#include "transport/memory.hpp"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VQ6120_UNDER_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VQ6120_UNDER_ASAN 1
#endif

// ---- Counting --------------------------------------------------------------

namespace {

// Checked before any thread-local is touched, so nothing is counted (or
// accessed) while the process is starting.
std::atomic<bool> g_armed{false};
thread_local bool t_counting = false;
thread_local long t_allocations = 0;
thread_local long t_frees = 0;

void note_allocation() noexcept {
    if (g_armed.load(std::memory_order_relaxed) && t_counting) {
        ++t_allocations;
    }
}
void note_free(void *p) noexcept {
    if (p != nullptr && g_armed.load(std::memory_order_relaxed) && t_counting) {
        ++t_frees;
    }
}

}  // namespace

#if !defined(VQ6120_UNDER_ASAN) && defined(__GLIBC__)
// Every heap allocation of the process goes through these; glibc's own
// entry points do the work. operator new below allocates with malloc, so an
// allocation made through it is counted once, here.
#define VQ6120_COUNTS_MALLOC 1
extern "C" {
void *__libc_malloc(std::size_t);
void *__libc_calloc(std::size_t, std::size_t);
void *__libc_realloc(void *, std::size_t);
void __libc_free(void *);

void *malloc(std::size_t size) noexcept {
    note_allocation();
    return __libc_malloc(size);
}
void *calloc(std::size_t n, std::size_t size) noexcept {
    note_allocation();
    return __libc_calloc(n, size);
}
void *realloc(void *p, std::size_t size) noexcept {
    note_allocation();
    return __libc_realloc(p, size);
}
void free(void *p) noexcept {
    note_free(p);
    __libc_free(p);
}
}
#define VQ6120_NOTE_NEW()
#define VQ6120_NOTE_DELETE(p)
#else
#define VQ6120_NOTE_NEW() note_allocation()
#define VQ6120_NOTE_DELETE(p) note_free(p)
// The library allocates through its own functions over malloc, which cannot
// be counted here: count them where the library calls them.
namespace {
const vq6120::memory::Allocator g_library_allocator = vq6120::memory::allocator();
const auto g_counted = vq6120::memory::set_allocator({
    [](std::size_t size) noexcept {
        note_allocation();
        return g_library_allocator.allocate(size);
    },
    [](void *block, std::size_t size) noexcept {
        note_allocation();
        return g_library_allocator.reallocate(block, size);
    },
    [](void *block) noexcept {
        note_free(block);
        g_library_allocator.release(block);
    }});
}  // namespace
#endif

void *operator new(std::size_t size) {
    VQ6120_NOTE_NEW();
    if (void *p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void *operator new[](std::size_t size) { return operator new(size); }
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
    VQ6120_NOTE_NEW();
    return std::malloc(size == 0 ? 1 : size);
}
void *operator new[](std::size_t size, const std::nothrow_t &t) noexcept { return operator new(size, t); }
void operator delete(void *p) noexcept {
    VQ6120_NOTE_DELETE(p);
    std::free(p);
}
void operator delete[](void *p) noexcept { operator delete(p); }
void operator delete(void *p, std::size_t) noexcept { operator delete(p); }
void operator delete[](void *p, std::size_t) noexcept { operator delete(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { operator delete(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { operator delete(p); }

namespace vq6120 {
namespace {

using test::Bytes;
using test::frame;
using test::operator+;
using test::TestPeer;

// Counts the heap allocations and frees the current thread makes while alive.
class Counting {
public:
    Counting() {
        t_allocations = t_frees = 0;
        t_counting = true;
        g_armed = true;
    }
    ~Counting() { stop(); }
    void stop() { t_counting = false; }
    long allocations() const { return t_allocations; }
    long frees() const { return t_frees; }
};

// Holds each allocation the self-check makes, so the compiler cannot elide
// the allocation and its release as a pair.
void *volatile g_escape = nullptr;

// The counting itself works: otherwise a zero below would prove nothing.
TEST(AllocationCounting, SeesAllocationsOnThisThreadOnly) {
    long here = 0, freed = 0;
    {
        Counting c;
        g_escape = new int(7);
        delete static_cast<int *>(g_escape);
        here = c.allocations();
        freed = c.frees();
    }
    EXPECT_EQ(here, 1);
    EXPECT_EQ(freed, 1);
    // Another thread's allocations, made while this one counts, are not ours.
    std::atomic<int> stage{0};
    std::thread other([&] {
        while (stage.load() == 0) {
            std::this_thread::yield();
        }
        for (int i = 0; i < 100; ++i) {
            g_escape = new int(i);
            delete static_cast<int *>(g_escape);
        }
        stage = 2;
    });
    long there = -1;
    {
        Counting c;
        stage = 1;
        while (stage.load() != 2) {
            std::this_thread::yield();
        }
        there = c.allocations();
    }
    other.join();
    EXPECT_EQ(there, 0);
#ifdef VQ6120_COUNTS_MALLOC
    {
        Counting c;
        g_escape = std::malloc(16);
        std::free(g_escape);
        EXPECT_EQ(c.allocations(), 1);
    }
#endif
}

struct Command {
    std::string name;
    std::function<std::int32_t()> call;
};

struct HotPath : ::testing::Test {
    TestPeer peer;
    VQ6120_HANDLE h = peer.connect();
    ~HotPath() override { ExitVQ6120(h); }

    // Runs each command once under a counter and checks that one whole frame
    // went out.
    void expect_allocations(const std::vector<Command> &commands, long expected) {
        for (const Command &c : commands) {
            Counting counting;
            const std::int32_t r = c.call();
            counting.stop();
            EXPECT_EQ(r, 1) << c.name;
            EXPECT_EQ(counting.allocations(), expected) << c.name;
            EXPECT_EQ(counting.frees(), counting.allocations()) << c.name << " keeps memory past its return";
            const Bytes header = peer.next(8);
            ASSERT_EQ(header.size(), 8u) << c.name;
            const std::size_t length = header[0] | (header[1] << 8);
            EXPECT_EQ(peer.next(length - 8).size(), length - 8) << c.name;
        }
    }
};

const std::string kText(240, 't');
const Bytes kData(65527, 0x5A);

TEST_F(HotPath, CommandsUpTo264ByteFramesAllocateNothing) {
    const char *t = kText.data();
    const std::uint8_t *d = kData.data();
    expect_allocations(
        {
            {"ClearGraphicScreen", [&] { return ClearGraphicScreen(h); }},
            {"DrawPixel", [&] { return DrawPixel(h, 239, 63); }},
            {"DrawLine", [&] { return DrawLine(h, 0, 0, 239, 63); }},
            {"DrawRectangle", [&] { return DrawRectangle(h, 1, 2, 3, 4, 1); }},
            {"DrawCircle", [&] { return DrawCircle(h, 120, 32, 32, 0); }},
            {"DrawEllipse", [&] { return DrawEllipse(h, 120, 32, 10, 5, 1); }},
            {"DrawRhombus", [&] { return DrawRhombus(h, 120, 32, 10, 5); }},
            {"DrawAText 240", [&] { return DrawAText(h, 0, 0, t, 240); }},
            {"ClearText", [&] { return ClearText(h); }},
            {"SetScreenCursorPos", [&] { return SetScreenCursorPos(h, 5, 6); }},
            {"WriteText 240", [&] { return WriteText(h, t, 240, 1); }},
            {"ScrolloneLine", [&] { return ScrolloneLine(h, 1); }},
            {"ClearKeyboard", [&] { return ClearKeyboard(h); }},
            {"WriteKeyboardText 240", [&] { return WriteKeyboardText(h, t, 240, 0); }},
            {"ScrollKeyboardoneLine", [&] { return ScrollKeyboardoneLine(h, 0); }},
            {"WriteDOStatus", [&] { return WriteDOStatus(h, 1, 0); }},
            {"ReadDIStatus", [&] { return ReadDIStatus(h); }},
            {"SetBeeperTime", [&] { return SetBeeperTime(h, 1, 2, 3); }},
            {"SetAutoReportTime", [&] { return SetAutoReportTime(h, 5); }},
            {"GetModalName", [&] { return GetModalName(h); }},
            {"SetLED", [&] { return SetLED(h, 1); }},
            {"SetLCDBacklight", [&] { return SetLCDBacklight(h, 1); }},
            {"SetHostAliveCheck", [&] { return SetHostAliveCheck(h, 3); }},
            {"SendHostAlive", [&] { return SendHostAlive(h); }},
            {"ConfigureCOM", [&] { return ConfigureCOM(h, 115200, 0, 8, 1, 0, 0, 2); }},
            {"SendCOMData 256", [&] { return SendCOMData(h, d, 256, 1); }},
            {"SendData 0", [&] { return SendData(h, 0x40, 0x0A, 0, nullptr, 0); }},
            {"SendData 256", [&] { return SendData(h, 0x61, 0x05, 7, d, 256); }},
        },
        0);
}

TEST_F(HotPath, LargerFramesTakeOneAllocation) {
    const std::uint8_t *d = kData.data();
    expect_allocations(
        {
            {"SendData 257", [&] { return SendData(h, 0x40, 0x01, 0, d, 257); }},
            {"SendData 65527", [&] { return SendData(h, 0x60, 0x00, 0, d, 65527); }},
            {"SendCOMData 257", [&] { return SendCOMData(h, d, 257, 2); }},
            {"SendCOMData 65527", [&] { return SendCOMData(h, d, 65527, 1); }},
        },
        1);
}

TEST_F(HotPath, RefusedCommandsAllocateNothing) {
    Counting counting;
    EXPECT_EQ(SendData(h, 0x40, 0, 0, kData.data(), 65528), 0);
    EXPECT_EQ(SendCOMData(h, kData.data(), 65528, 1), 0);
    EXPECT_EQ(SendCOMData(h, kData.data(), 300, 3), 0);
    EXPECT_EQ(DrawLine(h, 0, 0, 240, 0), 0);
    EXPECT_EQ(WriteText(h, kText.data(), 241, 0), 0);
    EXPECT_EQ(counting.allocations(), 0);
}

TEST_F(HotPath, ReceivingAllocatesNothing) {
    std::uint8_t payload[64];
    std::int32_t length = 0;
    long allocations = 0;
    // Only the library call is counted, not the test's own bookkeeping.
    auto receive = [&](std::uint8_t wait) {
        length = sizeof payload;
        Counting counting;
        const std::int32_t r = GetDataFromEthernet(h, payload, &length, wait);
        allocations += counting.allocations();
        return r;
    };
    EXPECT_EQ(receive(0), 1);  // nothing there, no wait
    EXPECT_EQ(receive(1), 1);  // nothing there, 10 ms wait

    // A burst of every kind of frame, the last one cut in two.
    const Bytes key = frame(0x40, 0x37, 0, {5});
    const Bytes burst = frame(0x40, 0x0A, 0, {0x31, 0x32}) + frame(0x40, 0x11) + frame(0x40, 0x55, 0, {1, 2}) + key +
                        frame(0x40, 0x00, 0, {'V', 'Q'}) + frame(0x60, 0x00, 0, {1}) + frame(0x61, 0x00, 3, {2}) +
                        frame(0x40, 0x10, 0, {3}) + key;
    peer.send(std::span(burst).first(burst.size() - 4));
    std::vector<std::int32_t> results;
    for (int i = 0; i < 300 && results.size() < 6; ++i) {
        const std::int32_t r = receive(1);
        if (r != 1) {
            results.push_back(r);
        }
    }
    peer.send(std::span(burst).last(4));
    for (int i = 0; i < 300 && results.size() < 7; ++i) {
        const std::int32_t r = receive(1);
        if (r != 1) {
            results.push_back(r);
        }
    }
    EXPECT_EQ(results, (std::vector<std::int32_t>{4, 3, 5, 6, 7, 8, 3}));

    // A length field out of step, then the connection closing.
    peer.send({0x03, 0x00, 0x40, 0, 0, 0, 0, 0});
    for (int i = 0; i < 300 && h->received.size() != 0; ++i) {
        receive(1);
    }
    peer.close();
    std::int32_t last = 1;
    for (int i = 0; i < 300 && last != 0; ++i) {
        last = receive(1);
    }
    EXPECT_EQ(last, 0);
    EXPECT_EQ(allocations, 0);
}

TEST_F(HotPath, ProbeAllocatesNothing) {
    peer.send(frame(0x40, 0x00, 0, {'V', 'Q', '6', '1', '2', '0'}));
    Counting counting;
    EXPECT_EQ(GetConnectStatus(h, 2), 1);
    EXPECT_EQ(counting.allocations(), 0);
}

TEST(HotPathConnection, TheConnectionIsTheOneLongLivedAllocation) {
    TestPeer peer;
    Counting counting;
    VQ6120_HANDLE h = InitialVQ6120(TestPeer::loopback(), peer.port());
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(counting.allocations(), 1);
    EXPECT_EQ(counting.frees(), 0);
    ExitVQ6120(h);
    EXPECT_EQ(counting.frees(), 1);
}

// With wait = 1 a call may wait 10 ms and read; frames already buffered must
// be handed out without either. After one read takes in the whole burst the
// handle's socket is swapped for one whose peer is gone: any wait or read
// would report the connection closed instead of delivering the next frame.
TEST_F(HotPath, BufferedFramesAreDeliveredWithoutTouchingTheSocket) {
    constexpr int kFrames = 1000;
    Bytes burst;
    for (int i = 0; i < kFrames; ++i) {
        burst = burst + frame(0x40, 0x37, 0, {static_cast<std::uint8_t>(i)});
    }
    peer.send(burst);
    std::uint8_t payload[8];
    std::int32_t length = sizeof payload;
    std::int32_t first = 1;
    for (int i = 0; i < 300 && first == 1; ++i) {
        length = sizeof payload;
        first = GetDataFromEthernet(h, payload, &length, 1);
    }
    ASSERT_EQ(first, 3);
    for (int i = 0; i < 300 && h->received.size() < burst.size() - 9; ++i) {
        // Not yet all read: read the rest without taking frames out.
        ASSERT_EQ(fill_from_socket(*h, 10), Fill::Read);
    }
    ASSERT_EQ(h->received.size(), burst.size() - 9);

    int dead[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, dead), 0);
    ::close(dead[1]);
    const net::Socket real = h->socket;
    h->socket = dead[0];
    int delivered = 1;
    for (int i = 1; i < kFrames; ++i) {
        length = sizeof payload;
        if (GetDataFromEthernet(h, payload, &length, 1) != 3 || length != 1 || payload[0] != static_cast<std::uint8_t>(i)) {
            break;
        }
        ++delivered;
    }
    EXPECT_EQ(delivered, kFrames);
    // Now that nothing is buffered the call does go to the socket, and sees it gone.
    length = sizeof payload;
    EXPECT_EQ(GetDataFromEthernet(h, payload, &length, 1), 0);
    h->socket = real;
    ::close(dead[0]);
}

// A command's first send never blocks; when the socket is full, or takes
// only part of the frame, the rest of the frame follows once the terminal
// reads again. Nothing may be lost or sent twice: the terminal side checks
// that the stream is exactly the frames, in order.
TEST(HotPathSend, CommandsMeetingAFullSocketStillSendWholeFrames) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len), 0);
    VQ6120_HANDLE h = InitialVQ6120(htonl(INADDR_LOOPBACK), ntohs(addr.sin_port));
    ASSERT_NE(h, nullptr);
    const int terminal = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(terminal, 0);
    const int small = 4096;
    ::setsockopt(static_cast<int>(h->socket), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ::setsockopt(terminal, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);

    // Far more than the buffers hold; the terminal starts reading only after
    // the host has had time to fill them.
    constexpr int kFrames = 4000;
    std::string text(240, ' ');
    Bytes stream;
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        std::uint8_t chunk[65536];
        for (;;) {
            const ssize_t n = ::recv(terminal, chunk, sizeof chunk, 0);
            if (n <= 0) {
                return;
            }
            stream.insert(stream.end(), chunk, chunk + n);
        }
    });
    int sent = 0;
    for (int i = 0; i < kFrames; ++i) {
        text[0] = static_cast<char>(i);
        text[239] = static_cast<char>(i >> 8);
        sent += WriteText(h, text.data(), 240, 0);
    }
    ExitVQ6120(h);
    reader.join();
    ::close(terminal);
    ::close(listener);

    EXPECT_EQ(sent, kFrames);
    ASSERT_EQ(stream.size(), kFrames * 248u);
    for (int i = 0; i < kFrames; ++i) {
        const std::uint8_t *f = stream.data() + i * 248;
        ASSERT_EQ(f[0] | (f[1] << 8), 248) << "frame " << i;
        ASSERT_EQ(f[6], 0x61) << "frame " << i;
        ASSERT_EQ(f[8], static_cast<std::uint8_t>(i)) << "frame " << i;
        ASSERT_EQ(f[247], static_cast<std::uint8_t>(i >> 8)) << "frame " << i;
    }
}

}  // namespace
}  // namespace vq6120
