#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>
#include <string>
#include <vector>

#include "shell/cluster/slurmjob.h"
#include "shell/model/batchmodel.h"
#include "shell/runner/inputfiles.h"
#include "shell/runner/settings.h"

namespace velto {

class BatchJournal;
class BatchRecord;
class SlurmBackend;

// What may be done with the batch now, command by command. The window greys its buttons and
// menus by it; every command of the session refuses what it says is off.
struct BatchEnabling {
    bool add = true;            // Add...: not while a batch runs
    bool remove = false;        // Delete (of a row): rows listed and no batch running
    bool clear = false;         // Clear: the same
    bool run = false;           // Run: the same
    bool runOnCluster = false;  // Run on cluster: the same, and sbatch on the PATH
    bool stop = false;          // Stop: while a batch runs, also while sbatch answers
    bool exportSetting = true;  // "Export after each run": not while a batch runs
    bool openFile = true;       // a double click opens a row's input file: not while a batch runs
    // The solver's folder: always; a batch keeps the solver it began with.
    bool chooseSolver = true;
    bool quitAsks = false;  // quitting asks first: while a batch runs

    bool operator==(const BatchEnabling&) const = default;
};

// A question the session needs answered before it acts. The front end asks it its own way (the
// window in a Yes/No message box with `text`, velto-batch on its terminal or from its options)
// and gives the answer back through the command each kind names.
struct BatchQuestion {
    enum class Kind {
        kNone,
        kQuit,       // Yes: Quit()
        kSubmit,     // Yes: RunOnCluster()
        kCancelJob,  // Yes: Stop() cancels the job; No: StopFollowing()
        kClear,      // Yes: Clear()
    };
    Kind kind = Kind::kNone;
    QString text;   // the window's words
    QString jobId;  // kCancelJob: the job asked about

    explicit operator bool() const { return kind != Kind::kNone; }
};

// What Show Results opens for a row: the listing its solver writes, here or on a cluster.
struct RowResults {
    bool offered = false;  // the row has been started (running, or ended): not one never run
    std::string listing;   // the listing's path bytes (ListingOfRun)
    bool written = false;  // the solver has written it: it is there
    bool running = false;  // the row runs: the listing is to be followed
};

// The window's message for the names an Add did not take: every name given is either listed now
// or named here. Empty when every name was taken.
QString AddRefusalText(const CheckedInputs& checked);

// What --resume finds to run again: of the batches that left files unfinished and do not run now,
// the one started last (see BatchRecords::TakeForResume; a file whose listing shows its analysis
// whole is taken as completed there). Offered only for a batch with unfinished files.
struct ResumeOffer {
    bool offered = false;
    std::vector<BatchModel::Row> unfinished;  // in their order, each with its status and reason
    QStringList messages;                     // records kept aside, names refused, files taken
    int running = 0;                          // batches that run now, which are never offered
    int unreadable = 0;                       // records that could not be read
    bool anyEarlier = false;                  // a batch was ever kept
    QStringList exportOptions;                // the offered batch's export after each run
    // Records kept aside, unread or whole: what they hold has not completed.
    bool recordsKeptAside = false;
};

// One Shell session: the batch of input files and the runs over it, here or on a cluster, the
// solver, the batch's record on disk, what may be done now and the questions to ask first. The
// VeltoShell window and velto-batch are views of it: they turn the user's commands into the
// session's and show what it says; neither keeps rules of its own. It has no widgets and asks
// nothing itself.
class BatchSession : public QObject {
    Q_OBJECT

  public:
    explicit BatchSession(QObject* parent = nullptr);
    // The record's last save comes while the record is still this session's; a batch still
    // running is let go of (local solvers run on, a cluster job stays queued).
    ~BatchSession() override;

    // The rows, their statuses, console texts and reasons, the timing and the summary.
    BatchModel& batch() { return batch_; }
    const BatchModel& batch() const { return batch_; }
    bool running() const { return batch_.running(); }
    // Whether each row's console text is kept whole (the window shows it again), or only its
    // last lines (a terminal streams it).
    void setKeepConsoleText(bool keep) { batch_.setKeepLogs(keep); }

    // -- The solver
    // Looks for the solver as both programs do (LocateSolver): in `folder` when given, else in
    // the one remembered, else beside the program. The solver found is the one runs use.
    SolverLookup LookForSolver(std::string folder = {});
    const SolverInfo& solver() const { return solver_; }
    // Why Run and Run on Cluster start nothing now (no solver was found where it was looked
    // for), in the words that say where to choose one; empty when they may.
    QString RunRefusal() const;
    // The folder the user chose: taken, and remembered at once, only when it holds the solver;
    // the solver in use stays otherwise. The lookup says which, and why not.
    SolverLookup ChooseSolverFolder(const QString& folder);
    // The program ends: the solver chosen in it stays remembered.
    void Close();

    // -- The batch on disk
    // A window's start: takes up the last batch that no other window or batch holds, its rows as
    // they were (one that was running reads "Interrupted"), or begins a record of its own, and
    // keeps the batch there as it changes. Returns what the user is to be told, in order: a
    // record that could not be read (kept aside under another name) or a batch that cannot be
    // kept, then rows left out.
    QStringList TakeUpLastBatch();
    // --resume's question: the batch it would run again. The record offered stays held by this
    // session, so no other --resume takes it.
    ResumeOffer OfferResume();
    // The answer yes: the offered batch's unfinished files are listed by the one rule. A file
    // that cannot be run now is left out (named in the result) and the batch will not have
    // completed; with none left, the offered record goes, nothing of it being runnable.
    CheckedInputs TakeResume(const ResumeOffer& offer);
    // The batch --resume took up left a file out, or records were kept aside: the batch cannot
    // complete whatever its runs do.
    bool resumeIncomplete() const { return resumeIncomplete_; }
    // velto-batch's batch, about to run here: kept from now on in a record of its own, which
    // replaces the record of the batch it resumes. Returns why it is not kept, or empty.
    QString KeepOnDisk();
    // Where the batch is kept; empty while it is not.
    QString recordPath() const;
    // The batch has ended: its record is written a last time, and goes when every file completed
    // (nothing of it is left to resume).
    void EndOnDisk();

    // -- The rows (refused while a batch runs, see Enabling)
    // Lists the files that may be run, each once (CheckInputFiles against the rows listed). Every
    // name given is either listed or named in the result's refused or duplicates lines.
    CheckedInputs Add(const std::vector<std::string>& names);
    bool Delete(int row);
    bool Clear();
    // Asked before a Clear that would drop files which did not complete, with their reasons (a
    // list of only new or completed files goes without a word).
    BatchQuestion ClearQuestion() const;

    // -- What may be done now; enablingChanged() whenever it changes.
    BatchEnabling Enabling() const;
    bool CanDelete(int row) const;
    bool CanOpen(int row) const;
    // Show Results of a row: offered for a row that runs or has ended (also after a batch of an
    // earlier run, kept in its record), not for one never started or waiting in a queue.
    RowResults ResultsOf(int row) const;

    // -- The export after each run of the batches that follow
    // Why these velto-extract options cannot be used (a text that cannot be split, an option
    // velto-extract refuses, no velto-extract); empty when they can. Fills `options`.
    static QString ExportOptionsProblemOf(const QString& text, QStringList& options);
    // Why these options cannot be used (see ExportOptionsProblem), or empty; no options: no
    // export. The options are taken either way.
    QString SetExportAfterRun(const QStringList& options);
    // The window's setting: when on, the options it remembers (LoadExportOptions), checked when
    // they were chosen; none when off, or when they cannot be split.
    void UseExportSetting(bool on);

    // -- Runs
    // Every row runs here, `jobs` files at a time. False when Run is off (see Enabling).
    bool Run(int jobs = 1);
    // Every row runs through this backend (the session then owns it); for a backend of a test's.
    bool RunThrough(std::unique_ptr<BatchBackend> backend);
    // Whether sbatch is on the PATH, looked for at the session's start and again here.
    bool LookForCluster();
    bool clusterAvailable() const { return clusterAvailable_; }
    // The question before a submission ("Submit 2 files to the cluster, partition debug?"); none
    // when Run on cluster is off.
    BatchQuestion SubmitQuestion() const;
    // Every row goes to the cluster as one job array; the answer comes from the event loop
    // (batchAccepted() or batchRefused() of the batch).
    bool RunOnCluster(const SlurmOptions& options);
    // Follows a job submitted earlier: its files become the rows.
    bool Follow(const SlurmRecord& job);
    // The cluster job the session submits or follows now; null otherwise.
    SlurmBackend* clusterJob() const;

    // The question Stop asks first: for a cluster job under way, whether to cancel it or only to
    // stop following it. None otherwise: Stop stops at once.
    BatchQuestion StopQuestion() const;
    // No further file starts, and the files under way end "Aborted" (a cluster job is
    // cancelled). Nothing when no batch runs.
    void Stop();
    // Lets go of the cluster job, which runs on. Returns what to show ("Stopped following job
    // 42"), empty when no cluster job was followed.
    QString StopFollowing();
    // Lets go of the batch after a fault of the program: rows under way end "Failed".
    void Abandon();

    // Every file completed and every export after a run was written.
    bool Succeeded() const;

    // -- Quitting
    // The question before quitting: only while a batch runs.
    BatchQuestion QuitQuestion() const;
    // The user quits: the batch, if one runs, stops, and quitReady() follows its end; at once
    // otherwise.
    void Quit();

  signals:
    void enablingChanged();
    // The quit asked for may be carried out now.
    void quitReady();

  private:
    void CheckEnabling();
    bool StartRun(std::unique_ptr<BatchBackend> backend, const SolverInfo& solver, bool onCluster);

    BatchModel batch_;
    SolverInfo solver_;
    SolverLookup solverLookup_;  // the last look, found or not
    bool solverChosen_ = false;
    bool clusterAvailable_ = false;
    bool onCluster_ = false;  // the running or last batch went to the cluster
    // The record this session's batch is kept in, and the one --resume took up.
    std::unique_ptr<BatchRecord> record_;
    std::unique_ptr<BatchRecord> resumed_;
    std::unique_ptr<BatchJournal> journal_;  // after the record: saves last while it is held
    bool resumeIncomplete_ = false;
    BatchEnabling shown_;
};

}  // namespace velto
