#include "shell/runner/batch.h"

#include <QTimer>
#include <algorithm>

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

void Batch::AddRow(const QString& path) {
    rows.push_back({path, QString()});
    RunLogs.append(QByteArray());
}

void Batch::RemoveRow(int i) {
    if (i < 0 || i >= static_cast<int>(rows.size()) || active_) {
        return;
    }
    rows.erase(rows.begin() + i);
    RunLogs.removeAt(i);
}

void Batch::ClearRows() {
    if (active_) {
        return;
    }
    rows.clear();
    RunLogs.clear();
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
    // Let the window paint its new state before the first file starts.
    QTimer::singleShot(0, this, &Batch::StartNext);
}

void Batch::StartNext() {
    while (static_cast<int>(running_.size()) < jobs_ && next_ < static_cast<int>(rows.size()) &&
           !StopRequested) {
        const int row = next_++;
        rows[static_cast<std::size_t>(row)].status = kStatusRunning;
        RunLogs[row].clear();
        emit fileStarted(row);

        auto* run = new SolverRun(solver_, rows[static_cast<std::size_t>(row)].path.toStdString());
        running_.emplace_back(run, row);
        connect(run, &SolverRun::output, this, [this, row](const QByteArray& text) {
            if (keepLogs_) {
                RunLogs[row].append(text);
            }
            emit outputChunk(row, text);
        });
        connect(run, &SolverRun::progress, this, [this, row](float fraction, const QString& name) {
            emit progress(row, fraction, name);
        });
        connect(run, &SolverRun::finished, this,
                [this, run, row](int outcome) { OnRunFinished(run, row, outcome); });
        run->RunSolver();
    }
    if (running_.empty()) {
        active_ = false;
        IsRunning = false;
        emit batchFinished();
    }
}

void Batch::OnRunFinished(SolverRun* run, int row, int outcome) {
    running_.erase(std::find(running_.begin(), running_.end(), std::make_pair(run, row)));
    run->deleteLater();
    if (row < static_cast<int>(rows.size())) {
        rows[static_cast<std::size_t>(row)].status = OutcomeText(outcome);
    }
    emit fileFinished(row, OutcomeText(outcome));
    // The next file starts from the event loop, so the finished row is painted first.
    QTimer::singleShot(0, this, &Batch::StartNext);
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
