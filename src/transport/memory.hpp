// Heap memory of the library. Hosts link the library from C, so it takes
// nothing from the C++ runtime: no operator new or delete, only the C
// allocator, with placement new and explicit destruction for objects.
#pragma once

#include <cstddef>
#include <new>
#include <utility>

namespace vq6120::memory {

// The allocation functions every allocation of the library goes through.
// Tests swap in failing ones to see the library refuse cleanly when memory
// runs out; nothing else changes them.
struct Allocator {
    void *(*allocate)(std::size_t size) noexcept;
    void *(*reallocate)(void *block, std::size_t size) noexcept;
    void (*release)(void *block) noexcept;
};
Allocator set_allocator(Allocator replacement) noexcept;
const Allocator &allocator() noexcept;

// nullptr when the memory cannot be had. release(nullptr) does nothing.
inline void *allocate(std::size_t size) noexcept { return allocator().allocate(size == 0 ? 1 : size); }
inline void *reallocate(void *block, std::size_t size) noexcept {
    return allocator().reallocate(block, size == 0 ? 1 : size);
}
inline void release(void *block) noexcept { allocator().release(block); }

template <class T, class... Args>
T *create(Args &&...args) noexcept {
    void *block = allocate(sizeof(T));
    return block == nullptr ? nullptr : ::new (block) T(std::forward<Args>(args)...);
}

template <class T>
void destroy(T *object) noexcept {
    if (object != nullptr) {
        object->~T();
        release(object);
    }
}

}  // namespace vq6120::memory
