// Heap allocations made so far by the calling thread: every operator new,
// and the malloc, calloc and realloc calls of the code linked statically
// into the benchmark (reader/, virtual_reader/ and the benchmarks
// themselves), which the linker routes through the counter.
#pragma once

#include <cstdint>

namespace alloc_count {

std::uint64_t allocations();

}  // namespace alloc_count
