#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

namespace velto {

// A window hidden in the tray comes back when its program is started again: the keyboard's way
// back where the desktop gives no key to reach the tray. The hidden window listens on a local
// socket of the user's own; a program started meanwhile asks it to show itself and ends.
class TrayReturn : public QObject {
    Q_OBJECT

  public:
    // `name` is the program's; the user's id is added, so that users do not reach each other.
    explicit TrayReturn(const QString& name, QObject* parent = nullptr);
    ~TrayReturn() override;

    // Listens while the window is hidden in the tray, and not otherwise.
    void SetListening(bool on);
    bool listening() const;

    // Asks a hidden window of the program to show itself: true when one did, within `waitMs`.
    static bool AskToShow(const QString& name, int waitMs = 2000);

  signals:
    void showRequested();

  private:
    QString socketName_;
    QLocalServer* server_ = nullptr;
};

}  // namespace velto
