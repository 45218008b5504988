#include "shell/session/batchsession.h"

#include <QDateTime>
#include <QFileInfo>

#include "shell/cluster/slurmbackend.h"
#include "shell/model/batchjournal.h"
#include "shell/model/batchrecords.h"
#include "shell/runner/exportafterrun.h"
#include "shell/runner/localbackend.h"
#include "shell/runner/solverrun.h"

namespace velto {

namespace {

// Every batch of either program is kept in a record of its own in this folder; the journals of
// earlier versions, one per program, count as older than every record.
QString RecordsFolder() {
    return BatchJournal::DefaultPath(QStringLiteral("velto-batch"));
}

}  // namespace

QString AddRefusalText(const CheckedInputs& checked) {
    QStringList untaken;
    if (!checked.refused.isEmpty()) {
        untaken.append(QStringLiteral("These files cannot be run and were not added:\n\n") +
                       checked.refused.join('\n'));
    }
    if (!checked.duplicates.isEmpty()) {
        untaken.append(QStringLiteral("These files are in the list already:\n\n") +
                       checked.duplicates.join('\n'));
    }
    return untaken.join(QStringLiteral("\n\n"));
}

BatchSession::BatchSession(QObject* parent) : QObject(parent) {
    clusterAvailable_ = SlurmBackend::Available();
    shown_ = Enabling();
    // Connected before any view is: a view that hears of an end finds the rules already changed.
    connect(&batch_, &BatchModel::rowsChanged, this, &BatchSession::CheckEnabling);
    connect(&batch_, &BatchModel::batchRefused, this, &BatchSession::CheckEnabling);
    connect(&batch_, &BatchModel::batchFinished, this, &BatchSession::CheckEnabling);
    // A cluster job accepted is kept in the record until its batch ends: a window killed while
    // it runs follows it again when started anew, rather than losing it.
    auto keepJob = [this](const QString& id) {
        if (batch_.clusterJobId() != id) {
            batch_.setClusterJobId(id);
            if (journal_) {
                journal_->Save();
            }
        }
    };
    connect(&batch_, &BatchModel::batchAccepted, this, [this, keepJob] {
        if (const SlurmBackend* job = clusterJob()) {
            keepJob(job->jobId());
        }
    });
    connect(&batch_, &BatchModel::batchFinished, this, [keepJob] { keepJob(QString()); });
    connect(&batch_, &BatchModel::quitReady, this, &BatchSession::quitReady);
}

BatchSession::~BatchSession() = default;

void BatchSession::CheckEnabling() {
    const BatchEnabling now = Enabling();
    if (!(now == shown_)) {
        shown_ = now;
        emit enablingChanged();
    }
}

BatchEnabling BatchSession::Enabling() const {
    const bool idle = !batch_.running();
    const bool listed = batch_.rowCount() > 0;
    BatchEnabling enabling;
    enabling.add = idle;
    enabling.remove = idle && listed;
    enabling.clear = idle && listed;
    enabling.run = idle && listed;
    enabling.runOnCluster = idle && listed && clusterAvailable_;
    enabling.stop = !idle;
    enabling.exportSetting = idle;
    enabling.openFile = idle;
    enabling.chooseSolver = true;
    enabling.quitAsks = !idle;
    return enabling;
}

bool BatchSession::CanDelete(int row) const {
    return Enabling().remove && row >= 0 && row < batch_.rowCount();
}

bool BatchSession::CanOpen(int row) const {
    return Enabling().openFile && row >= 0 && row < batch_.rowCount();
}

namespace {
// How far a shared folder's clock may lag this machine's.
constexpr qint64 kClockSlackMs = 5000;
}  // namespace

RowResults BatchSession::ResultsOf(int row) const {
    RowResults results;
    if (row < 0 || row >= batch_.rowCount()) {
        return results;
    }
    const BatchModel::Row& file = batch_.rows()[static_cast<std::size_t>(row)];
    results.offered = !file.status.isEmpty() && file.status != kStatusQueued;
    if (!results.offered) {
        return results;
    }
    results.listing = ListingOfRun(file.nativePath);
    const QFileInfo listing(PathText(results.listing));
    results.written = listing.isFile();
    results.running = file.status == kStatusRunning;
    if (results.running && results.written) {
        // A listing last written before this run began is an earlier run's, not yet written
        // over: it is not this run's results (a few seconds allowed for a shared folder's clock).
        const QDateTime began = QDateTime::currentDateTimeUtc().addMSecs(
            -static_cast<qint64>(batch_.ElapsedSeconds(row) * 1000) - kClockSlackMs);
        results.written = listing.lastModified().toUTC() >= began;
    }
    return results;
}

// -- The solver

SolverLookup BatchSession::LookForSolver(std::string folder) {
    SolverLookup lookup = LocateSolver(std::move(folder));
    solver_ = lookup.solver;
    solverLookup_ = lookup;
    return lookup;
}

QString BatchSession::RunRefusal() const {
    return solverLookup_.found ? QString() : SolverMissingText(solverLookup_);
}

SolverLookup BatchSession::ChooseSolverFolder(const QString& folder) {
    SolverLookup lookup = LocateSolver(PathBytes(folder));
    if (!lookup.found) {
        return lookup;
    }
    solver_ = lookup.solver;
    solverLookup_ = lookup;
    solverChosen_ = true;
    // Saved at once: a program killed later keeps the choice, and another window closing later
    // does not write its own folder over it.
    SaveSolverFolder(PathText(solver_.SolverFolder));
    return lookup;
}

void BatchSession::Close() {
    if (solverChosen_) {
        SaveSolverFolder(PathText(solver_.SolverFolder));
    }
}

// -- The batch on disk

QStringList BatchSession::TakeUpLastBatch() {
    QStringList told;
    if (journal_ || record_) {
        return told;  // taken up already
    }
    const QString records = RecordsFolder();
    record_ = BatchRecords::TakeLatest(
        records, BatchJournal::DefaultPath(QStringLiteral("shell-batch.json")));
    QStringList refused;
    if (record_) {
        const QString journalPath = record_->path();
        if (BatchJournal::Load(journalPath, batch_, &refused) ==
            BatchJournal::Loaded::kUnreadable) {
            // Never saved over: what cannot be read here may still be worth something to
            // someone.
            const QString aside = BatchJournal::SetAside(journalPath);
            if (aside.isEmpty()) {
                record_.reset();
            }
            told.append(record_ ? QStringLiteral("The last batch could not be read from %1. It "
                                                 "was kept as %2.")
                                      .arg(journalPath, aside)
                                : QStringLiteral("The last batch could not be read from %1, nor "
                                                 "moved aside. It is left as it is, and this "
                                                 "session's batch is not kept on disk.")
                                      .arg(journalPath));
        }
    } else {
        QString error;
        record_ = BatchRecord::Create(records, error);
        if (!record_) {
            told.append(QStringLiteral("This session's batch is not kept on disk: ") + error);
        }
    }
    if (!refused.isEmpty()) {
        told.append(QStringLiteral("These files of the last batch were left out:\n\n") +
                    refused.join('\n'));
    }
    if (record_) {
        journal_ = std::make_unique<BatchJournal>(batch_, record_->path());
        journal_->Save();
        BatchRecords::Prune(records);
    }
    if (const QString id = batch_.clusterJobId(); !id.isEmpty()) {
        // The last window ended while its cluster job ran: follow it again.
        QString error;
        const std::optional<SlurmRecord> job = SlurmBackend::FindJob(id, error);
        batch_.setClusterJobId(QString());
        if (job && Follow(*job)) {
            told.append(
                QStringLiteral("The cluster job %1 of the last batch is followed again.").arg(id));
        } else {
            told.append(QStringLiteral("The cluster job %1 of the last batch cannot be followed "
                                       "again%2. velto-batch --follow %1 follows it where it "
                                       "can.")
                            .arg(id, error.isEmpty() ? QString() : QStringLiteral(": ") + error));
        }
    }
    return told;
}

ResumeOffer BatchSession::OfferResume() {
    ResumeChoice choice = BatchRecords::TakeForResume(
        RecordsFolder(), BatchJournal::DefaultPath(QStringLiteral("velto-batch.json")));
    ResumeOffer offer;
    offer.offered = choice.record != nullptr;
    offer.unfinished = std::move(choice.unfinished);
    offer.messages = std::move(choice.messages);
    offer.running = choice.running;
    offer.unreadable = choice.unreadable;
    offer.anyEarlier = choice.anyEarlier;
    offer.exportOptions = std::move(choice.exportOptions);
    // What those records held did not run, so the batch cannot have completed.
    offer.recordsKeptAside = choice.unreadable + choice.keptAside > 0;
    resumeIncomplete_ = resumeIncomplete_ || offer.recordsKeptAside;
    resumed_ = std::move(choice.record);
    return offer;
}

CheckedInputs BatchSession::TakeResume(const ResumeOffer& offer) {
    std::vector<std::string> files;
    for (const BatchModel::Row& row : offer.unfinished) {
        files.push_back(row.nativePath);
    }
    CheckedInputs checked = Add(files);
    // A file of the batch deleted since (or no longer fit to run) must not hold back the rest at
    // every retry: it is left out, and the new record no longer holds it.
    if (!checked.refused.isEmpty() || !checked.duplicates.isEmpty()) {
        resumeIncomplete_ = true;
    }
    if (checked.accepted.empty() && resumed_) {
        resumed_->Remove();
        resumed_.reset();
    }
    return checked;
}

QString BatchSession::KeepOnDisk() {
    if (record_) {
        return {};
    }
    const QString records = RecordsFolder();
    QString error;
    record_ = BatchRecord::Create(records, error);
    if (!record_) {
        return error;
    }
    journal_ = std::make_unique<BatchJournal>(batch_, record_->path());
    if (journal_->Save() && resumed_) {
        // The new record holds what is left of the batch it resumes.
        resumed_->Remove();
        resumed_.reset();
    }
    BatchRecords::Prune(records);
    return {};
}

QString BatchSession::recordPath() const {
    return record_ && journal_ ? record_->path() : QString();
}

void BatchSession::EndOnDisk() {
    if (journal_) {
        journal_->Save();
        journal_.reset();
    }
    if (record_ && Succeeded()) {
        record_->Remove();  // nothing of it to resume
    }
}

// -- The rows

CheckedInputs BatchSession::Add(const std::vector<std::string>& names) {
    if (!Enabling().add) {
        // Refused whole, but never silently: each name is told.
        CheckedInputs refused;
        for (const std::string& name : names) {
            refused.refused.append(
                QStringLiteral("%1: not added while the batch runs").arg(PrintablePath(name)));
        }
        return refused;
    }
    return batch_.AddFiles(names);
}

bool BatchSession::Delete(int row) {
    return CanDelete(row) && batch_.RemoveRow(row);
}

bool BatchSession::Clear() {
    return Enabling().clear && batch_.ClearRows();
}

// -- The export after each run

QString BatchSession::ExportOptionsProblemOf(const QString& text, QStringList& options) {
    QString problem;
    if (!ParseExportOptions(text, options, problem)) {
        return problem;
    }
    return ExportOptionsProblem(FindExtractProgram(), options);
}

QString BatchSession::SetExportAfterRun(const QStringList& options) {
    const QString program = FindExtractProgram();
    batch_.setExportAfterRun(program, options);
    return options.isEmpty() ? QString() : ExportOptionsProblem(program, options);
}

void BatchSession::UseExportSetting(bool on) {
    QStringList options;
    QString problem;
    if (!on || !ParseExportOptions(LoadExportOptions(), options, problem)) {
        options.clear();
    }
    batch_.setExportAfterRun(FindExtractProgram(), options);
}

// -- Runs

bool BatchSession::StartRun(std::unique_ptr<BatchBackend> backend, const SolverInfo& solver,
                            bool onCluster) {
    onCluster_ = onCluster;
    if (!batch_.Run(std::move(backend), solver)) {
        return false;
    }
    CheckEnabling();
    return true;
}

bool BatchSession::Run(int jobs) {
    return Enabling().run && RunRefusal().isEmpty() &&
           StartRun(std::make_unique<LocalBackend>(jobs), solver_, false);
}

bool BatchSession::RunThrough(std::unique_ptr<BatchBackend> backend) {
    return Enabling().run && StartRun(std::move(backend), solver_, false);
}

bool BatchSession::LookForCluster() {
    clusterAvailable_ = SlurmBackend::Available();
    CheckEnabling();
    return clusterAvailable_;
}

BatchQuestion BatchSession::SubmitQuestion() const {
    if (!Enabling().runOnCluster) {
        return {};
    }
    // A submission takes the cluster's time and the user's share of it: asked, not assumed.
    // sbatch takes its partition from SBATCH_PARTITION when the user set one.
    const QString partition = qEnvironmentVariable("SBATCH_PARTITION");
    const int files = batch_.rowCount();
    QString question = files == 1 ? QStringLiteral("Submit 1 file to the cluster")
                                  : QStringLiteral("Submit %1 files to the cluster").arg(files);
    question += partition.isEmpty() ? QStringLiteral("?")
                                    : QStringLiteral(", partition %1?").arg(partition);
    return {BatchQuestion::Kind::kSubmit, question, QString()};
}

bool BatchSession::RunOnCluster(const SlurmOptions& options) {
    return Enabling().runOnCluster && RunRefusal().isEmpty() &&
           StartRun(std::make_unique<SlurmBackend>(options), solver_, true);
}

bool BatchSession::Follow(const SlurmRecord& job) {
    if (running()) {
        return false;
    }
    batch_.ClearRows();
    for (qsizetype i = 0; i < job.files.size(); ++i) {
        batch_.RestoreRow(job.files[i], job.nativeFiles[static_cast<std::size_t>(i)]);
    }
    // The job's script has the solver: none is looked for here.
    return StartRun(std::make_unique<SlurmBackend>(job), SolverInfo(), true);
}

SlurmBackend* BatchSession::clusterJob() const {
    return onCluster_ && batch_.running() ? qobject_cast<SlurmBackend*>(batch_.backend()) : nullptr;
}

BatchQuestion BatchSession::StopQuestion() const {
    const SlurmBackend* job = clusterJob();
    if (!job || job->starting()) {
        return {};
    }
    // Stopping a job on a cluster kills its solvers: that is asked, not assumed.
    return {BatchQuestion::Kind::kCancelJob,
            QStringLiteral("Cancel job %1 on the cluster?\n\nNo stops following it; the job runs "
                           "on.")
                .arg(job->jobId()),
            job->jobId()};
}

void BatchSession::Stop() {
    batch_.Stop();
}

QString BatchSession::StopFollowing() {
    const SlurmBackend* job = clusterJob();
    if (!job) {
        return {};
    }
    const QString id = job->jobId();
    batch_.Detach();
    CheckEnabling();
    return QStringLiteral("Stopped following job %1").arg(id);
}

void BatchSession::Abandon() {
    batch_.Abandon();
    CheckEnabling();
}

bool BatchSession::Succeeded() const {
    return batch_.AllCompleted() && batch_.exportFailures() == 0;
}

// -- Quitting

BatchQuestion BatchSession::QuitQuestion() const {
    if (!Enabling().quitAsks) {
        return {};
    }
    return {BatchQuestion::Kind::kQuit,
            QStringLiteral("Analysis is running. Do you want to exit and abbort current analysis?"),
            QString()};
}

BatchQuestion BatchSession::ClearQuestion() const {
    int unfinished = 0;
    for (const BatchModel::Row& row : batch_.rows()) {
        unfinished += row.status == kStatusFailed || row.status == kStatusAborted ||
                              row.status == kStatusInterrupted
                          ? 1
                          : 0;
    }
    if (unfinished == 0 || !Enabling().clear) {
        return {};
    }
    return {BatchQuestion::Kind::kClear,
            (unfinished == 1 ? QStringLiteral("1 file did not complete")
                             : QStringLiteral("%1 files did not complete").arg(unfinished)) +
                QStringLiteral(". Clear the list, and with it why?"),
            QString()};
}

void BatchSession::Quit() {
    batch_.RequestQuit();
}

}  // namespace velto
