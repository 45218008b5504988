#pragma once

#include <string>
#include <string_view>

namespace velto {

// What the shell knows of the solver: its folder, its executable's file name there (lower case),
// and the version read from the executable's own banner ("2004", and "Ver. 2004 ...").
struct SolverInfo {
    std::string SolverFolder;
    std::string SolverExe;
    std::string SolverVersionNumber;
    std::string SolverVersionText;

    // Absolute path of the executable.
    std::string Command() const;
};

// The text before the first NUL, or all of it.
std::string StripAtNull(std::string_view text);

// True for a file name the solver goes by: lower-cased, it holds "velto" and ".exe"; or, off
// Windows, it is "velto" followed only by digits or dots ("velto", "velto2004"). The companion
// programs of this project never count, whatever their names.
bool IsSolverFileName(std::string_view name);

// An entry of a folder that goes by the solver's name but cannot be run: its path, and why
// ("is not executable", "is a folder, not a program", "is a link to nothing, not a program",
// "is not a program").
struct UnusableSolver {
    std::string path;
    std::string why;
};

// Searches the folder for the solver executable. On success sets SolverExe (lower case) and
// returns true; the first match in the file system's order wins. Off Windows a match must also
// be an executable regular file. A missing folder or no match returns false and leaves
// SolverExe as it was; `unusable`, when given, then learns of the first entry that went by the
// solver's name but could not be run (its path stays empty when there was none).
bool FindSolver(SolverInfo& solver, const std::string& folder, UnusableSolver* unusable = nullptr);

// Reads the banner from the executable's bytes: "PROGRAM " up to the next NUL; the version
// number is the four characters after "Ver. ", the version text the banner from "Ver." on.
// No banner: both stay as they were (true). A banner without a NUL after it, or without
// "Ver.", or a file that cannot be read: false, keeping what was set before the failure.
bool GetSolverVersion(SolverInfo& solver, const std::string& executable);

// True when the version hands the base name on the command line (version 2004); any other
// version, and an empty or non-numeric one, reads the name from standard input.
bool TakesNameOnCommandLine(const std::string& versionNumber);

}  // namespace velto
