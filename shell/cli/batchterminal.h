#pragma once

#include <QObject>
#include <QString>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "shell/runner/batch.h"

namespace velto {

class SlurmBatch;

// What velto-batch shows of a batch, run here or on a cluster: on a terminal a live progress line
// per running file with its percentage; every file's final status on a line of its own (and, on
// a cluster, "Queued" while it waits); with `verbose` the solver's console text as it comes.
class BatchTerminal : public QObject {
    Q_OBJECT

  public:
    BatchTerminal(Batch& batch, bool verbose, std::FILE* out);
    BatchTerminal(SlurmBatch& batch, bool verbose, std::FILE* out);

    // While held (a question on the terminal), the live line is not drawn.
    void setHeld(bool held);

  private:
    template <typename Model>
    void Attach(Model& model);
    void Draw();
    void ClearLine();
    std::string NameOf(int row) const;

    bool verbose_;
    bool terminal_;
    std::FILE* out_;
    bool drawn_ = false;
    bool held_ = false;
    std::map<int, int> percent_;  // running rows and their percentage (-1: none yet)
    // The model's rows and timing, whichever kind of batch it is.
    std::function<std::string(int)> path_;
    std::function<double(int)> elapsed_;
    std::function<float(int)> fraction_;
    std::function<QString()> summary_;
};

}  // namespace velto
