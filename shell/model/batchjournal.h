#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>
#include <string>

class QTimer;

namespace velto {

class BatchModel;
class RecordWriter;

// Keeps a batch on disk as it changes, so that a program that dies, or a machine that restarts,
// loses nothing of it: the rows, each row's status, console text (or its last lines, see
// BatchModel::KeptConsole) and why it did not complete. The file is replaced atomically and
// durably on every change (output is saved at most every two seconds). A file's start, its
// output and its completion are saved behind the run (RecordWriter): no solver waits for the disk
// or a file server. A file's end that is not a completion, a change of the rows and the batch's
// end are on the disk before the program goes on.
class BatchJournal : public QObject {
    Q_OBJECT

  public:
    BatchJournal(BatchModel& batch, QString path, QObject* parent = nullptr);
    ~BatchJournal() override;

    // Writes the journal now, and waits until it is on the disk. False when it could not be
    // written.
    bool Save();

    // Reads a journal into an empty batch: the rows as they were, with their statuses, logs and
    // reasons, and when the batch started; a row that was "Running" reads "Interrupted". A row
    // whose name cannot be handed to the solver (NameProblem), or that is no full path, is left
    // out, with its reason in `refused`. Unreadable: the file is there but is not a journal (a
    // value of another type than ours, a row without a path), cannot be read, or is larger than
    // kMaxJournalBytes (refused without reading it); the batch is then left empty.
    enum class Loaded { kYes, kMissing, kUnreadable };
    static Loaded Load(const QString& path, BatchModel& batch, QStringList* refused = nullptr);

    // Keeps an unreadable journal aside, beside it under a name of its own
    // ("shell-batch.json.unreadable", "...unreadable-2", ...), so that a new journal does not
    // replace it. Returns where it was kept, or empty when it could not be moved.
    static QString SetAside(const QString& path);

    // Where a program keeps its journal: beside the shell's settings, under this file name.
    static QString DefaultPath(const QString& fileName);

    // The largest journal that is read. Save never writes a larger one.
    static constexpr qsizetype kMaxJournalBytes = qsizetype(64) << 20;
    // The console text kept per row (its last part), so a solver that floods its console cannot
    // make the journal grow without end; and of all rows together, shared out evenly among the
    // rows whose text is longer than their share. Written as JSON, a byte of console text takes
    // at most six (a control character as \u00XX): the whole budget so written leaves room
    // for the rows within kMaxJournalBytes.
    static constexpr qsizetype kMaxLogBytes = 1 << 20;
    static constexpr qsizetype kLogBudget = 8 << 20;
    static_assert(6 * kLogBudget < kMaxJournalBytes);

  private:
    void SaveSoon();
    // Hands the journal to the writer without waiting for the disk.
    void SaveBehind();
    // The journal's text; none when it would be too large to read back, or memory ran out.
    std::optional<std::string> Text() const;

    BatchModel& batch_;
    QString path_;
    QTimer* pending_ = nullptr;
    std::unique_ptr<RecordWriter> writer_;
};

}  // namespace velto
