#include "shell/runner/solverfinder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "common/text.h"

namespace velto {

namespace {

std::string Lower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

// Our own programs carry "velto" in their names too; they are never the solver.
bool IsOwnProgram(const std::string& lower) {
    constexpr std::array<std::string_view, 6> kOwn = {"velto-extract",    "velto-batch",
                                                      "velto-genlisting", "veltoextract",
                                                      "veltoshell",       "velto-bench-export"};
    for (std::string_view own : kOwn) {
        if (lower == own || lower == std::string(own) + ".exe") {
            return true;
        }
    }
    return false;
}

}  // namespace

std::string SolverInfo::Command() const {
    // Absolute: the solver starts in its input file's folder, where a relative path means
    // something else.
    std::error_code error;
    std::filesystem::path path = std::filesystem::path(SolverFolder) / SolverExe;
    std::filesystem::path absolute = std::filesystem::absolute(path, error);
    return (error ? path : absolute).lexically_normal().string();
}

std::string StripAtNull(std::string_view text) {
    return std::string(text.substr(0, text.find('\0')));
}

bool IsSolverFileName(std::string_view name) {
    const std::string lower = Lower(StripAtNull(name));
    if (IsOwnProgram(lower)) {
        return false;
    }
    if (lower.find("velto") != std::string::npos && lower.find(".exe") != std::string::npos) {
        return true;
    }
#ifndef _WIN32
    if (lower.rfind("velto", 0) == 0) {
        return lower.find_first_not_of("0123456789.", 5) == std::string::npos;
    }
#endif
    return false;
}

#ifndef _WIN32
namespace {

// Why an entry that goes by the solver's name cannot be run; empty when it can.
std::string WhyNotRunnable(const std::filesystem::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        struct stat link {};
        return ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)
                   ? "is a link to nothing, not a program"
                   : "is not a program";
    }
    if (S_ISDIR(info.st_mode)) {
        return "is a folder, not a program";
    }
    if (!S_ISREG(info.st_mode)) {
        return "is not a program";
    }
    return ::access(path.c_str(), X_OK) == 0 ? std::string() : "is not executable";
}

}  // namespace
#endif

bool FindSolver(SolverInfo& solver, const std::string& folder,
                [[maybe_unused]] UnusableSolver* unusable) {
    std::error_code error;
    std::filesystem::directory_iterator it(folder.empty() ? "." : folder, error);
    if (error) {
        return false;
    }
    for (; it != std::filesystem::directory_iterator(); it.increment(error)) {
        if (error) {
            return false;
        }
        const std::string name = it->path().filename().string();
        if (!IsSolverFileName(name)) {
            continue;
        }
#ifndef _WIN32
        // Off Windows nothing in a name says "program": ask the file system.
        if (std::string why = WhyNotRunnable(it->path()); !why.empty()) {
            if (unusable && unusable->path.empty()) {
                *unusable = {it->path().string(), std::move(why)};
            }
            continue;
        }
#endif
        solver.SolverExe = Lower(name);
#ifndef _WIN32
        // The lower-cased name only finds the file where names ignore case.
        if (!std::filesystem::exists(std::filesystem::path(folder) / solver.SolverExe)) {
            solver.SolverExe = name;
        }
#endif
        return true;
    }
    return false;
}

bool GetSolverVersion(SolverInfo& solver, const std::string& executable) {
    std::ifstream in(executable, std::ios::binary);
    if (!in) {
        return false;
    }
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t p = bytes.find("PROGRAM ");
    if (p == std::string::npos) {
        return true;
    }
    const std::size_t q = bytes.find('\0', p);
    if (q == std::string::npos) {
        return false;
    }
    const std::string banner = bytes.substr(p, q - p);
    const std::size_t v = banner.find("Ver.");
    if (v == std::string::npos) {
        // Without "Ver." the number is taken from the banner's fifth character on, and the
        // version text cannot be taken at all.
        solver.SolverVersionNumber = banner.substr(std::min<std::size_t>(4, banner.size()), 4);
        return false;
    }
    solver.SolverVersionNumber = banner.substr(std::min(v + 5, banner.size()), 4);
    solver.SolverVersionText = banner.substr(v);
    return true;
}

bool TakesNameOnCommandLine(const std::string& versionNumber) {
    return IsNumeric(versionNumber) && Val(versionNumber) == 2004.0;
}

}  // namespace velto
