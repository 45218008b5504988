// One application object for a whole test program (the windows offscreen), settings and job
// records in a scratch folder of each test's own, and a closed pipe an error rather than the end.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <QApplication>
#include <QSettings>
#include <QTemporaryDir>

#include "tests/support/testsupport.h"

int main(int argc, char** argv) {
    QTemporaryDir settings;
    ::setenv("XDG_CONFIG_HOME", settings.path().toLocal8Bit().constData(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::signal(SIGPIPE, SIG_IGN);
    QApplication app(argc, argv);  // takes its locale from the environment, as the windows do
    velto::test::TakeTheEnvironmentsLocale();
    ::testing::InitGoogleTest(&argc, argv);
    // Qt keeps where the settings go from their first use: each test's folder is given to it.
    velto::test::GiveEachTestItsOwnHome([](const std::string& config) {
        const QString folder = QString::fromStdString(config);
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, folder);
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, folder);
    });
    return RUN_ALL_TESTS();
}
