#include "common/atomicsave.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstring>

#include <ctime>
#include "common/encoding.h"

namespace velto {

namespace {

SaveStepHook stepHook = nullptr;

void Step(const char* step, const std::string& folder) {
    if (stepHook != nullptr) {
        stepHook(step, folder);
    }
}

// --- saves in progress, for the termination signals -------------------------------------------

// A handler may run at any moment, so what it needs is kept in fixed arrays and published last.
struct PendingSave {
    volatile std::sig_atomic_t active = 0;
    int folderFd = -1;
    int privateFd = -1;
    char baseName[NAME_MAX + 1] = {};
    char privateName[NAME_MAX + 1] = {};
};
constexpr int kPendingSlots = 8;
PendingSave pending[kPendingSlots];

int Publish(int folderFd, int privateFd, const std::string& baseName,
            const std::string& privateName) {
    for (int i = 0; i < kPendingSlots; ++i) {
        PendingSave& slot = pending[i];
        if (slot.active == 0) {
            slot.folderFd = folderFd;
            slot.privateFd = privateFd;
            std::memcpy(slot.baseName, baseName.c_str(), baseName.size() + 1);
            std::memcpy(slot.privateName, privateName.c_str(), privateName.size() + 1);
            std::atomic_signal_fence(std::memory_order_seq_cst);
            slot.active = 1;
            return i;
        }
    }
    return -1;  // more saves at once than slots: only a signal's clean-up misses the extra ones
}

void Withdraw(int slot) {
    if (slot >= 0) {
        pending[slot].active = 0;
        std::atomic_signal_fence(std::memory_order_seq_cst);
    }
}

// Async-signal-safe: unlinkat only.
void RemovePending(const PendingSave& slot) {
    ::unlinkat(slot.privateFd, slot.baseName, 0);
    ::unlinkat(slot.folderFd, slot.privateName, AT_REMOVEDIR);
}

void OnTermination(int signal) {
    RemoveSavesInProgress();
    // SA_RESETHAND has put back the default action: end as the signal would have.
    ::raise(signal);
}

// --- paths -------------------------------------------------------------------------------------

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file a path finally names: symbolic links in its last part are followed (a link to a
// link too), so that saving through a link replaces the file it points at and keeps the link.
std::string FollowLinks(std::string path) {
    for (int hops = 0; hops <= 40; ++hops) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            return path;
        }
        std::string link(PATH_MAX, '\0');
        const ssize_t length = ::readlink(path.c_str(), link.data(), link.size());
        if (length < 0) {
            RaiseFileError(errno);
        }
        if (static_cast<std::size_t>(length) >= link.size()) {
            RaiseFileError(ENAMETOOLONG);  // cut short: not the file the link names
        }
        link.resize(static_cast<std::size_t>(length));
        path = link.starts_with('/') ? link : FolderOf(path) + "/" + link;
    }
    RaiseFileError(ELOOP);
}

// A name for the private folder: hidden, telling what it holds, and short enough whatever the
// target's name (a name near the 255-byte limit must still save).
std::string PrivateFolderName(const std::string& baseName) {
    std::size_t keep = std::min<std::size_t>(baseName.size(), 100);
    // Not in the middle of a UTF-8 character.
    while (keep > 0 && keep < baseName.size() &&
           (static_cast<unsigned char>(baseName[keep]) & 0xC0) == 0x80) {
        --keep;
    }
    static constexpr char kLetters[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned char random[8] = {};
    if (::getrandom(random, sizeof random, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof random)) {
        // Early at boot: the name need only differ from what is there; mkdirat checks that.
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        std::uint64_t mix = static_cast<std::uint64_t>(now.tv_nsec) * 0x9E3779B97F4A7C15ULL ^
                            static_cast<std::uint64_t>(::getpid());
        std::memcpy(random, &mix, sizeof random);
    }
    std::string name = "." + baseName.substr(0, keep) + ".saving-";
    for (unsigned char r : random) {
        name += kLetters[r % (sizeof kLetters - 1)];
    }
    return name;
}

bool IsPermissionError(int error) {
    return error == EACCES || error == EPERM || error == EROFS;
}

// The permissions a file made afresh gets: what the process's mask allows of 0666.
mode_t NewFileMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

// Removes what a writer left in the private folder (libxlsxwriter's working files are unlinked
// as it makes them, but a writer interrupted half-way may leave some).
void EmptyFolder(int folderFd) {
    const int listing = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) {
        return;
    }
    DIR* dir = ::fdopendir(listing);
    if (dir == nullptr) {
        ::close(listing);
        return;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") {
            ::unlinkat(folderFd, entry->d_name, 0);
        }
    }
    ::closedir(dir);
}

}  // namespace

FolderNotWritable::FolderNotWritable(const std::string& folder)
    : RuntimeError(kPermissionDenied, "The folder \"" + folder +
                                          "\" cannot be written. Please save in another folder."),
      folder_(folder) {}

AtomicSave::AtomicSave(const std::string& target) {
    finalTarget_ = FollowLinks(target);
    const std::string folder = FolderOf(finalTarget_);
    baseName_ = NameOf(finalTarget_);
    if (baseName_.empty() || baseName_ == "." || baseName_ == "..") {
        RaiseFileError(EISDIR);
    }
    try {
        // O_PATH: a folder we may write but not list (mode 0333) is still a place to save in.
        folderFd_ = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (folderFd_ < 0) {
            RaiseFileError(errno);
        }
        existed_ = ::fstatat(folderFd_, baseName_.c_str(), &previous_, AT_SYMLINK_NOFOLLOW) == 0;
        if (!existed_ && errno != ENOENT) {
            RaiseFileError(errno);
        }
        // Only a regular file is replaced: not a folder, and not a device or a pipe, where a
        // file would take the device's place. A link here now was swapped in since it was
        // followed.
        if (existed_ && !S_ISREG(previous_.st_mode)) {
            RaiseFileError(S_ISDIR(previous_.st_mode) ? EISDIR : EINVAL);
        }
        // A file we may not write is one another program holds: say so before any work is done.
        if (existed_ && ::faccessat(folderFd_, baseName_.c_str(), W_OK, 0) != 0 && errno != EROFS) {
            RaiseFileError(errno);
        }
        if (::faccessat(folderFd_, ".", W_OK | X_OK, 0) != 0) {
            if (IsPermissionError(errno)) {
                throw FolderNotWritable(folder);
            }
            RaiseFileError(errno);
        }

        for (int attempt = 0;; ++attempt) {
            privateName_ = PrivateFolderName(baseName_);
            if (::mkdirat(folderFd_, privateName_.c_str(), 0700) == 0) {
                break;
            }
            if (errno != EEXIST || attempt >= 100) {
                const int error = errno;
                privateName_.clear();
                if (IsPermissionError(error)) {
                    throw FolderNotWritable(folder);
                }
                RaiseFileError(error);
            }
        }
        privateFd_ = ::openat(folderFd_, privateName_.c_str(),
                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        struct stat mine {};
        if (privateFd_ < 0 || ::fstat(privateFd_, &mine) != 0 || !S_ISDIR(mine.st_mode) ||
            mine.st_uid != ::geteuid() || (mine.st_mode & 077) != 0) {
            // Not the folder just made: someone replaced it at once. Leave theirs alone.
            privateName_.clear();
            RaiseFileError(EEXIST);
        }

        // Writers are handed a path through our descriptor of the private folder, which no
        // change to the shared folder's entries can redirect. Without /proc, the private
        // folder's own path (still a folder only we may enter).
        const std::string anchored = "/proc/self/fd/" + std::to_string(privateFd_);
        struct stat seen {};
        if (::stat(anchored.c_str(), &seen) == 0 && seen.st_dev == mine.st_dev &&
            seen.st_ino == mine.st_ino) {
            workFolder_ = anchored;
        } else {
            workFolder_ = folder + "/" + privateName_;
        }
        writePath_ = workFolder_ + "/" + baseName_;
        slot_ = Publish(folderFd_, privateFd_, baseName_, privateName_);
    } catch (...) {
        Release();
        throw;
    }
    Step("prepared", folder);
}

AtomicSave::~AtomicSave() {
    Release();
}

void AtomicSave::Release() {
    Withdraw(slot_);
    slot_ = -1;
    if (privateFd_ >= 0) {
        if (!committed_) {
            EmptyFolder(privateFd_);
        }
        // By name, so only if the name is still our folder's: a folder someone else put in its
        // place is theirs.
        struct stat mine {};
        struct stat named {};
        if (!privateName_.empty() && ::fstat(privateFd_, &mine) == 0 &&
            ::fstatat(folderFd_, privateName_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            mine.st_dev == named.st_dev && mine.st_ino == named.st_ino) {
            ::unlinkat(folderFd_, privateName_.c_str(), AT_REMOVEDIR);
        }
        ::close(privateFd_);
        privateFd_ = -1;
    }
    if (folderFd_ >= 0) {
        ::close(folderFd_);
        folderFd_ = -1;
    }
}

bool AtomicSave::Commit(const std::function<bool()>& stillWanted) {
    if (privateFd_ < 0 || committed_) {
        Raise(kPathFileAccess);
    }
    const std::string folder = FolderOf(finalTarget_);
    Step("written", folder);
    const int fd = ::openat(privateFd_, baseName_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        RaiseFileError(errno);
    }
    struct stat written {};
    int error = 0;
    if (::fstat(fd, &written) != 0) {
        error = errno;
    } else if (!S_ISREG(written.st_mode)) {
        error = EINVAL;
    }
    if (error == 0 && existed_ && written.st_gid != previous_.st_gid) {
        // Keeps the file in the group the team shares it with; a group the user is not in
        // cannot be given, and the folder's group stays.
        [[maybe_unused]] const int ignored = ::fchown(fd, static_cast<uid_t>(-1), previous_.st_gid);
    }
    // After fchown, which clears the set-ID bits anyway; they are never carried over to a
    // spreadsheet.
    if (error == 0 && ::fchmod(fd, existed_ ? previous_.st_mode & 0777 : NewFileMode()) != 0) {
        error = errno;
    }
    if (error == 0 && ::fsync(fd) != 0) {
        error = errno;
    }
    ::close(fd);
    if (error != 0) {
        RaiseFileError(error);
    }
    if (stillWanted && !stillWanted()) {
        Release();
        return false;
    }
    Step("renaming", folder);
    if (::renameat(privateFd_, baseName_.c_str(), folderFd_, baseName_.c_str()) != 0) {
        error = errno;
        if (IsPermissionError(error)) {
            throw FolderNotWritable(folder);
        }
        RaiseFileError(error);
    }
    committed_ = true;
    // The rename itself on the disk, where the file system allows it.
    const int folderSync = ::openat(folderFd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderSync >= 0) {
        ::fsync(folderSync);
        ::close(folderSync);
    }
    Release();
    return true;
}

void SaveBytesAtomically(const std::string& target, std::string_view bytes) {
    AtomicSave save(target);
    const int fd = ::openat(AT_FDCWD, save.WritePath().c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        RaiseFileError(errno);
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            const int error = wrote < 0 ? errno : EIO;
            ::close(fd);
            RaiseFileError(error);
        }
        done += static_cast<std::size_t>(wrote);
    }
    if (::close(fd) != 0) {
        RaiseFileError(errno);
    }
    save.Commit();
}

void RemoveSavesInProgress() {
    for (const PendingSave& slot : pending) {
        if (slot.active != 0) {
            RemovePending(slot);
        }
    }
}

void RemoveSavesInProgressOnTermination() {
    struct sigaction action {};
    action.sa_handler = OnTermination;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    constexpr int kSignals[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};
    for (int signal : kSignals) {
        sigaddset(&action.sa_mask, signal);
    }
    for (int signal : kSignals) {
        ::sigaction(signal, &action, nullptr);
    }
}

void SetSaveStepHookForTesting(SaveStepHook hook) {
    stepHook = hook;
}

}  // namespace velto
