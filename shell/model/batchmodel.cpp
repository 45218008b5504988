#include "shell/model/batchmodel.h"

#include <signal.h>

#include <algorithm>
#include <memory>
#include <optional>

#include "shell/runner/batchreport.h"
#include "shell/runner/childprocess.h"
#include "shell/runner/endreason.h"
#include "shell/runner/exportafterrun.h"
#include "shell/runner/inputfiles.h"
#include "shell/runner/solverrun.h"

namespace velto {

BatchModel::BatchModel(QObject* parent) : QObject(parent) {}

BatchModel::~BatchModel() {
    if (backend_) {
        backend_->disconnect(this);
        backend_->Detach();
    }
}

const QByteArray& BatchModel::log(int row) const {
    static const QByteArray none;
    return Valid(row) ? states_[static_cast<std::size_t>(row)].log : none;
}

namespace {

// The last kLastLines lines of a text, at most kLastLinesBytes of them.
QByteArray LastLines(const QByteArray& text) {
    qsizetype from = text.size();
    // A line end that closes the text starts no line of its own.
    qsizetype searchFrom = text.endsWith('\n') ? text.size() - 2 : text.size() - 1;
    for (int lines = 0; lines < BatchModel::kLastLines && from > 0; ++lines) {
        const qsizetype end = searchFrom < 0 ? -1 : text.lastIndexOf('\n', searchFrom);
        from = end + 1;
        searchFrom = end - 1;
    }
    from = std::max(from, text.size() - BatchModel::kLastLinesBytes);
    return text.mid(from);
}

}  // namespace

QByteArray BatchModel::KeptConsole(int row) const {
    if (!Valid(row)) {
        return {};
    }
    const State& state = states_[static_cast<std::size_t>(row)];
    QByteArray text = state.log.isEmpty() ? LastLines(state.tail) : state.log;
    const QByteArray& reason = rows_[static_cast<std::size_t>(row)].reason;
    // Said last, on a line of its own, whatever of the text was kept before it.
    if (!reason.isEmpty() && !text.endsWith(reason + '\n') && !text.endsWith(reason)) {
        if (!text.isEmpty() && !text.endsWith('\n')) {
            text += '\n';
        }
        text += reason + '\n';
    }
    return text;
}

CheckedInputs BatchModel::AddFiles(const std::vector<std::string>& candidates) {
    if (!Editable()) {
        return {};
    }
    std::vector<std::string> listed;
    for (const Row& row : rows_) {
        listed.push_back(row.nativePath);
    }
    CheckedInputs checked = CheckInputFiles(candidates, listed);
    for (const std::string& path : checked.accepted) {
        rows_.push_back({PathText(path), path, QString()});
        states_.emplace_back();
    }
    if (!checked.accepted.empty()) {
        emit rowsChanged();
    }
    return checked;
}

bool BatchModel::RestoreRow(const QString& path, std::string nativePath, const QString& status,
                            const QByteArray& log, const QByteArray& reason) {
    if (!Editable()) {
        return false;
    }
    if (nativePath.empty()) {
        nativePath = PathBytes(path);
    }
    rows_.push_back({path, std::move(nativePath), status, reason.trimmed()});
    State state;
    state.log = log;
    state.tail = LastLines(log);
    states_.push_back(std::move(state));
    emit rowsChanged();
    return true;
}

bool BatchModel::RemoveRow(int row) {
    if (!Editable() || !Valid(row)) {
        return false;
    }
    rows_.erase(rows_.begin() + row);
    states_.erase(states_.begin() + row);
    emit rowsChanged();
    return true;
}

bool BatchModel::ClearRows() {
    if (!Editable()) {
        return false;
    }
    rows_.clear();
    states_.clear();
    emit rowsChanged();
    return true;
}

bool BatchModel::Run(std::unique_ptr<BatchBackend> backend, const SolverInfo& solver) {
    if (running_ || rows_.empty() || !backend) {
        return false;
    }
    if (backend_) {
        backend_->disconnect(this);
        backend_.release()->deleteLater();  // it may be the sender of what ended the last run
    }
    backend_ = std::move(backend);
    running_ = true;
    stopRequested_ = false;
    quitRequested_ = false;
    backendFinished_ = false;
    exportFailures_ = 0;
    clock_.start();
    startedAt_ = QDateTime::currentDateTimeUtc();
    batchEndedMs_ = -1;
    std::vector<std::string> files;
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        files.push_back(rows_[i].nativePath);
        State& state = states_[i];
        state.earlierStatus = rows_[i].status;
        state.touched = false;
        state.startedMs.reset();
        state.endedMs = -1;
        state.fraction = 0;
        SetStatus(static_cast<int>(i), kStatusQueued);
    }

    BatchBackend* b = backend_.get();
    connect(b, &BatchBackend::accepted, this, &BatchModel::batchAccepted);
    connect(b, &BatchBackend::refused, this, [this](const QString& reason) {
        running_ = false;
        PutBackWaiting();
        batchEndedMs_ = clock_.elapsed();
        emit batchRefused(reason);
        if (quitRequested_) {
            emit quitReady();
        }
    });
    connect(b, &BatchBackend::fileQueued, this, &BatchModel::OnQueued);
    connect(b, &BatchBackend::fileStarted, this, &BatchModel::OnStarted);
    connect(b, &BatchBackend::outputChunk, this, &BatchModel::OnOutput);
    connect(b, &BatchBackend::progress, this, [this](int row, float fraction, const QString& name) {
        if (!Valid(row)) {
            return;
        }
        Touch(row);
        states_[static_cast<std::size_t>(row)].fraction = fraction;
        emit progress(row, fraction, name);
    });
    connect(b, &BatchBackend::fileFailedBecause, this, [this](int row, const QByteArray& reason) {
        if (Valid(row)) {
            Touch(row);
            rows_[static_cast<std::size_t>(row)].reason = reason.trimmed();
            emit fileFailedBecause(row, reason);
        }
    });
    connect(b, &BatchBackend::fileFinished, this, &BatchModel::OnFinished);
    connect(b, &BatchBackend::message, this, &BatchModel::clusterMessage);
    connect(b, &BatchBackend::finished, this, &BatchModel::OnBackendFinished);
    b->Start(solver, files);
    return true;
}

void BatchModel::Touch(int row) {
    State& state = states_[static_cast<std::size_t>(row)];
    if (!state.touched) {
        state.touched = true;
        state.log.clear();
        state.tail.clear();
        rows_[static_cast<std::size_t>(row)].reason.clear();
    }
}

void BatchModel::SetStatus(int row, const QString& status) {
    Row& r = rows_[static_cast<std::size_t>(row)];
    if (r.status != status) {
        r.status = status;
        emit statusChanged(row);
    }
}

void BatchModel::OnQueued(int row) {
    if (!Valid(row)) {
        return;
    }
    SetStatus(row, kStatusQueued);
    emit fileQueued(row);
}

void BatchModel::OnStarted(int row, double ranSeconds) {
    if (!Valid(row)) {
        return;
    }
    Touch(row);
    State& state = states_[static_cast<std::size_t>(row)];
    // A file begun again (a requeued task) writes its text anew.
    state.log.clear();
    state.tail.clear();
    rows_[static_cast<std::size_t>(row)].reason.clear();
    if (!state.startedMs) {
        // Backdated by the time a task had run when first seen: may lie before our start.
        state.startedMs = clock_.elapsed() - static_cast<qint64>(ranSeconds * 1000);
    }
    state.endedMs = -1;
    SetStatus(row, kStatusRunning);
    emit fileStarted(row);
}

void BatchModel::OnOutput(int row, const QByteArray& text) {
    if (!Valid(row)) {
        return;
    }
    Touch(row);
    State& state = states_[static_cast<std::size_t>(row)];
    try {
        if (keepLogs_) {
            state.log.append(text);
        }
        // Trimmed now and then, not at every chunk: a flood costs no more than its bytes.
        state.tail.append(text);
        if (state.tail.size() > 2 * kLastLinesBytes) {
            state.tail = state.tail.right(kLastLinesBytes);
        }
    } catch (const std::exception& e) {
        // A console text beyond what memory holds: the run cannot be shown whole.
        state.log = QByteArray();
        state.tail = QByteArray();
        if (backend_) {
            backend_->GiveUpOutput(row, FailureText(e));
        }
        return;
    }
    emit outputChunk(row, text);
}

void BatchModel::OnFinished(int row, const QString& status, double ranSeconds) {
    if (!Valid(row)) {
        return;
    }
    Touch(row);
    State& state = states_[static_cast<std::size_t>(row)];
    const qint64 now = clock_.elapsed();
    if (!state.startedMs) {
        state.startedMs = now - static_cast<qint64>(ranSeconds * 1000);
    }
    state.endedMs = now;
    // A stopped file says so, in its row and its record, as a failed one says why it failed; a
    // backend that knows more (the cluster cancelled it) has said that already.
    QByteArray& reason = rows_[static_cast<std::size_t>(row)].reason;
    if (status == kStatusAborted && reason.isEmpty()) {
        reason = QByteArrayLiteral("Velto was stopped before it completed");
    }
    SetStatus(row, status);
    emit fileFinished(row, status);
    if (status == kStatusCompleted && !exportOptions_.isEmpty()) {
        StartExport(row);
    }
}

void BatchModel::setExportAfterRun(const QString& program, const QStringList& options) {
    exportProgram_ = program;
    exportOptions_ = options;
}

void BatchModel::StartExport(int row) {
    const ExportAfterRun run =
        ExportOfRun(rows_[static_cast<std::size_t>(row)].nativePath, exportOptions_);
    // Paths go as the bytes the file system knows, whatever they are as text.
    auto* child = new ChildProcess(this);
    auto said = std::make_shared<QByteArray>();
    connect(child, &ChildProcess::chunkRead, this,
            [said](const QByteArray& chunk) { said->append(chunk); });
    std::string error;
    const std::string folder = run.listing.substr(0, run.listing.rfind('/') + 1);
    if (!child->Start(PathBytes(exportProgram_), run.arguments, folder.empty() ? "." : folder,
                      error)) {
        child->deleteLater();
        ++exportsUnderWay_;
        OnExportEnded(row,
                      ConsoleBytes("Export failed: cannot start " + PathBytes(exportProgram_) +
                                   ": " + error + "\n"),
                      true);
        return;
    }
    ++exportsUnderWay_;
    exports_.push_back(child);
    const QByteArray target = QByteArray::fromStdString(run.target);
    connect(child, &ChildProcess::finished, this, [this, child, row, said, target](int status) {
        exports_.erase(std::remove(exports_.begin(), exports_.end(), child), exports_.end());
        child->deleteLater();
        const bool failed = status != 0;
        QByteArray text = !failed          ? "Exported: "
                          : stopRequested_ ? "Export stopped: "
                                           : "Export failed: ";
        const QByteArray words = said->trimmed();
        const std::optional<int> raw = child->WaitStatus();
        const SolverEnd end = raw ? SolverEnd::FromWaitStatus(*raw) : SolverEnd{};
        if (failed && end.signal > 0) {
            // Killed (the out-of-memory killer, a crash): what it said, if anything, then that,
            // never the file's name as if it had been written.
            text += (words.isEmpty() ? QByteArray() : words + "\n") +
                    QByteArray::fromStdString(EndReason(end, "velto-extract"));
        } else {
            text += words.isEmpty() ? target : words;
        }
        // Our words and velto-extract's are UTF-8, the console text the solver's code page.
        OnExportEnded(row, ConsoleBytes(text.toStdString() + "\n"), failed);
    });
}

void BatchModel::OnExportEnded(int row, const QByteArray& text, bool failed) {
    exportFailures_ += failed ? 1 : 0;
    --exportsUnderWay_;
    if (Valid(row)) {
        OnOutput(row, text);
        emit exportEnded(row, text, failed);
    }
    if (exportsUnderWay_ == 0 && backendFinished_) {
        FinishBatch();
    }
}

void BatchModel::PutBackWaiting() {
    for (int row = 0; row < rowCount(); ++row) {
        const State& state = states_[static_cast<std::size_t>(row)];
        if (!state.touched && rows_[static_cast<std::size_t>(row)].status == kStatusQueued) {
            SetStatus(row, state.earlierStatus);
        }
    }
}

void BatchModel::OnBackendFinished() {
    if (!running_) {
        return;
    }
    backendFinished_ = true;
    if (exportsUnderWay_ == 0) {
        FinishBatch();
    }
}

void BatchModel::FinishBatch() {
    if (!running_) {
        return;
    }
    running_ = false;
    PutBackWaiting();
    batchEndedMs_ = clock_.elapsed();
    emit batchFinished();
    if (quitRequested_) {
        emit quitReady();
    }
}

void BatchModel::Stop() {
    if (!running_) {
        return;
    }
    stopRequested_ = true;
    // An export under way stops too, writing nothing (it removes what it had begun).
    for (ChildProcess* child : exports_) {
        ::kill(child->pid(), SIGTERM);
    }
    backend_->Stop();
}

void BatchModel::Detach() {
    if (!running_) {
        return;
    }
    backend_->disconnect(this);
    backend_->Detach();
    running_ = false;
    batchEndedMs_ = clock_.elapsed();
}

void BatchModel::RequestQuit() {
    if (!running_) {
        emit quitReady();
        return;
    }
    quitRequested_ = true;
    Stop();
}

void BatchModel::RestoreStartedAt(const QDateTime& at) {
    if (Editable()) {
        startedAt_ = at;
    }
}

double BatchModel::ElapsedSeconds(int row) const {
    if (!Valid(row) || !clock_.isValid()) {
        return 0;
    }
    const State& state = states_[static_cast<std::size_t>(row)];
    if (!state.startedMs) {
        return 0;
    }
    const qint64 end = state.endedMs >= 0 ? state.endedMs : clock_.elapsed();
    return static_cast<double>(end - *state.startedMs) / 1000.0;
}

float BatchModel::LastFraction(int row) const {
    return Valid(row) ? states_[static_cast<std::size_t>(row)].fraction : 0;
}

QString BatchModel::TimingText(int row) const {
    return velto::TimingText(ElapsedSeconds(row), LastFraction(row));
}

double BatchModel::BatchSeconds() const {
    if (!clock_.isValid()) {
        return 0;
    }
    return static_cast<double>(batchEndedMs_ >= 0 ? batchEndedMs_ : clock_.elapsed()) / 1000.0;
}

std::vector<QString> BatchModel::StatusesOfThisBatch() const {
    std::vector<QString> statuses;
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        if (states_[i].touched) {
            statuses.push_back(rows_[i].status);
        }
    }
    return statuses;
}

QString BatchModel::Summary() const {
    QString summary = BatchSummary(StatusesOfThisBatch(), BatchSeconds());
    if (exportFailures_ > 0) {
        summary += exportFailures_ == 1
                       ? QStringLiteral("; 1 export failed")
                       : QStringLiteral("; %1 exports failed").arg(exportFailures_);
    }
    return summary;
}

bool BatchModel::AllCompleted() const {
    for (const Row& row : rows_) {
        if (row.status != kStatusCompleted) {
            return false;
        }
    }
    return true;
}

QString BatchModel::KeptStatus(int row) const {
    if (!Valid(row)) {
        return QString();
    }
    const QString& status = rows_[static_cast<std::size_t>(row)].status;
    return status == kStatusQueued ? states_[static_cast<std::size_t>(row)].earlierStatus : status;
}

void BatchModel::Abandon() {
    Detach();
    for (int row = 0; row < rowCount(); ++row) {
        if (rows_[static_cast<std::size_t>(row)].status == kStatusRunning) {
            SetStatus(row, kStatusFailed);
        }
    }
    PutBackWaiting();
}

}  // namespace velto
