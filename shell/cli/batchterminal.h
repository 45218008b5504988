#pragma once

#include <QObject>
#include <QString>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "shell/model/batchmodel.h"

namespace velto {

// What velto-batch shows of a batch, run here or on a cluster: on a terminal a live progress line
// per running file with its percentage; every file's final status on a line of its own (and, on
// a cluster, "Queued" while it waits); with `verbose` the solver's console text as it comes.
class BatchTerminal : public QObject {
    Q_OBJECT

  public:
    BatchTerminal(BatchModel& batch, bool verbose, std::FILE* out);

    // While held (a question on the terminal), the live line is not drawn.
    void setHeld(bool held);

  private:
    void Draw();
    void ClearLine();
    std::string NameOf(int row) const;

    BatchModel& batch_;
    bool verbose_;
    bool terminal_;
    std::FILE* out_;
    bool skipLineFeed_ = false;  // the last chunk ended in a CR, shown as a line end
    bool drawn_ = false;
    bool held_ = false;
    std::map<int, int> percent_;  // running rows and their percentage (-1: none yet)
};

}  // namespace velto
