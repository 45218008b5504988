#include "shell/runner/childprocess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <cstring>

extern char** environ;

namespace velto {

namespace {

constexpr std::size_t kChunk = 256;

// The system's own words for an error, untranslated: a console text is single-byte, and a
// translation may not be.
std::string ErrorText(int error) {
    const char* text = ::strerrordesc_np(error);
    return text ? text : "error " + std::to_string(error);
}

int DecodeStatus(int raw) {
    if (WIFEXITED(raw)) {
        return WEXITSTATUS(raw);
    }
    if (WIFSIGNALED(raw)) {
        return 128 + WTERMSIG(raw);
    }
    return 255;
}

// Children we stopped listening to before they ended. Each is reaped when it ends, whenever
// that is; the solver is never hurried along.
class Reaper : public QObject {
  public:
    static void Adopt(pid_t pid, int pidfd) {
        if (pidfd < 0 || QCoreApplication::instance() == nullptr) {
            // Without a way to be told, try once now; what is left the system reaps when we exit.
            int raw = 0;
            ::waitpid(pid, &raw, WNOHANG);
            if (pidfd >= 0) {
                ::close(pidfd);
            }
            return;
        }
        auto* notifier = new QSocketNotifier(pidfd, QSocketNotifier::Read, Instance());
        QObject::connect(notifier, &QSocketNotifier::activated, notifier, [notifier, pid, pidfd] {
            // The watch ends before the descriptor does: a descriptor closed while still
            // watched is polled as invalid, and its number, reused meanwhile by another
            // descriptor, would be watched and closed in that one's place.
            notifier->setEnabled(false);
            notifier->deleteLater();
            int raw = 0;
            ::waitpid(pid, &raw, WNOHANG);
            ::close(pidfd);
        });
    }

  private:
    static Reaper* Instance() {
        static Reaper* reaper = new Reaper(QCoreApplication::instance());
        return reaper;
    }
    using QObject::QObject;
};

}  // namespace

ChildProcess::ChildProcess(QObject* parent) : QObject(parent) {}

ChildProcess::~ChildProcess() {
    ClosePipes();
    readNotifier_.reset();
    exitNotifier_.reset();
    exitPoll_.reset();
    if (pid_ > 0 && !status_) {
        if (!ExitStatus()) {
            Reaper::Adopt(pid_, pidfd_);
            pidfd_ = -1;
        }
    }
    if (pidfd_ >= 0) {
        ::close(pidfd_);
    }
}

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& workingFolder, std::string& error, int handed) {
    int input[2] = {-1, -1};
    int output[2] = {-1, -1};
    // A copy numbered above the child's number for it, so that no dup2 below lands on it.
    int spare = -1;
    if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0 ||
        (handed >= 0 && (spare = ::fcntl(handed, F_DUPFD_CLOEXEC, kHandedDescriptor + 1)) < 0)) {
        error = ErrorText(errno);
        for (int fd : {input[0], input[1], output[0], output[1]}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        return false;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDERR_FILENO);
    // Last, once the pipes' ends are in place: a dup2 leaves its copy open across the exec,
    // while every other descriptor of ours is close-on-exec and stays with us.
    if (spare >= 0) {
        posix_spawn_file_actions_adddup2(&actions, spare, kHandedDescriptor);
    }
    if (!workingFolder.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, workingFolder.c_str());
    }

    // The child gets default signal handling (we ignore SIGPIPE ourselves; it must not) and a
    // session of its own, so a Ctrl+C at our terminal stops the batch, never the solver.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSID);

    std::vector<std::string> argv0 = {program};
    argv0.insert(argv0.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : argv0) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    pid_t pid = -1;
    int spawned = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(input[0]);
    ::close(output[1]);
    if (spare >= 0) {
        ::close(spare);
    }
    if (spawned != 0) {
        error = ErrorText(spawned);
        ::close(input[1]);
        ::close(output[0]);
        return false;
    }

    pid_ = pid;
    in_ = input[1];
    out_ = output[0];
    ::fcntl(out_, F_SETFL, ::fcntl(out_, F_GETFL) | O_NONBLOCK);

    readNotifier_ = std::make_unique<QSocketNotifier>(out_, QSocketNotifier::Read);
    connect(readNotifier_.get(), &QSocketNotifier::activated, this, &ChildProcess::OnReadable);

    // The end of the child itself, not of its output, ends the run: a grandchild may hold the
    // output pipe open long after the solver has gone.
    pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    if (pidfd_ >= 0) {
        exitNotifier_ = std::make_unique<QSocketNotifier>(pidfd_, QSocketNotifier::Read);
        connect(exitNotifier_.get(), &QSocketNotifier::activated, this, &ChildProcess::OnExited);
    } else {
        exitPoll_ = std::make_unique<QTimer>();
        connect(exitPoll_.get(), &QTimer::timeout, this, [this] {
            if (ExitStatus()) {
                OnExited();
            }
        });
        exitPoll_->start(100);
    }
    return true;
}

bool ChildProcess::Write(std::string_view bytes) {
    if (in_ < 0) {
        return false;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t wrote = ::write(in_, bytes.data() + done, bytes.size() - done);
        if (wrote < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

void ChildProcess::OnReadable() {
    char buffer[kChunk];
    ssize_t got = ::read(out_, buffer, sizeof buffer);
    if (got > 0) {
        emit chunkRead(QByteArray(buffer, static_cast<int>(got)));
        return;
    }
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    // End of the output (or a broken pipe): what remains is the child's end.
    CloseOutput();
    FinishIfDone();
}

void ChildProcess::OnExited() {
    if (exitNotifier_) {
        exitNotifier_->setEnabled(false);
    }
    if (exitPoll_) {
        exitPoll_->stop();
    }
    ExitStatus();
    DrainAvailable();
    FinishIfDone();
}

void ChildProcess::DrainAvailable() {
    // What the child wrote before it ended is in the pipe already; take it without waiting for
    // anyone else who may share the pipe.
    while (out_ >= 0) {
        char buffer[kChunk];
        ssize_t got = ::read(out_, buffer, sizeof buffer);
        if (got > 0) {
            emit chunkRead(QByteArray(buffer, static_cast<int>(got)));
            continue;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got == 0 || errno != EAGAIN) {
            CloseOutput();
        }
        break;
    }
    CloseOutput();
}

void ChildProcess::FinishIfDone() {
    // Done when the output is closed and the child has ended; whichever comes second reports.
    if (reported_ || out_ >= 0 || !ExitStatus()) {
        return;
    }
    reported_ = true;
    if (in_ >= 0) {
        ::close(in_);
        in_ = -1;
    }
    emit finished(*status_);
}

void ChildProcess::CloseOutput() {
    readNotifier_.reset();
    if (out_ >= 0) {
        ::close(out_);
        out_ = -1;
    }
}

void ChildProcess::ClosePipes() {
    reported_ = true;
    CloseOutput();
    if (in_ >= 0) {
        ::close(in_);
        in_ = -1;
    }
}

std::optional<int> ChildProcess::ExitStatus() {
    if (status_ || pid_ <= 0) {
        return status_;
    }
    int raw = 0;
    pid_t done = ::waitpid(pid_, &raw, WNOHANG);
    if (done == pid_) {
        raw_ = raw;
        status_ = DecodeStatus(raw);
    }
    return status_;
}

std::optional<int> ChildProcess::WaitStatus() {
    if (!ExitStatus()) {
        return std::nullopt;
    }
    return raw_;
}

}  // namespace velto
