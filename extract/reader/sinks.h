#pragma once

#include <string>
#include <string_view>

#include "common/types.h"

namespace velto {

class RuntimeError;

// Where the readers report how far they are. The window draws its progress strip and lets the
// user act; the command line draws a bar on a terminal; tests record the calls.
class ProgressSink {
  public:
    virtual ~ProgressSink() = default;
    // fraction runs from 0 to 1; caption names the operation ("Reading times...").
    virtual void UpdateProgress(Single fraction, std::string_view caption) = 0;
};

// The icon of a message, with the message-box style values the tools have always used.
enum class MessageIcon { None = 0, Critical = 16, Question = 32, Information = 64 };

// Where the readers send what the user must be told. The window shows a message box; the command
// line prints a line on standard error.
class MessageSink {
  public:
    virtual ~MessageSink() = default;
    virtual void ShowMessage(std::string_view text, MessageIcon icon, std::string_view caption) = 0;
    // The save of `file` (as the user named it) failed with `error`. The window shows the
    // message SaveFailureText gives (the default); the command line says "cannot write FILE:"
    // and the cause, after the program's name.
    virtual void ShowSaveFailure(const std::string& file, const RuntimeError& error);
};

// A progress sink that draws nothing, for callers that do not show progress.
class NullProgress final : public ProgressSink {
  public:
    void UpdateProgress(Single, std::string_view) override {}
};

}  // namespace velto
