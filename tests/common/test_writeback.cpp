#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "common/atomicsave.h"
#include "tests/support/testsupport.h"

namespace velto {
namespace {

std::atomic<int> syncs{0};
int FailingSync(int) {
    ++syncs;
    errno = EIO;
    return -1;
}
int CountingSync(int fd) {
    ++syncs;
    return ::fdatasync(fd);
}

// Writes `mebibytes` of text to `file` through the pacer, a mebibyte at a time, and waits a
// while for `syncs` to reach `expected` (a sync not yet begun when the file is finished is left
// to the save's own).
void WriteThrough(WritebackPacer& pacer, std::FILE* file, int mebibytes, int expected = 0) {
    const std::string piece(std::size_t{1} << 20, 'x');
    for (int i = 0; i < mebibytes; ++i) {
        ASSERT_EQ(std::fwrite(piece.data(), 1, piece.size(), file), piece.size());
        pacer.Wrote(file, piece.size());
    }
    for (int waited = 0; syncs < expected && waited < 500; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// A disk error met by a sync made while the file was written is the save's: a later sync of the
// same file need not report it again. The next file starts clean, and a pipe is never synced.
TEST(WritebackPacer, AnErrorOfASyncWhileWritingFailsThatFileOnly) {
    test::ScratchDir dir;
    {
        WritebackPacer pacer(FailingSync);
        std::FILE* first = std::fopen(dir.File("first").c_str(), "wb");
        ASSERT_NE(first, nullptr);
        WriteThrough(pacer, first, 20, 1);
        EXPECT_EQ(pacer.Finish(), EIO);
        std::fclose(first);
        EXPECT_GE(syncs.load(), 1);
    }
    syncs = 0;
    WritebackPacer pacer(CountingSync);
    for (const char* name : {"second", "third"}) {
        std::FILE* file = std::fopen(dir.File(name).c_str(), "wb");
        ASSERT_NE(file, nullptr);
        WriteThrough(pacer, file, 17, syncs + 1);
        EXPECT_EQ(pacer.Finish(), 0);
        std::fclose(file);
        EXPECT_EQ(test::ReadBytes(dir.File(name)).size(), std::size_t{17} << 20);
    }
    EXPECT_GE(syncs.load(), 2);  // the pacer serves file after file

    syncs = 0;
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    std::FILE* pipe = ::fdopen(ends[1], "wb");
    std::FILE* drain = ::fdopen(ends[0], "rb");
    std::thread reader([&] {
        char buffer[65536];
        while (std::fread(buffer, 1, sizeof buffer, drain) > 0) {
        }
    });
    WriteThrough(pacer, pipe, 9);
    EXPECT_EQ(pacer.Finish(), 0);
    std::fclose(pipe);
    reader.join();
    std::fclose(drain);
    EXPECT_EQ(syncs.load(), 0);
}

}  // namespace
}  // namespace velto
