#include "shell/runner/inputfileopener.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QProcess>
#include <QStandardPaths>
#include <QTimer>
#include <cerrno>

#include "shell/runner/inputfiles.h"

namespace velto {

QString OpenFailureText(OpenFailure failure) {
    switch (failure) {
        case OpenFailure::None:
            break;
        case OpenFailure::FileNotFound:
            return QStringLiteral("File not found.");
        case OpenFailure::AccessDenied:
            return QStringLiteral("Access denied.");
        case OpenFailure::NoAssociation:
            return QStringLiteral("No association for file extension.");
        case OpenFailure::Unknown:
            return QStringLiteral("The executable for in files not found.");
    }
    return QString();
}

OpenFailure OpenFailureFor(const std::string& path, const DesktopAnswer& answer) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) {
            return OpenFailure::FileNotFound;
        }
        // A folder on the way that this user may not pass.
        return error == EACCES || error == EPERM ? OpenFailure::AccessDenied : OpenFailure::Unknown;
    }
    if (::access(path.c_str(), R_OK) != 0 && (errno == EACCES || errno == EPERM)) {
        return OpenFailure::AccessDenied;
    }
    if (answer.defaultApplication && answer.defaultApplication->empty()) {
        return OpenFailure::NoAssociation;
    }
    return answer.refused ? OpenFailure::Unknown : OpenFailure::None;
}

std::optional<std::string> DefaultApplicationIn(const QString& tool, int exitStatus,
                                                const QByteArray& output) {
    if (exitStatus != 0) {
        return std::nullopt;
    }
    const QList<QByteArray> lines = output.split('\n');
    if (QFileInfo(tool).fileName() != QLatin1String("gio")) {
        // xdg-mime: the desktop file's name on the first line, or nothing at all.
        return lines.front().trimmed().toStdString();
    }
    for (const QByteArray& raw : lines) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith("No default applications for")) {
            return std::string();
        }
        if (line.startsWith("Default application for")) {
            // The type stands in quotes the locale may not print; the name follows them.
            const qsizetype colon = line.indexOf(": ");
            if (colon >= 0) {
                return line.mid(colon + 2).trimmed().toStdString();
            }
        }
    }
    return std::nullopt;
}

namespace {

// The file's type by its name and its first bytes, the file opened by the bytes of its name: a
// name that is not UTF-8 (caf\xe9.in) does not survive the way through text, and a file that
// cannot be read by it would be taken for one of no known type.
QMimeType TypeOf(const std::string& bytes) {
    const int fd = ::open(bytes.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    QFile file;
    if (fd >= 0 && file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        return QMimeDatabase().mimeTypeForFileNameAndData(QFileInfo(PathText(bytes)).fileName(),
                                                          &file);
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return QMimeDatabase().mimeTypeForFile(PathText(bytes));
}

}  // namespace

InputFileOpener::InputFileOpener(QObject* parent) : QObject(parent) {}

InputFileOpener::~InputFileOpener() = default;

void InputFileOpener::Open(const QString& path, std::string bytes) {
    DropQuestion();
    path_ = path;
    bytes_ = bytes.empty() ? PathBytes(path) : std::move(bytes);
    answer_ = {};
    const OpenFailure before = OpenFailureFor(bytes_, answer_);
    if (before != OpenFailure::None) {
        emit answered(before);
        return;
    }
    tool_.clear();
    for (const char* name : {"xdg-mime", "gio"}) {
        tool_ = QStandardPaths::findExecutable(QString::fromLatin1(name), toolFolders);
        if (!tool_.isEmpty()) {
            break;
        }
    }
    if (tool_.isEmpty()) {
        Hand();  // no one to ask: the desktop's opener alone decides
        return;
    }
    // An application for a type the file's type is a kind of (text/plain for most input files)
    // opens it too.
    const QMimeType type = TypeOf(bytes_);
    types_ = QStringList{type.name()} + type.allAncestors();
    AskNext();
}

void InputFileOpener::AskNext() {
    if (types_.isEmpty()) {
        answer_.defaultApplication = std::string();
        emit answered(OpenFailureFor(bytes_, answer_));
        return;
    }
    const QString type = types_.takeFirst();
    query_ = new QProcess(this);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // gio's answer is read by its words: the C locale's.
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    environment.remove(QStringLiteral("LANGUAGE"));
    query_->setProcessEnvironment(environment);
    query_->setStandardInputFile(QProcess::nullDevice());
    query_->setStandardErrorFile(QProcess::nullDevice());
    QProcess* query = query_;
    connect(query, &QProcess::finished, this, [this, query](int code, QProcess::ExitStatus status) {
        const QByteArray output = query->readAllStandardOutput();
        Answered(status == QProcess::NormalExit ? DefaultApplicationIn(tool_, code, output)
                                                : std::nullopt);
    });
    connect(query, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            Answered(std::nullopt);
        }
    });
    patience_ = new QTimer(this);
    patience_->setSingleShot(true);
    connect(patience_, &QTimer::timeout, this, [this] { Answered(std::nullopt); });
    patience_->start(answerMilliseconds);
    const QStringList arguments =
        QFileInfo(tool_).fileName() == QLatin1String("gio")
            ? QStringList{QStringLiteral("mime"), type}
            : QStringList{QStringLiteral("query"), QStringLiteral("default"), type};
    query_->start(tool_, arguments);
}

void InputFileOpener::Answered(std::optional<std::string> application) {
    DropQuestion();
    if (application && application->empty()) {
        AskNext();  // none for this type: perhaps one for a type it is a kind of
        return;
    }
    // An application named, or a desktop that could not tell: its opener decides.
    answer_.defaultApplication = std::move(application);
    Hand();
}

void InputFileOpener::Hand() {
    const bool took = open && open(path_);
    answer_.refused = !took;
    emit answered(took ? OpenFailure::None : OpenFailureFor(bytes_, answer_));
}

void InputFileOpener::DropQuestion() {
    if (patience_ != nullptr) {
        patience_->stop();
        patience_->deleteLater();
        patience_ = nullptr;
    }
    if (query_ != nullptr) {
        // Its signals may be on their way: this question is answered already.
        query_->disconnect(this);
        if (query_->state() != QProcess::NotRunning) {
            query_->kill();
        }
        query_->deleteLater();
        query_ = nullptr;
    }
}

}  // namespace velto
