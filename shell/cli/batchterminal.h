#pragma once

#include <QObject>
#include <QString>
#include <cstdio>
#include <map>

#include "shell/runner/batch.h"

namespace velto {

// What velto-batch shows of a batch: on a terminal a live progress line per running file with
// its percentage; every file's final status on a line of its own; with `verbose` the solver's
// console text as it comes.
class BatchTerminal : public QObject {
    Q_OBJECT

  public:
    BatchTerminal(Batch& batch, bool verbose, std::FILE* out);

  private:
    void Draw();
    void ClearLine();
    QString NameOf(int row) const;

    Batch& batch_;
    bool verbose_;
    bool terminal_;
    std::FILE* out_;
    bool drawn_ = false;
    std::map<int, int> percent_;  // running rows and their percentage (-1: none yet)
};

}  // namespace velto
