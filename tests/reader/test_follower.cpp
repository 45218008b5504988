// A listing followed while it is written: what a follower offers as the solver's lines come, cut
// anywhere, against a scan of the finished file; and a listing cut short, replaced or written over
// while it is followed.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <sstream>
#include <thread>

#include "common/text.h"
#include "extract/reader/extraction.h"
#include "extract/reader/follower.h"
#include "extract/reader/variables.h"
#include "tests/reader/readertest.h"
#include "tools/listinggen.h"

namespace velto {
namespace {

std::string Generated(const ListingSpec& spec) {
    std::ostringstream text;
    WriteListing(spec, text);
    return text.str();
}

void Append(const std::string& path, std::string_view bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

// Writes over the file's bytes in place, keeping its inode.
void WriteInPlace(const std::string& path, std::string_view bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

// A finished listing as a scan reads it, and what its results are.
struct Finished {
    std::string text;
    std::string lineEnd;
    Catalogue catalogue;
    // Where each time's results have all come: the offset just past the line end of its block's
    // last line (the convergence line, or the temperature table's last line). A time line with no
    // table before the next shares the next one's.
    std::vector<std::size_t> complete;
    // Every item of the variable at every time, by a full extraction.
    std::string variable;
    ExtractionResult values;
};

// Just past the end of the line that holds `from`, CR LF and all.
std::size_t LineEndAfter(const std::string& text, std::size_t from) {
    const std::size_t end = text.find_first_of("\r\n", from);
    return end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
}

Finished Finish(const test::ScratchDir& dir, const std::string& text, const std::string& lineEnd) {
    Finished f;
    f.text = text;
    f.lineEnd = lineEnd;
    const std::string path = dir.File("finished.out");
    test::WriteBytes(path, text);
    test::Opened o;
    test::Open(o, path);
    EXPECT_TRUE(o.messages.messages.empty());
    f.catalogue = o.catalogue;
    const bool thermal = f.catalogue.AnalysisKind == kKindThermal;
    for (const TimeStep& time : f.catalogue.Times) {
        const auto at = static_cast<std::size_t>(time.Position - 1);
        std::size_t end = 0;
        if (thermal) {
            // The heading's line and the value lines after it, five nodes a line.
            end = text.find(kTemperatureHeading, at);
            for (long k = 0; k <= (f.catalogue.NodeCount + 4) / 5; ++k) {
                end = LineEndAfter(text, end);
            }
        } else {
            end = LineEndAfter(text, text.find(kConvergence, at));
        }
        f.complete.push_back(end);
    }
    f.variable = thermal ? "Temperature" : "Displacements";
    ExportRequest request{f.variable, 1, {}, {}};
    for (std::size_t t = 1; t <= f.catalogue.Times.size(); ++t) {
        request.Times.push_back(static_cast<Integer>(t));
    }
    std::atomic<bool> stop{false};
    NullProgress progress;
    test::RecordingMessages messages;
    if (thermal) {
        ExtractTemperatures(f.catalogue, request, f.values, stop, progress, messages);
    } else {
        ExtractStructuralValues(f.catalogue, request, f.values, stop, progress, messages);
    }
    EXPECT_TRUE(messages.messages.empty());
    return f;
}

// The values a follower's catalogue gives for its `record`-th time, every item.
std::vector<Single> RowOf(const Catalogue& c, const std::string& variable, Integer record) {
    ExportRequest request{variable, 1, {record}, {}};
    ExtractionResult result;
    std::atomic<bool> stop{false};
    NullProgress progress;
    test::RecordingMessages messages;
    if (c.AnalysisKind == kKindThermal) {
        ExtractTemperatures(c, request, result, stop, progress, messages);
    } else {
        ExtractStructuralValues(c, request, result, stop, progress, messages);
    }
    if (!messages.messages.empty()) {
        ADD_FAILURE() << "time " << record << ": " << messages.messages.front().text;
        return {};
    }
    const std::span<const Single> row = result.Values.Row(1);
    return {row.begin(), row.end()};
}

std::vector<Single> ExpectedRow(const Finished& f, Integer record) {
    const std::span<const Single> row = f.values.Values.Row(record);
    return {row.begin(), row.end()};
}

// The times of `c` are the first of the finished listing's, as a scan of it gives them.
::testing::AssertionResult OfferedAsScanned(const Catalogue& c, const Finished& f) {
    if (c.Times.size() > f.catalogue.Times.size()) {
        return ::testing::AssertionFailure() << c.Times.size() << " times offered";
    }
    for (std::size_t k = 0; k < c.Times.size(); ++k) {
        const TimeStep& mine = c.Times[k];
        const TimeStep& theirs = f.catalogue.Times[k];
        if (mine.Time != theirs.Time || mine.Position != theirs.Position) {
            return ::testing::AssertionFailure()
                   << "time " << k + 1 << " offered as " << mine.Time << " at " << mine.Position
                   << ", scanned as " << theirs.Time << " at " << theirs.Position;
        }
    }
    return ::testing::AssertionSuccess();
}

// The listings followed: each kind, each line end, with a time line whose step the solver
// reduced (printed with no table before the next) and, thermal, with a last line of three nodes.
struct Shape {
    const char* name;
    ListingSpec spec;
    bool reducedStep = false;
};

std::vector<Shape> Shapes() {
    std::vector<Shape> shapes;
    for (const char* end : {"\n", "\r\n", "\r"}) {
        shapes.push_back({"thermal",
                          {.kind = ListingKind::Thermal,
                           .lineEnd = end,
                           .nodes = 23,
                           .solids = 10,
                           .times = 6,
                           .timeStep = 60}});
        shapes.push_back({"structural",
                          {.kind = ListingKind::Static,
                           .lineEnd = end,
                           .nodes = 7,
                           .beams = 2,
                           .stressTables = 2,
                           .times = 6}});
        shapes.push_back({"dynamic 3D",
                          {.kind = ListingKind::Dynamic,
                           .ndim = 3,
                           .lineEnd = end,
                           .nodes = 5,
                           .trusses = 2,
                           .shells = 1,
                           .times = 5}});
    }
    shapes.push_back({"structural, step reduced", {.nodes = 6, .beams = 1, .times = 5}, true});
    return shapes;
}

std::string TextOf(const Shape& shape) {
    std::string text = Generated(shape.spec);
    if (shape.reducedStep) {
        // The solver printed 150 s, reduced its step and printed 120 s: 150 s has 120 s's tables.
        const std::size_t at = text.rfind("  TIME =", text.find("120.0000 SEC."));
        text.insert(at, "  TIME =     150.0000 SEC.\n\n");
    }
    return text;
}

// Cut anywhere, one piece at a time: after every piece the follower offers exactly the times whose
// results have all come (never one whose table, or whose block's end, is still to come), each as
// the scan of the finished file gives it, with the very values a full extraction reads.
TEST(ListingFollower, OffersEachTimeOnceItsResultsAreCompleteWhereverTheListingIsCut) {
    test::ScratchDir dir;
    for (const Shape& shape : Shapes()) {
        const std::string text = TextOf(shape);
        const Finished f = Finish(dir, text, shape.spec.lineEnd);
        const std::string path = dir.File("growing.out");
        std::filesystem::remove(path);
        test::WriteBytes(path, "");
        const Single end = f.catalogue.Times.back().Time;
        ListingFollower follower(path, {.EndTime = end});
        const unsigned seed = std::random_device{}();
        std::mt19937 random(seed);
        const std::string label = std::string(shape.name) + " " +
                                  (shape.spec.lineEnd == "\n"     ? "LF"
                                   : shape.spec.lineEnd == "\r\n" ? "CR LF"
                                                                  : "CR") +
                                  ", seed " + std::to_string(seed);
        std::size_t written = 0;
        while (written < text.size()) {
            const std::size_t piece = std::min<std::size_t>(
                std::uniform_int_distribution<std::size_t>(1, 120)(random), text.size() - written);
            Append(path, std::string_view(text).substr(written, piece));
            written += piece;
            const FollowStep step = follower.Read();
            ASSERT_EQ(step.restart, FollowRestart::None) << label;
            ASSERT_TRUE(step.failure.empty()) << label << ": " << step.failure;
            const std::shared_ptr<const Catalogue> c = follower.catalogue();
            ASSERT_TRUE(OfferedAsScanned(*c, f)) << label << ", " << written << " bytes";
            const auto due = static_cast<std::size_t>(
                std::count_if(f.complete.begin(), f.complete.end(),
                              [&](std::size_t at) { return at <= written; }));
            ASSERT_EQ(c->Times.size(), due) << label << ", " << written << " bytes";
            EXPECT_EQ(follower.Started(), due > 0) << label;
            for (std::size_t k = step.firstNew; k < c->Times.size(); ++k) {
                const auto record = static_cast<Integer>(k + 1);
                ASSERT_EQ(RowOf(*c, f.variable, record), ExpectedRow(f, record))
                    << label << ", time " << record << " at " << written << " bytes";
            }
            EXPECT_EQ(follower.Ended(), due == f.complete.size()) << label;
        }
        // Finished: the model and the tables as a scan gives them, and nothing more to read.
        const std::shared_ptr<const Catalogue> c = follower.catalogue();
        EXPECT_EQ(c->Times.size(), f.catalogue.Times.size()) << label;
        EXPECT_EQ(c->NodeCount, f.catalogue.NodeCount) << label;
        EXPECT_EQ(c->BeamCount, f.catalogue.BeamCount) << label;
        EXPECT_EQ(c->HasDisplacements, f.catalogue.HasDisplacements) << label;
        EXPECT_EQ(c->HasMembraneForces, f.catalogue.HasMembraneForces) << label;
        EXPECT_EQ(c->StressTables, f.catalogue.StressTables) << label;
        const FollowStep still = follower.Read();
        EXPECT_FALSE(still.grew) << label;
        EXPECT_EQ(still.firstNew, c->Times.size()) << label << ": no time is new";
    }
}

// A writer of its own pace, pausing a few milliseconds now and then: what is offered meanwhile is
// always the finished listing's, value for value, and at the end it all is.
TEST(ListingFollower, KeepsUpWithAWriterOfItsOwn) {
    test::ScratchDir dir;
    for (const Shape& shape : {Shapes()[0], Shapes()[4]}) {
        const std::string text = TextOf(shape);
        const Finished f = Finish(dir, text, shape.spec.lineEnd);
        const std::string path = dir.File(std::string(shape.name) + ".out");
        test::WriteBytes(path, "");
        const unsigned seed = std::random_device{}();
        const std::string label = std::string(shape.name) + ", seed " + std::to_string(seed);
        std::atomic<bool> done{false};
        std::thread writer([&] {
            std::mt19937 random(seed);
            for (std::size_t at = 0; at < text.size();) {
                const std::size_t piece = std::min<std::size_t>(
                    std::uniform_int_distribution<std::size_t>(1, 300)(random), text.size() - at);
                Append(path, std::string_view(text).substr(at, piece));
                at += piece;
                if (random() % 4 == 0) {
                    std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
                }
            }
            done = true;
        });
        ListingFollower follower(path);
        for (bool last = false; !last;) {
            last = done;
            const FollowStep step = follower.Read();
            ASSERT_EQ(step.restart, FollowRestart::None) << label;
            const std::shared_ptr<const Catalogue> c = follower.catalogue();
            ASSERT_TRUE(OfferedAsScanned(*c, f)) << label;
            for (std::size_t k = step.firstNew; k < c->Times.size(); ++k) {
                const auto record = static_cast<Integer>(k + 1);
                ASSERT_EQ(RowOf(*c, f.variable, record), ExpectedRow(f, record))
                    << label << ", time " << record;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        writer.join();
        EXPECT_EQ(follower.catalogue()->Times.size(), f.catalogue.Times.size()) << label;
    }
}

// The listing cut short, another file renamed over it, its head written over or its text written
// over in place: each is told, and the listing is read again from its start. Growing is not.
TEST(ListingFollower, TellsWhyItReadsTheListingAgain) {
    test::ScratchDir dir;
    const std::string path = dir.File("run.out");
    const ListingSpec first{.kind = ListingKind::Thermal, .nodes = 12, .solids = 4, .times = 5};
    const std::string text = Generated(first);
    const std::size_t third = text.find("  TIME =", text.find("180.0000 SEC."));
    test::WriteBytes(path, text.substr(0, third));
    ListingFollower follower(path);
    ASSERT_EQ(follower.Read().restart, FollowRestart::None);
    ASSERT_EQ(follower.catalogue()->Times.size(), 3u);
    const std::shared_ptr<const Catalogue> kept = follower.catalogue();

    Append(path, text.substr(third));
    FollowStep step = follower.Read();
    EXPECT_EQ(step.restart, FollowRestart::None);
    EXPECT_EQ(step.firstNew, 3u);
    EXPECT_EQ(follower.catalogue()->Times.size(), 5u);
    EXPECT_EQ(kept->Times.size(), 3u) << "a catalogue handed out changed";

    auto times = [&] {
        std::vector<Single> seconds;
        for (const TimeStep& time : follower.catalogue()->Times) {
            seconds.push_back(time.Time);
        }
        return seconds;
    };
    // Cut short: a solver started again on the same file.
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(third)), 0);
    step = follower.Read();
    EXPECT_EQ(step.restart, FollowRestart::Shrunk);
    EXPECT_EQ(step.firstNew, 0u);
    EXPECT_EQ(times(), (std::vector<Single>{60, 120, 180}));

    // Another run written beside it and renamed over it.
    ListingSpec other = first;
    other.timeStep = 100;
    WriteListingFile(other, dir.File("new.out"));
    std::filesystem::rename(dir.File("new.out"), path);
    step = follower.Read();
    EXPECT_EQ(step.restart, FollowRestart::Replaced);
    EXPECT_EQ(times(), (std::vector<Single>{100, 200, 300, 400, 500}));

    // Another model written over it in place: its head differs.
    ListingSpec version = other;
    version.version = "2027.1";
    std::this_thread::sleep_for(std::chrono::milliseconds(10));  // past the clock's tick
    WriteInPlace(path, Generated(version));
    step = follower.Read();
    EXPECT_EQ(step.restart, FollowRestart::HeaderChanged);
    EXPECT_EQ(follower.catalogue()->Version, "2027.1");
    EXPECT_EQ(times().size(), 5u);

    // The same model run again with other results, written over it in place.
    ListingSpec protectedRun = version;
    protectedRun.protection = 20;
    const std::string rerun = Generated(protectedRun);
    ASSERT_EQ(rerun.size(), Generated(version).size());
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    WriteInPlace(path, rerun);
    step = follower.Read();
    EXPECT_EQ(step.restart, FollowRestart::Rewritten);
    EXPECT_EQ(times().size(), 5u);

    // Touched, its text as it was: nothing to read again.
    const struct timespec now[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), now, 0), 0);
    step = follower.Read();
    EXPECT_EQ(step.restart, FollowRestart::None);
    EXPECT_EQ(step.firstNew, 5u);
    EXPECT_FALSE(follower.Failed());
}

// What cannot become a listing by growing ends the following with the scan's message; a head still
// being written is waited for, and what its scan says is held meanwhile; a damaged time line ends
// it, the times before it standing.
TEST(ListingFollower, WaitsForAHeadAndFailsWhatNoGrowingMends) {
    test::ScratchDir dir;
    ListingFollower missing(dir.File("none.out"));
    FollowStep step = missing.Read();
    EXPECT_EQ(step.failure, "Read File Error 53: File not found (" + dir.File("none.out") + ")");
    EXPECT_TRUE(missing.Failed());
    EXPECT_TRUE(missing.Read().failure.empty()) << "said once";

    const std::string torsion = dir.File("torsion.out");
    WriteListingFile({.kind = ListingKind::Torsion, .times = 2}, torsion);
    ListingFollower torsionFollower(torsion);
    EXPECT_EQ(torsionFollower.Read().failure, "Cannot read but temperature files");

    const std::string path = dir.File("thermal.out");
    const std::string text =
        Generated({.kind = ListingKind::Thermal, .nodes = 10, .solids = 3, .times = 3});
    const std::size_t nodes = text.find("POSITION OF THE NODES");
    test::WriteBytes(path, text.substr(0, nodes - 20));
    ListingFollower follower(path);
    step = follower.Read();
    EXPECT_TRUE(step.failure.empty());
    EXPECT_FALSE(follower.Started());
    EXPECT_EQ(follower.Waiting(),
              (std::vector<std::string>{
                  "The string POSITION OF THE NODES was not found. Cannot continue."}));
    EXPECT_TRUE(follower.catalogue()->Times.empty());

    // The rest comes, but the last time's line is damaged once it has ended.
    std::string damaged = text;
    const std::size_t last = damaged.rfind("  TIME =");
    damaged.replace(last + 9, 12, "************");
    Append(path, damaged.substr(nodes - 20));
    step = follower.Read();
    EXPECT_TRUE(follower.Failed());
    EXPECT_NE(step.failure.find("Read File Error 13: Type mismatch in thermal.out, line "),
              std::string::npos)
        << step.failure;
    EXPECT_EQ(follower.catalogue()->Times.size(), 2u);
}

}  // namespace
}  // namespace velto
