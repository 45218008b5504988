#include "common/window/helpwindow.h"

#include <QCoreApplication>
#include <QDialog>
#include <QFileInfo>
#include <QPointer>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>
#include <vector>

namespace velto {

namespace {

std::vector<QPointer<QDialog>>& Windows() {
    static std::vector<QPointer<QDialog>> windows;
    return windows;
}

}  // namespace

void ShowHelpContents(QWidget* owner, const QString& helpFile) {
    for (const QPointer<QDialog>& window : Windows()) {
        if (window && window->property("helpFile").toString() == helpFile) {
            window->show();
            window->raise();
            window->activateWindow();
            return;
        }
    }
    // A window of its own (no parent): it stays usable beside the program's window.
    auto* window = new QDialog(nullptr, Qt::Window);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setProperty("helpFile", helpFile);
    window->setWindowTitle(owner ? owner->windowTitle() + QStringLiteral(" Help")
                                 : QStringLiteral("Help"));
    auto* browser = new QTextBrowser(window);
    browser->setObjectName(QStringLiteral("helpBrowser"));
    browser->setAccessibleName(QObject::tr("Help"));
    browser->setOpenExternalLinks(true);
    browser->setSource(QUrl::fromLocalFile(helpFile));
    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(browser);
    window->resize(720, 640);
    window->show();
    Windows().emplace_back(window);
}

void CloseAllHelp() {
    for (const QPointer<QDialog>& window : Windows()) {
        if (window) {
            window->close();
        }
    }
    Windows().clear();
}

int OpenHelpWindows() {
    int open = 0;
    for (const QPointer<QDialog>& window : Windows()) {
        open += window && window->isVisible() ? 1 : 0;
    }
    return open;
}

QString HelpFilePath(const QString& product, const QString& sourceFolder) {
    // Beside the program in a build folder; in share/ once installed; else the source tree.
    const QString folder = QCoreApplication::applicationDirPath();
    for (const QString& candidate :
         {folder + QStringLiteral("/help/") + product + QStringLiteral("/index.html"),
          folder + QStringLiteral("/../share/velto-tools/help/") + product +
              QStringLiteral("/index.html")}) {
        if (QFileInfo::exists(candidate)) {
            return QFileInfo(candidate).canonicalFilePath();
        }
    }
    return sourceFolder + QStringLiteral("/index.html");
}

}  // namespace velto
