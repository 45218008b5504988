#include "shell/cli/batchterminal.h"

#include <unistd.h>

#include <QTimer>
#include <cmath>
#include <type_traits>

#include "common/encoding.h"
#include "shell/runner/batchreport.h"
#include "shell/runner/slurmbatch.h"
#include "shell/runner/solverrun.h"

namespace velto {

BatchTerminal::BatchTerminal(Batch& batch, bool verbose, std::FILE* out)
    : verbose_(verbose), terminal_(::isatty(::fileno(out)) == 1), out_(out) {
    Attach(batch);
}

BatchTerminal::BatchTerminal(SlurmBatch& batch, bool verbose, std::FILE* out)
    : verbose_(verbose), terminal_(::isatty(::fileno(out)) == 1), out_(out) {
    Attach(batch);
    connect(&batch, &SlurmBatch::fileQueued, this, [this](int row) {
        ClearLine();
        std::fprintf(out_, "%s: %s\n", NameOf(row).c_str(),
                     kStatusQueued.toLocal8Bit().constData());
        std::fflush(out_);
        Draw();
    });
    connect(&batch, &SlurmBatch::clusterMessage, this, [this](const QString& text) {
        ClearLine();
        std::fflush(out_);
        std::fprintf(stderr, "velto-batch: %s\n", text.toLocal8Bit().constData());
        std::fflush(stderr);
        Draw();
    });
}

template <typename Model>
void BatchTerminal::Attach(Model& model) {
    path_ = [&model](int row) { return model.rows[static_cast<std::size_t>(row)].nativePath; };
    elapsed_ = [&model](int row) { return model.ElapsedSeconds(row); };
    fraction_ = [&model](int row) { return model.LastFraction(row); };
    summary_ = [&model] { return BatchSummary(model.StatusesOfThisBatch(), model.BatchSeconds()); };

    connect(&model, &Model::fileStarted, this, [this](int row) {
        percent_[row] = -1;
        if (!terminal_) {
            std::fprintf(out_, "%s: Running\n", NameOf(row).c_str());
            std::fflush(out_);
        }
        Draw();
    });
    connect(&model, &Model::outputChunk, this, [this](int, const QByteArray& text) {
        if (!verbose_) {
            return;
        }
        ClearLine();
        const QByteArray shown = ConsoleText(text).toUtf8();
        std::fwrite(shown.constData(), 1, static_cast<std::size_t>(shown.size()), out_);
        std::fflush(out_);
    });
    if constexpr (std::is_same_v<Model, Batch>) {
        // Said even without --verbose: a file that never reached the solver, or whose solver
        // ended badly, has no console text of the solver's to explain it.
        connect(&model, &Batch::fileFailedBecause, this, [this](int row, const QByteArray& reason) {
            if (verbose_) {
                return;  // already shown with the console text
            }
            ClearLine();
            // In the solver's single-byte text, as its console is, with the name in it escaped
            // where the reason was made.
            std::fprintf(out_, "%s: %s\n", NameOf(row).c_str(),
                         ControlsEscaped(ConsoleText(reason.trimmed()).toStdString()).c_str());
            std::fflush(out_);
        });
    }
    connect(&model, &Model::progress, this, [this](int row, float fraction, const QString&) {
        int percent = static_cast<int>(std::floor(100.0 * fraction + 0.5));
        if (percent_[row] != percent) {
            percent_[row] = percent;
            Draw();
        }
    });
    connect(&model, &Model::fileFinished, this, [this](int row, const QString& status) {
        percent_.erase(row);
        ClearLine();
        std::fprintf(out_, "%s: %s (%s)\n", NameOf(row).c_str(), status.toLocal8Bit().constData(),
                     FormatDuration(elapsed_(row)).toLocal8Bit().constData());
        std::fflush(out_);
        Draw();
    });
    connect(&model, &Model::batchFinished, this, [this] {
        ClearLine();
        std::fprintf(out_, "%s\n", summary_().toLocal8Bit().constData());
        std::fflush(out_);
    });
    // The elapsed time moves on while a silent solver computes.
    auto* tick = new QTimer(this);
    connect(tick, &QTimer::timeout, this, &BatchTerminal::Draw);
    tick->start(1000);
}

void BatchTerminal::setHeld(bool held) {
    if (held) {
        ClearLine();
        std::fflush(out_);
    }
    held_ = held;
    Draw();
}

std::string BatchTerminal::NameOf(int row) const {
    // The name's own bytes, made safe: a name cannot move the cursor or retitle the terminal.
    const std::string path = path_(row);
    return TerminalSafe(std::string_view(path).substr(path.rfind('/') + 1));
}

void BatchTerminal::ClearLine() {
    if (drawn_) {
        std::fputs("\r\033[K", out_);
        drawn_ = false;
    }
}

void BatchTerminal::Draw() {
    if (!terminal_ || held_ || percent_.empty()) {
        return;
    }
    std::string line;
    for (const auto& [row, percent] : percent_) {
        if (!line.empty()) {
            line += "  |  ";
        }
        const int shown = std::clamp(percent, 0, 100);
        if (percent_.size() == 1) {
            const int filled = shown / 5;
            line += "[" + std::string(static_cast<std::size_t>(filled), '#') +
                    std::string(static_cast<std::size_t>(20 - filled), '-') + "] ";
        }
        line +=
            NameOf(row) + " " + (percent < 0 ? std::string("...") : std::to_string(percent) + "%");
        if (percent_.size() == 1) {
            line += "  " + TimingText(elapsed_(row), fraction_(row)).toLocal8Bit().toStdString();
        }
    }
    std::fprintf(out_, "\r\033[K%s", line.c_str());
    std::fflush(out_);
    drawn_ = true;
}

}  // namespace velto
