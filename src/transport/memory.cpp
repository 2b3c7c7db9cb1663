#include "memory.hpp"

#include <cstdlib>

namespace vq6120::memory {
namespace {

void *c_allocate(std::size_t size) noexcept { return std::malloc(size); }
void *c_reallocate(void *block, std::size_t size) noexcept { return std::realloc(block, size); }
void c_release(void *block) noexcept { std::free(block); }

// Written only by tests, and only while no connection allocates: plain
// constant initialisation, no guard, nothing run at load time.
constinit Allocator g_allocator{c_allocate, c_reallocate, c_release};

}  // namespace

Allocator set_allocator(Allocator replacement) noexcept {
    const Allocator previous = g_allocator;
    g_allocator = replacement;
    return previous;
}

const Allocator &allocator() noexcept { return g_allocator; }

}  // namespace vq6120::memory
