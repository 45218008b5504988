#include "shell/runner/settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSettings>

#include "shell/runner/inputfiles.h"

namespace velto {

// One store per user, under the application title, as an INI file in the user's configuration
// folder (XDG_CONFIG_HOME), where an engineer can read it.
#define VELTO_SHELL_SETTINGS(name) \
    QSettings name(QSettings::IniFormat, QSettings::UserScope, kShellTitle, kShellTitle)

QString LoadSolverFolder() {
    VELTO_SHELL_SETTINGS(settings);
    return settings.value(QStringLiteral("Settings/VeltoPath")).toString();
}

void SaveSolverFolder(const QString& folder) {
    VELTO_SHELL_SETTINGS(settings);
    settings.setValue(QStringLiteral("Settings/VeltoPath"), folder);
    settings.sync();
}

bool LoadExportAfterRun() {
    VELTO_SHELL_SETTINGS(settings);
    return settings.value(QStringLiteral("Settings/ExportAfterRun"), false).toBool();
}

QString LoadExportOptions() {
    VELTO_SHELL_SETTINGS(settings);
    return settings.value(QStringLiteral("Settings/ExportOptions"), QStringLiteral("--all"))
        .toString();
}

void SaveExportAfterRun(bool on, const QString& options) {
    VELTO_SHELL_SETTINGS(settings);
    settings.setValue(QStringLiteral("Settings/ExportAfterRun"), on);
    settings.setValue(QStringLiteral("Settings/ExportOptions"), options);
    settings.sync();
}

SolverLookup LocateSolver(std::string folder) {
    if (folder.empty()) {
        folder = PathBytes(LoadSolverFolder());
    }
    if (folder.empty()) {
        folder = PathBytes(QCoreApplication::applicationDirPath());
    }
    // A name that is not text is taken as the bytes it is.
    const QString text = PathText(folder);
    if (PathBytes(text) == folder) {
        folder = PathBytes(QDir::cleanPath(text));
    }
    SolverLookup lookup;
    lookup.solver.SolverFolder = folder;
    lookup.found = FindSolver(lookup.solver, folder);
    if (lookup.found) {
        GetSolverVersion(lookup.solver, lookup.solver.Command());
    }
    return lookup;
}

QString BesideSettings(const QString& fileName) {
    VELTO_SHELL_SETTINGS(settings);
    return QFileInfo(settings.fileName()).absolutePath() + '/' + fileName;
}

}  // namespace velto
