// velto-extract follow and info --follow, run as a user runs them beside a solver that writes its
// listing a piece at a time.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <sstream>
#include <thread>

#include "extract/reader/listingheader.h"
#include "tests/harness/harness.h"
#include "tools/listinggen.h"

namespace velto {
namespace {

std::vector<std::string> CsvLines(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find("\r\n", at);
        lines.push_back(text.substr(at, end - at));
        at = end == std::string::npos ? text.size() : end + 2;
    }
    return lines;
}

// velto-extract started in the background, its standard output read as it comes.
class Running {
  public:
    Running(const test::ScratchDir& dir, std::vector<std::string> args)
        : err_(dir.File("follow-stderr.txt")) {
        int pipe[2];
        EXPECT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
        args.insert(args.begin(), VELTO_EXTRACT_BIN);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(pipe[1], 1);
            ::dup2(::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
            ::dup2(::open("/dev/null", O_RDONLY), 0);
            ::signal(SIGPIPE, SIG_DFL);
            std::vector<char*> argv;
            for (std::string& arg : args) {
                argv.push_back(arg.data());
            }
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(pipe[1]);
        out_ = pipe[0];
    }
    ~Running() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
    }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

    // Hands each line it prints (without its CR LF or LF) to `line` as it comes, until it has
    // printed `lines` lines or ended (`lines` 0); false when a minute passed first.
    bool Read(const std::function<void(const std::string&)>& line, std::size_t lines = 0) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        for (std::size_t seen = 0;;) {
            for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
                const std::string text =
                    pending_.substr(0, end - (end > 0 && pending_[end - 1] == '\r'));
                pending_.erase(0, end + 1);
                out += text + "\n";
                line(text);
                if (++seen == lines) {
                    return true;
                }
            }
            struct pollfd ready {
                out_, POLLIN, 0
            };
            char buffer[4096];
            if (::poll(&ready, 1, 100) < 0 || std::chrono::steady_clock::now() > until) {
                return false;
            }
            const ssize_t got = ::read(out_, buffer, sizeof buffer);
            if (got == 0) {
                return lines == 0;
            }
            pending_.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
        }
    }
    // Its exit status once it has ended (-1 when it was killed).
    int Status() {
        Read([](const std::string&) {});
        int raw = 0;
        ::waitpid(std::exchange(pid_, -1), &raw, 0);
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }
    void Signal(int signal) const { ::kill(pid_, signal); }
    // Its exit status when it ends within `seconds` while nothing reads what it prints (-1 when
    // it was killed), none when it has not ended by then.
    std::optional<int> EndsUnread(int seconds) {
        for (int tick = 0; tick < seconds * 20; ++tick) {
            int raw = 0;
            if (::waitpid(pid_, &raw, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return std::nullopt;
    }
    std::string Err() const { return test::ReadBytes(err_); }

    std::string out;  // the lines read so far, each ended by LF

  private:
    std::string err_;
    pid_t pid_ = -1;
    int out_ = -1;
    std::string pending_;
};

// Writes `text` onto the end of the file at `path` a random piece at a time, with short pauses,
// on a thread of its own. `written` tells how far it has got: set before each piece goes out, so
// the file never holds more than it says.
class Solver {
  public:
    Solver(const std::string& path, const std::string& text, unsigned seed)
        : thread_([this, path, text, seed] {
              std::mt19937 random(seed);
              const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
              for (std::size_t at = 0; at < text.size() && !stop_;) {
                  const std::size_t piece = std::min<std::size_t>(
                      std::uniform_int_distribution<std::size_t>(1, 300)(random), text.size() - at);
                  written = at + piece;
                  if (::write(fd, text.data() + at, piece) != static_cast<ssize_t>(piece)) {
                      break;
                  }
                  at += piece;
                  std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
              }
              ::close(fd);
          }) {}
    ~Solver() {
        stop_ = true;
        thread_.join();
    }
    Solver(const Solver&) = delete;
    Solver& operator=(const Solver&) = delete;

    std::atomic<std::size_t> written{0};

  private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct Followed {
    const char* name;
    ListingSpec spec;
    std::vector<std::string> selection;
};

// As the solver writes, cut anywhere, follow prints the very lines export --format csv writes of
// the finished listing, each time's row only once the time's results are all in the file, and
// ends when the analysis reaches its input file's end time. info --follow names each time so.
TEST(ExtractFollow, PrintsTheExportsRowsAsTheSolverWritesThem) {
    const Followed cases[] = {
        {"thermal LF",
         {.kind = ListingKind::Thermal, .nodes = 23, .solids = 9, .times = 8},
         {"--variable", "Temperature", "--from", "2", "--step", "3"}},
        {"thermal CR LF",
         {.kind = ListingKind::Thermal, .lineEnd = "\r\n", .nodes = 23, .solids = 9, .times = 8},
         {"--variable", "Temperature"}},
        {"structural LF",
         {.nodes = 9, .beams = 2, .stressTables = 2, .times = 8},
         {"--variable", "Beam Stresses", "--vector", "Beam 1 (Point 2)", "--to", "7"}},
        {"structural CR LF",
         {.lineEnd = "\r\n", .nodes = 9, .beams = 2, .times = 8},
         {"--variable", "Displacements", "--vector", "DOF2", "--from", "2", "--to", "8"}},
    };
    for (const Followed& c : cases) {
        test::ScratchDir dir;
        const std::string text = ListingText(c.spec);
        const std::string finished = dir.File("finished.out");
        test::WriteBytes(finished, text);
        std::string quoted;
        for (const std::string& arg : c.selection) {
            quoted += " '" + arg + "'";
        }
        const test::CommandRun exported = test::Extract(
            dir, "export '" + finished + "' -o '" + dir.File("all.csv") + "'" + quoted);
        ASSERT_EQ(exported.status, 0) << exported.err;
        const std::vector<std::string> expected = CsvLines(test::ReadBytes(dir.File("all.csv")));
        Catalogue scanned;
        scanned.ListingFile = finished;
        NullProgress progress;
        test::RecordingMessages messages;
        ReadListingHeader(scanned, progress, messages);
        const std::vector<std::size_t> complete = test::TimesCompleteAt(text, scanned);

        const std::string listing = dir.File("run.out");
        test::WriteBytes(listing, "");
        test::WriteBytes(dir.File("run.in"), "TIME\n 60 480\nEND_TIME\n");
        const unsigned seed = std::random_device{}();
        const std::string label = std::string(c.name) + ", seed " + std::to_string(seed);
        std::vector<std::string> args = {"follow", listing};
        args.insert(args.end(), c.selection.begin(), c.selection.end());
        Running follow(dir, args);
        Running info(dir, {"info", "--follow", listing});
        std::size_t row = 0;
        std::size_t infoLines = 0;
        {
            Solver solver(listing, text, seed);
            ASSERT_TRUE(follow.Read([&](const std::string& line) {
                ASSERT_LT(row, expected.size()) << label;
                EXPECT_EQ(line, expected[row]) << label << ", line " << row + 1;
                if (row >= 3) {
                    EXPECT_LE(complete[row - 3], solver.written)
                        << label << ": the row of time " << row - 2 << " came before its results";
                }
                ++row;
            })) << label;
            ASSERT_TRUE(info.Read([&](const std::string& line) {
                ++infoLines;
                EXPECT_EQ(line, "Time " + std::to_string(infoLines) + ": " +
                                    std::to_string(60 * infoLines) + " s")
                    << label;
            })) << label;
        }
        EXPECT_EQ(follow.Status(), 0) << label << "\n" << follow.Err();
        EXPECT_EQ(follow.Err(), "") << label;
        EXPECT_EQ(row, expected.size()) << label;
        EXPECT_EQ(info.Status(), 0) << label << "\n" << info.Err();
        EXPECT_EQ(infoLines, 8u) << label;
    }
}

// Cut short, replaced by another run, or another model written over it: the follow says so and
// begins its file again, which then holds what export writes of the listing as it now is.
TEST(ExtractFollow, BeginsAgainWhenTheListingIsCutReplacedOrWrittenOver) {
    test::ScratchDir dir;
    const std::string listing = dir.File("run.out");
    const std::string rows = dir.File("rows.csv");
    const ListingSpec first{.nodes = 6, .beams = 1, .times = 5};
    const std::string text = ListingText(first);
    test::WriteBytes(listing, text);
    test::WriteBytes(rows, "an earlier file\n");
    // What export writes of the listing as it now is.
    auto exported = [&] {
        test::Extract(dir, "export '" + listing + "' -o '" + dir.File("now.csv") +
                               "' --variable Displacements --vector DOF3");
        return test::ReadBytes(dir.File("now.csv"));
    };
    // Idle long enough that a slow machine's exports between the changes do not end it; a stop
    // ends it.
    Running follow(dir, {"follow", listing, "--variable", "Displacements", "--vector", "DOF3", "-o",
                         rows, "--idle", "6"});
    // Waits until the follow has said it began again `restarts` times and its rows are those of
    // the listing as it now is (a new head may leave the rows as they were).
    auto caughtUp = [&](std::size_t restarts) {
        const std::string want = exported();
        auto done = [&] {
            const std::string said = follow.Err();
            return static_cast<std::size_t>(std::count(said.begin(), said.end(), '\n')) >=
                       restarts &&
                   test::ReadBytes(rows) == want;
        };
        for (int tries = 0; tries < 300 && !done(); ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return done();
    };
    ASSERT_TRUE(caughtUp(0)) << follow.Err();

    const std::size_t cut = text.find("  TIME =", text.find("180.0000 SEC."));
    ASSERT_EQ(::truncate(listing.c_str(), static_cast<off_t>(cut)), 0);
    ASSERT_TRUE(caughtUp(1)) << follow.Err();

    ListingSpec other = first;
    other.timeStep = 100;
    WriteListingFile(other, dir.File("next.out"));
    std::filesystem::rename(dir.File("next.out"), listing);
    ASSERT_TRUE(caughtUp(2)) << follow.Err();

    ListingSpec model = other;
    model.version = "2027.1";
    std::this_thread::sleep_for(std::chrono::milliseconds(10));  // past the clock's tick
    {
        const std::string bytes = ListingText(model);
        const int fd = ::open(listing.c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
        ::close(fd);
    }
    ASSERT_TRUE(caughtUp(3)) << follow.Err();

    follow.Signal(SIGINT);  // rather than wait out --idle
    EXPECT_EQ(follow.Status(), 0);
    EXPECT_EQ(follow.Err(), "velto-extract: " + listing +
                                " was cut short: following it again from its start\n"
                                "velto-extract: " +
                                listing +
                                " was replaced by another file: following it again from its "
                                "start\n"
                                "velto-extract: " +
                                listing +
                                " has another head (model) now: following it again from its "
                                "start\n");
    EXPECT_NE(test::ReadBytes(rows).find("Variable,Displacements"), std::string::npos);
}

// Ctrl+C, SIGTERM and a closed terminal end a follow between rows, with exit status 0; --idle
// ends one whose listing stays as it is; one that never gets a complete time, a selection the
// listing does not offer and a time line that is no number are errors.
TEST(ExtractFollow, EndsOnAStopOrIdleAndSaysWhatWentWrong) {
    test::ScratchDir dir;
    const ListingSpec spec{.kind = ListingKind::Thermal, .nodes = 12, .solids = 4, .times = 4};
    const std::string text = ListingText(spec);
    const std::string listing = dir.File("part.out");
    // Two times whole, the third cut inside its table.
    test::WriteBytes(listing, text.substr(0, text.find('\n', text.find("180.0000 SEC.") + 40)));
    WriteListingFile(spec, dir.File("whole.out"));
    ASSERT_EQ(test::Extract(dir, "export '" + dir.File("whole.out") + "' -o '" +
                                     dir.File("whole.csv") + "' --variable Temperature")
                  .status,
              0);
    std::string firstRows;  // the heading lines and the two whole times' rows
    for (const std::string& line : CsvLines(test::ReadBytes(dir.File("whole.csv")))) {
        firstRows += std::count(firstRows.begin(), firstRows.end(), '\n') < 5 ? line + "\n" : "";
    }

    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        Running follow(dir, {"follow", listing, "--variable", "Temperature"});
        ASSERT_TRUE(follow.Read([](const std::string&) {}, 5)) << signal;
        follow.Signal(signal);
        EXPECT_EQ(follow.Status(), 0) << signal << "\n" << follow.Err();
        EXPECT_EQ(follow.out, firstRows) << signal;
    }
    // A reader that takes no more rows (a pager left open) does not hold a stop off.
    const std::string wide = dir.File("wide.out");
    WriteListingFile({.kind = ListingKind::Thermal, .nodes = 3000, .solids = 10, .times = 10},
                     wide);
    for (const int signal : {SIGINT, SIGTERM}) {
        Running stalled(dir, {"follow", wide, "--variable", "Temperature"});
        std::this_thread::sleep_for(std::chrono::milliseconds(500));  // its pipe fills
        stalled.Signal(signal);
        EXPECT_EQ(stalled.EndsUnread(10), 0) << signal;
    }
    // Nor does a pipe named as its file: refused, not waited on for a reader.
    ASSERT_EQ(::mkfifo(dir.File("pipe.csv").c_str(), 0600), 0);
    Running piped(dir,
                  {"follow", listing, "--variable", "Temperature", "-o", dir.File("pipe.csv")});
    EXPECT_EQ(piped.EndsUnread(10), 1);
    EXPECT_EQ(piped.Err(),
              "velto-extract: cannot write " + dir.File("pipe.csv") + ": it is not a file\n");

    Running idle(dir, {"follow", listing, "--variable", "Temperature", "--idle", "0.3"});
    EXPECT_EQ(idle.Status(), 0) << idle.Err();
    EXPECT_EQ(idle.out, firstRows);

    const struct {
        std::string bytes;
        std::vector<std::string> options;
        std::string said;
    } failures[] = {
        {text.substr(0, text.find("  TIME =")),
         {"--idle", "0.2"},
         "velto-extract: " + dir.File("failing.out") + " holds no complete result time\n"},
        {text,
         {"--variable", "Displacements"},
         "velto-extract: cannot follow: the listing does not offer \"Displacements\" (it "
         "offers: Temperature)\n"},
        {std::string(text).replace(text.rfind("  TIME =") + 9, 12, "    1,800.00"),
         {},
         "Read File Error 13: Type mismatch in failing.out, line "},
    };
    for (const auto& f : failures) {
        test::WriteBytes(dir.File("failing.out"), f.bytes);
        std::filesystem::remove(dir.File("failing.csv"));
        std::vector<std::string> args = {"follow",     dir.File("failing.out"),
                                         "-o",         dir.File("failing.csv"),
                                         "--variable", "Temperature"};
        args.insert(args.end(), f.options.begin(), f.options.end());
        Running follow(dir, args);
        EXPECT_EQ(follow.Status(), 1) << f.said;
        EXPECT_EQ(follow.Err().substr(0, f.said.size()), f.said) << follow.Err();
    }
    EXPECT_EQ(CsvLines(test::ReadBytes(dir.File("failing.csv"))).size(), 6u)
        << "the rows before the damaged time stand";
}

// What follow cannot write, and what it does not take, is a usage error.
TEST(ExtractFollow, RefusesWhatItCannotDo) {
    test::ScratchDir dir;
    const std::string listing = dir.File("run.out");
    WriteListingFile({.nodes = 4, .times = 2}, listing);
    const std::pair<std::string, std::string> cases[] = {
        {"follow '" + listing + "' --variable Displacements -o rows.xlsx",
         "follow writes CSV rows: the output must end in .csv"},
        {"follow '" + listing + "' --variable Displacements --idle 1,5",
         "--idle takes a number of seconds above 0, with a point for decimals, not '1,5'"},
        {"follow '" + listing + "' --variable Displacements --columns",
         "unknown option '--columns'"},
        {"info --follow --json '" + listing + "'", "--follow prints a line for each time"},
    };
    for (const auto& [args, said] : cases) {
        const test::CommandRun run = test::Extract(dir, args);
        EXPECT_EQ(run.status, 2) << args;
        EXPECT_EQ(run.err.rfind("velto-extract: " + said, 0), 0u) << run.err;
    }
}

}  // namespace
}  // namespace velto
