#include "shell/runner/inputfiles.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>

#include "common/encoding.h"
#include "shell/runner/solverrun.h"

namespace velto {

std::string PathBytes(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

QString PathText(std::string_view bytes) {
    return QFile::decodeName(QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())));
}

QString PrintablePath(std::string_view bytes) {
    return QString::fromStdString(TerminalSafe(bytes));
}

std::string AbsolutePath(std::string_view bytes) {
    if (bytes.empty()) {
        return std::string();
    }
    std::error_code error;
    const std::filesystem::path given{std::string(bytes)};
    std::filesystem::path absolute = std::filesystem::absolute(given, error);
    if (error) {
        absolute = given;
    }
    std::string normal = absolute.lexically_normal().string();
    while (normal.size() > 1 && normal.back() == '/') {
        normal.pop_back();
    }
    return normal;
}

namespace {

QString LineEndProblem(std::string_view bytes) {
    if (bytes.find_first_of("\r\n") != std::string_view::npos) {
        return QStringLiteral(
                   "%1: the name holds a line end, which would end the name typed to the solver")
            .arg(PrintablePath(bytes));
    }
    return QString();
}

// The solver is handed the base name and opens BASE.in itself (a lower-case extension on this
// system): any other name would run another file, or none, under this file's row. It reads the
// name as a word, without the blanks and tabs around it: "trail " would run trail.in.
QString OtherFileProblem(std::string_view bytes) {
    const std::string path(bytes);
    const std::string base = BaseNameOf(path);
    const std::string read = base + ".in";
    if (path.substr(path.rfind('/') + 1) != read) {
        return QStringLiteral("%1: the solver is given \"%2\" and reads %3, not this file")
            .arg(PrintablePath(bytes), PrintablePath(base), PrintablePath(read));
    }
    constexpr const char* kBlanks = " \t";
    const std::size_t first = base.find_first_not_of(kBlanks);
    const std::size_t last = base.find_last_not_of(kBlanks);
    if (!base.empty() && (first != 0 || last != base.size() - 1)) {
        const std::string word =
            first == std::string::npos ? std::string() : base.substr(first, last - first + 1);
        return QStringLiteral(
                   "%1: the solver drops the blanks around the name \"%2\" and reads %3, not "
                   "this file")
            .arg(PrintablePath(bytes), PrintablePath(base), PrintablePath(word + ".in"));
    }
    return QString();
}

}  // namespace

QString NameProblem(std::string_view bytes) {
    QString problem = LineEndProblem(bytes);
    return problem.isEmpty() ? OtherFileProblem(bytes) : problem;
}

QString InputFileProblem(std::string_view bytes) {
    QString problem = LineEndProblem(bytes);
    if (!problem.isEmpty()) {
        return problem;
    }
    struct stat info {};
    if (::stat(std::string(bytes).c_str(), &info) != 0) {
        if (errno == ENOENT || errno == ENOTDIR || bytes.empty()) {
            return QStringLiteral("no such input file: %1").arg(PrintablePath(bytes));
        }
        return QStringLiteral("cannot look at %1: %2")
            .arg(PrintablePath(bytes), QString::fromLocal8Bit(std::strerror(errno)));
    }
    if (!S_ISREG(info.st_mode)) {
        return QStringLiteral(
                   "%1 is not a regular file (a folder, a pipe or a device is no input "
                   "file)")
            .arg(PrintablePath(bytes));
    }
    return OtherFileProblem(bytes);
}

namespace {

// The file itself, whatever the name it was reached by: its device and inode, which a hard link
// shares with it; its path with the links resolved when it cannot be looked at.
std::string FileKey(const std::string& absolute) {
    struct stat info {};
    if (::stat(absolute.c_str(), &info) == 0) {
        return std::to_string(info.st_dev) + ':' + std::to_string(info.st_ino);
    }
    std::error_code error;
    const std::filesystem::path canonical = std::filesystem::canonical(absolute, error);
    return error ? absolute : canonical.string();
}

// The run the solver is given: the folder it starts in and the name it is handed there.
std::string RunKey(const std::string& absolute) {
    const std::filesystem::path path(absolute);
    return FileKey(path.parent_path().string()) + '\0' + BaseNameOf(absolute);
}

}  // namespace

CheckedInputs CheckInputFiles(const std::vector<std::string>& candidates,
                              const std::vector<std::string>& listed) {
    CheckedInputs checked;
    std::map<std::string, std::string> files;  // key -> the path that holds it
    std::map<std::string, std::string> runs;
    for (const std::string& path : listed) {
        const std::string absolute = AbsolutePath(path);
        files.emplace(FileKey(absolute), path);
        runs.emplace(RunKey(absolute), path);
    }
    for (const std::string& candidate : candidates) {
        const QString problem = InputFileProblem(candidate);
        if (!problem.isEmpty()) {
            checked.refused.append(problem);
            continue;
        }
        const std::string absolute = AbsolutePath(candidate);
        const std::string fileKey = FileKey(absolute);
        const std::string runKey = RunKey(absolute);
        const std::string* earlier = nullptr;
        if (auto file = files.find(fileKey); file != files.end()) {
            earlier = &file->second;
        } else if (auto run = runs.find(runKey); run != runs.end()) {
            earlier = &run->second;
        }
        if (earlier) {
            checked.duplicates.append(
                *earlier == candidate
                    ? QStringLiteral("%1 is listed already").arg(PrintablePath(candidate))
                    : QStringLiteral("%1 is the same input file as %2")
                          .arg(PrintablePath(candidate), PrintablePath(*earlier)));
            continue;
        }
        files.emplace(fileKey, candidate);
        runs.emplace(runKey, candidate);
        checked.accepted.push_back(absolute);
    }
    return checked;
}

int HoldInputFile(const std::string& path, QString& problem) {
    // Without waiting: a pipe put in the file's place must not hold the batch.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        problem = QStringLiteral("cannot open %1: %2")
                      .arg(PrintablePath(path), QString::fromLocal8Bit(std::strerror(errno)));
        return -1;
    }
    int locked = -1;
    do {
        locked = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0 && errno == EWOULDBLOCK) {
        ::close(fd);
        problem = QStringLiteral(
                      "%1 is being run already (by another batch, or by a solver still running)")
                      .arg(PrintablePath(path));
        return -1;
    }
    return fd;
}

bool OpenRegularFile(QFile& file, const std::string& path) {
    // Opening a pipe for reading waits for a writer: open without waiting, then look.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    file.setFileName(PathText(path));
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
}

}  // namespace velto
