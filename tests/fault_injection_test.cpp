// Faults injected through real loopback sockets: a terminal that stops
// reading, goes away in the middle of a frame or a large command, resets the
// connection; descriptors above 1024; SIGPIPE at its default action; signals
// interrupting every wait.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>
#include <vector>

#include "raw_peer.hpp"
#include "test_peer.hpp"
#include "transport/connection.hpp"

namespace vq6120 {
namespace {

using test::Bytes;
using test::frame;
using test::Listener;
using test::operator+;
using test::TestPeer;

std::uint32_t loopback() { return htonl(INADDR_LOOPBACK); }

struct Delivery {
    std::int32_t result;
    Bytes payload;
    friend bool operator==(const Delivery &, const Delivery &) = default;
};

// Polls until a result other than 1 comes; {1, {}} after `tries` calls.
Delivery next_delivery(VQ6120_HANDLE h, int tries = 500) {
    Bytes out(VQ6120_MAX_RECEIVE_FRAME);
    for (int i = 0; i < tries; ++i) {
        std::int32_t len = static_cast<std::int32_t>(out.size());
        const std::int32_t r = GetDataFromEthernet(h, out.data(), &len, 1);
        if (r != VQ6120_RECV_NOTHING) {
            out.resize(r >= VQ6120_RECV_FRAME_37 ? static_cast<std::size_t>(len) : 0);
            return {r, out};
        }
    }
    return {VQ6120_RECV_NOTHING, {}};
}

// A serial-port-2 frame whose payload is `size` bytes counting up from `seed`:
// each frame of a test tells itself apart from the others.
Bytes numbered(std::uint8_t seed, std::size_t size) {
    Bytes payload(size);
    for (std::size_t i = 0; i < size; ++i) {
        payload[i] = static_cast<std::uint8_t>(seed + i);
    }
    return frame(0x61, 0x00, 0, payload);
}

// SIGPIPE at its default action for the life of the object: a send that
// raised it would end the test process.
struct DefaultSigpipe {
    struct sigaction previous {};
    DefaultSigpipe() {
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        sigemptyset(&dfl.sa_mask);
        sigaction(SIGPIPE, &dfl, &previous);
    }
    ~DefaultSigpipe() { sigaction(SIGPIPE, &previous, nullptr); }
};

// ---- The terminal goes away --------------------------------------------

TEST(PeerGoesAway, WholeFramesBeforeACloseMidFrameAreDeliveredThenZero) {
    const Bytes key = frame(0x40, 0x37, 0, {0x05});
    const Bytes big = numbered(1, 20000);  // several reads' worth
    const Bytes di = frame(0x40, 0x0A, 0, {0x31, 0x32});
    struct Case {
        const char *what;
        Bytes whole;        // delivered before the close is reported
        Bytes cut;          // the start of one more frame, never delivered
        std::vector<Delivery> want;
    };
    const Case cases[] = {
        {"cut in the header", key + di, Bytes(big.begin(), big.begin() + 3),
         {{3, {0x05}}, {4, {0x31, 0x32}}}},
        {"cut after the header", key, Bytes(big.begin(), big.begin() + 8), {{3, {0x05}}}},
        {"cut one byte short", di + key, Bytes(big.begin(), big.end() - 1), {{4, {0x31, 0x32}}, {3, {0x05}}}},
        {"large frames, then a cut", big + di + big, Bytes(di.begin(), di.begin() + 9),
         {{7, Bytes(big.begin() + 8, big.end())}, {4, {0x31, 0x32}}, {7, Bytes(big.begin() + 8, big.end())}}},
        {"close at a frame boundary", di + di, {}, {{4, {0x31, 0x32}}, {4, {0x31, 0x32}}}},
        {"nothing whole", {}, Bytes(big.begin(), big.begin() + 10000), {}},
    };
    for (const Case &c : cases) {
        TestPeer peer;
        VQ6120_HANDLE h = peer.connect();
        peer.send(c.whole + c.cut);
        peer.close();
        for (const Delivery &want : c.want) {
            EXPECT_EQ(next_delivery(h), want) << c.what;
        }
        const Delivery closed = next_delivery(h);
        EXPECT_EQ(closed.result, VQ6120_RECV_CLOSED) << c.what;
        std::int32_t len = 77;
        EXPECT_EQ(GetDataFromEthernet(h, nullptr, &len, 1), VQ6120_RECV_CLOSED) << c.what;
        EXPECT_EQ(len, 0) << c.what;
        ExitVQ6120(h);
    }
}

TEST(PeerGoesAway, ResetDeliversWhatWasReadThenZero) {
    const Bytes a = numbered(10, 3), b = numbered(20, 4), c = numbered(30, 5);
    const std::vector<Delivery> sent = {
        {7, Bytes(a.begin() + 8, a.end())}, {7, Bytes(b.begin() + 8, b.end())}, {7, Bytes(c.begin() + 8, c.end())}};
    const Bytes stream = a + b + c + Bytes(a.begin(), a.begin() + 6);
    for (const bool read_before_reset : {true, false}) {
        TestPeer peer;
        VQ6120_HANDLE h = peer.connect();
        peer.send(stream);
        std::vector<Delivery> got;
        if (read_before_reset) {
            // One small write on loopback is readable in one piece: the first
            // call reads all of it and delivers the first frame.
            pollfd p{static_cast<int>(h->socket), POLLIN, 0};
            ASSERT_EQ(::poll(&p, 1, 5000), 1);
            got.push_back(next_delivery(h));
            ASSERT_EQ(h->received.size(), stream.size() - a.size());
        }
        peer.reset();
        // Frames the library has read are its own and all come out. Bytes
        // still in the socket when the reset lands may be lost with it, but
        // whatever comes out is the stream's frames in order, then 0.
        for (Delivery d = next_delivery(h); d.result != VQ6120_RECV_CLOSED; d = next_delivery(h)) {
            ASSERT_NE(d.result, VQ6120_RECV_NOTHING) << "neither a frame nor the close came";
            got.push_back(d);
            ASSERT_LE(got.size(), sent.size());
        }
        if (read_before_reset) {
            EXPECT_EQ(got, sent);
        } else {
            EXPECT_EQ(got, std::vector<Delivery>(sent.begin(), sent.begin() + static_cast<std::ptrdiff_t>(got.size())));
        }
        std::int32_t len = 5;
        EXPECT_EQ(GetDataFromEthernet(h, nullptr, &len, 0), VQ6120_RECV_CLOSED);
        EXPECT_EQ(len, 0);
        ExitVQ6120(h);
    }
}

TEST(PeerGoesAway, TerminalLeavesDuringALargeCommand) {
    // The terminal reads part of the traffic and then leaves while the host
    // is in the middle of 64 KiB frames: every command still answers 1, the
    // host survives (SIGPIPE at its default action), and the next read says 0.
    DefaultSigpipe sigpipe;
    for (const bool abortive : {false, true}) {
        Listener listener;
        VQ6120_HANDLE h = InitialVQ6120(loopback(), listener.port());
        ASSERT_NE(h, nullptr);
        const int terminal = listener.accept();
        ASSERT_GE(terminal, 0);
        Bytes head(100000);
        std::thread leaver([&] {
            // What arrives is the first frame, then the start of the second.
            ASSERT_TRUE(test::read_exactly(terminal, head));
            if (abortive) {
                test::reset_close(terminal);
            } else {
                ::close(terminal);  // unread data still queued: the kernel resets too
            }
        });
        const Bytes payload(VQ6120_MAX_PAYLOAD, 0xA5);
        bool closed = false;
        for (int i = 0; i < 1000 && !closed; ++i) {
            ASSERT_EQ(SendData(h, 0x60, 0x00, 0, payload.data(), static_cast<std::uint32_t>(payload.size())), 1);
            std::int32_t len = 0;
            closed = GetDataFromEthernet(h, nullptr, &len, 0) == VQ6120_RECV_CLOSED;
        }
        leaver.join();
        EXPECT_TRUE(closed) << (abortive ? "reset" : "close");
        EXPECT_EQ(Bytes(head.begin(), head.begin() + 8), (Bytes{0xFF, 0xFF, 0x60, 0x00, 0x00, 0x00, 0x00, 0x00}));
        EXPECT_EQ(head[8], 0xA5);
        EXPECT_EQ(head[65535], 0xFF);  // the second frame's header follows the first exactly
        EXPECT_EQ(SendData(h, 0x60, 0x00, 0, payload.data(), static_cast<std::uint32_t>(payload.size())), 1);
        EXPECT_EQ(GetConnectStatus(h, 0), 0);
        ExitVQ6120(h);
    }
}

// ---- Descriptors above FD_SETSIZE ------------------------------------

TEST(HighDescriptor, SocketNumberedAbove1024ReceivesAndProbes) {
    // A host with many files open hands the library a socket numbered above
    // 1024, where a select()-based wait would write past its fd_set.
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlimit saved = limit;
    if (limit.rlim_cur < 1100) {
        if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < 1100) {
            GTEST_SKIP() << "the hard descriptor limit is below 1100";
        }
        limit.rlim_cur = 1100;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    }
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(null, 0);
    std::vector<int> fillers{null};
    while (fillers.back() < 1024) {  // every number below 1025 taken
        const int fd = ::fcntl(null, F_DUPFD_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        fillers.push_back(fd);
    }
    {
        TestPeer peer;
        VQ6120_HANDLE h = peer.connect();
        ASSERT_GE(h->socket, 1024);

        // A frame that comes while the library waits in poll().
        std::thread later([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            peer.send(frame(0x40, 0x0A, 0, {0x33, 0x31}));
        });
        EXPECT_EQ(next_delivery(h), (Delivery{4, {0x33, 0x31}}));
        later.join();

        // The probe, answered only once the request was seen.
        std::thread terminal([&] {
            if (peer.next(8) == Bytes{0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00}) {
                peer.send(frame(0x40, 0x00, 0, {'V', 'Q', '6', '1', '2', '0'}));
            }
        });
        EXPECT_EQ(GetConnectStatus(h, 5), 1);
        terminal.join();
        EXPECT_EQ(ReadDIStatus(h), 1);
        EXPECT_EQ(peer.next(8), (Bytes{0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x0A, 0x00}));
        peer.close();
        EXPECT_EQ(next_delivery(h).result, VQ6120_RECV_CLOSED);
        ExitVQ6120(h);
    }
    for (const int fd : fillers) {
        ::close(fd);
    }
    setrlimit(RLIMIT_NOFILE, &saved);
}

// ---- Signals interrupting every wait ----------------------------------

std::atomic<int> g_interrupts{0};
extern "C" void count_interrupt(int) { g_interrupts.fetch_add(1, std::memory_order_relaxed); }

// SIGALRM every half millisecond, delivered to the test's own thread only
// (threads started while `block_in_new_threads` lived have it blocked), with a
// handler installed without SA_RESTART: every wait and read of the library's
// in this thread can fail with EINTR.
// Fills a listener made with backlog 0: it holds one connection not yet
// accepted, this one, and drops the handshakes that come after it.
int fill_accept_queue(const Listener &listener) {
    const int queued = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = loopback();
    to.sin_port = htons(listener.port());
    ::connect(queued, reinterpret_cast<sockaddr *>(&to), sizeof to);
    return queued;
}

struct InterruptStorm {
    struct sigaction previous {};
    InterruptStorm() {
        struct sigaction sa {};
        sa.sa_handler = count_interrupt;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;  // no SA_RESTART
        sigaction(SIGALRM, &sa, &previous);
    }
    // Blocks SIGALRM in this thread, so threads created meanwhile inherit it.
    static void block(bool on) {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGALRM);
        pthread_sigmask(on ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
    }
    void start() {
        g_interrupts = 0;
        itimerval every{{0, 500}, {0, 500}};
        setitimer(ITIMER_REAL, &every, nullptr);
    }
    static void stop() {
        itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
    }
    ~InterruptStorm() {
        stop();
        sigaction(SIGALRM, &previous, nullptr);
    }
};

TEST(Interrupted, NothingIsLostOrReportedClosed) {
    InterruptStorm storm;
    InterruptStorm::block(true);
    TestPeer peer;
    VQ6120_HANDLE h = peer.connect();
    constexpr int kFrames = 300;
    // A terminal that sends its frames one by one with pauses, so the host
    // spends most of its time waiting in poll(), and answers three probes
    // only after it saw each request.
    std::thread terminal([&] {
        for (int i = 0; i < kFrames; ++i) {
            peer.send(frame(0x40, 0x37, 0, {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8)}));
            std::this_thread::sleep_for(std::chrono::microseconds(300 + 300 * (i % 5)));
        }
    });
    InterruptStorm::block(false);
    storm.start();

    for (int i = 0; i < kFrames; ++i) {
        const Delivery d = next_delivery(h, 5000);
        ASSERT_EQ(d, (Delivery{3, {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8)}})) << i;
    }
    terminal.join();
    const int while_receiving = g_interrupts.load();

    for (int probe = 0; probe < 3; ++probe) {
        InterruptStorm::block(true);
        std::thread answer([&] {
            if (peer.next(8) == Bytes{0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00}) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                peer.send(frame(0x40, 0x00, 0, {'V', 'Q', '6', '1', '2', '0'}));
            }
        });
        InterruptStorm::block(false);
        EXPECT_EQ(GetConnectStatus(h, 10), 1) << probe;
        answer.join();
    }

    // Large commands whose sends wait for room while the signals keep coming.
    Bytes expected;
    for (int i = 0; i < 40; ++i) {
        const Bytes data = numbered(static_cast<std::uint8_t>(i), VQ6120_MAX_PAYLOAD);
        ASSERT_EQ(SendData(h, 0x61, 0x00, 0, data.data() + 8, VQ6120_MAX_PAYLOAD), 1);
        expected = expected + data;
    }
    InterruptStorm::stop();
    EXPECT_EQ(peer.next(expected.size()), expected);
    std::int32_t len = 9;
    EXPECT_EQ(GetDataFromEthernet(h, nullptr, &len, 1), VQ6120_RECV_NOTHING);
    std::printf("interrupts: %d while receiving, %d in all\n", while_receiving, g_interrupts.load());
    EXPECT_GT(while_receiving, 10) << "the storm never reached the waits";
    ExitVQ6120(h);
}

TEST(Interrupted, ConnectThatIsInterruptedStillConnects) {
    // A listener whose queue is full drops the handshake, so the library's
    // connect waits (for the retransmission, about a second) while the signals
    // keep coming. An interrupted connect goes on in the background: calling
    // connect again would only report it already in progress.
    Listener listener(0, 0);
    const int queued = fill_accept_queue(listener);
    InterruptStorm storm;
    InterruptStorm::block(true);
    std::atomic<bool> connected{false};
    std::thread acceptor([&] {
        // Room in the queue only after the library has been waiting a while;
        // then everything is accepted until the library is through.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        std::vector<int> accepted;
        for (int i = 0; i < 100; ++i) {
            const int fd = listener.accept(100);
            if (fd >= 0) {
                accepted.push_back(fd);
            } else if (connected) {
                break;
            }
        }
        for (const int fd : accepted) {
            ::close(fd);
        }
    });
    InterruptStorm::block(false);
    storm.start();
    VQ6120_HANDLE h = InitialVQ6120(loopback(), listener.port());
    InterruptStorm::stop();
    connected = true;
    const int interrupts = g_interrupts.load();
    acceptor.join();
    ::close(queued);
    std::printf("interrupts during connect: %d\n", interrupts);
    EXPECT_GT(interrupts, 0) << "the connect never had to wait";
    EXPECT_NE(h, nullptr);
    ExitVQ6120(h);
}

// A terminal that never completes the handshake (its accept queue is full)
// costs an open with a time limit that limit, not the system's minutes of
// retransmissions; the connect started without blocking stays pending.
TEST(Interrupted, SilentTerminalCostsTheOpenItsTimeLimit) {
    Listener listener(0, 0);
    const int queued = fill_accept_queue(listener);
    InterruptStorm storm;
    storm.start();
    errno = 0;
    const VQ6120_HANDLE bounded = VQ6120Ex_Open(loopback(), listener.port(), 300);
    const int why = errno;  // the host says why the open failed
    InterruptStorm::stop();
    EXPECT_EQ(bounded, nullptr);
    EXPECT_EQ(why, ETIMEDOUT);
    VQ6120_HANDLE h = VQ6120Ex_StartOpen(loopback(), listener.port());
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(VQ6120Ex_FinishOpen(h, 100), -1);
    EXPECT_EQ(ClearGraphicScreen(h), 0);
    ExitVQ6120(h);
    ::close(queued);
}

TEST(Interrupted, RefusedOpenSaysSo) {
    std::uint16_t port = 0;
    {
        const Listener gone;
        port = gone.port();
    }
    errno = 0;
    const VQ6120_HANDLE h = VQ6120Ex_Open(loopback(), port, 5000);
    const int why = errno;
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(why, ECONNREFUSED);
}

// ---- A terminal that stops reading -------------------------------------

TEST(Stall, TerminalThatStopsReadingCannotHoldTheHost) {
    Listener listener;
    VQ6120_HANDLE h = InitialVQ6120(loopback(), listener.port());
    ASSERT_NE(h, nullptr);
    const int terminal = listener.accept();  // accepts and never reads
    ASSERT_GE(terminal, 0);

    const Bytes payload(VQ6120_MAX_PAYLOAD, 0x5A);
    bool closed = false;
    std::chrono::steady_clock::duration longest{};
    // Loopback send buffers take a few megabytes at most; 2000 frames of
    // 64 KiB are far more than enough to fill them.
    for (int i = 0; i < 2000 && !closed; ++i) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(SendData(h, 0x60, 0x00, 0, payload.data(), static_cast<std::uint32_t>(payload.size())), 1);
        longest = std::max(longest, std::chrono::steady_clock::now() - start);
        std::uint8_t out[16];
        std::int32_t len = sizeof out;
        closed = GetDataFromEthernet(h, out, &len, 0) == VQ6120_RECV_CLOSED;
    }
    EXPECT_TRUE(closed) << "the stalled connection was never shut down";
    std::printf("longest stalled command: %.2f s\n", std::chrono::duration<double>(longest).count());

    // Shut down for good: commands still answer 1 without blocking, reads say 0.
    EXPECT_EQ(SendData(h, 0x60, 0x00, 0, payload.data(), static_cast<std::uint32_t>(payload.size())), 1);
    std::int32_t len = 0;
    EXPECT_EQ(GetDataFromEthernet(h, nullptr, &len, 1), VQ6120_RECV_CLOSED);
    EXPECT_EQ(GetConnectStatus(h, 1), 0);
    ExitVQ6120(h);
    ::close(terminal);
}

}  // namespace
}  // namespace vq6120
