#include "shell/cli/batchterminal.h"

#include <unistd.h>

#include <QTimer>
#include <cmath>

#include "common/encoding.h"
#include "shell/runner/batchreport.h"
#include "shell/runner/solverrun.h"

namespace velto {

BatchTerminal::BatchTerminal(BatchModel& batch, bool verbose, std::FILE* out)
    : batch_(batch), verbose_(verbose), terminal_(::isatty(::fileno(out)) == 1), out_(out) {
    // Only a cluster tells of files waiting in its queue.
    connect(&batch, &BatchModel::fileQueued, this, [this](int row) {
        ClearLine();
        std::fprintf(out_, "%s: %s\n", NameOf(row).c_str(),
                     kStatusQueued.toLocal8Bit().constData());
        std::fflush(out_);
        Draw();
    });
    connect(&batch, &BatchModel::clusterMessage, this, [this](const QString& text) {
        ClearLine();
        std::fflush(out_);
        std::fprintf(stderr, "velto-batch: %s\n", text.toLocal8Bit().constData());
        std::fflush(stderr);
        Draw();
    });
    connect(&batch, &BatchModel::fileStarted, this, [this](int row) {
        percent_[row] = -1;
        if (!terminal_) {
            std::fprintf(out_, "%s: Running\n", NameOf(row).c_str());
            std::fflush(out_);
        }
        Draw();
    });
    connect(&batch, &BatchModel::outputChunk, this, [this](int, const QByteArray& text) {
        if (!verbose_) {
            return;
        }
        ClearLine();
        // A carriage return of the solver's would send the terminal's cursor back over the line,
        // where a solver could print over ours: it ends a line as a line end does, and CR LF is
        // one line end (also when the chunks part them).
        QByteArray lines;
        lines.reserve(text.size());
        for (qsizetype i = 0; i < text.size(); ++i) {
            const char c = text[i];
            if (i == 0 && skipLineFeed_ && c == '\n') {
                continue;
            }
            if (c != '\r') {
                lines.append(c);
            } else if (i + 1 == text.size() || text[i + 1] != '\n') {
                lines.append('\n');
            }
        }
        skipLineFeed_ = text.endsWith('\r');
        const QByteArray shown = ConsoleText(lines).toUtf8();
        std::fwrite(shown.constData(), 1, static_cast<std::size_t>(shown.size()), out_);
        std::fflush(out_);
    });
    // Said even without --verbose: a file that never reached the solver, or whose solver
    // ended badly, has no console text of the solver's to explain it.
    connect(&batch, &BatchModel::fileFailedBecause, this,
            [this](int row, const QByteArray& reason) {
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
    connect(&batch, &BatchModel::progress, this, [this](int row, float fraction, const QString&) {
        int percent = static_cast<int>(std::floor(100.0 * fraction + 0.5));
        if (percent_[row] != percent) {
            percent_[row] = percent;
            Draw();
        }
    });
    connect(&batch, &BatchModel::fileFinished, this, [this](int row, const QString& status) {
        percent_.erase(row);
        ClearLine();
        std::fprintf(out_, "%s: %s (%s)\n", NameOf(row).c_str(), status.toLocal8Bit().constData(),
                     FormatDuration(batch_.ElapsedSeconds(row)).toLocal8Bit().constData());
        std::fflush(out_);
        Draw();
    });
    connect(&batch, &BatchModel::exportEnded, this, [this](int row, const QByteArray& text, bool) {
        if (verbose_) {
            return;  // already shown with the console text
        }
        ClearLine();
        std::fprintf(out_, "%s: %s\n", NameOf(row).c_str(),
                     ControlsEscaped(ConsoleText(text.trimmed()).toStdString()).c_str());
        std::fflush(out_);
        Draw();
    });
    connect(&batch, &BatchModel::batchFinished, this, [this] {
        ClearLine();
        std::fprintf(out_, "%s\n", batch_.Summary().toLocal8Bit().constData());
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
    const std::string& path = batch_.rows()[static_cast<std::size_t>(row)].nativePath;
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
            line += "  " + batch_.TimingText(row).toLocal8Bit().toStdString();
        }
    }
    std::fprintf(out_, "\r\033[K%s", line.c_str());
    std::fflush(out_);
    drawn_ = true;
}

}  // namespace velto
