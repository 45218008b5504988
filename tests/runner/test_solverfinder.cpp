#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "shell/runner/solverfinder.h"
#include "tests/support/testsupport.h"

namespace velto {
namespace {

class SolverFinder : public ::testing::Test {
  protected:
    std::string Make(const std::string& name, const std::string& bytes, bool executable = true) {
        std::string path = dir.File(name);
        test::WriteBytes(path, bytes);
        ::chmod(path.c_str(), executable ? 0755 : 0644);
        return path;
    }
    test::ScratchDir dir;
    SolverInfo solver;
};

TEST_F(SolverFinder, NamesTheSolverGoesBy) {
    for (const char* yes :
         {"velto2004.exe", "VELTO.EXE", "velto.exe.exe", "velto", "velto2004", "velto2.4"}) {
        EXPECT_TRUE(IsSolverFileName(yes)) << yes;
    }
    for (const char* no : {"veltoexe.bat", "setup.exe", "velto-extract", "velto-batch",
                           "velto-batch.exe", "velto-genlisting", "veltox", "solver"}) {
        EXPECT_FALSE(IsSolverFileName(no)) << no;
    }
    EXPECT_EQ(StripAtNull(std::string("velto\0junk", 10)), "velto");
}

TEST_F(SolverFinder, FindsOnlyExecutableSolvers) {
    Make("setup.exe", "x");
    Make("velto2004", "x", false);  // not executable: not a program here
    EXPECT_FALSE(FindSolver(solver, dir.path().string()));
    EXPECT_EQ(solver.SolverExe, "");
    Make("velto2004", "x", true);
    ASSERT_TRUE(FindSolver(solver, dir.path().string()));
    EXPECT_EQ(solver.SolverExe, "velto2004");
    EXPECT_FALSE(FindSolver(solver, dir.File("no such folder")));
    EXPECT_EQ(solver.SolverExe, "velto2004");  // a failed search keeps the last find
}

TEST_F(SolverFinder, VersionComesFromTheBanner) {
    std::string exe = Make("velto", std::string("\x7f"
                                                "ELF junk PROGRAM VELTO Ver. 2004 build 7\0more",
                                                44));
    EXPECT_TRUE(GetSolverVersion(solver, exe));
    EXPECT_EQ(solver.SolverVersionNumber, "2004");
    EXPECT_EQ(solver.SolverVersionText, "Ver. 2004 build 7");
    EXPECT_TRUE(TakesNameOnCommandLine(solver.SolverVersionNumber));

    // No banner: nothing changes.
    exe = Make("velto", "no banner here");
    EXPECT_TRUE(GetSolverVersion(solver, exe));
    EXPECT_EQ(solver.SolverVersionNumber, "2004");

    // A banner without "Ver.": the number comes from the banner's fifth character, the text stays.
    exe = Make("velto", std::string("PROGRAM 2026 STAND\0", 19));
    EXPECT_FALSE(GetSolverVersion(solver, exe));
    EXPECT_EQ(solver.SolverVersionNumber, "RAM ");
    EXPECT_EQ(solver.SolverVersionText, "Ver. 2004 build 7");

    exe = Make("velto", "PROGRAM VELTO Ver. 2026 with no end");
    EXPECT_FALSE(GetSolverVersion(solver, exe));
    EXPECT_FALSE(GetSolverVersion(solver, dir.File("missing")));
}

}  // namespace
}  // namespace velto
