// When memory runs out the library refuses cleanly: no handle, no frame, and
// nothing half sent. The library's allocation functions fail on request.
#include <gtest/gtest.h>

#include "transport/memory.hpp"
#include "test_peer.hpp"

namespace vq6120 {
namespace {

using test::Bytes;
using test::TestPeer;

struct FailingAllocation {
    static void *none(std::size_t) noexcept { return nullptr; }
    static void *none_again(void *, std::size_t) noexcept { return nullptr; }
    FailingAllocation() : previous(memory::set_allocator({none, none_again, memory::allocator().release})) {}
    ~FailingAllocation() { memory::set_allocator(previous); }
    memory::Allocator previous;
};

TEST(AllocationFailure, NoHandleWhenTheConnectionCannotBeAllocated) {
    TestPeer peer;
    {
        FailingAllocation failing;
        EXPECT_EQ(InitialVQ6120(TestPeer::loopback(), peer.port()), nullptr);
    }
    // The socket service count is back where it was: the next open works.
    VQ6120_HANDLE h = peer.connect();
    EXPECT_EQ(SendHostAlive(h), 1);
    EXPECT_EQ(peer.next(8), (Bytes{0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x12, 0x01}));
    ExitVQ6120(h);
}

TEST(AllocationFailure, LargeFrameRefusedAndNothingSent) {
    TestPeer peer;
    VQ6120_HANDLE h = peer.connect();
    Bytes data(300, 0x55);
    {
        FailingAllocation failing;
        EXPECT_EQ(SendData(h, 0x60, 0x00, 0x00, data.data(), static_cast<std::uint32_t>(data.size())), 0);
        EXPECT_EQ(SendCOMData(h, data.data(), static_cast<std::int32_t>(data.size()), 1), 0);
        // Frames that fit the stack buffer need no allocation at all.
        EXPECT_EQ(SendCOMData(h, data.data(), 256, 2), 1);
    }
    const Bytes frame = peer.next(264);
    ASSERT_EQ(frame.size(), 264u);
    EXPECT_EQ(frame[2], 0x61);
    EXPECT_EQ(SendHostAlive(h), 1);
    EXPECT_EQ(peer.next(8), (Bytes{0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x12, 0x01}));
    ExitVQ6120(h);
}

TEST(AllocationFailure, BatchWithoutMemorySendsInOrderAndLosesNothing) {
    TestPeer peer;
    VQ6120_HANDLE h = peer.connect();
    ASSERT_EQ(VQ6120Ex_BeginBatch(h), 1);
    EXPECT_EQ(SendHostAlive(h), 1);  // collected: the batch's memory is had now
    {
        FailingAllocation failing;
        Bytes data(250, 0x55);   // 21 frames: past the batch's first 4 KiB, which cannot grow
        EXPECT_EQ(SendData(h, 0x60, 0x00, 0x00, data.data(), 250), 1);
        for (int i = 0; i < 20; ++i) {
            EXPECT_EQ(SendCOMData(h, data.data(), 240, 2), 1);
        }
    }
    EXPECT_EQ(VQ6120Ex_EndBatch(h), 1);
    const Bytes alive{0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x12, 0x01};
    EXPECT_EQ(peer.next(8), alive);
    EXPECT_EQ(peer.next(258)[2], 0x60);
    for (int i = 0; i < 20; ++i) {
        const Bytes frame = peer.next(248);
        ASSERT_EQ(frame.size(), 248u) << i;
        EXPECT_EQ(frame[2], 0x61) << i;
    }
    ExitVQ6120(h);
}

}  // namespace
}  // namespace vq6120
