#include "HugePages.h"

#include <cstdlib>
#include <new>

#include <sys/mman.h>

void* HugePages::allocate(std::size_t bytes, std::size_t* granted) {
    // Small blocks would each take a whole huge page.
    if (bytes < PageBytes) {
        void* block = std::malloc(bytes == 0 ? 1 : bytes);
        if (!block)
            throw std::bad_alloc();
        if (granted)
            *granted = bytes;
        return block;
    }
    const std::size_t rounded = (bytes + PageBytes - 1) / PageBytes * PageBytes;
    void* block = std::aligned_alloc(PageBytes, rounded);
    if (!block)
        throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    ::madvise(block, rounded, MADV_HUGEPAGE); // advice only: without it the pages are small
#endif
    if (granted)
        *granted = rounded;
    return block;
}

void HugePages::release(void* block) noexcept {
    std::free(block);
}
