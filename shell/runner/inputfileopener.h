#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <string>

class QProcess;
class QTimer;

namespace velto {

// Why an input file did not open in the program the desktop associates with it.
enum class OpenFailure {
    None,           // nothing known speaks against opening it
    FileNotFound,   // "File not found."
    AccessDenied,   // "Access denied."
    NoAssociation,  // "No association for file extension."
    Unknown,        // "The executable for in files not found."
};

// The message a failure is shown with; empty for None.
QString OpenFailureText(OpenFailure failure);

// What the desktop told when asked about opening a file.
struct DesktopAnswer {
    // The application the desktop opens the file's type with, as its query tool named it: empty
    // when the tool named none; unset when no tool could tell.
    std::optional<std::string> defaultApplication;
    // The desktop's opener said it could not open the file.
    bool refused = false;
};

// Why `path` cannot be opened in its associated program. The file itself comes first: missing
// (or a folder on its way missing) is FileNotFound, there but not readable by this user is
// AccessDenied. Then the desktop's answer: a query that named no application is NoAssociation, an
// opener that refused for no cause known is Unknown. None when nothing speaks against it.
OpenFailure OpenFailureFor(const std::string& path, const DesktopAnswer& answer);

// The default application in a query tool's output, the tool named by its file name:
// `xdg-mime query default TYPE` prints the application's desktop file or nothing, `gio mime
// TYPE` (in the C locale) "Default application for 'TYPE': NAME" or "No default applications for
// 'TYPE'". Empty when the tool named none; unset when it failed (a non-zero exit status) or said
// neither.
std::optional<std::string> DefaultApplicationIn(const QString& tool, int exitStatus,
                                                const QByteArray& output);

// Opens input files in the program the desktop associates with them, and says why when it
// cannot. The desktop's own opener gives no more than yes or no, and yes even when nothing will
// open the file, so the file is checked first and the desktop asked (xdg-mime, else gio) which
// application opens the file's type; the answer comes through the event loop, never waited for.
class InputFileOpener : public QObject {
    Q_OBJECT

  public:
    explicit InputFileOpener(QObject* parent = nullptr);
    ~InputFileOpener() override;

    // The desktop's opener (QDesktopServices::openUrl in the window): true when it took the file.
    std::function<bool(const QString& path)> open;
    // Where the query tools are looked for; empty: the PATH.
    QStringList toolFolders;
    // How long the desktop may take to answer before the file is opened without its answer.
    int answerMilliseconds = 5000;

    // Checks the file, asks the desktop, then hands `path` to the opener. `bytes` are the path as
    // the file system knows it (a name need not be UTF-8); empty: the path's own. Returns at once;
    // `answered` tells the outcome, before Open returns when no question was needed. An Open while
    // an earlier one waits for the desktop replaces it.
    void Open(const QString& path, std::string bytes = {});

  signals:
    // None when the file was handed to the desktop's opener, else why it was not opened.
    void answered(velto::OpenFailure failure);

  private:
    void AskNext();
    void Answered(std::optional<std::string> application);
    void Hand();
    void DropQuestion();

    QString path_;
    std::string bytes_;
    QStringList types_;  // the file's type and the types it is a kind of, still to be asked about
    QString tool_;
    QProcess* query_ = nullptr;
    QTimer* patience_ = nullptr;
    DesktopAnswer answer_;
};

}  // namespace velto
