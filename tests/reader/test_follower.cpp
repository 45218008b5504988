// A listing followed while it is written: what a follower offers as the solver's lines come, cut
// anywhere, against a scan of the finished file; and a listing cut short, replaced or written over
// while it is followed.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <sstream>
#include <thread>

#include "extract/reader/extraction.h"
#include "extract/reader/follower.h"
#include "extract/reader/variables.h"
#include "tests/reader/readertest.h"
#include "tools/listinggen.h"

namespace velto {
namespace {

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

// Every item of the variable at every time the catalogue offers, as one extraction reads them.
std::vector<Single> AllValues(const Catalogue& c, const std::string& variable) {
    ExportRequest request{variable, 1, {}, {}};
    for (std::size_t t = 1; t <= c.Times.size(); ++t) {
        request.Times.push_back(static_cast<Integer>(t));
    }
    ExtractionResult result;
    std::atomic<bool> stop{false};
    NullProgress progress;
    test::RecordingMessages messages;
    if (c.AnalysisKind == kKindThermal) {
        ExtractTemperatures(c, request, result, stop, progress, messages);
    } else {
        ExtractStructuralValues(c, request, result, stop, progress, messages);
    }
    EXPECT_EQ(test::Texts(messages), std::vector<std::string>{});
    std::vector<Single> values;
    for (Integer t = 1; t <= result.Values.Times(); ++t) {
        values.insert(values.end(), result.Values.Row(t).begin(), result.Values.Row(t).end());
    }
    return values;
}

// The first `count` times of a catalogue, with their positions.
std::vector<std::pair<Single, FilePosition>> TimesOf(const Catalogue& c, std::size_t count) {
    std::vector<std::pair<Single, FilePosition>> times;
    for (std::size_t k = 0; k < std::min(count, c.Times.size()); ++k) {
        times.emplace_back(c.Times[k].Time, c.Times[k].Position);
    }
    return times;
}

// The listings followed: each kind and line end, thermal with a last line of three nodes, and one
// with a time line whose step the solver reduced (printed with no table before the next).
std::vector<std::pair<std::string, std::string>> Listings() {
    std::vector<std::pair<std::string, std::string>> listings;
    for (const std::string end : {"\n", "\r\n", "\r"}) {
        const std::string name = end == "\n" ? " LF" : end == "\r" ? " CR" : " CR LF";
        listings.emplace_back("thermal" + name, ListingText({.kind = ListingKind::Thermal,
                                                             .lineEnd = end,
                                                             .nodes = 23,
                                                             .solids = 10,
                                                             .times = 6}));
        listings.emplace_back(
            "structural" + name,
            ListingText({.lineEnd = end, .nodes = 7, .beams = 2, .stressTables = 2, .times = 6}));
        listings.emplace_back("dynamic 3D" + name, ListingText({.kind = ListingKind::Dynamic,
                                                                .ndim = 3,
                                                                .lineEnd = end,
                                                                .nodes = 5,
                                                                .trusses = 2,
                                                                .shells = 1,
                                                                .times = 5}));
    }
    // The solver printed 150 s, reduced its step and printed 120 s: 150 s has 120 s's tables.
    std::string reduced = ListingText({.nodes = 6, .beams = 1, .times = 5});
    reduced.insert(reduced.rfind("  TIME =", reduced.find("120.0000 SEC.")),
                   "  TIME =     150.0000 SEC.\n\n");
    listings.emplace_back("structural, step reduced", reduced);
    return listings;
}

// Cut anywhere, one piece at a time: after every piece the follower offers exactly the times whose
// results have all come (never one whose table, or whose block's end, is still to come, nor one
// later), each as the scan of the finished file gives it; at the end every time, with the very
// values a full extraction of the finished file reads. Followed from an empty file, and taken up
// from a scan of the listing cut anywhere after its head.
TEST(ListingFollower, OffersEachTimeOnceItsResultsAreCompleteWhereverTheListingIsCut) {
    test::ScratchDir dir;
    for (const auto& [name, text] : Listings()) {
        test::Opened finished;
        test::WriteBytes(dir.File("finished.out"), text);
        test::Open(finished, dir.File("finished.out"));
        const Catalogue& scanned = finished.catalogue;
        const std::vector<std::size_t> complete = test::TimesCompleteAt(text, scanned);
        auto completeAt = [&](std::size_t written) {
            return static_cast<std::size_t>(std::count_if(
                complete.begin(), complete.end(), [&](std::size_t at) { return at <= written; }));
        };
        for (const bool fromScan : {false, true}) {
            // Fixed, so that a run tells the same as the last: the cuts differ by listing.
            const unsigned seed =
                static_cast<unsigned>(std::hash<std::string>{}(name)) + (fromScan ? 1u : 0u);
            std::mt19937 random(seed);
            const std::string label =
                name + (fromScan ? ", from a scan" : "") + ", seed " + std::to_string(seed);
            const std::string path = dir.File(fromScan ? "scanned.out" : "growing.out");
            const FollowOptions options{.EndTime = scanned.Times.back().Time};
            std::size_t written = 0;
            std::optional<ListingFollower> follower;
            if (!fromScan) {
                test::WriteBytes(path, "");
                follower.emplace(path, options);
            } else {
                written = std::uniform_int_distribution<std::size_t>(text.find("  TIME ="),
                                                                     text.size())(random);
                test::WriteBytes(path, text.substr(0, written));
                test::Opened cut;
                test::Open(cut, path);
                ASSERT_EQ(test::Texts(cut.messages), std::vector<std::string>{}) << label;
                follower.emplace(std::make_shared<const Catalogue>(cut.catalogue), options);
                const FollowStep step = follower->Read();
                ASSERT_EQ(step.restart, FollowRestart::None) << label;
                const std::size_t due = completeAt(written);
                ASSERT_EQ(TimesOf(*follower->catalogue(), 99), TimesOf(scanned, due)) << label;
                EXPECT_EQ(step.firstNew, 0u) << label;
                if (due >= 3) {
                    // Only the last blocks are read again, not the listing from its first time.
                    EXPECT_LT(step.bytesRead, written - (scanned.Times[0].Position - 1)) << label;
                }
                // The times whose lines have ended but whose results are still to come.
                std::vector<std::pair<Single, FilePosition>> pending;
                for (const TimeStep& time : follower->Pending()) {
                    pending.emplace_back(time.Time, time.Position);
                }
                const auto lines = static_cast<std::size_t>(std::count_if(
                    scanned.Times.begin(), scanned.Times.end(), [&](const TimeStep& t) {
                        return static_cast<std::size_t>(t.Position - 1) <= written;
                    }));
                const auto ended = TimesOf(scanned, lines);
                EXPECT_EQ(pending, std::vector(ended.begin() + static_cast<std::ptrdiff_t>(due),
                                               ended.end()))
                    << label << ", " << written;
                EXPECT_EQ(follower->Ended(), due == complete.size()) << label;
            }
            std::size_t offered = completeAt(written);
            while (written < text.size()) {
                const std::size_t piece = std::min<std::size_t>(
                    std::uniform_int_distribution<std::size_t>(1, 120)(random),
                    text.size() - written);
                Append(path, std::string_view(text).substr(written, piece));
                written += piece;
                const FollowStep step = follower->Read();
                ASSERT_EQ(step.restart, FollowRestart::None) << label;
                ASSERT_EQ(step.failure, "") << label;
                const Catalogue& c = *follower->catalogue();
                const std::size_t due = completeAt(written);
                ASSERT_EQ(c.Times.size(), due) << label << ", " << written << " bytes";
                ASSERT_EQ(TimesOf(c, due), TimesOf(scanned, due)) << label << ", " << written;
                EXPECT_EQ(step.firstNew, offered) << label << ": the times new to this read";
                offered = due;
                EXPECT_EQ(follower->Ended(), due == complete.size()) << label;
            }
            const Catalogue& c = *follower->catalogue();
            const std::string variable =
                c.AnalysisKind == kKindThermal ? "Temperature" : "Displacements";
            EXPECT_EQ(AllValues(c, variable), AllValues(scanned, variable)) << label;
            EXPECT_EQ(std::tie(c.NodeCount, c.BeamCount, c.ShellCount, c.HasMembraneForces,
                               c.StressTables),
                      std::tie(scanned.NodeCount, scanned.BeamCount, scanned.ShellCount,
                               scanned.HasMembraneForces, scanned.StressTables))
                << label;
            const FollowStep still = follower->Read();
            EXPECT_FALSE(still.grew) << label;
            EXPECT_EQ(still.firstNew, c.Times.size()) << label << ": no time is new";
        }
    }
}

// A follower of the listing's name, or one taken up from a scan of it.
ListingFollower FollowerOf(const std::string& path, bool fromScan) {
    if (!fromScan) {
        return ListingFollower(path);
    }
    test::Opened scan;
    test::Open(scan, path);
    EXPECT_EQ(test::Texts(scan.messages), std::vector<std::string>{});
    return ListingFollower(std::make_shared<const Catalogue>(scan.catalogue));
}

// The listing cut short, another file renamed over it, its head written over or its text written
// over in place: each is told, and the listing is read again from its start. Growing is not.
class ListingFollowerRestarts : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(FromItsNameOrAScan, ListingFollowerRestarts, ::testing::Bool());

TEST_P(ListingFollowerRestarts, TellsWhyItReadsTheListingAgain) {
    test::ScratchDir dir;
    const std::string path = dir.File("run.out");
    const ListingSpec first{.kind = ListingKind::Thermal, .nodes = 12, .solids = 4, .times = 5};
    const std::string text = ListingText(first);
    const std::size_t third = text.find("  TIME =", text.find("180.0000 SEC."));
    test::WriteBytes(path, text.substr(0, third));
    ListingFollower follower = FollowerOf(path, GetParam());
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
        for (const auto& [time, position] : TimesOf(*follower.catalogue(), 99)) {
            seconds.push_back(time);
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
    WriteInPlace(path, ListingText(version));
    step = follower.Read();
    EXPECT_EQ(step.restart, FollowRestart::HeaderChanged);
    EXPECT_EQ(follower.catalogue()->Version, "2027.1");
    EXPECT_EQ(times().size(), 5u);

    // The same model run again with other results, written over it in place.
    ListingSpec protectedRun = version;
    protectedRun.protection = 20;
    const std::string rerun = ListingText(protectedRun);
    ASSERT_EQ(rerun.size(), ListingText(version).size());
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

// Taken up from a scan, the follower first makes sure the file is still the one scanned: cut
// short, replaced or written over since, it is read from its start, and says why.
TEST(ListingFollower, TakesUpFromAScanOnlyOfTheFileScanned) {
    test::ScratchDir dir;
    const std::string path = dir.File("run.out");
    const ListingSpec spec{.nodes = 6, .beams = 1, .times = 5};
    const std::string text = ListingText(spec);
    ListingSpec rerun = spec;
    rerun.protection = 20;
    const std::string other = ListingText(rerun);
    ASSERT_EQ(other.size(), text.size());
    const std::size_t cut = text.find("  TIME =", text.find("180.0000 SEC."));
    const std::pair<FollowRestart, std::function<void()>> changes[] = {
        {FollowRestart::Shrunk,
         [&] { ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(cut)), 0); }},
        {FollowRestart::Replaced,
         [&] {
             test::WriteBytes(dir.File("new.out"), other);
             std::filesystem::rename(dir.File("new.out"), path);
         }},
        {FollowRestart::Rewritten, [&] { WriteInPlace(path, other + "  TIME =    "); }},
    };
    for (const auto& [why, change] : changes) {
        test::WriteBytes(path, text);
        test::Opened scan;
        test::Open(scan, path);
        ListingFollower follower(std::make_shared<const Catalogue>(scan.catalogue));
        change();
        const FollowStep step = follower.Read();
        EXPECT_EQ(step.restart, why) << RestartText(why);
        test::Opened now;
        test::Open(now, path);
        EXPECT_EQ(TimesOf(*follower.catalogue(), 99), TimesOf(now.catalogue, 99))
            << RestartText(why);
    }
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
        ListingText({.kind = ListingKind::Thermal, .nodes = 10, .solids = 3, .times = 3});
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
