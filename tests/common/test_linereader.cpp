#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <random>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/linereader.h"
#include "tests/support/testsupport.h"

namespace velto {
namespace {

constexpr std::size_t kMiB = 1 << 20;

struct Line {
    std::string text;
    FilePosition next;  // position after reading it
    bool operator==(const Line&) const = default;
};

std::vector<Line> AllLines(const std::string& path) {
    LineReader in(path);
    std::vector<Line> lines;
    while (!in.AtEnd()) {
        std::string text(in.ReadLine());
        lines.push_back({text, in.Position()});
    }
    return lines;
}

using test::ErrorOf;

// Each test reads a file of its own in a scratch folder.
class LineReading : public ::testing::Test {
  protected:
    test::ScratchDir dir;
    const std::string path = dir.File("lines.txt");
};

// Line ends are CR LF, a lone CR or a lone LF, wherever the block boundaries fall; reading at
// the end is input past end.
TEST_F(LineReading, EndsLinesAtCrLfLoneCrAndLoneLf) {
    const std::string first(kMiB - 1, 'x');  // its CR ends the first block, the LF starts the next
    const std::string longest(LineReader::kMaxLineLength, 'y');
    const struct {
        std::string bytes;
        std::vector<Line> lines;
    } cases[] = {
        {"a\r\nbb\rc\nd", {{"a", 4}, {"bb", 7}, {"c", 9}, {"d", 10}}},
        {"\n\r\n\r", {{"", 2}, {"", 4}, {"", 5}}},
        {"", {}},
        {first + "\r\nnext\r\n",
         {{first, static_cast<FilePosition>(kMiB + 2)},
          {"next", static_cast<FilePosition>(kMiB + 8)}}},
        {"head\n" + longest + "\ntail",
         {{"head", 6},
          {longest, static_cast<FilePosition>(longest.size() + 7)},
          {"tail", static_cast<FilePosition>(longest.size() + 11)}}},
    };
    for (const auto& c : cases) {
        test::WriteBytes(path, c.bytes);
        EXPECT_EQ(AllLines(path), c.lines) << c.bytes.substr(0, 12);
        LineReader in(path);
        for (std::size_t i = 0; i < c.lines.size(); ++i) {
            in.ReadLine();
        }
        EXPECT_TRUE(in.AtEnd());
        EXPECT_EQ(ErrorOf([&] { in.ReadLine(); }), kInputPastEnd);
    }
}

// A file without line ends (a disk image, `truncate -s 3G`) must not be gathered into memory
// as one line: a line beyond the limit is a read error however it is read.
TEST_F(LineReading, ALineBeyondTheLimitIsAReadError) {
    test::WriteBytes(path, "head\n" + std::string(LineReader::kMaxLineLength + 1, 'z') + "\nTIME");
    LineReader byLines(path);
    EXPECT_EQ(byLines.ReadLine(), "head");
    EXPECT_EQ(ErrorOf([&] { byLines.ReadLine(); }), kBadRecordLength);

    test::WriteBytes(path, std::string(3 * kMiB, '\0'));
    LineReader bySearch(path);
    std::string_view line;
    EXPECT_EQ(ErrorOf([&] { bySearch.ReadLineContaining("TIME", line); }), kBadRecordLength);
}

// Reading by search must give exactly what reading every line gives: the same matching lines
// at the same positions, whatever the line ends and wherever the block boundaries fall.
TEST_F(LineReading, SearchingFindsWhatLineByLineReadingFinds) {
    const std::string needle = "  TIME =";
    std::mt19937 random(7);
    const char* ends[] = {"\n", "\r\n", "\r"};
    std::string text;
    int planted = 0;
    while (text.size() < 3 * kMiB + 5000) {
        // Steer some needles and line ends right onto the block boundaries.
        std::size_t toBoundary = kMiB - text.size() % kMiB;
        if (toBoundary < 12 && random() % 2 == 0) {
            text += std::string(toBoundary > 4 ? toBoundary - 4 : 0, 'p');
            text += needle + " 1.5 SEC";
            text += ends[random() % 3];
            ++planted;
            continue;
        }
        std::string line(random() % 90, 'z');
        if (random() % 7 == 0) {
            line.insert(random() % (line.size() + 1), needle + " " + std::to_string(planted));
            ++planted;
        }
        text += line + ends[random() % 3];
    }
    test::WriteBytes(path, text);

    std::vector<Line> byLines;
    for (const Line& line : AllLines(path)) {
        if (line.text.find(needle) != std::string::npos) {
            byLines.push_back(line);
        }
    }
    std::vector<Line> bySearch;
    LineReader in(path);
    std::string_view found;
    while (in.ReadLineContaining(needle, found)) {
        bySearch.push_back({std::string(found), in.Position()});
    }
    EXPECT_GT(byLines.size(), 100u);
    EXPECT_EQ(bySearch, byLines);
    EXPECT_TRUE(in.AtEnd());
}

TEST_F(LineReading, SeekReturnsToAStoredPosition) {
    std::string big(LineReader::kMaxLineLength, 'q');
    test::WriteBytes(path, "one\r\ntwo\r\n" + big + "\r\nthree\r\n");
    LineReader in(path);
    in.ReadLine();
    FilePosition second = in.Position();
    EXPECT_EQ(second, 6);
    in.ReadLine();
    in.ReadLine();
    EXPECT_EQ(in.ReadLine(), "three");
    in.Seek(second);
    EXPECT_EQ(in.ReadLine(), "two");
    // Back within the block, before line ends already passed: they end lines again.
    test::WriteBytes(path, "a\rb\rc\nd\n");
    LineReader mixed(path);
    mixed.ReadLine();
    mixed.ReadLine();
    EXPECT_EQ(mixed.ReadLine(), "c");
    mixed.Seek(3);
    EXPECT_EQ(mixed.ReadLine(), "b");
    // Past the end, as for a listing cut short after it was scanned: the next read fails.
    in.Seek(in.Length() + 100);
    EXPECT_TRUE(in.AtEnd());
    EXPECT_EQ(ErrorOf([&] { in.ReadLine(); }), kInputPastEnd);
}

// A lone-CR file holds no LF: looking for one afresh at every line searched the rest of the
// block each time, and exporting from such a listing took ten times as long as from the same
// listing with LF line ends.
TEST_F(LineReading, LineEndSearchStaysLinearWhateverTheLineEnds) {
    for (const char* end : {"\r", "\n", "\r\n"}) {
        std::string text;
        std::size_t count = 0;
        while (text.size() < 3 * kMiB) {
            text += std::string(count % 60, 'v') + end;
            ++count;
        }
        test::WriteBytes(path, text);
        LineReader in(path);
        std::size_t lines = 0;
        while (!in.AtEnd()) {
            EXPECT_EQ(in.ReadLine().size(), lines % 60);
            ++lines;
        }
        EXPECT_EQ(lines, count);
        EXPECT_LE(in.BytesExamined(), 2 * text.size()) << "line end " << (end[0] == '\r');
    }
}

// A small file is read in a small block; if it grows after it was opened, the rest is still
// read, across as many blocks as it takes.
TEST_F(LineReading, FileThatGrowsAfterOpeningReadsWhole) {
    test::WriteBytes(path, "first\r");
    LineReader in(path);
    EXPECT_EQ(in.Length(), 6);
    std::string more = "\n";
    std::vector<std::string> expected = {"first"};
    for (int i = 0; more.size() < 40000; ++i) {
        expected.push_back(std::string(static_cast<std::size_t>(i % 300), 'g'));
        more += expected.back() + (i % 3 == 0 ? "\r\n" : i % 3 == 1 ? "\r" : "\n");
    }
    test::WriteBytes(path, "first\r" + more);
    std::vector<std::string> lines;
    while (!in.AtEnd()) {
        lines.emplace_back(in.ReadLine());
    }
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(in.Position(), static_cast<FilePosition>(6 + more.size() + 1));
}

// A FIFO is refused at once. Opened the ordinary way it would wait for a writer: the helper
// thread plays that writer, and finds a reader still waiting only if the open blocked.
TEST_F(LineReading, APipeIsRefusedWithoutWaitingForAWriter) {
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    std::atomic<bool> readerWasWaiting = false;
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) {
            readerWasWaiting = true;
            ::close(fd);
        }
    });
    errno = ENOENT;  // whatever an earlier call left there must not decide the message
    EXPECT_EQ(ErrorOf([&] { LineReader in(path); }), kPathFileAccess);
    writer.join();
    EXPECT_FALSE(readerWasWaiting);
}

}  // namespace
}  // namespace velto
