#pragma once

#include <string>
#include <utility>
#include <vector>

#include "shell/runner/batchbackend.h"

namespace velto {

class SolverRun;

// The files of a batch run here, one after another or `jobs` at a time, each as a SolverRun:
// the solver as a child process over pipes in the input file's folder.
class LocalBackend : public BatchBackend {
    Q_OBJECT

  public:
    explicit LocalBackend(int jobs = 1, QObject* parent = nullptr);
    // Runs still going end here; their solvers run on undisturbed.
    ~LocalBackend() override;

    void Start(const SolverInfo& solver, const std::vector<std::string>& files) override;
    void Stop() override;
    void Detach() override;
    void GiveUpOutput(int file, const QByteArray& reason) override;

  private:
    void StartNext();
    void OnRunFinished(SolverRun* run, int file, int outcome);
    // Gives the file its outcome, after `message` (if any) in its console text.
    void EndFile(int file, int outcome, const QByteArray& message);
    void LetGo();

    SolverInfo solver_;
    std::vector<std::string> files_;
    int jobs_ = 1;
    int next_ = 0;
    bool active_ = false;
    bool stopRequested_ = false;
    std::vector<std::pair<SolverRun*, int>> running_;
};

}  // namespace velto
