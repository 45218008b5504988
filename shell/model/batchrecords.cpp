#include "shell/model/batchrecords.h"

#include <algorithm>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "common/endtime.h"
#include "extract/reader/listingend.h"
#include "shell/model/batchjournal.h"
#include "shell/runner/inputfiles.h"
#include "shell/runner/solverrun.h"

namespace velto {

namespace {

QString LockPathOf(const QString& recordPath) {
    QString lock = recordPath;
    if (lock.endsWith(QStringLiteral(".json"))) {
        lock.chop(5);
    }
    return lock + QStringLiteral(".lock");
}

bool Exists(const QString& path) {
    return QFileInfo(path).exists() || QFileInfo(path).isSymLink();
}

// The lock of a record, held: -1 when its batch runs now (or the lock cannot be had at all).
// Close-on-exec, so that a solver that outlives its batch never holds it. A lock file is there
// only while it is held (see LetGo): one that its holder removed as we opened it is no lock of
// anyone's, and the name is tried afresh.
int TakeLock(const QString& lockPath, int extraFlags = 0) {
    const QByteArray name = QFile::encodeName(lockPath);
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int fd =
            ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | extraFlags, 0600);
        if (fd < 0) {
            return -1;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            return -1;
        }
        struct stat held {};
        struct stat named {};
        if (::fstat(fd, &held) == 0 && ::lstat(name.constData(), &named) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
            return fd;
        }
        ::close(fd);
    }
    return -1;
}

// Lets go of a lock taken with TakeLock, removing its file first: whoever opened it meanwhile
// finds it gone and takes the name afresh.
void LetGo(const QString& lockPath, int fd) {
    ::unlink(QFile::encodeName(lockPath).constData());
    ::close(fd);
}

// Records, the most recently started first: their names begin with the moment they started.
QStringList RecordsOf(const QString& folder) {
    return QDir(folder).entryList({QStringLiteral("*.json")}, QDir::Files | QDir::System,
                                  QDir::Name | QDir::Reversed);
}

// The listing of a file left running or aborted by a batch that started at `started`, when it
// holds the whole analysis, written since the batch started and since the input file last
// changed: its solver completed after the batch ended. Empty otherwise.
std::string CompletedListing(const BatchModel::Row& row, const QDateTime& started) {
    if (!started.isValid() || (row.status != kStatusInterrupted && row.status != kStatusAborted)) {
        return {};
    }
    const std::string& input = row.nativePath;
    const std::string listing = input.substr(0, input.rfind('/') + 1) + BaseNameOf(input) + ".out";
    const QFileInfo written(PathText(listing));
    const QFileInfo edited(PathText(input));
    if (!written.isFile() || !edited.isFile() || written.lastModified() <= started ||
        written.lastModified() <= edited.lastModified()) {
        return {};
    }
    try {
        return ListingReachesEnd(listing, ReadEndTime(input)) ? listing : std::string();
    } catch (const std::exception&) {
        return {};  // an input that cannot be read is run again, and fails there with why
    }
}

}  // namespace

BatchRecord::BatchRecord(QString path, int lockFd) : path_(std::move(path)), lockFd_(lockFd) {}

BatchRecord::~BatchRecord() {
    if (lockFd_ >= 0) {
        LetGo(LockPathOf(path_), lockFd_);
    }
}

std::unique_ptr<BatchRecord> BatchRecord::Create(const QString& folder, QString& error) {
    if (!QDir().mkpath(folder)) {
        error = QStringLiteral("cannot create the folder %1").arg(folder);
        return nullptr;
    }
    // UTC, so that the names sort in the order the batches started whatever the clocks do.
    const QString stamp =
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz")) +
        QStringLiteral("-%1").arg(QCoreApplication::applicationPid());
    for (int n = 1; n < 100; ++n) {
        const QString path = QDir(folder).filePath(
            stamp + (n == 1 ? QString() : QStringLiteral("-%1").arg(n)) + QStringLiteral(".json"));
        if (Exists(path)) {
            continue;
        }
        // The lock is held before the record exists: a record seen unlocked is not running.
        const int fd = TakeLock(LockPathOf(path), O_EXCL);
        if (fd >= 0) {
            return std::unique_ptr<BatchRecord>(new BatchRecord(path, fd));
        }
    }
    error = QStringLiteral("cannot create a batch record in %1").arg(folder);
    return nullptr;
}

void BatchRecord::Remove() {
    // The record goes first: a lock seen without its record is not worth taking.
    QFile::remove(path_);
    if (lockFd_ >= 0) {
        LetGo(LockPathOf(path_), lockFd_);
        lockFd_ = -1;
    }
}

ResumeChoice BatchRecords::TakeForResume(const QString& folder, const QString& legacy) {
    ResumeChoice choice;
    QStringList candidates;
    for (const QString& name : RecordsOf(folder)) {
        candidates.append(QDir(folder).filePath(name));
    }
    if (Exists(legacy)) {
        candidates.append(legacy);
    }
    choice.anyEarlier = QFileInfo(folder).isDir() || !candidates.isEmpty();
    for (const QString& path : candidates) {
        const int fd = TakeLock(LockPathOf(path));
        if (fd < 0) {
            ++choice.running;
            continue;
        }
        BatchRecord record(path, fd);
        BatchModel batch;
        QStringList refused;
        const BatchJournal::Loaded loaded = BatchJournal::Load(path, batch, &refused);
        if (loaded == BatchJournal::Loaded::kMissing) {
            continue;  // removed since it was listed: its batch ended
        }
        if (loaded == BatchJournal::Loaded::kUnreadable) {
            const QString aside = BatchJournal::SetAside(path);
            ++choice.unreadable;
            choice.messages.append(
                aside.isEmpty()
                    ? QStringLiteral("the batch record %1 cannot be read, nor moved aside; it "
                                     "is left as it is")
                          .arg(path)
                    : QStringLiteral("the batch record %1 cannot be read; it was kept as %2")
                          .arg(path, aside));
            continue;
        }
        choice.messages.append(refused);
        if (!refused.isEmpty()) {
            // What it says of those files is kept whole, as a record that cannot be read is:
            // the new record will hold only the files that can run.
            ++choice.keptAside;
            const QString aside = BatchJournal::SetAside(path);
            if (aside.isEmpty()) {
                choice.messages.append(
                    QStringLiteral("the batch record %1 names files that cannot be run now, and "
                                   "cannot be moved aside; it is left as it is")
                        .arg(path));
                continue;
            }
            choice.messages.append(
                QStringLiteral("the batch record %1 names files that cannot be run now; it was "
                               "kept as %2")
                    .arg(path, aside));
        }
        // A window's list that was never run is no batch that was interrupted: it is the
        // window's to run, not --resume's.
        const bool everRun =
            std::any_of(batch.rows().begin(), batch.rows().end(),
                        [](const BatchModel::Row& row) { return !row.status.isEmpty(); });
        if (!everRun && !batch.rows().empty()) {
            continue;
        }
        for (const BatchModel::Row& row : batch.rows()) {
            if (row.status == kStatusCompleted) {
                continue;
            }
            // Its solver may have completed in the moments between its end and the record's
            // next save, or gone on to complete after a stop.
            if (const std::string listing = CompletedListing(row, batch.startedAt());
                !listing.empty()) {
                choice.messages.append(
                    QStringLiteral("%1 completed after its batch ended: its listing %2 holds the "
                                   "whole analysis; it is taken as Completed")
                        .arg(PrintablePath(row.nativePath), PrintablePath(listing)));
                continue;
            }
            choice.unfinished.push_back(row);
        }
        if (choice.unfinished.empty()) {
            record.Remove();  // every file completed: nothing of it to resume
            continue;
        }
        record.lockFd_ = -1;
        choice.record.reset(new BatchRecord(path, fd));
        choice.exportOptions = batch.exportOptions();
        return choice;
    }
    return choice;
}

std::unique_ptr<BatchRecord> BatchRecords::TakeLatest(const QString& folder,
                                                      const QString& legacy) {
    QStringList candidates;
    for (const QString& name : RecordsOf(folder)) {
        candidates.append(QDir(folder).filePath(name));
    }
    candidates.append(legacy);
    for (const QString& path : candidates) {
        if (!Exists(path)) {
            continue;
        }
        const int fd = TakeLock(LockPathOf(path));
        if (fd < 0) {
            continue;  // another window or batch keeps it now
        }
        if (!Exists(path)) {
            LetGo(LockPathOf(path), fd);  // removed since it was listed: its batch ended
            continue;
        }
        return std::unique_ptr<BatchRecord>(new BatchRecord(path, fd));
    }
    return nullptr;
}

void BatchRecords::Prune(const QString& folder) {
    const QDir dir(folder);
    int kept = 0;
    for (const QString& name : RecordsOf(folder)) {
        const QString path = dir.filePath(name);
        const int fd = TakeLock(LockPathOf(path));
        if (fd < 0) {
            continue;  // runs now
        }
        BatchRecord record(path, fd);
        if (++kept > kKept) {
            record.Remove();
        }
    }
    // A lock without its record: a batch that died before its first save.
    for (const QString& name : dir.entryList({QStringLiteral("*.lock")}, QDir::Files)) {
        QString record = dir.filePath(name);
        record.chop(5);
        record += QStringLiteral(".json");
        if (Exists(record)) {
            continue;
        }
        const int fd = TakeLock(dir.filePath(name));
        if (fd >= 0) {
            LetGo(dir.filePath(name), fd);
        }
    }
}

}  // namespace velto
