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
    SolverLookup lookup;
    if (folder.empty()) {
        folder = PathBytes(LoadSolverFolder());
        lookup.folder = SolverLookup::Folder::kRemembered;
    }
    if (folder.empty()) {
        folder = PathBytes(QCoreApplication::applicationDirPath());
        lookup.folder = SolverLookup::Folder::kOwn;
    }
    // A name that is not text is taken as the bytes it is.
    const QString text = PathText(folder);
    if (PathBytes(text) == folder) {
        folder = PathBytes(QDir::cleanPath(text));
    }
    lookup.solver.SolverFolder = folder;
    lookup.found = FindSolver(lookup.solver, folder, &lookup.unusable);
    if (lookup.found) {
        GetSolverVersion(lookup.solver, lookup.solver.Command());
    }
    return lookup;
}

QString SolverMissingText(const SolverLookup& lookup) {
    if (lookup.unusable.path.empty()) {
        return kSolverNotFoundText;
    }
    return QStringLiteral(
               "Velto cannot be run: %1 %2.\r\nPlease click the elipsis button ... to select the "
               "velto executable path.")
        .arg(PrintablePath(lookup.unusable.path), QString::fromStdString(lookup.unusable.why));
}

QString SolverMissingStatus(const SolverLookup& lookup) {
    if (lookup.unusable.path.empty()) {
        return QStringLiteral("Velto Not Found");
    }
    const std::string& path = lookup.unusable.path;
    return PrintablePath(path.substr(path.rfind('/') + 1)) + ' ' +
           QString::fromStdString(lookup.unusable.why);
}

QStringList SolverMissingLines(const SolverLookup& lookup) {
    const QString folder = PrintablePath(lookup.solver.SolverFolder);
    QString where;
    switch (lookup.folder) {
        case SolverLookup::Folder::kGiven:
            where = QStringLiteral("the folder given with --solver-folder");
            break;
        case SolverLookup::Folder::kRemembered:
            where = QStringLiteral("the solver folder the VeltoShell window remembers");
            break;
        case SolverLookup::Folder::kOwn:
            where = QStringLiteral(
                "velto-batch's own folder, as neither --solver-folder nor the VeltoShell window "
                "names one");
            break;
    }
    const QString first = lookup.unusable.path.empty()
                              ? QStringLiteral("no Velto solver in %1 (%2)").arg(folder, where)
                              : QStringLiteral("%1 %2 (in %3)")
                                    .arg(PrintablePath(lookup.unusable.path),
                                         QString::fromStdString(lookup.unusable.why), where);
    return {first,
            QStringLiteral("give the folder that holds the solver with --solver-folder DIR")};
}

QString BesideSettings(const QString& fileName) {
    VELTO_SHELL_SETTINGS(settings);
    return QFileInfo(settings.fileName()).absolutePath() + '/' + fileName;
}

}  // namespace velto
