#pragma once

#include <QString>

namespace velto {

// The shell's application title: the caption of its window and messages, and the name its
// settings are kept under.
inline const QString kShellTitle = QStringLiteral("Velto Shell");

// The solver folder remembered from the last session ("Settings"/"VeltoPath"); empty when none.
QString LoadSolverFolder();
void SaveSolverFolder(const QString& folder);

// The text shown when no solver is found at start.
inline const QString kSolverNotFoundText = QStringLiteral(
    "Velto executable not found in the current path.\r\nPlease click the elipsis button ... to "
    "select the velto executable path.");

}  // namespace velto
