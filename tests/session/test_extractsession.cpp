#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numeric>
#include <random>
#include <sstream>
#include <string_view>
#include <thread>
#include <utility>

#include "common/atomicsave.h"
#include "extract/export/earlysheet.h"
#include "extract/reader/variables.h"
#include "extract/session/extractsession.h"
#include "tests/reader/readertest.h"
#include "tools/listinggen.h"

namespace velto {
namespace {

class Session : public ::testing::Test {
  protected:
    void SetUp() override {
        WriteListingFile({.nodes = 20, .beams = 4, .stressTables = 2, .times = 6}, frame);
        WriteListingFile({.nodes = 30, .times = 4, .timeStep = 50}, other);
    }

    test::ScratchDir dir;
    std::string frame = dir.File("frame.out"), other = dir.File("other.out");
    test::ActingProgress progress;  // the user acting while the window processes its events
    test::RecordingMessages messages;
    ExtractSession session{progress, messages};
};

TEST_F(Session, ChoicesFollowTheListingAndTheVariable) {
    EXPECT_FALSE(session.Enabling().timeLists || session.Enabling().summary);
    EXPECT_FALSE(session.AddTimes({0}));  // nothing to choose from yet
    session.Open(frame);
    EXPECT_TRUE(messages.messages.empty());
    EXPECT_EQ(session.openFolder, dir.path().string() + "/");
    ASSERT_EQ(session.variables().size(), 5u);
    EXPECT_EQ(session.variable()->Name, "Displacements");
    EXPECT_EQ(session.vectorName(), "DOF1");
    SessionEnabling e = session.Enabling();
    EXPECT_TRUE(e.summary && e.timeLists && e.variables && e.vectors && e.range && e.layout);
    EXPECT_FALSE(e.save || e.clearTimes || e.deleteTimes);

    session.SetRangeText(1, "15");
    session.AddTimes({0});
    EXPECT_TRUE(session.Enabling().save);
    session.SetRangeText(1, "1e400");  // beyond a double: out of range, not a crash
    EXPECT_FALSE(session.Enabling().save);
    EXPECT_EQ(session.RequestProblem(), "To must lie in 1..20 (Nodes)");
    session.SetRangeText(1, "15");

    // A variable without a range clears the boxes; the numbers come back afterwards.
    ASSERT_TRUE(session.ChooseVariableNamed("Eigen Values"));
    EXPECT_EQ(session.range(), (std::array<std::string, 3>{"", "", ""}));
    EXPECT_FALSE(session.Enabling().range || session.Enabling().vectors);
    ASSERT_TRUE(session.ChooseVariableNamed("Beam Axial Force"));
    EXPECT_EQ(session.range(), (std::array<std::string, 3>{"1", "15", "1"}));
    EXPECT_EQ(session.rangeCaption(), "Beams");
    EXPECT_EQ(session.vectorName(), "N1");
}

// A file that is not a listing leaves nothing of the last listing and nothing made up, but the
// summary and its first three captions show, as after any open: empty, they say nothing was
// found. (That nothing of the last listing shows while the message is up is the window's to
// check: it shows the session then.)
TEST_F(Session, WhatCannotBeReadShowsTheClearedState) {
    const std::string passwd = dir.File("passwd.out");
    test::WriteBytes(passwd, "root:x:0:0:root:/root:/bin/bash\n");
    for (const std::string& path : {passwd, dir.File("missing.out")}) {
        session.Open(frame);
        session.AddTimes({1});
        session.Open(path);
        EXPECT_FALSE(session.Recognised());
        EXPECT_TRUE(session.times().available().empty() && session.times().selected().empty());
        const std::vector<SummaryLine> lines = session.Summary();
        ASSERT_EQ(lines.size(), 10u);
        for (std::size_t i = 0; i < lines.size(); ++i) {
            EXPECT_EQ(lines[i].Value, "") << lines[i].Caption;
            EXPECT_EQ(lines[i].Enabled, i < 3) << lines[i].Caption;
        }
        EXPECT_EQ(session.vectorName(), "");
        const SessionEnabling e = session.Enabling();
        EXPECT_TRUE(e.timeLists && e.summary);
        EXPECT_FALSE(e.variables || e.vectors || e.clearTimes || e.save);
    }
}

// Each listing is described afresh: a count that the next listing does not declare (a beam's
// points, a shell's surfaces) is not the last listing's. The window opens one listing after
// another in its session; it offers what a fresh session (the command line's, Python's) does.
TEST_F(Session, EachListingIsDescribedAfresh) {
    std::ostringstream text;
    WriteListing({.nodes = 20, .beams = 4, .shells = 2, .stressTables = 2, .times = 3}, text);
    const std::string declared = dir.File("declared.out");
    test::WriteBytes(declared, text.str());
    std::string bytes = text.str();
    for (const std::string_view words : {"EACH OF THEM HAS", "INTEGRATION POINTS ON THE AREA"}) {
        const std::size_t at = bytes.rfind('\n', bytes.find(words)) + 1;
        bytes.erase(at, bytes.find('\n', at) + 1 - at);
    }
    const std::string undeclared = dir.File("undeclared.out");
    test::WriteBytes(undeclared, bytes);

    auto offered = [](const ExtractSession& s) {
        std::vector<std::pair<std::string, std::vector<std::string>>> list;
        for (const OfferedVariable& v : s.variables()) {
            list.emplace_back(v.Name, v.Vectors);
        }
        return list;
    };
    auto values = [](const std::vector<SummaryLine>& lines) {
        std::vector<std::string> list;
        for (const SummaryLine& line : lines) {
            list.push_back(line.Value);
        }
        return list;
    };
    test::RecordingMessages freshMessages;
    ExtractSession fresh{progress, freshMessages};
    fresh.Open(undeclared);
    session.Open(declared);
    ASSERT_EQ(session.catalogue().BeamPointCount, 3);
    ASSERT_EQ(session.catalogue().AreaPointCount, 4);
    const std::shared_ptr<const Catalogue> first = session.sharedCatalogue();
    session.Open(undeclared);
    EXPECT_EQ(session.catalogue().BeamPointCount, 0);
    EXPECT_EQ(session.catalogue().AreaPointCount, 0);
    EXPECT_EQ(offered(session), offered(fresh));
    EXPECT_EQ(values(session.Summary()), values(fresh.Summary()));
    EXPECT_EQ(test::Texts(messages), test::Texts(freshMessages));
    // The first listing's description, kept, is still the first listing's.
    EXPECT_EQ(first->ListingFile, declared);
    EXPECT_EQ(first->BeamPointCount, 3);
}

// A name that names no file says why, not that the listing is not a thermal one: none at all,
// one with a part longer than a file system's names, one longer than any path.
TEST_F(Session, NamesThatCannotNameAListingSayWhy) {
    std::string deep;
    while (deep.size() <= PATH_MAX) {
        deep += "/d";
    }
    for (const auto& [name, message] :
         {std::pair<std::string, std::string>{"", "File not found (no listing given)"},
          {dir.File(std::string(NAME_MAX + 1, 'n') + ".out"),
           "Path/File access error (the name is too long)"},
          {deep, "Path/File access error (the name is too long)"}}) {
        messages.messages.clear();
        session.Open(frame);
        session.Open(name);
        EXPECT_EQ(test::Texts(messages),
                  std::vector<std::string>{"Read File Error " +
                                           std::string(name.empty() ? "53: " : "75: ") + message})
            << name.size();
        EXPECT_TRUE(session.times().available().empty());
    }
}

TEST_F(Session, AddsTakeWhatTheUserSees) {
    session.Open(frame);
    EXPECT_TRUE(session.AddTime(4));
    EXPECT_FALSE(session.AddTime(4));  // chosen already
    EXPECT_TRUE(session.AddDropped("0 2 "));
    EXPECT_FALSE(session.AddDropped("hello 3"));
    session.Highlight(TimeList::Available, {1, 2});
    EXPECT_TRUE(session.MenuEnabling(TimeList::Available).add);
    EXPECT_TRUE(session.AddHighlighted());
    EXPECT_EQ(session.times().selected(), (std::vector<std::string>{"60", "120", "180", "300"}));
    EXPECT_EQ(session.times().hidden(), (std::vector<std::string>{"1", "2", "3", "5"}));

    // Ctrl+A: an add takes every time, until the user highlights something else.
    session.ClearTimes();
    session.SelectAllAvailable();
    session.Highlight(TimeList::Available, {0, 1, 2, 3, 4, 5});  // the list showing it
    EXPECT_TRUE(session.SelectAllMode());
    session.Highlight(TimeList::Available, {3});  // a new drag selection
    EXPECT_FALSE(session.SelectAllMode());
    session.AddDropped("3 ");
    EXPECT_EQ(session.times().selected(), std::vector<std::string>{"240"});
    session.SelectAllAvailable();
    session.AddDropped("5 ");
    EXPECT_EQ(session.times().selected().size(), 6u);
    // A right-click on empty space clears the highlight: nothing to add.
    session.Highlight(TimeList::Available, {});
    EXPECT_FALSE(session.MenuEnabling(TimeList::Available).add);

    // Delete follows the highlight of the chosen list, however it was made.
    EXPECT_FALSE(session.Enabling().deleteTimes);
    session.Highlight(TimeList::Selected, {0, 2, 9});
    EXPECT_EQ(session.highlighted(TimeList::Selected), (std::vector<int>{0, 2}));
    EXPECT_TRUE(session.Enabling().deleteTimes && session.MenuEnabling(TimeList::Selected).remove);
    EXPECT_TRUE(session.DeleteHighlighted());
    EXPECT_EQ(session.times().hidden(), (std::vector<std::string>{"2", "4", "5", "6"}));
    EXPECT_FALSE(session.Enabling().deleteTimes);
    session.ClearTimes();
    EXPECT_FALSE(session.Enabling().clearTimes || session.Enabling().save);
}

// What would write nothing is said before anything runs, in the command line's words.
TEST_F(Session, RequestsThatGiveNothingSayWhy) {
    session.Open(frame);
    session.AddTimes({0});
    struct Case {
        const char* variable;
        std::array<const char*, 3> range;
        bool times;
        const char* problem;
    };
    for (const Case& c :
         {Case{"Displacements", {"1", "5", "0"}, true, "Step must not be 0"},
          Case{"Displacements", {"5", "1", "1"}, true, "no node lies from 5 to 1 in steps of 1"},
          Case{"Displacements", {"5", "4", "2"}, true, "no node lies from 5 to 4 in steps of 2"},
          Case{"Eigen Values", {"", "", ""}, false, "no time is selected"},
          Case{"Displacements", {"1", "5", "2"}, true, ""}}) {
        session.ChooseVariableNamed(c.variable);
        for (int i = 0; i < 3; ++i) {
            session.SetRangeText(i, c.range[static_cast<std::size_t>(i)]);
        }
        if (c.times) {
            session.AddTimes({0});
        } else {
            session.ClearTimes();
        }
        EXPECT_EQ(session.RequestProblem(), c.problem) << c.variable;
        const SaveResult saved = session.Save(dir.File("x.xls"), SheetFormat::Xls);
        EXPECT_EQ(saved.problem, c.problem);
        EXPECT_EQ(saved.outcome == SaveOutcome::Written, *c.problem == '\0');
        EXPECT_EQ(session.Chart().outcome == SaveOutcome::Extracted, *c.problem == '\0');
    }
    // Only a save that wrote its file moves the save folder.
    session.saveFolder = "/kept/";
    session.ChooseVariableNamed("Displacements");
    EXPECT_EQ(session.Save("/proc/no/such.xls", SheetFormat::Xls).outcome, SaveOutcome::NotWritten);
    EXPECT_EQ(session.saveFolder, "/kept/");
    EXPECT_EQ(session.Save(dir.File("y.xls"), SheetFormat::Xls).outcome, SaveOutcome::Written);
    EXPECT_EQ(session.saveFolder, dir.path().string() + "/");
}

// A listing gone since it was opened, put in place of the one opened, or rewritten in place
// without growing (before the save or while it reads), is no longer what the times point into:
// the save and the chart each say so once, and nothing is written from it. One that only grew,
// as a solver still writing it makes it, is still the listing.
TEST_F(Session, AListingGoneReplacedOrRewrittenIsNotSaved) {
    const std::string changed = "The listing has changed since it was opened: open it again.";
    // The same bytes written again in place: only the times differ, the modification time
    // moved on or (by a tool that hides its writing) set back to what it was.
    auto rewriteWith = [&](bool setBack) {
        struct stat before {};
        ::stat(frame.c_str(), &before);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // past the clock's tick
        const std::string bytes = test::ReadBytes(frame);
        std::FILE* f = std::fopen(frame.c_str(), "r+");
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
        const struct timespec times[2] = {{0, UTIME_OMIT},
                                          setBack ? before.st_mtim : timespec{2000000000, 0}};
        ::utimensat(AT_FDCWD, frame.c_str(), times, 0);
    };
    auto rewrite = [&] { rewriteWith(false); };
    struct Case {
        const char* what;
        std::function<void()> before, during;
        std::string message;  // none: written
    };
    for (const Case& c :
         {Case{"gone", [&] { std::remove(frame.c_str()); }, nullptr, "53: File not found"},
          Case{"replaced",
               [&] {
                   std::filesystem::copy_file(other, frame + ".new");
                   std::filesystem::rename(frame + ".new", frame);
               },
               nullptr, changed},
          Case{"rewritten", rewrite, nullptr, changed},
          Case{"rewritten while read", nullptr, rewrite, changed},
          Case{"rewritten, its time set back", [&] { rewriteWith(true); }, nullptr, changed},
          Case{"rewritten longer",  // another run written over it in place, longer than it was
               [&] {
                   const std::string bytes = test::ReadBytes(frame);
                   std::ofstream(frame, std::ios::trunc) << std::string(600, ' ') << bytes;
               },
               nullptr, changed},
          Case{"grown", [&] { std::ofstream(frame, std::ios::app) << "\n"; }, nullptr, ""}}) {
        const bool written = c.message.empty();
        session.Open(frame);
        session.AddTimes({0, 5});
        messages.messages.clear();
        if (c.before) {
            c.before();
        }
        bool once = true;
        progress.act = [&] {
            if (c.during && once && session.Running() == SessionCommand::Save) {
                once = false;
                c.during();
            }
        };
        const std::string target = dir.File(std::string(c.what) + ".csv");
        EXPECT_EQ(session.Save(target, SheetFormat::Csv).outcome == SaveOutcome::Written, written)
            << c.what;
        EXPECT_EQ(std::filesystem::exists(target), written) << c.what;
        if (!written) {
            progress.act = nullptr;
            EXPECT_NE(session.Chart().outcome, SaveOutcome::Extracted) << c.what;
            EXPECT_EQ(test::Texts(messages), (std::vector<std::string>{c.message, c.message}))
                << c.what;
        }
        progress.act = nullptr;
        WriteListingFile(ListingSpec{}, frame);  // a fresh file for the next case
    }
}

// A large save is written while it is read: the very file the writing after the reading gives;
// and nothing written, the previous file kept, when the listing is cut short or the user stops
// part way through the reading.
TEST_F(Session, ALargeSaveWrittenAsItIsReadIsTheSameFile) {
    ListingSpec spec;
    spec.nodes = 2200;  // 2200 nodes at 40 times: enough values to be written as they are read
    spec.times = 40;
    const std::string big = dir.File("big.out");
    WriteListingFile(spec, big);
    // Node 7 lacks its DOF2 at the fifth time: 0, not what another time left in its room.
    std::string bytes = test::ReadBytes(big);
    std::size_t fifth = 0;
    for (int n = 0; n < 5; ++n) {
        fifth = bytes.find(kDisplacementHeading, fifth + 1);
    }
    const std::size_t seventh = bytes.find("\n      7 ", fifth) + 1;
    const std::size_t dof2 = bytes.find(' ', bytes.find_first_not_of(' ', seventh + 7));
    bytes.erase(dof2, bytes.find('\n', dof2) - dof2);
    auto open = [&] {
        test::WriteBytes(big, bytes);
        session.Open(big);
        session.ChooseVariableNamed("Displacements");
        session.ChooseVector(1);
        session.SetRangeText(1, "2200");
        std::vector<int> rows(40);
        std::iota(rows.begin(), rows.end(), 0);
        session.AddTimes(rows);
    };
    open();
    ASSERT_EQ(session.Chart().outcome, SaveOutcome::Extracted);
    EXPECT_EQ(session.extraction().Values.At(7, 5), 0);
    const std::string reference = dir.File("reference.csv");
    const std::atomic<bool> never{false};
    ASSERT_TRUE(WriteSpreadsheet(session.catalogue(), session.extractedRequest(),
                                 session.extraction(), reference, "DOF2", TimeLayout::InRows, never,
                                 messages, SheetFormat::Csv));
    const std::string written = test::ReadBytes(reference);
    const std::string target = dir.File("big.csv");

    // Every time held at once, and three at a time.
    for (const std::size_t room : {std::size_t{16} << 20, std::size_t{3 * 2200 * 4}}) {
        SCOPED_TRACE(room);
        session.SetStreamRoom(room);
        std::filesystem::remove(target);
        // A slow reading: the writer must wait for each time's values, not write what is not
        // read. Meanwhile the user's choices wait for the save's end: the writer is reading them.
        bool chosen = false;
        progress.act = [&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            chosen = chosen || session.ChooseVariable(0) || session.ChooseVector(0) ||
                     session.SetRangeText(1, "5") || session.SetLayout(TimeLayout::InColumns);
        };
        ASSERT_EQ(session.Save(target, SheetFormat::Csv).outcome, SaveOutcome::Written);
        progress.act = nullptr;
        EXPECT_FALSE(chosen);
        EXPECT_EQ(test::ReadBytes(target), written);

        // At the third report: the user stops it, or the listing is cut short.
        for (const auto& [third, outcome] :
             {std::pair<std::function<void()>, SaveOutcome>{[&] { session.Abort(); },
                                                            SaveOutcome::Aborted},
              {[&] { ::truncate(big.c_str(), 100000); }, SaveOutcome::NotWritten}}) {
            int reports = 0;
            progress.act = [&, third = third] {
                if (++reports == 3) {
                    third();
                }
            };
            EXPECT_EQ(session.Save(target, SheetFormat::Csv).outcome, outcome);
            EXPECT_EQ(test::ReadBytes(target), written);
        }
        progress.act = nullptr;
        ASSERT_FALSE(messages.messages.empty());
        EXPECT_EQ(messages.messages.back().text,
                  "62: Input past end of file. The listing is shorter than when it was opened: "
                  "open it again.");
        open();
    }
    EXPECT_EQ(test::Entries(dir.path()),
              (std::vector<std::string>{"big.csv", "big.out", "frame.out", "other.out",
                                        "reference.csv"}));
}

// The listing is never written over with its own values, by whatever name it is given.
TEST_F(Session, TheListingIsNotItsOwnTarget) {
    const std::string before = test::ReadBytes(frame);
    std::filesystem::create_symlink(frame, dir.File("alias.xls"));
    session.Open(frame);
    session.AddTimes({0});
    for (const std::string& target : {frame, dir.File("alias.xls")}) {
        EXPECT_EQ(session.Save(target, SheetFormat::Xls).outcome, SaveOutcome::NotWritten);
    }
    ASSERT_EQ(messages.messages.size(), 2u);
    EXPECT_EQ(
        messages.messages[0].text,
        "\"" + frame + "\" is the listing the values are read from. Please choose another name.");
    // Nor with a chart: every save of the program keeps off the open listing.
    EXPECT_THROW(SaveBytesAtomically(dir.File("alias.xls"), "a chart"), SaveRefused);
    EXPECT_TRUE(test::ReadBytes(frame) == before);
}

// The same choices in a session of its own, on the listing a save began on, write what it wrote.
void ExpectWrittenAsAFreshSessionWrites(const std::string& listing, const SaveRequest& request,
                                        const std::vector<std::string>& hidden,
                                        const std::string& target) {
    test::RecordingMessages quiet;
    NullProgress none;
    ExtractSession fresh(none, quiet);
    fresh.Open(listing);
    fresh.ChooseVariableNamed(request.variable);
    fresh.ChooseVector(request.component);
    fresh.SetRangeText(0, request.from);
    fresh.SetRangeText(1, request.to);
    fresh.SetRangeText(2, request.step);
    std::vector<int> positions;
    for (const std::string& h : hidden) {
        positions.push_back(std::stoi(h) - 1);
    }
    fresh.AddTimes(positions);
    const std::string reference = target + ".ref";
    ASSERT_EQ(fresh.Save(reference, SheetFormat::Csv).outcome, SaveOutcome::Written);
    EXPECT_EQ(test::ReadBytes(target), test::ReadBytes(reference));
}

// The user acts at random, also while a command runs (as the window lets them at every progress
// report): nothing runs twice, nothing throws, and a save writes the values of the listing and
// the choices it started with, byte for byte what a session of its own writes.
TEST_F(Session, RandomCommandsKeepTheRules) {
    const std::string garbage = dir.File("garbage.out");
    test::WriteBytes(garbage, std::string(5000, 'x'));
    const std::vector<std::string> files = {frame, other, garbage, dir.File("gone.out")};
    int saves = 0, written = 0, refused = 0;

    for (unsigned seed = 1; seed <= 6; ++seed) {
        std::mt19937 random(seed);
        auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
        auto rows = [&] {
            std::vector<int> r;
            for (int i = pick(4); i > 0; --i) {
                r.push_back(pick(8) - 1);
            }
            return r;
        };
        // The user's commands, each saying whether it started or changed something: a save, and
        // what a user who knows what they want does, twice as often as the others.
        auto save = [&] {
            const std::string target = dir.File("s" + std::to_string(++saves) + ".csv");
            const std::string listing = session.catalogue().ListingFile;
            const SaveRequest request = session.CurrentRequest();
            const std::vector<std::string> hidden = session.times().hidden();
            ExtractSession::Start start{};
            if (session.Save(target, SheetFormat::Csv, &start).outcome == SaveOutcome::Written) {
                ++written;
                ExpectWrittenAsAFreshSessionWrites(listing, request, hidden, target);
            }
            return start == ExtractSession::Start::Started;
        };
        auto knowing = [&] {
            return session.ChooseVariable(0) && session.SetRangeText(0, "2") &&
                   session.SetRangeText(1, "9") && session.SetRangeText(2, "3") &&
                   session.AddTimes({0, 2});
        };
        static const char* texts[] = {"1", "3", "20", "0", "-2", "1e400", "x", ""};
        const std::function<bool()> commands[] = {
            [&] {
                return session.Open(files[static_cast<std::size_t>(pick(4))]) ==
                       ExtractSession::Start::Started;
            },
            save,
            save,
            [&] { return session.Chart().outcome != SaveOutcome::NotWritten; },
            [&] { return session.ChooseVariable(pick(6)); },
            [&] { return session.ChooseVector(pick(4)); },
            [&] { return session.SetRangeText(pick(3), texts[pick(8)]); },
            [&] { return session.AddTime(pick(8) - 1); },
            [&] { return session.AddTimes(rows()); },
            [&] { return session.Highlight(TimeList::Available, rows()); },
            [&] { return session.Highlight(TimeList::Selected, rows()); },
            [&] { return session.SelectAllAvailable(); },
            [&] { return session.AddHighlighted(); },
            [&] { return session.DeleteHighlighted(); },
            [&] { return session.ClearTimes(); },
            [&] {
                session.Abort();
                return false;
            },
            knowing,
            knowing};
        std::function<void(bool)> act = [&](bool nested) {
            const SessionCommand before = session.Running();
            const SaveRequest choices = session.CurrentRequest();
            const unsigned times = session.timesGeneration();
            const bool changed = commands[pick(18)]();
            if (nested) {
                // Under a running command nothing starts and nothing of its request changes.
                EXPECT_FALSE(changed);
                EXPECT_EQ(session.Running(), before);
                EXPECT_EQ(session.CurrentRequest().variable, choices.variable);
                EXPECT_EQ(session.CurrentRequest().from, choices.from);
                EXPECT_EQ(session.CurrentRequest().times, choices.times);
                EXPECT_EQ(session.timesGeneration(), times);
                refused += !changed;
                return;
            }
            EXPECT_EQ(session.Running(), SessionCommand::None);
            // The chosen list stays ascending, each time with its position in the available list.
            const TimeSelection& t = session.times();
            ASSERT_EQ(t.selected().size(), t.hidden().size());
            for (std::size_t i = 0; i < t.selected().size(); ++i) {
                EXPECT_EQ(t.available()[std::stoul(t.hidden()[i]) - 1], t.selected()[i]);
                if (i > 0) {
                    EXPECT_LT(std::stod(t.selected()[i - 1]), std::stod(t.selected()[i]));
                }
            }
            if (session.RequestProblem().empty()) {
                EXPECT_TRUE(session.Enabling().save);
            }
        };
        progress.act = [&] {
            if (pick(3) == 0) {
                act(true);
            }
        };
        for (int step = 0; step < 150; ++step) {
            try {
                act(false);
            } catch (const std::exception& e) {
                ADD_FAILURE() << "seed " << seed << " step " << step << ": " << e.what();
            }
        }
        progress.act = nullptr;
    }
    // The run must have exercised what it checks.
    EXPECT_GT(written, 5);
    EXPECT_GT(refused, 20);
}

// A listing the solver is writing: its text, and where each time's results are complete in it.
struct Growing {
    std::string text;
    std::vector<std::size_t> complete;
    // Where the time after the k-th complete one is begun but not complete.
    std::size_t Begun(std::size_t k) const { return text.find("  TIME =", complete[k - 1]) + 40; }
};

Growing GrowingListing(const test::ScratchDir& dir, const ListingSpec& spec) {
    Growing g{ListingText(spec), {}};
    test::Opened finished;
    test::WriteBytes(dir.File("finished.out"), g.text);
    test::Open(finished, dir.File("finished.out"));
    g.complete = test::TimesCompleteAt(g.text, finished.catalogue);
    return g;
}

void Append(const std::string& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary | std::ios::app) << bytes;
}

// Followed, a listing offers each time once its results are complete; the times that come join
// the list below the others, and nothing the user chose goes: variable, vector, range, chosen
// times, highlights. When every time is chosen (Select All, then Add), so are those that come. A
// save under way reads the listing as it was handed; the times land after it. Once the last time
// is the end time NAME.in gives, nothing more is looked for.
TEST_F(Session, FollowingAddsCompleteTimesKeepingEveryChoice) {
    const Growing g = GrowingListing(dir, {.nodes = 20, .beams = 4, .stressTables = 2, .times = 6});
    const std::string path = dir.File("run.out");
    test::WriteBytes(dir.File("run.in"), "TIME\n 60 360\nEND_TIME\n");
    const std::size_t first = g.text.find("  TIME =") + 40;
    test::WriteBytes(path, g.text.substr(0, first));
    session.SetFollow(true);
    session.Open(path);
    EXPECT_TRUE(session.Recognised());
    EXPECT_TRUE(session.times().available().empty() && session.variables().empty());
    Append(path, g.text.substr(first, g.Begun(2) - first));
    session.Refresh();
    EXPECT_EQ(session.times().available(), (std::vector<std::string>{"60", "120"}));
    ASSERT_EQ(session.ChooseNamed("Beam Axial Force", "N2"), "");
    session.SetRangeText(1, "3");
    session.AddTime(1);
    session.Highlight(TimeList::Available, {0});
    session.Highlight(TimeList::Selected, {0});
    const unsigned chosen = session.timesGeneration();

    Append(path, g.text.substr(g.Begun(2), g.Begun(4) - g.Begun(2)));
    EXPECT_EQ(session.Refresh().added, 2u);
    EXPECT_EQ(session.times().available(), (std::vector<std::string>{"60", "120", "180", "240"}));
    EXPECT_EQ(session.times().selected(), std::vector<std::string>{"120"});
    EXPECT_EQ(session.timesGeneration(), chosen) << "the chosen list was not touched";
    EXPECT_EQ(session.highlighted(TimeList::Available), std::vector<int>{0});
    EXPECT_EQ(session.highlighted(TimeList::Selected), std::vector<int>{0});
    EXPECT_EQ(session.vectorName(), "N2");
    EXPECT_EQ(session.range(), (std::array<std::string, 3>{"1", "3", "1"}));

    session.SelectAllAvailable();
    session.AddHighlighted();
    FollowNews during;
    progress.act = [&] {
        if (!during.deferred) {
            Append(path, g.text.substr(g.Begun(4)));
            during = session.Refresh();
        }
    };
    ASSERT_EQ(session.Save(dir.File("during.csv"), SheetFormat::Csv).outcome, SaveOutcome::Written);
    progress.act = nullptr;
    EXPECT_TRUE(during.deferred);
    EXPECT_EQ(session.extractedRequest().Times.size(), 4u);
    EXPECT_TRUE(session.Following());
    const FollowNews last = session.Refresh();
    EXPECT_EQ(last.added, 2u);
    EXPECT_TRUE(last.ended);
    EXPECT_EQ(session.times().selected().size(), 6u);
    EXPECT_EQ(session.highlighted(TimeList::Available).size(), 6u);
    EXPECT_TRUE(session.SelectAllMode());
    EXPECT_TRUE(session.FollowEnded());
    EXPECT_FALSE(session.Following());
    session.Open(path);
    EXPECT_TRUE(session.FollowEnded()) << "a finished analysis is not followed";
}

// A listing cut short, emptied, replaced by another model while it is followed is read again, its
// choices kept where the listing still offers them (over an empty file, until it offers times
// again). A read error ends the following, said as an open says it, the lists kept.
TEST_F(Session, AFollowedListingReadAgainKeepsWhatItStillOffers) {
    const std::string text = ListingText({.nodes = 20, .beams = 4, .times = 4});
    const std::string path = dir.File("run.out");
    test::WriteBytes(path, text);
    session.SetFollow(true);
    session.Open(path);
    ASSERT_EQ(session.ChooseNamed("Beam Axial Force", "N2"), "");
    session.SetRangeText(1, "3");
    session.AddTimes({1, 3});
    auto kept = [&] {
        return std::tuple(session.variable() ? session.variable()->Name : "", session.vectorName(),
                          session.range()[1], session.times().selected());
    };
    const auto before = kept();

    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(text.find("  TIME =     180"))), 0);
    EXPECT_EQ(session.Refresh().restart, FollowRestart::Shrunk);
    EXPECT_EQ(session.times().available(), (std::vector<std::string>{"60", "120"}));
    EXPECT_EQ(kept(), std::tuple("Beam Axial Force", "N2", "3", std::vector<std::string>{"120"}));

    ASSERT_EQ(::truncate(path.c_str(), 0), 0);
    EXPECT_EQ(session.Refresh().restart, FollowRestart::Shrunk);
    EXPECT_TRUE(session.times().available().empty());
    Append(path, text);
    session.Refresh();
    EXPECT_EQ(kept(), std::tuple("Beam Axial Force", "N2", "3", std::vector<std::string>{"120"}));

    WriteListingFile({.nodes = 30, .times = 3}, dir.File("other run.out"));
    std::filesystem::rename(dir.File("other run.out"), path);
    EXPECT_EQ(session.Refresh().restart, FollowRestart::Replaced);
    EXPECT_EQ(session.variable()->Name, "Displacements");
    EXPECT_EQ(session.times().selected(), std::vector<std::string>{"120"});
    EXPECT_NE(kept(), before);

    Append(path, "  TIME =     abc SEC.\n");
    const FollowNews failed = session.Refresh();
    EXPECT_EQ(failed.failure.rfind("Read File Error 13: Type mismatch", 0), 0u) << failed.failure;
    EXPECT_EQ(test::Texts(messages), std::vector<std::string>{failed.failure});
    EXPECT_EQ(session.times().available(), (std::vector<std::string>{"60", "120", "180"}));
    EXPECT_FALSE(session.Following());
}

// What a save of every time leaves, with or without a sheet begun while its listing was scanned
// for the export asked for then (every item of `variable` and `vector` in rows, to .xls).
struct EarlySave {
    SaveOutcome outcome = SaveOutcome::NotWritten;
    std::vector<std::string> messages;
    std::string bytes;        // of the file, when there is one
    bool begun = false;       // a sheet was begun during the scan, and is the file saved
    bool leftBehind = false;  // a save's private folder is left beside the file
    bool link = false;        // the target is a link after the save
    unsigned mode = 0;        // of the file saved
};

EarlySave SaveEveryTime(const test::ScratchDir& dir, const std::string& listing,
                        const std::string& variable, const std::string& vector, bool early,
                        const std::function<void(ExtractSession&)>& choose,
                        const std::function<void()>& before,
                        const std::function<void()>& meanwhile) {
    test::ActingProgress progress;
    test::RecordingMessages messages;
    ExtractSession session{progress, messages};
    const std::string target = dir.File("out.xls");
    std::filesystem::remove(target);
    std::filesystem::remove(dir.File("elsewhere.xls"));
    before();
    std::shared_ptr<EarlySheet> sheet;
    if (early) {
        session.ExportAfterOpen([&](const Catalogue& c) {
            std::vector<Long> items(static_cast<std::size_t>(c.NodeCount));
            std::iota(items.begin(), items.end(), Long{1});
            EarlyRequest request{variable, vector == "DOF2" ? 1 : 0, items, true};
            SaveRequest save;
            save.fileName = target;
            save.variable = variable;
            save.vectorName = vector;
            save.component = request.Component;
            sheet = EarlySheet::Start(save, request);
            return std::optional(request);
        });
    }
    session.Open(listing);
    // The sheet as the scan left it, linked under a name of its own.
    const std::string begun = dir.File("begun.xls");
    std::filesystem::remove(begun);
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        if (entry.path().filename().string().starts_with(".out.xls.saving-") &&
            std::filesystem::exists(entry.path() / "out.xls")) {
            std::filesystem::create_hard_link(entry.path() / "out.xls", begun);
        }
    }
    EXPECT_EQ(early && sheet, std::filesystem::exists(begun));
    meanwhile();
    EXPECT_EQ(session.ChooseNamed(variable, vector), "");
    std::vector<int> every(session.times().available().size());
    std::iota(every.begin(), every.end(), 0);
    session.AddTimes(every);
    session.SetRangeText(1, std::to_string(session.catalogue().NodeCount));
    choose(session);
    EarlySave saved;
    saved.outcome = session.Save(target, SheetFormat::Xls, nullptr, sheet.get()).outcome;
    saved.messages = test::Texts(messages);
    saved.link = std::filesystem::is_symlink(target);
    if (std::filesystem::exists(target)) {
        saved.bytes = test::ReadBytes(target);
        saved.mode = static_cast<unsigned>(std::filesystem::status(target).permissions());
        saved.begun = std::filesystem::exists(begun) && std::filesystem::equivalent(begun, target);
    }
    sheet.reset();
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        saved.leftBehind |= entry.path().filename().string().find(".saving-") != std::string::npos;
    }
    return saved;
}

// The sheet of an export of every time, written while its listing was scanned, becomes the file
// when it is the sheet that save writes; any other save writes its own. Either way the file, the
// messages and the outcome are those of a save that began nothing during the scan.
TEST_F(Session, ASheetBegunDuringTheScanIsTheFileOnlyWhenItIsTheSavesOwn) {
    const std::string plain = ListingText({.nodes = 9, .times = 20});
    const std::string second = "  TIME =     120.0000";
    const std::size_t node3 = plain.find("\n      3 ", plain.find(second)) + 1;
    std::string lacking = plain;  // node 3's line at 120 s holds DOF1 only
    lacking.erase(node3 + 20, plain.find('\n', node3) - node3 - 20);
    std::string repeated = plain;  // 180 s given again after 120 s
    repeated.replace(repeated.find("  TIME =     180.0000"), second.size(), second);
    const std::string cut = plain.substr(0, plain.size() - 200);  // the last table cut short
    const std::string thermal =
        ListingText({.kind = ListingKind::Thermal, .nodes = 23, .solids = 9, .times = 20});

    struct Case {
        std::string name, listing, variable = "Displacements", vector = "DOF2";
        bool begun = false;
        std::function<void(ExtractSession&)> choose = [](ExtractSession&) {};
        std::function<void()> before = [] {};     // done to the target before the listing is read
        std::function<void()> meanwhile = [] {};  // and after
    };
    const std::string target = dir.File("out.xls");
    const std::vector<Case> cases = {
        {.name = "the sheet begun", .listing = plain, .begun = true},
        {.name = "temperatures",
         .listing = thermal,
         .variable = "Temperature",
         .vector = "",
         .begun = true},
        {.name = "another vector",
         .listing = plain,
         .choose = [](ExtractSession& s) { s.ChooseNamed("Displacements", "DOF1"); }},
        {.name = "fewer nodes",
         .listing = plain,
         .choose = [](ExtractSession& s) { s.SetRangeText(1, "8"); }},
        {.name = "not every time",
         .listing = plain,
         .choose =
             [](ExtractSession& s) {
                 s.DeleteHighlighted(), s.ClearTimes(), s.AddTimes({0, 1});
             }},
        {.name = "times in columns",
         .listing = plain,
         .choose = [](ExtractSession& s) { s.SetLayout(TimeLayout::InColumns); }},
        {.name = "page settings",
         .listing = plain,
         .choose = [](ExtractSession& s) { s.SetPageSetup({.gridLines = true}); }},
        {.name = "a value missing from a line", .listing = lacking},
        {.name = "a time given twice", .listing = repeated},
        {.name = "the last table cut short", .listing = cut},
        // The target is saved as the save finds it, not as it was when the sheet was begun.
        {.name = "a link made at the target",
         .listing = plain,
         .meanwhile = [&] { std::filesystem::create_symlink("elsewhere.xls", target); }},
        {.name = "the target made private",
         .listing = plain,
         .before = [&] { test::WriteBytes(target, "mine"); },
         .meanwhile =
             [&] {
                 std::filesystem::permissions(target, std::filesystem::perms::owner_read |
                                                          std::filesystem::perms::owner_write);
             }},
        {.name = "a private file made at the target",
         .listing = plain,
         .meanwhile =
             [&] {
                 test::WriteBytes(target, "mine");
                 std::filesystem::permissions(target, std::filesystem::perms::owner_read |
                                                          std::filesystem::perms::owner_write);
             }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string listing = dir.File("listing.out");
        test::WriteBytes(listing, c.listing);
        const EarlySave alone = SaveEveryTime(dir, listing, c.variable, c.vector, false, c.choose,
                                              c.before, c.meanwhile);
        const EarlySave early = SaveEveryTime(dir, listing, c.variable, c.vector, true, c.choose,
                                              c.before, c.meanwhile);
        EXPECT_EQ(early.outcome, alone.outcome);
        EXPECT_EQ(early.messages, alone.messages);
        EXPECT_TRUE(early.bytes == alone.bytes) << early.bytes.size() << " " << alone.bytes.size();
        EXPECT_EQ(early.begun, c.begun);
        EXPECT_EQ(early.link, alone.link);
        EXPECT_EQ(early.mode, alone.mode);
        EXPECT_FALSE(early.leftBehind || alone.leftBehind);
    }
}

}  // namespace
}  // namespace velto
