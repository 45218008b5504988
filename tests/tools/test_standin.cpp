// The solver stand-in, run as the tools run it: in the input file's folder, console through pipes.
// The runner tests cover statuses, the bytes handed over, stopping and several jobs.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>

#include "tools/listinggen.h"

namespace velto {
namespace {

namespace fs = std::filesystem;

const std::string kStandin2004 = VELTO_STANDIN_2004_PATH;
const std::string kStandin2026 = VELTO_STANDIN_PATH;
const std::string kBanner = "PROGRAM VELTO STAND-IN FOR TESTS Ver. ";
constexpr const char* kPrompt = "Please type \"FILENAME\" of \"FILENAME.IN\" :  ";

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// One stand-in process in `dir`: `answer` then the end on its standard input, its console
// (stdout and stderr) on a pipe. Wait() must be called; a hang is left to the test's timeout.
struct Child {
    Child(const std::string& exe, const char* arg, const fs::path& dir,
          const std::string& answer = {}) {
        int i[2], o[2];
        if (pipe2(i, O_CLOEXEC) != 0 || pipe2(o, O_CLOEXEC) != 0 ||
            write(i[1], answer.data(), answer.size()) != std::ssize(answer)) {
            ADD_FAILURE() << "pipe failed";
            return;
        }
        pid = fork();
        if (pid == 0) {
            if (chdir(dir.c_str()) == 0 && dup2(i[0], 0) == 0 && dup2(o[1], 1) == 1 &&
                dup2(o[1], 2) == 2) {
                close_range(3, ~0U, 0);
                signal(SIGPIPE, SIG_DFL);  // as the tools start the solver
                execl(exe.c_str(), exe.c_str(), arg, static_cast<char*>(nullptr));
            }
            _exit(127);
        }
        close(i[0]);
        close(i[1]);
        close(o[1]);
        out = o[0];
    }
    ~Child() { CloseOut(); }
    void CloseOut() { close(std::exchange(out, -1)); }
    // Reads the console until `needle` has arrived, or to its end.
    bool ReadUntil(const std::string& needle = {}) {
        char buf[65536];
        for (ssize_t n = 1;
             n > 0 && (needle.empty() || output.find(needle) == std::string::npos);) {
            n = read(out, buf, sizeof buf);
            output.append(buf, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        }
        return output.find(needle) != std::string::npos;
    }
    // The exit code, or minus the signal that ended the run.
    int Wait() {
        int status = 0;
        waitpid(std::exchange(pid, -1), &status, 0);
        return WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
    }

    pid_t pid = -1;
    int out = -1;
    std::string output;
};

class StandinRun : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string dir = (fs::temp_directory_path() / "velto-standin-XXXXXX").string();
        ASSERT_NE(mkdtemp(dir.data()), nullptr);
        dir_ = dir;
    }
    void TearDown() override { fs::remove_all(dir_); }
    void Input(const std::string& text) {
        std::ofstream(dir_ / "beam1.in", std::ios::binary) << text;
    }
    // Runs `exe` with one argument or none, `answer` on its standard input.
    int Run(const std::string& exe, const char* arg, const std::string& answer = {}) {
        Child run(exe, arg, dir_, answer);
        run.ReadUntil();
        out_ = run.output;
        return run.Wait();
    }
    std::string Read(const std::string& name) const { return ReadFile(dir_ / name); }
    bool Exists(const std::string& name) const { return fs::exists(dir_ / name); }

    fs::path dir_;
    std::string out_;  // the console text of the last Run
};

// The tools take the version from the first "PROGRAM " in the executable, up to the next NUL.
TEST(StandinBanner, FirstProgramTextCarriesTheVersion) {
    for (const auto& [exe, version] : {std::pair{kStandin2004, "2004"}, {kStandin2026, "2026"}}) {
        const std::string bytes = ReadFile(exe);
        const auto start = bytes.find("PROGRAM ");
        ASSERT_NE(start, std::string::npos) << exe;
        EXPECT_EQ(bytes.substr(start, bytes.find('\0', start) - start),
                  kBanner + version + " (not the solver)");
    }
}

// The 2026 build takes the name from the first line less its CR and the blanks around it, the 2004
// build from its argument; the record keeps every byte that arrived, the padding included.
TEST_F(StandinRun, RecordsTheNameAndEveryByteThatArrived) {
    Input("STANDIN RECORD\nSTANDIN STEPS 2\nSTANDIN PACE 0\n");
    const std::string padding(13, ' ');
    EXPECT_EQ(Run(kStandin2026, "extra arg", " \tbeam1 \t\r\n" + padding + "\x01\\"), 0) << out_;
    EXPECT_TRUE(out_.starts_with(std::string(kPrompt) + "\n" + kBanner + "2026")) << out_;
    EXPECT_EQ(Read("beam1.received"),
              "argc=2\narg1=extra arg\nstdin= \\x09beam1 \\x09\\r\\n" + padding + "\\x01\\\\\n");
    EXPECT_NE(Read("beam1.out").find("PROGRAM 'VELTO', 2026.1,"), std::string::npos);

    EXPECT_EQ(Run(kStandin2004, "beam1"), 0);
    EXPECT_TRUE(out_.starts_with(kBanner + "2004 (not the solver)\n")) << out_;
    EXPECT_EQ(Read("beam1.received"), "argc=2\narg1=beam1\nstdin=\n");
    EXPECT_NE(Read("beam1.out").find("PROGRAM 'VELTO', 2004.1,"), std::string::npos);
}

TEST_F(StandinRun, MissingNameOrInputExits2) {
    EXPECT_EQ(Run(kStandin2026, nullptr), 2);
    EXPECT_NE(out_.find("ERROR: no file name"), std::string::npos) << out_;
    EXPECT_EQ(Run(kStandin2004, nullptr), 2);
    EXPECT_NE(out_.find("ERROR: missing argument"), std::string::npos) << out_;
    EXPECT_EQ(Run(kStandin2026, nullptr, "nothere\n"), 2);
    EXPECT_NE(out_.find("ERROR: cannot open nothere.in"), std::string::npos) << out_;
}

// The end time is the second word of the last numeric line of the last complete TIME block;
// without one the steps count 1, 2, ... The listing heats over those times, behind the protection.
TEST_F(StandinRun, TimeLinesFollowTheEndTime) {
    Input(
        "TITLE beam\r\nSTEP 1 99999\r\n  TIME  \r\n\t60.0  1800.0\r\n 60.0   3600\r\n"
        " 60.0  end\r\n  END_TIME\r\nSTANDIN KIND thermal\r\nSTANDIN STEPS 3\r\n"
        "STANDIN PROTECTION 12.5\r\nSTANDIN PACE 0\r\nTIME\r\n1 9999\r\n");
    EXPECT_EQ(Run(kStandin2004, "beam1"), 0);
    EXPECT_TRUE(
        out_.ends_with("\n  Step: time = 1200.00 s (1 of 3)\n"
                       "  Step: time = 2400.00 s (2 of 3)\n"
                       "  Step: time = 3600.00 s (3 of 3)\n  Analysis completed.\n"))
        << out_;
    const std::string listing = Read("beam1.out");
    EXPECT_NE(listing.find("\n TEMPERATURE ANALYSIS\n"), std::string::npos);
    for (const char* time : {"1200", "2400", "3600"}) {
        EXPECT_NE(listing.find("\n  TIME =    " + std::string(time) + ".0000 SEC.\n"),
                  std::string::npos);
    }
    ListingSpec fire;
    fire.timeStep = 1200;
    fire.protection = 12.5;
    const std::string exposedFace =
        "\n    1" + FormatTemperature(TableValue(Table::Temperature, 0, 1, 3, fire));
    EXPECT_NE(listing.find(exposedFace, listing.find("TIME =    3600")), std::string::npos);
    Input("STANDIN STEPS 2\nSTANDIN PACE 0\n");
    EXPECT_EQ(Run(kStandin2004, "beam1"), 0);
    EXPECT_TRUE(
        out_.ends_with("\n  Step: time = 1.00 s (1 of 2)\n"
                       "  Step: time = 2.00 s (2 of 2)\n  Analysis completed.\n"))
        << out_;
}

TEST_F(StandinRun, CrashEndsBySigsegvExitCodeKeepsTheListing) {
    Input("STANDIN CRASH\nSTANDIN STEPS 3\nSTANDIN PACE 0\n");
    EXPECT_EQ(Run(kStandin2004, "beam1"), -SIGSEGV);
    EXPECT_TRUE(out_.ends_with("(1 of 3)\n")) << out_;
    EXPECT_FALSE(Exists("beam1.out"));
    Input("STANDIN EXIT 3\nSTANDIN STEPS 1\nSTANDIN PACE 0\n");
    EXPECT_EQ(Run(kStandin2004, "beam1"), 3);
    EXPECT_TRUE(Exists("beam1.out"));
}

// The console ends after the first step, yet the run writes its files and returns its code.
TEST_F(StandinRun, CloseOutputStillWritesTheFilesAndExits) {
    Input("STANDIN CLOSE-OUTPUT 0\nSTANDIN EXIT 4\nSTANDIN STEPS 5\n");
    EXPECT_EQ(Run(kStandin2004, "beam1"), 4);
    EXPECT_TRUE(out_.ends_with("(1 of 5)\n")) << out_;
    EXPECT_TRUE(Read("beam1.out").starts_with(" ****"));
}

TEST_F(StandinRun, ClosedConsoleEndsTheRunBySigpipe) {
    Input("STANDIN STEPS 10000\nSTANDIN PACE 0.01\n");
    Child run(kStandin2004, "beam1", dir_);
    EXPECT_TRUE(run.ReadUntil("(1 of "));
    run.CloseOut();
    EXPECT_EQ(run.Wait(), -SIGPIPE);
}

TEST_F(StandinRun, GrandchildHoldsTheConsoleAfterTheExit) {
    Input("STANDIN GRANDCHILD 10\nSTANDIN STEPS 1\nSTANDIN PACE 0\n");
    Child run(kStandin2004, "beam1", dir_);
    EXPECT_TRUE(run.ReadUntil("Analysis completed.\n"));
    EXPECT_EQ(run.Wait(), 0);
    EXPECT_TRUE(Exists("beam1.out"));
    pollfd p{run.out, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0);  // no end of output while the grandchild lives
}

}  // namespace
}  // namespace velto
