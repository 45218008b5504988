#include "common/hugeroom.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace velto {
namespace {

constexpr std::size_t kHuge = std::size_t{2} << 20;

bool IsMapped(const void* at) {
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    unsigned char in = 0;
    const auto start = reinterpret_cast<std::uintptr_t>(at) & ~(page - 1);
    return ::mincore(reinterpret_cast<void*>(start), page, &in) == 0 || errno != ENOMEM;
}

// The room starts on a huge page, holds zeros to the end of its last huge page, and nothing of
// what was mapped to find that start is left around it.
TEST(HugeRoom, IsWholeAlignedZeroedHugePagesAndNoMore) {
    for (const std::size_t bytes :
         {std::size_t{1}, std::size_t{4096}, kHuge - 1, kHuge, kHuge + 1, 5 * kHuge / 2}) {
        SCOPED_TRACE(bytes);
        auto* room = static_cast<unsigned char*>(MapHugeRoom(bytes));
        const std::size_t whole = (bytes + kHuge - 1) / kHuge * kHuge;
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(room) % kHuge, 0u);
        EXPECT_EQ(room[0], 0);
        EXPECT_EQ(room[whole - 1], 0);
        std::memset(room, 0xA5, whole);
        EXPECT_FALSE(IsMapped(room - 1));
        EXPECT_FALSE(IsMapped(room + whole));
        UnmapHugeRoom(room, bytes);
        EXPECT_FALSE(IsMapped(room));
    }
}

TEST(HugeRoom, BuffersEitherSideOfAMegabyteHoldWhatIsWritten) {
    for (const std::size_t bytes : {std::size_t{100}, (std::size_t{1} << 20) - 1,
                                    std::size_t{1} << 20, std::size_t{3} << 20}) {
        SCOPED_TRACE(bytes);
        Buffer buffer = MakeBuffer(bytes);
        std::memset(buffer.get(), 'x', bytes);
        EXPECT_EQ(buffer[bytes - 1], 'x');
    }
}

}  // namespace
}  // namespace velto
