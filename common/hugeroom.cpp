#include "common/hugeroom.h"

#include <malloc.h>
#include <sys/mman.h>
#include <sys/resource.h>

#include <cstdint>
#include <cstdlib>
#include <new>

namespace velto {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
// From here a huge page costs less than the small pages' faults, even on a machine of its own.
constexpr std::size_t kHugeBuffer = std::size_t{1} << 20;

std::size_t WholeHugePages(std::size_t bytes) {
    return (bytes + kHugePage - 1) & ~(kHugePage - 1);
}

}  // namespace

void* MapHugeRoom(std::size_t bytes) {
    if (bytes == 0 || bytes > std::size_t(-1) / 2 - kHugePage) {
        throw std::bad_alloc();
    }
    const std::size_t room = WholeHugePages(bytes);
    // Mapped a huge page larger and trimmed to start on a huge page's boundary: only whole
    // aligned huge pages can be given.
    const std::size_t mapped = room + kHugePage;
    void* map = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) {
        throw std::bad_alloc();
    }
    const auto start = reinterpret_cast<std::uintptr_t>(map);
    const std::uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
    if (aligned > start) {
        munmap(map, aligned - start);
    }
    const std::size_t tail = mapped - (aligned - start) - room;
    if (tail > 0) {
        munmap(reinterpret_cast<void*>(aligned + room), tail);
    }
    auto* at = reinterpret_cast<void*>(aligned);
    madvise(at, room, MADV_HUGEPAGE);  // a hint: small pages serve as well, only slower
    return at;
}

void UnmapHugeRoom(void* room, std::size_t bytes) noexcept {
    if (room != nullptr) {
        munmap(room, WholeHugePages(bytes));
    }
}

void BufferRelease::operator()(char* buffer) const noexcept {
    if (bytes >= kHugeBuffer) {
        UnmapHugeRoom(buffer, bytes);
    } else {
        std::free(buffer);
    }
}

Buffer MakeBuffer(std::size_t bytes) {
    if (bytes >= kHugeBuffer) {
        return Buffer(static_cast<char*>(MapHugeRoom(bytes)), BufferRelease{bytes});
    }
    void* buffer = std::malloc(bytes == 0 ? 1 : bytes);
    if (buffer == nullptr) {
        throw std::bad_alloc();
    }
    return Buffer(static_cast<char*>(buffer), BufferRelease{bytes});
}

void ShareOneHeapUnderAMemoryCap() {
    rlimit cap{};
    if (::getrlimit(RLIMIT_AS, &cap) == 0 && cap.rlim_cur != RLIM_INFINITY) {
        ::mallopt(M_ARENA_MAX, 1);
    }
}

}  // namespace velto
