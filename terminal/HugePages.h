#pragma once

#include <cstddef>

// Memory for the tail's large arrays. Each page of fresh memory costs a fault when first
// written, and a flood fills a fresh tail at hundreds of megabytes a second: large blocks are
// whole, aligned huge pages, so where the kernel offers transparent huge pages they fault in
// once per 2 MiB instead of once per 4 KiB.
class HugePages final {
public:
    static constexpr std::size_t PageBytes = 2 * 1024 * 1024;
    // At least `bytes`; `granted` (optional) receives the usable size. Throws std::bad_alloc.
    static void* allocate(std::size_t bytes, std::size_t* granted = nullptr);
    static void release(void* block) noexcept;

    template <typename T> struct Allocator {
        using value_type = T;
        Allocator() = default;
        template <typename U> Allocator(const Allocator<U>&) noexcept {}
        T* allocate(std::size_t n) { return static_cast<T*>(HugePages::allocate(n * sizeof(T))); }
        void deallocate(T* items, std::size_t) noexcept { HugePages::release(items); }
        template <typename U> bool operator==(const Allocator<U>&) const noexcept { return true; }
    };
};
