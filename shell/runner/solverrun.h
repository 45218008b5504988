#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/types.h"
#include "shell/runner/solverfinder.h"

namespace velto {

class ChildProcess;

// How one solver run ended.
enum RunOutcome : Integer {
    kRunFailed = 0,     // could not start, or ended with a non-zero exit code
    kRunCompleted = 1,  // exit code 0
    kRunAborted = 2,    // stopped by the user before it ended with exit code 0
};

// The status text a run's outcome gives its row: "Failed", "Completed", "Aborted".
QString OutcomeText(int outcome);

// The solver's console bytes as text: Windows-1252, the solver's own code page, with its control
// characters but tabs and line ends shown escaped (ConsoleToUtf8). The window and velto-batch both
// show console text through this, so the two read the same.
QString ConsoleText(const QByteArray& bytes);

// Words of ours (UTF-8, with file names as their bytes) as console text, which is read as
// Windows-1252 (ConsoleText): each character as its byte there, one it lacks as '?'.
QByteArray ConsoleBytes(std::string_view words);

// The base name the solver is given for an input file: the file name without folder and without
// its last extension ("beam1" for /work/beam1.in; a name without a point is taken whole). Only
// '/' separates folders: `case\1.in` is the name `case\1`.
std::string BaseNameOf(const std::string& inputPath);

// The line a run that could not go on puts in its console text: a read error as "Read File
// Error 59: Bad record length", memory running out as "Error 7: Out of memory", anything else
// with its own text.
QByteArray FailureText(const std::exception& error);

// How the solver is given an input file: started in the file's folder, with the base name as its
// one argument (version 2004), else with NameAnswer(base name) written to its standard input.
// Local runs and cluster jobs both take it from here, so the two never hand over differently.
struct NameHandOver {
    std::string folder;
    std::string baseName;
    std::vector<std::string> arguments;
    std::string standardInput;  // empty when the name goes on the command line
};
NameHandOver HandOverFor(const SolverInfo& solver, const std::string& inputPath);

// The listing the solver writes for an input file: NAME.out in the folder it is started in
// (HandOverFor's), on this machine and in a cluster's task alike (the task's script enters that
// folder before it starts the solver).
std::string ListingOfRun(const std::string& inputPath);

// One run of the solver on one input file, as a hidden child in the input file's folder. Hands
// the solver the base name (on its command line for version 2004, else written to its standard
// input), shows its output chunk by chunk with the prompt removed, and turns "time =" chunks into
// progress against the input file's end time. Stop ends the run at once without touching the
// solver itself.
class SolverRun : public QObject {
    Q_OBJECT

  public:
    SolverRun(SolverInfo solver, std::string inputPath, QObject* parent = nullptr);
    ~SolverRun() override;

    // Starts the run; finished() follows exactly once, never from within RunSolver itself. An input
    // file that cannot be run (see InputFileProblem), whose end time cannot be read, or that is
    // being run already (see HoldInputFile) is not handed to a solver: the run fails with the
    // reason in its console text. The solver is handed the hold on its input file, so the file
    // stays held while the solver lives, whatever becomes of this run or this program.
    void RunSolver();
    // The user's stop: the run ends now. Its outcome is "Aborted" unless the solver had already
    // ended with exit code 0.
    void Stop();
    // Ends the run now as "Failed", with `message` as the last of its console text; the solver is
    // left alone as on Stop.
    void Fail(const QByteArray& message);

    const std::string& baseName() const { return baseName_; }
    bool isFinished() const { return done_; }

  signals:
    void output(const QByteArray& text);
    void progress(float fraction, const QString& baseName);
    // The run failed, and why, told before finished(): a reason of ours (the input cannot be
    // run, its end time cannot be read), the solver's exit code or the signal that ended it, or
    // why it could not be started. The same text ends its console text.
    void failedBecause(const QByteArray& reason);
    void finished(int outcome);

  private:
    // One chunk of output as read: prompt removed, "time =" turned into progress, then shown.
    void ReadSolverOutput(const QByteArray& chunk);
    void OnExited(int status);
    // A failure while reading ends the reading quietly; the outcome then comes from the exit
    // code as it stands.
    void EndReading();
    // Ends the run as its solver ended (status: its exit status, none while it runs): Completed
    // for exit code 0, else Aborted after the user's stop, else Failed with the reason.
    void FinishAsEnded(std::optional<int> status);
    void Finish(int outcome);
    // Fails from the event loop, so that finished() never comes from within RunSolver.
    void FailSoon(const QByteArray& message);

    SolverInfo solver_;
    std::string inputPath_;
    std::string baseName_;
    Single endTime_ = 0;
    bool stopRequested_ = false;
    bool done_ = false;
    bool lineOpen_ = false;  // the console text so far ends in mid-line
    int hold_ = -1;          // our copy of the hold on the input file, until the run ends
    std::unique_ptr<ChildProcess> child_;
};

}  // namespace velto
