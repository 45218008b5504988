#pragma once

#include <sys/types.h>

#include <QByteArray>
#include <QObject>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QSocketNotifier;
class QTimer;

namespace velto {

// One child program with its standard input and output on pipes (standard error joined to the
// output), started without a console or terminal of its own in the given working folder.
//
// Reads are driven by the event loop (no polling): each read takes at most 256 bytes and is
// handed on at once. The process is never sent a signal by this class: ClosePipes ends our side
// of the conversation, and a child that goes on writing meets a closed pipe, as a console
// program does when its window is closed. A child still running when this object goes away is
// reaped later, so none is left as a zombie.
class ChildProcess : public QObject {
    Q_OBJECT

  public:
    explicit ChildProcess(QObject* parent = nullptr);
    ~ChildProcess() override;

    // The number under which the child finds the descriptor handed to it by Start.
    static constexpr int kHandedDescriptor = 3;

    // Starts the program (a path, not searched on PATH) with these arguments. `handed`, when not
    // -1, is a descriptor of ours that the child gets as kHandedDescriptor, open across its exec
    // (and so in whatever it starts in turn); no other descriptor of ours but the pipes reaches
    // it. On failure returns false with the reason in `error` ("Permission denied"), in English
    // whatever the locale, as the console text it goes into is single-byte.
    bool Start(const std::string& program, const std::vector<std::string>& arguments,
               const std::string& workingFolder, std::string& error, int handed = -1);

    // Writes to the child's standard input; false when that failed (a child that has ended).
    bool Write(std::string_view bytes);

    // Stops reading and closes our ends of both pipes. finished() is not emitted afterwards.
    void ClosePipes();

    // The exit status if the child has ended (reaping it), without waiting: the exit code, or
    // 128 + the signal that ended it. None while it runs.
    std::optional<int> ExitStatus();

    // The status as waitpid gave it, once the child has ended (reaping it), without waiting: an
    // exit code of 139 is told from signal 11 here. None while it runs.
    std::optional<int> WaitStatus();

    pid_t pid() const { return pid_; }

  signals:
    // At most 256 bytes of output, as read.
    void chunkRead(const QByteArray& chunk);
    // The child has ended and its output has been read: emitted once, with ExitStatus's value.
    // Output that a grandchild still writes to the inherited pipe is not waited for.
    void finished(int status);

  private:
    void OnReadable();
    void OnExited();
    void DrainAvailable();
    void FinishIfDone();
    void CloseOutput();

    pid_t pid_ = -1;
    int pidfd_ = -1;
    int out_ = -1;
    int in_ = -1;
    bool outputEnded_ = false;
    bool reported_ = false;
    std::optional<int> status_;
    int raw_ = 0;  // the status as waitpid gave it: an exit code 139 is no signal 11
    std::unique_ptr<QSocketNotifier> readNotifier_;
    std::unique_ptr<QSocketNotifier> exitNotifier_;
    std::unique_ptr<QTimer> exitPoll_;
};

}  // namespace velto
