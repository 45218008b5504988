// The solver stand-in, run as the tools run it: in the input file's folder, console through pipes.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace velto {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string kStandin2004 = VELTO_STANDIN_2004_PATH;
const std::string kStandin2026 = VELTO_STANDIN_PATH;
const std::string kPrompt = "Please type \"FILENAME\" of \"FILENAME.IN\" :  ";
// Only to keep a broken run from hanging the suite.
constexpr auto kGiveUp = std::chrono::seconds(60);

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    ASSERT_TRUE(out.good()) << path;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> LinesStartingWith(const std::string& text, std::string_view prefix) {
    std::vector<std::string> found;
    for (const auto& line : Lines(text)) {
        if (line.rfind(prefix, 0) == 0) {
            found.push_back(line);
        }
    }
    return found;
}

// One stand-in process with its stdin and (stdout + stderr) on pipes.
class Child {
  public:
    Child(const std::string& exe, const std::vector<std::string>& args, const fs::path& dir) {
        signal(SIGPIPE, SIG_IGN);  // writing to a finished child must not end the test
        int in[2];
        int out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe2 failed";
            return;
        }
        std::vector<std::string> storage{exe};
        storage.insert(storage.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& s : storage) {
            argv.push_back(s.data());
        }
        argv.push_back(nullptr);
        const std::string cwd = dir.string();
        pid_ = fork();
        if (pid_ == 0) {
            if (chdir(cwd.c_str()) != 0 || dup2(in[0], 0) < 0 || dup2(out[1], 1) < 0 ||
                dup2(out[1], 2) < 0) {
                _exit(126);
            }
            close_range(3, ~0U, 0);
            signal(SIGPIPE, SIG_DFL);  // as the tools start the solver
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        in_ = in[1];
        out_ = out[0];
        if (pid_ < 0) {
            ADD_FAILURE() << "fork failed";
            CloseIn();
            CloseOut();
        }
    }

    ~Child() {
        CloseIn();
        CloseOut();
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    void Send(std::string_view bytes) {
        while (!bytes.empty() && in_ >= 0) {
            const ssize_t n = write(in_, bytes.data(), bytes.size());
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return;  // the child is gone; what it read is what counts
            }
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
    }

    void CloseIn() {
        if (in_ >= 0) {
            close(in_);
            in_ = -1;
        }
    }

    void CloseOut() {
        if (out_ >= 0) {
            close(out_);
            out_ = -1;
        }
    }

    // Reads the console until `needle` has arrived (empty: until end of output).
    bool ReadUntil(std::string_view needle = {}) {
        const auto deadline = Clock::now() + kGiveUp;
        while (out_ >= 0) {
            if (!needle.empty() && output_.find(needle) != std::string::npos) {
                return true;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                ADD_FAILURE() << "no end of output; got: " << output_.substr(0, 2000);
                return false;
            }
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                continue;
            }
            char buf[65536];
            const ssize_t n = read(out_, buf, sizeof buf);
            if (n > 0) {
                output_.append(buf, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                CloseOut();
            }
        }
        return needle.empty() || output_.find(needle) != std::string::npos;
    }

    // The raw wait status.
    int Wait() {
        const auto deadline = Clock::now() + kGiveUp;
        while (pid_ > 0 && !exited_) {
            const pid_t r = waitpid(pid_, &status_, WNOHANG);
            if (r == pid_) {
                exited_ = true;
            } else if (r < 0 && errno != EINTR) {
                ADD_FAILURE() << "waitpid failed";
                break;
            } else if (Clock::now() > deadline) {
                ADD_FAILURE() << "the stand-in did not end";
                break;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        return status_;
    }

    // Sends the input, closes standard input, reads all output and waits for the end.
    int Finish(std::string_view input = {}) {
        Send(input);
        CloseIn();
        ReadUntil();
        return Wait();
    }

    const std::string& output() const { return output_; }
    int outFd() const { return out_; }

  private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    int status_ = -1;
    bool exited_ = false;
    std::string output_;
};

int ExitCode(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status)
                             : -1000 - (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

class StandinTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() / ("velto-standin-" + std::to_string(getpid()) + "-" +
                                            info->test_suite_name() + "-" + info->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    // Runs the 2004 build on <dir>/beam1.in holding `in`.
    int Run2004(const std::string& in, std::string* output) {
        WriteFile(dir_ / "beam1.in", in);
        Child run(kStandin2004, {"beam1"}, dir_);
        const int status = run.Finish();
        *output = run.output();
        return status;
    }

    std::string Read(const std::string& name) const { return ReadFile(dir_ / name); }
    bool Exists(const std::string& name) const { return fs::exists(dir_ / name); }

    fs::path dir_;
};

using StandinBanner = StandinTest;
using Standin2026 = StandinTest;
using Standin2004 = StandinTest;
using StandinRun = StandinTest;

// What the tools read from an executable: from the first "PROGRAM " to the next NUL.
std::string BannerOf(const std::string& exe) {
    const std::string bytes = ReadFile(exe);
    const auto start = bytes.find("PROGRAM ");
    if (start == std::string::npos) {
        return "<no PROGRAM>";
    }
    const auto end = bytes.find('\0', start);
    return bytes.substr(start, end == std::string::npos ? end : end - start);
}

std::string VersionOf(const std::string& banner) {
    const auto ver = banner.find("Ver. ");
    return ver == std::string::npos ? "<no Ver.>" : banner.substr(ver + 5, 4);
}

TEST_F(StandinBanner, FirstProgramTextCarriesVersion2004) {
    const std::string banner = BannerOf(kStandin2004);
    EXPECT_EQ(banner, "PROGRAM VELTO STAND-IN FOR TESTS Ver. 2004 (not the solver)");
    EXPECT_EQ(VersionOf(banner), "2004");
}

TEST_F(StandinBanner, FirstProgramTextCarriesVersion2026) {
    const std::string banner = BannerOf(kStandin2026);
    EXPECT_EQ(banner, "PROGRAM VELTO STAND-IN FOR TESTS Ver. 2026 (not the solver)");
    EXPECT_EQ(VersionOf(banner), "2026");
}

TEST_F(StandinBanner, PrintedAtStart) {
    std::string out;
    EXPECT_EQ(ExitCode(Run2004("STANDIN STEPS 1\nSTANDIN PACE 0\n", &out)), 0);
    ASSERT_FALSE(Lines(out).empty());
    EXPECT_EQ(Lines(out)[0], "PROGRAM VELTO STAND-IN FOR TESTS Ver. 2004 (not the solver)");
}

TEST_F(Standin2026, RecordsAnswerWithPadding) {
    WriteFile(dir_ / "beam1.in", "STANDIN RECORD\nSTANDIN STEPS 2\nSTANDIN PACE 0\n");
    Child run(kStandin2026, {}, dir_);
    const std::string padding(13, ' ');
    EXPECT_EQ(ExitCode(run.Finish("beam1\r\n" + padding)), 0);
    EXPECT_EQ(run.output().rfind(kPrompt, 0), 0u) << run.output();
    EXPECT_NE(run.output().find("Ver. 2026"), std::string::npos);
    EXPECT_EQ(Read("beam1.received"), "argc=1\nstdin=beam1\\r\\n" + padding + "\n");
    const auto listing = Lines(Read("beam1.out"));
    ASSERT_GE(listing.size(), 3u);
    EXPECT_NE(listing[1].find("PROGRAM 'VELTO'"), std::string::npos) << listing[1];
}

TEST_F(Standin2026, NameIsFirstLineTrimmedAndLaterBytesRecorded) {
    WriteFile(dir_ / "beam1.in", "STANDIN RECORD\nSTANDIN STEPS 1\nSTANDIN PACE 0\n");
    Child run(kStandin2026, {"extra arg"}, dir_);
    EXPECT_EQ(ExitCode(run.Finish("beam1 \t \nsecond line\n\x01\\")), 0) << run.output();
    EXPECT_TRUE(Exists("beam1.out"));
    EXPECT_EQ(Read("beam1.received"),
              "argc=2\narg1=extra arg\nstdin=beam1 \\x09 \\nsecond line\\n\\x01\\\\\n");
}

// The padding follows once the name has been taken (the banner comes right after reading it),
// well inside the stand-in's 300 ms listening window.
TEST_F(Standin2026, RecordsPaddingSentAfterTheName) {
    WriteFile(dir_ / "beam1.in", "STANDIN RECORD\nSTANDIN STEPS 1\nSTANDIN PACE 0\n");
    Child run(kStandin2026, {}, dir_);
    run.Send("beam1\r\n");
    ASSERT_TRUE(run.ReadUntil("Ver. 2026"));
    run.Send("    ");
    EXPECT_EQ(ExitCode(run.Finish()), 0);
    EXPECT_EQ(Read("beam1.received"), "argc=1\nstdin=beam1\\r\\n    \n");
}

TEST_F(Standin2026, AnswerWithoutLineEnd) {
    WriteFile(dir_ / "beam1.in", "STANDIN STEPS 1\nSTANDIN PACE 0\n");
    Child run(kStandin2026, {}, dir_);
    EXPECT_EQ(ExitCode(run.Finish("beam1")), 0) << run.output();
    EXPECT_TRUE(Exists("beam1.out"));
}

TEST_F(Standin2026, DoesNotWaitForEndOfInput) {
    WriteFile(dir_ / "beam1.in", "STANDIN RECORD\nSTANDIN STEPS 1\nSTANDIN PACE 0\n");
    Child run(kStandin2026, {}, dir_);
    run.Send("beam1\n");
    run.ReadUntil();  // standard input stays open meanwhile
    EXPECT_EQ(ExitCode(run.Wait()), 0);
    EXPECT_EQ(Read("beam1.received"), "argc=1\nstdin=beam1\\n\n");
}

TEST_F(Standin2026, NoAnswerExits2) {
    WriteFile(dir_ / "beam1.in", "STANDIN PACE 0\n");
    Child run(kStandin2026, {}, dir_);
    EXPECT_EQ(ExitCode(run.Finish()), 2);
    EXPECT_EQ(run.output().rfind(kPrompt, 0), 0u) << run.output();
    EXPECT_EQ(run.output().find("Step"), std::string::npos);
}

TEST_F(Standin2004, RecordsArgumentAndNoInput) {
    WriteFile(dir_ / "beam1.in", "STANDIN RECORD\nSTANDIN STEPS 2\nSTANDIN PACE 0\n");
    Child run(kStandin2004, {"beam1"}, dir_);
    EXPECT_EQ(ExitCode(run.Finish()), 0);
    EXPECT_EQ(run.output().find("Please type"), std::string::npos);
    EXPECT_EQ(Read("beam1.received"), "argc=2\narg1=beam1\nstdin=\n");
    EXPECT_TRUE(Exists("beam1.out"));
}

TEST_F(Standin2004, RecordsUnexpectedInput) {
    WriteFile(dir_ / "beam1.in", "STANDIN RECORD\nSTANDIN STEPS 1\nSTANDIN PACE 0\n");
    Child run(kStandin2004, {"beam1"}, dir_);
    EXPECT_EQ(ExitCode(run.Finish("beam1\r\n")), 0);
    EXPECT_EQ(Read("beam1.received"), "argc=2\narg1=beam1\nstdin=beam1\\r\\n\n");
}

TEST_F(Standin2004, MissingArgumentExits2) {
    Child run(kStandin2004, {}, dir_);
    EXPECT_EQ(ExitCode(run.Finish()), 2);
    EXPECT_NE(run.output().find("ERROR"), std::string::npos);
}

TEST_F(StandinRun, TimeLinesFollowEndTime) {
    std::string out;
    const std::string in =
        "TITLE beam\r\nSTEP 1 99999\r\n  TIME  \r\n\t60.0  1800.0\r\n 60.0   3600\r\n"
        " 60.0  end\r\n  END_TIME\r\nSTANDIN STEPS 4\r\nSTANDIN PACE 0\r\n";
    EXPECT_EQ(ExitCode(Run2004(in, &out)), 0);
    EXPECT_EQ(LinesStartingWith(out, "  Step"),
              (std::vector<std::string>{
                  "  Step: time = 900.00 s (1 of 4)", "  Step: time = 1800.00 s (2 of 4)",
                  "  Step: time = 2700.00 s (3 of 4)", "  Step: time = 3600.00 s (4 of 4)"}));
    ASSERT_FALSE(Lines(out).empty());
    EXPECT_EQ(Lines(out).back(), "  Analysis completed.");
    EXPECT_EQ(
        LinesStartingWith(Read("beam1.out"), "  TIME ="),
        (std::vector<std::string>{"  TIME =     900.0000 SEC.", "  TIME =    1800.0000 SEC.",
                                  "  TIME =    2700.0000 SEC.", "  TIME =    3600.0000 SEC."}));
}

TEST_F(StandinRun, OnlyCompleteTimeBlocksCount) {
    std::string out;
    EXPECT_EQ(ExitCode(Run2004("TIME\n1 50\nEND_TIME\nSTANDIN STEPS 2\nSTANDIN PACE 0\n"
                               "TIME\n1 9999\n",
                               &out)),
              0);
    EXPECT_EQ(LinesStartingWith(out, "  Step"),
              (std::vector<std::string>{"  Step: time = 25.00 s (1 of 2)",
                                        "  Step: time = 50.00 s (2 of 2)"}));
}

TEST_F(StandinRun, NoTimeBlockCountsSteps) {
    std::string out;
    EXPECT_EQ(ExitCode(Run2004("STANDIN STEPS 3\nSTANDIN PACE 0\n", &out)), 0);
    EXPECT_EQ(LinesStartingWith(out, "  Step"),
              (std::vector<std::string>{"  Step: time = 1.00 s (1 of 3)",
                                        "  Step: time = 2.00 s (2 of 3)",
                                        "  Step: time = 3.00 s (3 of 3)"}));
    EXPECT_EQ(LinesStartingWith(Read("beam1.out"), "  TIME =").size(), 3u);
}

TEST_F(StandinRun, DefaultsToTenSteps) {
    std::string out;
    EXPECT_EQ(ExitCode(Run2004("STANDIN PACE 0\n", &out)), 0);
    EXPECT_EQ(LinesStartingWith(out, "  Step").size(), 10u);
}

TEST_F(StandinRun, ExitCodeKeepsListing) {
    std::string out;
    EXPECT_EQ(ExitCode(Run2004("STANDIN EXIT 3\nSTANDIN STEPS 1\nSTANDIN PACE 0\n", &out)), 3);
    EXPECT_TRUE(Exists("beam1.out"));
}

TEST_F(StandinRun, MissingInputExits2) {
    Child run(kStandin2004, {"nothere"}, dir_);
    EXPECT_EQ(ExitCode(run.Finish()), 2);
    EXPECT_NE(run.output().find("ERROR: cannot open nothere.in"), std::string::npos)
        << run.output();
}

TEST_F(StandinRun, CrashEndsBySigsegv) {
    std::string out;
    const int status = Run2004("STANDIN CRASH\nSTANDIN STEPS 3\nSTANDIN PACE 0\n", &out);
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGSEGV);
    EXPECT_NE(out.find("(1 of "), std::string::npos);
    EXPECT_EQ(out.find("Step 2:"), std::string::npos);
    EXPECT_FALSE(Exists("beam1.out"));
}

TEST_F(StandinRun, KindSelectsListing) {
    const std::pair<const char*, const char*> cases[] = {
        {"", " STATIC ANALYSIS"},
        {"STANDIN KIND thermal\n", " TEMPERATURE ANALYSIS"},
        {"STANDIN KIND dynamic\n", " DYNAMIC ANALYSIS"},
        {"STANDIN KIND static\n", " STATIC ANALYSIS"}};
    for (const auto& [directive, line] : cases) {
        std::string out;
        EXPECT_EQ(
            ExitCode(Run2004(std::string(directive) + "STANDIN STEPS 1\nSTANDIN PACE 0\n", &out)),
            0);
        const auto lines = Lines(Read("beam1.out"));
        EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << directive;
    }
}

TEST_F(StandinRun, FractionsAndUnknownDirectivesAccepted) {
    std::string out;
    EXPECT_EQ(ExitCode(Run2004("STANDIN PACE 0.001\nSTANDIN SILENT 0.01\nSTANDIN NOSUCH 1\n"
                               "STANDIN STEPS 2\n",
                               &out)),
              0);
    EXPECT_EQ(out.find("WARNING"), std::string::npos) << out;
    EXPECT_EQ(LinesStartingWith(out, "  Step").size(), 2u);
}

TEST_F(StandinRun, MalformedValueWarnsAndKeepsDefault) {
    std::string out;
    EXPECT_EQ(ExitCode(Run2004("STANDIN PACE 0\nSTANDIN STEPS many\nSTANDIN EXIT -1\n", &out)), 0);
    EXPECT_NE(out.find("WARNING"), std::string::npos) << out;
    EXPECT_EQ(LinesStartingWith(out, "  Step").size(), 10u);
}

TEST_F(StandinRun, FloodPrintsBeforeSteps) {
    std::string out;
    EXPECT_EQ(ExitCode(Run2004("STANDIN FLOOD 1\nSTANDIN STEPS 1\nSTANDIN PACE 0\n", &out)), 0);
    const auto step = out.find("  Step: time = ");
    ASSERT_NE(step, std::string::npos);
    EXPECT_GE(step, 1u << 20);
    EXPECT_LT(step, (1u << 20) + 1000);
    std::size_t longest = 0;
    for (const auto& line : Lines(out)) {
        longest = std::max(longest, line.size());
    }
    EXPECT_LE(longest, 120u);
}

TEST_F(StandinRun, CloseOutputStillWritesAndExits) {
    WriteFile(dir_ / "beam1.in",
              "STANDIN CLOSE-OUTPUT 0\nSTANDIN EXIT 4\nSTANDIN STEPS 5\nSTANDIN PACE 0\n"
              "STANDIN RECORD\n");
    Child run(kStandin2004, {"beam1"}, dir_);
    EXPECT_EQ(ExitCode(run.Finish()), 4);
    EXPECT_NE(run.output().find("(1 of "), std::string::npos);
    EXPECT_EQ(run.output().find("Step 2:"), std::string::npos);
    EXPECT_EQ(run.output().find("Analysis completed."), std::string::npos);
    EXPECT_EQ(Read("beam1.received"), "argc=2\narg1=beam1\nstdin=\n");
    EXPECT_EQ(Read("beam1.out").rfind(" ****", 0), 0u);
}

TEST_F(StandinRun, ClosedConsoleEndsRunBySigpipe) {
    WriteFile(dir_ / "beam1.in", "STANDIN STEPS 10000\nSTANDIN PACE 0.01\n");
    Child run(kStandin2004, {"beam1"}, dir_);
    run.CloseIn();
    ASSERT_TRUE(run.ReadUntil("(1 of "));
    run.CloseOut();
    const int status = run.Wait();
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGPIPE);
}

TEST_F(StandinRun, GrandchildHoldsConsoleAfterExit) {
    WriteFile(dir_ / "beam1.in", "STANDIN GRANDCHILD 10\nSTANDIN STEPS 1\nSTANDIN PACE 0\n");
    Child run(kStandin2004, {"beam1"}, dir_);
    run.CloseIn();
    ASSERT_TRUE(run.ReadUntil("Analysis completed.\n"));
    EXPECT_EQ(ExitCode(run.Wait()), 0);
    EXPECT_TRUE(Exists("beam1.out"));
    // The stand-in is gone, but its child still holds the pipe: no end of output yet.
    ASSERT_GE(run.outFd(), 0);
    pollfd p{run.outFd(), POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0);
}

}  // namespace
}  // namespace velto
