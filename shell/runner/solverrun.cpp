#include "shell/runner/solverrun.h"

#include <unistd.h>

#include <QTimer>
#include <filesystem>
#include <new>

#include "common/encoding.h"
#include "common/endtime.h"
#include "common/error.h"
#include "shell/runner/childprocess.h"
#include "shell/runner/endreason.h"
#include "shell/runner/inputfiles.h"
#include "shell/runner/solveroutput.h"

namespace velto {

QString OutcomeText(int outcome) {
    switch (outcome) {
        case kRunCompleted:
            return QStringLiteral("Completed");
        case kRunAborted:
            return QStringLiteral("Aborted");
        default:
            return QStringLiteral("Failed");
    }
}

QString ConsoleText(const QByteArray& bytes) {
    return QString::fromStdString(ConsoleToUtf8(std::string_view(bytes.constData(), bytes.size())));
}

QByteArray ConsoleBytes(std::string_view words) {
    return QByteArray::fromStdString(FileNameToCp1252(words));
}

std::string BaseNameOf(const std::string& inputPath) {
    // Only '/' separates folders here: a backslash is part of the name.
    std::string name = inputPath.substr(inputPath.rfind('/') + 1);
    std::size_t point = name.rfind('.');
    return point == std::string::npos ? name : name.substr(0, point);
}

QByteArray FailureText(const std::exception& error) {
    std::string text;
    if (const auto* runtime = dynamic_cast<const RuntimeError*>(&error)) {
        text =
            "Read File Error " + std::to_string(runtime->number()) + ": " + runtime->description();
    } else if (dynamic_cast<const std::bad_alloc*>(&error)) {
        text = "Error " + std::to_string(kOutOfMemory) + ": " + ErrorDescription(kOutOfMemory);
    } else {
        text = std::string("Error: ") + error.what();
    }
    return QByteArray::fromStdString(text + "\n");
}

NameHandOver HandOverFor(const SolverInfo& solver, const std::string& inputPath) {
    const std::filesystem::path input(inputPath);
    NameHandOver handOver;
    handOver.folder = input.has_parent_path() ? input.parent_path().string() : ".";
    handOver.baseName = BaseNameOf(inputPath);
    if (TakesNameOnCommandLine(solver.SolverVersionNumber)) {
        handOver.arguments.push_back(handOver.baseName);
    } else {
        handOver.standardInput = NameAnswer(handOver.baseName);
    }
    return handOver;
}

std::string ListingOfRun(const std::string& inputPath) {
    const NameHandOver handOver = HandOverFor(SolverInfo(), inputPath);
    return handOver.folder + "/" + handOver.baseName + ".out";
}

SolverRun::SolverRun(SolverInfo solver, std::string inputPath, QObject* parent)
    : QObject(parent),
      solver_(std::move(solver)),
      inputPath_(std::move(inputPath)),
      baseName_(BaseNameOf(inputPath_)) {}

SolverRun::~SolverRun() {
    if (hold_ >= 0) {
        ::close(hold_);
    }
}

void SolverRun::RunSolver() {
    try {
        const QString problem = InputFileProblem(inputPath_);
        if (!problem.isEmpty()) {
            FailSoon(ConsoleBytes(problem.toStdString()) + '\n');
            return;
        }
        const NameHandOver handOver = HandOverFor(solver_, inputPath_);
        const std::string& folder = handOver.folder;
        // The end time before the solver: an input that cannot be read (a line beyond a
        // megabyte, a file replaced by a pipe) is refused here rather than handed to a solver
        // that would then be left on its own.
        endTime_ = ReadEndTime((std::filesystem::path(folder) / (baseName_ + ".in")).string());

        // One run of a file at a time, whoever started the other: two solvers on one input
        // write the same result files.
        QString held;
        hold_ = HoldInputFile(inputPath_, held);
        if (hold_ < 0) {
            FailSoon(ConsoleBytes(held.toStdString()) + '\n');
            return;
        }

        child_ = std::make_unique<ChildProcess>();
        std::string error;
        if (!child_->Start(solver_.Command(), handOver.arguments, folder, error, hold_)) {
            child_.reset();
            FailSoon(QByteArray::fromStdString(StartFailureReason(error) + "\n"));
            return;
        }
        connect(child_.get(), &ChildProcess::chunkRead, this, &SolverRun::ReadSolverOutput);
        connect(child_.get(), &ChildProcess::finished, this, &SolverRun::OnExited);

        if (!handOver.standardInput.empty()) {
            child_->Write(handOver.standardInput);  // a failed write is the solver's to notice
        }
    } catch (const std::exception& e) {
        if (child_) {
            child_->ClosePipes();
        }
        FailSoon(FailureText(e));
    }
}

void SolverRun::ReadSolverOutput(const QByteArray& chunk) {
    if (done_) {
        return;
    }
    try {
        SolverChunk handled = ProcessChunk(std::string_view(chunk.constData(), chunk.size()));
        if (handled.time) {
            if (std::optional<Single> fraction = ProgressFraction(*handled.time, endTime_)) {
                emit progress(*fraction, QString::fromStdString(baseName_));
            }
        }
        if (!handled.text.empty()) {
            lineOpen_ = handled.text.back() != '\n';
        }
        emit output(QByteArray(handled.text.data(), static_cast<int>(handled.text.size())));
    } catch (const RuntimeError&) {
        EndReading();
    } catch (const std::exception& e) {
        Fail(FailureText(e));
    }
}

void SolverRun::OnExited(int status) {
    FinishAsEnded(status);
}

void SolverRun::EndReading() {
    if (done_ || !child_) {
        return;
    }
    child_->ClosePipes();
    FinishAsEnded(child_->ExitStatus());
}

void SolverRun::FinishAsEnded(std::optional<int> status) {
    if (status && *status == 0) {
        Finish(kRunCompleted);
    } else if (stopRequested_) {
        Finish(kRunAborted);
    } else if (const std::optional<int> raw = child_ ? child_->WaitStatus() : std::nullopt) {
        Fail(QByteArray::fromStdString(EndReason(SolverEnd::FromWaitStatus(*raw)) + "\n"));
    } else {
        Finish(kRunFailed);
    }
}

void SolverRun::Stop() {
    stopRequested_ = true;
    EndReading();
}

void SolverRun::Fail(const QByteArray& message) {
    if (done_) {
        return;
    }
    if (child_) {
        child_->ClosePipes();
    }
    // The reason on a line of its own, even after a solver cut off in mid-line.
    emit output(lineOpen_ ? '\n' + message : message);
    emit failedBecause(message);
    Finish(kRunFailed);
}

void SolverRun::FailSoon(const QByteArray& message) {
    QTimer::singleShot(0, this, [this, message] { Fail(message); });
}

void SolverRun::Finish(int outcome) {
    if (done_) {
        return;
    }
    done_ = true;
    // The solver keeps its own copy of the hold for as long as it runs.
    if (hold_ >= 0) {
        ::close(hold_);
        hold_ = -1;
    }
    emit finished(outcome);
}

}  // namespace velto
