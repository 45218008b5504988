#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "extract/reader/sinks.h"

namespace velto {

// Draws the readers' progress as one line on a terminal: "Reading times...  42%". Draws nothing
// when the stream is not a terminal, so scripts that read standard error see only messages.
class TerminalProgress final : public ProgressSink {
  public:
    explicit TerminalProgress(std::FILE* stream);
    ~TerminalProgress() override;
    void UpdateProgress(Single fraction, std::string_view caption) override;
    // Removes the progress line, so that a message starts on a clean line.
    void Clear();

  private:
    std::FILE* stream_;
    bool enabled_;
    bool drawn_ = false;
    int lastPercent_ = -1;
    std::string lastCaption_;
};

// Prints each message as one line on the stream (UTF-8) and counts them.
class TerminalMessages final : public MessageSink {
  public:
    TerminalMessages(std::FILE* stream, TerminalProgress* progress)
        : stream_(stream), progress_(progress) {}
    void ShowMessage(std::string_view text, MessageIcon icon, std::string_view caption) override;
    // "velto-extract: cannot write FILE: " and why, as every failed save of the command line.
    void ShowSaveFailure(const std::string& file, const RuntimeError& error) override;
    int count() const { return count_; }

  private:
    std::FILE* stream_;
    TerminalProgress* progress_;
    int count_ = 0;
};

// The line a failed save of `file` gets on the terminal: "velto-extract: cannot write FILE: " and
// why (SaveFailureCause), made safe to print.
std::string SaveFailureLine(const std::string& file, const RuntimeError& error);

}  // namespace velto
