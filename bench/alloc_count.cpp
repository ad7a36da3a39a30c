#include "alloc_count.h"

#include <cstddef>
#include <cstdlib>
#include <new>

extern "C" {
void *__real_malloc(std::size_t size);
void *__real_calloc(std::size_t count, std::size_t size);
void *__real_realloc(void *block, std::size_t size);
}

namespace {

// Per thread: Qt may allocate from threads of its own at any moment, which
// would make the link's count depend on timing.
thread_local std::uint64_t tAllocations = 0;

void *counted(void *block)
{
    if (block)
        ++tAllocations;
    return block;
}

void *newBlock(std::size_t size)
{
    if (void *block = counted(__real_malloc(size ? size : 1)))
        return block;
    throw std::bad_alloc();
}

}  // namespace

std::uint64_t alloc_count::allocations()
{
    return tAllocations;
}

extern "C" {
void *__wrap_malloc(std::size_t size) { return counted(__real_malloc(size)); }
void *__wrap_calloc(std::size_t count, std::size_t size) { return counted(__real_calloc(count, size)); }
void *__wrap_realloc(void *block, std::size_t size) { return counted(__real_realloc(block, size)); }
}

void *operator new(std::size_t size) { return newBlock(size); }
void *operator new[](std::size_t size) { return newBlock(size); }
void *operator new(std::size_t size, const std::nothrow_t &) noexcept { return counted(__real_malloc(size ? size : 1)); }
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept { return counted(__real_malloc(size ? size : 1)); }
void operator delete(void *block) noexcept { std::free(block); }
void operator delete[](void *block) noexcept { std::free(block); }
void operator delete(void *block, std::size_t) noexcept { std::free(block); }
void operator delete[](void *block, std::size_t) noexcept { std::free(block); }
