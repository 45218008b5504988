#pragma once

#include <cstddef>
#include <memory>

namespace velto {

// Memory in huge pages where the system gives them, zeroed: `bytes` rounded up to whole huge
// pages and starting on one. The first touch of every small page costs a page fault, and on a
// virtual machine a fault costs microseconds: a buffer of a megabyte is 256 of them and a
// couple of milliseconds, a huge page one fault. Where there are no huge pages the room is
// small pages, as slow as any. Raises std::bad_alloc when there is no room.
void* MapHugeRoom(std::size_t bytes);
void UnmapHugeRoom(void* room, std::size_t bytes) noexcept;

// A buffer for reading or writing a file in large pieces: in huge pages from a megabyte up,
// from the heap below (its contents are not set either way).
struct BufferRelease {
    std::size_t bytes = 0;
    void operator()(char* buffer) const noexcept;
};
using Buffer = std::unique_ptr<char[], BufferRelease>;
Buffer MakeBuffer(std::size_t bytes);

// Under a memory cap (ulimit -v) every thread allocates from the one heap. The C library gives
// each thread that allocates a heap of its own, each reserving 64 MiB of address space: under a
// cap a reservation that is granted takes room the work needs, and one that is refused leaves
// the thread asking the system anew for every allocation, many times slower. A program calls it
// once at start, before it starts a thread.
void ShareOneHeapUnderAMemoryCap();

}  // namespace velto
