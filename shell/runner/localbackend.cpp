#include "shell/runner/localbackend.h"

#include <QTimer>
#include <algorithm>

#include "shell/runner/solverrun.h"

namespace velto {

LocalBackend::LocalBackend(int jobs, QObject* parent)
    : BatchBackend(parent), jobs_(std::max(1, jobs)) {}

LocalBackend::~LocalBackend() {
    LetGo();
}

void LocalBackend::LetGo() {
    for (auto& [run, file] : running_) {
        run->disconnect(this);
        delete run;
    }
    running_.clear();
    active_ = false;
}

void LocalBackend::Start(const SolverInfo& solver, const std::vector<std::string>& files) {
    if (active_) {
        return;
    }
    solver_ = solver;
    files_ = files;
    next_ = 0;
    stopRequested_ = false;
    active_ = true;
    // Let the window paint its new state before the first file starts.
    QTimer::singleShot(0, this, [this] {
        if (active_) {
            emit accepted();
            StartNext();
        }
    });
}

void LocalBackend::StartNext() {
    // Each run that ends asks for the next file; when a stop ends several at once, the first
    // of those calls finishes the batch and the others find nothing left to do.
    if (!active_) {
        return;
    }
    while (static_cast<int>(running_.size()) < jobs_ && next_ < static_cast<int>(files_.size()) &&
           !stopRequested_) {
        const int file = next_++;
        emit fileStarted(file, 0);
        if (!active_) {
            return;  // let go of from within the signal
        }
        SolverRun* run = nullptr;
        try {
            run = new SolverRun(solver_, files_[static_cast<std::size_t>(file)]);
            connect(run, &SolverRun::output, this,
                    [this, file](const QByteArray& text) { emit outputChunk(file, text); });
            connect(run, &SolverRun::progress, this,
                    [this, file](float fraction, const QString& name) {
                        emit progress(file, fraction, name);
                    });
            connect(run, &SolverRun::failedBecause, this, [this, file](const QByteArray& reason) {
                emit fileFailedBecause(file, reason);
            });
            connect(run, &SolverRun::finished, this,
                    [this, run, file](int outcome) { OnRunFinished(run, file, outcome); });
            running_.emplace_back(run, file);
        } catch (const std::exception& e) {
            // No run to wait for: the file ends here, and the batch goes on.
            delete run;
            EndFile(file, kRunFailed, FailureText(e));
            continue;
        }
        run->RunSolver();
    }
    if (running_.empty()) {
        active_ = false;
        emit finished();
    }
}

void LocalBackend::OnRunFinished(SolverRun* run, int file, int outcome) {
    running_.erase(std::find(running_.begin(), running_.end(), std::make_pair(run, file)));
    run->deleteLater();
    EndFile(file, outcome, QByteArray());
    // The next file starts from the event loop, so the finished row is painted first.
    QTimer::singleShot(0, this, &LocalBackend::StartNext);
}

void LocalBackend::EndFile(int file, int outcome, const QByteArray& message) {
    if (!message.isEmpty()) {
        emit outputChunk(file, message);
        emit fileFailedBecause(file, message);
    }
    emit fileFinished(file, OutcomeText(outcome), 0);
}

void LocalBackend::Stop() {
    stopRequested_ = true;
    // Copy: a run's finished signal changes the list.
    const auto running = running_;
    for (auto& [run, file] : running) {
        run->Stop();
    }
}

void LocalBackend::Detach() {
    LetGo();
}

void LocalBackend::GiveUpOutput(int file, const QByteArray& reason) {
    for (auto& [run, f] : running_) {
        if (f == file) {
            run->Fail(reason);
            return;
        }
    }
}

}  // namespace velto
