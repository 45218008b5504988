#include "extract/cli/terminal.h"

#include <unistd.h>

#include <cmath>

#include "common/atomicsave.h"
#include "common/encoding.h"

namespace velto {

TerminalProgress::TerminalProgress(std::FILE* stream)
    : stream_(stream), enabled_(::isatty(::fileno(stream)) == 1) {}

TerminalProgress::~TerminalProgress() {
    Clear();
}

void TerminalProgress::UpdateProgress(Single fraction, std::string_view caption) {
    if (!enabled_ || caption.empty()) {
        return;
    }
    // The scans report once per line or per time; redraw only when what is shown changes.
    int percent = static_cast<int>(std::floor(fraction * 100 + 0.5));
    if (percent == lastPercent_ && caption == lastCaption_) {
        return;
    }
    lastPercent_ = percent;
    lastCaption_ = caption;
    std::fprintf(stream_, "\r\033[K%s %3d%%", Cp1252ToUtf8(caption).c_str(), percent);
    std::fflush(stream_);
    drawn_ = true;
}

void TerminalProgress::Clear() {
    if (drawn_) {
        std::fputs("\r\033[K", stream_);
        std::fflush(stream_);
        drawn_ = false;
        lastPercent_ = -1;
    }
}

void TerminalMessages::ShowMessage(std::string_view text, MessageIcon, std::string_view) {
    if (progress_) {
        progress_->Clear();
    }
    std::fprintf(stream_, "%s\n", TerminalSafe(Cp1252ToUtf8(text)).c_str());
    std::fflush(stream_);
    ++count_;
}

void TerminalMessages::ShowSaveFailure(const std::string& file, const RuntimeError& error) {
    if (progress_) {
        progress_->Clear();
    }
    std::fprintf(stream_, "%s\n", SaveFailureLine(file, error).c_str());
    std::fflush(stream_);
    ++count_;
}

std::string SaveFailureLine(const std::string& file, const RuntimeError& error) {
    return "velto-extract: cannot write " + TerminalSafe(file) + ": " +
           TerminalSafe(Cp1252ToUtf8(SaveFailureCause(error)));
}

}  // namespace velto
