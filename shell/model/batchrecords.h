#pragma once

#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

#include "shell/model/batchmodel.h"

namespace velto {

// The batches of velto-batch and of the VeltoShell windows on disk. Each batch keeps a record of
// its own (a journal, see BatchJournal) in one folder, named after the moment it started, beside a
// lock file that its program holds while it runs. The system lets go of the lock when the program
// ends, however it ends, so batches that run side by side never share a record, and a batch that
// runs now can be told from one that was interrupted. A lock file is there only while its lock is
// held (one left by a program that was killed goes when the lock is next taken and let go of): a
// record without one is not running.
class BatchRecord {
  public:
    ~BatchRecord();  // lets go of the lock and removes its file; the record stays
    BatchRecord(const BatchRecord&) = delete;
    BatchRecord& operator=(const BatchRecord&) = delete;

    // A record in `folder` for a batch that starts now, locked for this program. Null, with the
    // reason in `error`, when the folder or the lock cannot be made.
    static std::unique_ptr<BatchRecord> Create(const QString& folder, QString& error);

    // Where the batch's journal goes.
    const QString& path() const { return path_; }

    // Removes the record and its lock: a batch whose every file completed leaves nothing to
    // resume, and a batch taken up by --resume lives on in the record of the new run.
    void Remove();

  private:
    friend class BatchRecords;
    BatchRecord(QString path, int lockFd);

    QString path_;
    int lockFd_ = -1;
};

// The batch that --resume runs again.
struct ResumeChoice {
    std::unique_ptr<BatchRecord> record;      // locked, so no other --resume takes it; null: none
    std::vector<BatchModel::Row> unfinished;  // its files that did not complete, in their order
    // Records set aside, names refused, files taken as completed from their listings.
    QStringList messages;
    int running = 0;     // batches that run now, which are never taken
    int unreadable = 0;  // records that could not be read
    // Records kept aside whole although read: they name files that cannot be run now.
    int keptAside = 0;
    bool anyEarlier = false;    // a batch was ever kept here
    QStringList exportOptions;  // its export after each run, if it had one
};

class BatchRecords {
  public:
    // The most records of batches that do not run now that are kept; older ones are removed
    // when a batch starts.
    static constexpr int kKept = 20;

    // Takes the batch --resume runs again: of the batches that do not run now and have a file
    // that did not complete, the one that started last. On the way, a record whose every file
    // completed is removed, and one that cannot be read is kept aside unread (see
    // BatchJournal::SetAside) with a message; so is one that names files that cannot be run now
    // (its other files are taken all the same), never removed. A file left running or aborted
    // whose listing was written after the batch started and after the input file, and holds
    // its analysis whole to the end time (ListingReachesEnd), had its solver complete after
    // the batch ended: it is taken as completed, with a message. `legacy`, the one journal of
    // earlier versions, counts as older than every record.
    static ResumeChoice TakeForResume(const QString& folder, const QString& legacy);

    // Takes the batch a window shows again at start: of the records that no running program
    // holds, the one that started last, `legacy` counting as older than every record. Locked for
    // this program, so no other window takes it while this one keeps its batch there. Null when
    // there is none that is not held.
    static std::unique_ptr<BatchRecord> TakeLatest(const QString& folder, const QString& legacy);

    // Removes all but the kKept most recent records of batches that do not run now, and lock
    // files left without a record.
    static void Prune(const QString& folder);
};

}  // namespace velto
