#include "shell/runner/settings.h"

#include <QSettings>

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

}  // namespace velto
