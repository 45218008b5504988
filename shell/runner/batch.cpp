#include "shell/runner/batch.h"

#include <QTimer>
#include <algorithm>

#include "shell/runner/inputfiles.h"
#include "shell/runner/solverrun.h"

namespace velto {

Batch::Batch(QObject* parent) : QObject(parent) {}

Batch::~Batch() {
    // Runs still going when the owner goes away end here; their solvers run on undisturbed.
    for (auto& [run, row] : running_) {
        run->disconnect(this);
        delete run;
    }
}

void Batch::AddRow(const QString& path, std::string nativePath) {
    if (nativePath.empty()) {
        nativePath = PathBytes(path);
    }
    rows.push_back({path, QString(), std::move(nativePath)});
    RunLogs.append(QByteArray());
    emit rowsChanged();
}

void Batch::RemoveRow(int i) {
    if (i < 0 || i >= static_cast<int>(rows.size()) || active_) {
        return;
    }
    rows.erase(rows.begin() + i);
    RunLogs.removeAt(i);
    emit rowsChanged();
}

void Batch::ClearRows() {
    if (active_) {
        return;
    }
    rows.clear();
    RunLogs.clear();
    emit rowsChanged();
}

void Batch::Run(const SolverInfo& solver, int jobs) {
    if (active_) {
        return;
    }
    solver_ = solver;
    jobs_ = std::max(1, jobs);
    next_ = 0;
    IsRunning = true;
    StopRequested = false;
    active_ = true;
    timing_.assign(rows.size(), Timing());
    clock_.start();
    batchEndedMs_ = -1;
    // Let the window paint its new state before the first file starts.
    QTimer::singleShot(0, this, &Batch::StartNext);
}

void Batch::StartNext() {
    // Each run that ends asks for the next file; when a stop ends several at once, the first
    // of those calls finishes the batch and the others find nothing left to do.
    if (!active_) {
        return;
    }
    while (static_cast<int>(running_.size()) < jobs_ && next_ < static_cast<int>(rows.size()) &&
           !StopRequested) {
        const int row = next_++;
        rows[static_cast<std::size_t>(row)].status = kStatusRunning;
        RunLogs[row].clear();
        if (row < static_cast<int>(timing_.size())) {
            timing_[static_cast<std::size_t>(row)].startedMs = clock_.elapsed();
        }
        emit fileStarted(row);

        SolverRun* run = nullptr;
        try {
            run = new SolverRun(solver_, rows[static_cast<std::size_t>(row)].nativePath);
            connect(run, &SolverRun::output, this, [this, run, row](const QByteArray& text) {
                try {
                    if (keepLogs_) {
                        RunLogs[row].append(text);
                    }
                } catch (const std::exception& e) {
                    // A console text beyond what memory holds: the run cannot be shown whole.
                    RunLogs[row] = QByteArray();
                    run->Fail(FailureText(e));
                    return;
                }
                emit outputChunk(row, text);
            });
            connect(run, &SolverRun::progress, this,
                    [this, row](float fraction, const QString& name) {
                        if (row < static_cast<int>(timing_.size())) {
                            timing_[static_cast<std::size_t>(row)].fraction = fraction;
                        }
                        emit progress(row, fraction, name);
                    });
            connect(run, &SolverRun::failedBecause, this,
                    [this, row](const QByteArray& reason) { emit fileFailedBecause(row, reason); });
            connect(run, &SolverRun::finished, this,
                    [this, run, row](int outcome) { OnRunFinished(run, row, outcome); });
            running_.emplace_back(run, row);
        } catch (const std::exception& e) {
            // No run to wait for: the row ends here, and the batch goes on.
            delete run;
            EndRow(row, kRunFailed, FailureText(e));
            continue;
        }
        run->RunSolver();
    }
    if (running_.empty()) {
        active_ = false;
        IsRunning = false;
        batchEndedMs_ = clock_.elapsed();
        emit batchFinished();
    }
}

void Batch::OnRunFinished(SolverRun* run, int row, int outcome) {
    running_.erase(std::find(running_.begin(), running_.end(), std::make_pair(run, row)));
    run->deleteLater();
    EndRow(row, outcome, QByteArray());
    // The next file starts from the event loop, so the finished row is painted first.
    QTimer::singleShot(0, this, &Batch::StartNext);
}

void Batch::EndRow(int row, int outcome, const QByteArray& message) {
    if (!message.isEmpty()) {
        if (keepLogs_ && row < RunLogs.size()) {
            RunLogs[row].append(message);
        }
        emit outputChunk(row, message);
        emit fileFailedBecause(row, message);
    }
    if (row < static_cast<int>(rows.size())) {
        rows[static_cast<std::size_t>(row)].status = OutcomeText(outcome);
    }
    if (row < static_cast<int>(timing_.size())) {
        timing_[static_cast<std::size_t>(row)].endedMs = clock_.elapsed();
    }
    emit fileFinished(row, OutcomeText(outcome));
}

void Batch::Stop() {
    IsRunning = false;
    StopRequested = true;
    // Copy: a run's finished signal changes the list.
    const auto running = running_;
    for (auto& [run, row] : running) {
        run->Stop();
    }
}

}  // namespace velto

namespace velto {

double Batch::ElapsedSeconds(int row) const {
    if (row < 0 || row >= static_cast<int>(timing_.size()) || !clock_.isValid()) {
        return 0;
    }
    const Timing& t = timing_[static_cast<std::size_t>(row)];
    if (t.startedMs < 0) {
        return 0;
    }
    return static_cast<double>((t.endedMs >= 0 ? t.endedMs : clock_.elapsed()) - t.startedMs) /
           1000.0;
}

float Batch::LastFraction(int row) const {
    if (row < 0 || row >= static_cast<int>(timing_.size())) {
        return 0;
    }
    return timing_[static_cast<std::size_t>(row)].fraction;
}

double Batch::BatchSeconds() const {
    if (!clock_.isValid()) {
        return 0;
    }
    return static_cast<double>(batchEndedMs_ >= 0 ? batchEndedMs_ : clock_.elapsed()) / 1000.0;
}

std::vector<QString> Batch::StatusesOfThisBatch() const {
    std::vector<QString> statuses;
    for (int row = 0; row < next_ && row < static_cast<int>(rows.size()); ++row) {
        statuses.push_back(rows[static_cast<std::size_t>(row)].status);
    }
    return statuses;
}

}  // namespace velto
