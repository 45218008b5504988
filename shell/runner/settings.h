#pragma once

#include <QString>
#include <string>

#include "shell/runner/solverfinder.h"

namespace velto {

// The shell's application title: the caption of its window and messages, and the name its
// settings are kept under.
inline const QString kShellTitle = QStringLiteral("Velto Shell");

// The solver folder remembered from the last session ("Settings"/"VeltoPath"); empty when none.
QString LoadSolverFolder();
void SaveSolverFolder(const QString& folder);

// The export after each run ("Settings"/"ExportAfterRun", on or off, and "Settings"/
// "ExportOptions", the options last given).
bool LoadExportAfterRun();
QString LoadExportOptions();
void SaveExportAfterRun(bool on, const QString& options);

// The one solver search of the window and velto-batch: in `folder` when one is given
// (--solver-folder, or a folder the user chose), else in the folder remembered from the last
// session, else in the program's own folder. The folder is tidied as a path when its bytes are
// text. When a solver is found its version is read; SolverFolder says where it was looked for
// either way.
struct SolverLookup {
    SolverInfo solver;
    bool found = false;
    // Where the folder came from.
    enum class Folder { kGiven, kRemembered, kOwn } folder = Folder::kGiven;
    // Not found: an entry there that goes by the solver's name but cannot be run, if any.
    UnusableSolver unusable;
};
SolverLookup LocateSolver(std::string folder = {});

// A file or folder of this name beside the shell's settings (journals, records, cluster jobs).
QString BesideSettings(const QString& fileName);

// The text shown when no solver is found at start.
inline const QString kSolverNotFoundText = QStringLiteral(
    "Velto executable not found in the current path.\r\nPlease click the elipsis button ... to "
    "select the velto executable path.");

// The window's message when no solver was found: kSolverNotFoundText, or, when an entry there
// goes by the solver's name but cannot be run, that entry and why, with the same hint.
QString SolverMissingText(const SolverLookup& lookup);
// The browser's status line for a folder without a usable solver: "Velto Not Found", or the
// entry that cannot be run and why ("velto is not executable").
QString SolverMissingStatus(const SolverLookup& lookup);
// velto-batch's lines when no solver was found: the folder searched and why it was that one, or
// the entry that cannot be run there; then how to name another folder.
QStringList SolverMissingLines(const SolverLookup& lookup);

}  // namespace velto
