#include "common/atomicsave.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

#include "common/encoding.h"
#include "common/terminationsignals.h"

namespace velto {

namespace {

SaveStepHook stepHook = nullptr;

// The file no save may replace.
struct Protected {
    dev_t device = 0;
    ino_t inode = 0;
};
// The files protected, by holder; sessions may open listings on several threads.
std::mutex protectedLock;
std::map<unsigned long, Protected> protectedFiles;
unsigned long lastHolder = 0;

bool IsProtected(const struct stat& file) {
    const std::lock_guard<std::mutex> lock(protectedLock);
    return std::any_of(protectedFiles.begin(), protectedFiles.end(), [&](const auto& entry) {
        return entry.second.device == file.st_dev && entry.second.inode == file.st_ino;
    });
}

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
    volatile std::sig_atomic_t privateFd = -1;  // -1 until the private folder is open
    char privateName[NAME_MAX + 1] = {};
};
constexpr int kPendingSlots = 8;
PendingSave pending[kPendingSlots];

int Publish(int folderFd, const std::string& privateName) {
    for (int i = 0; i < kPendingSlots; ++i) {
        PendingSave& slot = pending[i];
        if (slot.active == 0) {
            slot.folderFd = folderFd;
            slot.privateFd = -1;
            std::memcpy(slot.privateName, privateName.c_str(), privateName.size() + 1);
            std::atomic_signal_fence(std::memory_order_seq_cst);
            slot.active = 1;
            return i;
        }
    }
    return -1;  // more saves at once than slots: only a signal's clean-up misses the extra ones
}

void PublishOpened(int slot, int privateFd) {
    if (slot >= 0) {
        std::atomic_signal_fence(std::memory_order_seq_cst);
        pending[slot].privateFd = privateFd;
    }
}

void Withdraw(int slot) {
    if (slot >= 0) {
        pending[slot].active = 0;
        std::atomic_signal_fence(std::memory_order_seq_cst);
    }
}

// Removes everything in a folder we hold open: the new file, and whatever a writer interrupted
// half-way left (libxlsxwriter unlinks its working files as it makes them, but not at once).
// Async-signal-safe: openat, getdents64 and unlinkat only, so a signal handler may call it.
void EmptyFolder(int folderFd) {
    // Listed through a descriptor of its own where one is to be had, else through the folder's
    // own from its start: a save that failed because the process ran out of descriptors must
    // still tidy up.
    int listing = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool own = listing >= 0;
    if (!own) {
        if (::lseek(folderFd, 0, SEEK_SET) != 0) {
            return;
        }
        listing = folderFd;
    }
    // Each linux_dirent64: inode (8 bytes), offset (8), record length (2), type (1), name.
    constexpr std::size_t kLengthAt = 16;
    constexpr std::size_t kNameAt = 19;
    alignas(8) char buffer[4096];
    for (;;) {
        const long got = ::syscall(SYS_getdents64, listing, buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        for (long at = 0; at < got;) {
            std::uint16_t length = 0;
            std::memcpy(&length, buffer + at + kLengthAt, sizeof length);
            const char* name = buffer + at + kNameAt;
            const bool dots = name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
            if (!dots) {
                ::unlinkat(folderFd, name, 0);
            }
            at += length;
        }
    }
    if (own) {
        ::close(listing);
    }
}

// Async-signal-safe.
void RemovePending(const PendingSave& slot) {
    const int privateFd = slot.privateFd;
    if (privateFd >= 0) {
        EmptyFolder(privateFd);
    }
    ::unlinkat(slot.folderFd, slot.privateName, AT_REMOVEDIR);
}

void OnTermination(int signal) {
    RemoveSavesInProgress();
    // End as the signal would have: its default action, whatever flags this handler was
    // installed with (a handler put back with signal() would otherwise run again at once).
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(signal, &fallback, nullptr);
    ::raise(signal);
}

// --- paths -------------------------------------------------------------------------------------

// An open folder (O_PATH: a folder we may write but not list, mode 0333, is still a place to save
// in) and its path as the user should read it in a message.
struct Folder {
    int fd = -1;
    std::string shown;
};

Folder OpenFolder(int at, const char* name, std::string shown) {
    const int fd = ::openat(at, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        // A folder we may not even look into cannot be saved in either.
        if (errno == EACCES) {
            throw FolderNotWritable(shown);
        }
        if (errno == ENOTDIR) {
            throw FileError(ENOTDIR, "\"" + FileNameToCp1252(shown) + "\" is not a folder");
        }
        RaiseFileError(errno);
    }
    return {fd, std::move(shown)};
}

std::string Joined(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

std::string ParentOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

void Split(const std::string& path, std::deque<std::string>& into) {
    std::deque<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t slash = std::min(path.find('/', start), path.size());
        const std::string part = path.substr(start, slash - start);
        if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = slash + 1;
    }
    into.insert(into.begin(), parts.begin(), parts.end());
}

// A link is followed only when we or root made it. One of another user's could name any file of
// ours, and in a team share anyone may have put it there, or put the folder that holds it there.
// The link is held open while it is checked and read, so the text read is that of the link
// whose owner was checked, not of one swapped in under its name since.
std::string TrustedLinkText(const Folder& folder, const std::string& name) {
    const int fd = ::openat(folder.fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        RaiseFileError(errno);
    }
    struct stat link {};
    std::string text(PATH_MAX, '\0');
    ssize_t length = -1;
    int error = 0;
    if (::fstat(fd, &link) != 0) {
        error = errno;
    } else if (S_ISLNK(link.st_mode) && link.st_uid != ::geteuid() && link.st_uid != 0) {
        ::close(fd);
        throw SaveRefused("\"" + FileNameToCp1252(Joined(folder.shown, name)) +
                          "\" is a link another user made, and a save does not follow it. "
                          "Please choose another name.");
    } else if (!S_ISLNK(link.st_mode)) {
        error = EAGAIN;  // no longer the link that was found: changed under us
    } else if ((length = ::readlinkat(fd, "", text.data(), text.size())) < 0) {
        error = errno;
    }
    ::close(fd);
    if (error != 0) {
        RaiseFileError(error);
    }
    if (static_cast<std::size_t>(length) >= text.size()) {
        RaiseFileError(ENAMETOOLONG);  // cut short: not the file the link names
    }
    text.resize(static_cast<std::size_t>(length));
    return text;
}

// Walks the target's path one folder at a time, never letting the system follow a link on its
// own: each link on the way is checked (TrustedLinkText) and followed by us, so what is
// reached is what was checked. Returns the target's folder, open, and its name there. A target
// that is a link is followed too: the file it finally names is the one replaced.
Folder Resolve(const std::string& target, std::string& baseName) {
    std::deque<std::string> parts;
    Split(target, parts);
    Folder here;
    auto restart = [&](bool fromRoot) {
        if (here.fd >= 0) {
            ::close(here.fd);
            here.fd = -1;
        }
        std::string shown = "/";
        if (!fromRoot) {
            // Messages name folders in full, not as ".".
            char cwd[PATH_MAX];
            shown = ::getcwd(cwd, sizeof cwd) != nullptr ? cwd : ".";
        }
        here = OpenFolder(AT_FDCWD, fromRoot ? "/" : ".", shown);
    };
    try {
        restart(target.starts_with('/'));
        int hops = 0;
        while (!parts.empty()) {
            const std::string name = parts.front();
            parts.pop_front();
            if (name == "..") {
                // The folder's own parent: ".." is never a link.
                Folder up = OpenFolder(here.fd, "..", ParentOf(here.shown));
                ::close(here.fd);
                here = up;
                continue;
            }
            struct stat info {};
            const bool exists = ::fstatat(here.fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
            if (!exists && (errno != ENOENT || !parts.empty())) {
                if (errno == EACCES) {
                    throw FolderNotWritable(here.shown);
                }
                if (errno == ENOENT) {
                    throw FileError(ENOENT, "the folder \"" +
                                                FileNameToCp1252(Joined(here.shown, name)) +
                                                "\" does not exist");
                }
                RaiseFileError(errno);
            }
            if (exists && S_ISLNK(info.st_mode)) {
                if (++hops > 40) {
                    RaiseFileError(ELOOP);
                }
                Step("link", here.shown);
                const std::string link = TrustedLinkText(here, name);
                Split(link, parts);
                if (link.starts_with('/')) {
                    restart(true);
                }
                continue;
            }
            if (parts.empty()) {
                baseName = name;
                return here;
            }
            Folder down = OpenFolder(here.fd, name.c_str(), Joined(here.shown, name));
            ::close(here.fd);
            here = down;
        }
        // The path ends in a folder ("/", ".", "run/..", "run/").
        RaiseFileError(EISDIR);
    } catch (...) {
        if (here.fd >= 0) {
            ::close(here.fd);
        }
        throw;
    }
}

constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr std::size_t kRandomLetters = 8;

// What the private folders of saves of this target are named before their random letters:
// hidden, telling what they hold, and short enough whatever the target's name (a name near the
// 255-byte limit must still save).
std::string PrivateFolderPrefix(const std::string& baseName) {
    std::size_t keep = std::min<std::size_t>(baseName.size(), 100);
    // Not in the middle of a UTF-8 character.
    while (keep > 0 && keep < baseName.size() &&
           (static_cast<unsigned char>(baseName[keep]) & 0xC0) == 0x80) {
        --keep;
    }
    return "." + baseName.substr(0, keep) + ".saving-";
}

std::string PrivateFolderName(const std::string& baseName) {
    unsigned char random[8] = {};
    if (::getrandom(random, sizeof random, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof random)) {
        // Early at boot: the name need only differ from what is there; mkdirat checks that.
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        std::uint64_t mix = static_cast<std::uint64_t>(now.tv_nsec) * 0x9E3779B97F4A7C15ULL ^
                            static_cast<std::uint64_t>(::getpid());
        std::memcpy(random, &mix, sizeof random);
    }
    static_assert(sizeof random == kRandomLetters);
    std::string name = PrivateFolderPrefix(baseName);
    for (unsigned char r : random) {
        name += kLetters[r % (sizeof kLetters - 1)];
    }
    return name;
}

// The file in a private folder whose lock says a save is using it, and the name it is made under
// before it is locked: neither may be the name of the file the save writes there.
struct LockNames {
    std::string held;
    std::string making;
};

LockNames LockNamesFor(const std::string& baseName) {
    LockNames names{".lock", ".lock.new"};
    while (names.held == baseName || names.making == baseName) {
        names.held += '~';
        names.making = names.held + ".new";
    }
    return names;
}

// Takes the lock that marks the private folder as in use, for as long as the descriptor returned
// is open (the system lets go of it however the process ends). The lock file is locked before it
// takes its name, so a lock file under that name whose lock is free is never a save's that is
// starting. -1 where the file system keeps no locks: the folder is then never taken for
// abandoned while it is young.
int TakeFolderLock(int privateFd, const std::string& baseName) {
    const LockNames names = LockNamesFor(baseName);
    const int fd = ::openat(privateFd, names.making.c_str(),
                            O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 ||
        ::renameat(privateFd, names.making.c_str(), privateFd, names.held.c_str()) != 0) {
        ::unlinkat(privateFd, names.making.c_str(), 0);
        ::close(fd);
        return -1;
    }
    return fd;
}

// A private folder without a lock file (left by a save killed before it took its lock, or by
// an earlier version of the tools, which took none) is taken for abandoned only when nothing has
// changed in it for this long: no save waits that long between two files.
constexpr time_t kUnlockedFolderAge = 24 * 60 * 60;

// Removes the private folder `name` in the folder if it is one of ours that no live save holds:
// a folder of ours, private, whose lock file is there and may be locked (or, without one, old).
// Another user's folder, or a live save's, is left as it is.
void RemoveIfAbandoned(int folderFd, const std::string& name, const LockNames& lockNames) {
    struct stat seen {};
    if (::fstatat(folderFd, name.c_str(), &seen, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISDIR(seen.st_mode) || seen.st_uid != ::geteuid() || (seen.st_mode & 077) != 0) {
        return;
    }
    const int fd =
        ::openat(folderFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    struct stat opened {};
    int lock = -1;
    bool abandoned = false;
    if (::fstat(fd, &opened) == 0 && opened.st_dev == seen.st_dev && opened.st_ino == seen.st_ino) {
        lock = ::openat(fd, lockNames.held.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (lock >= 0) {
            abandoned = ::flock(lock, LOCK_EX | LOCK_NB) == 0;
        } else if (errno == ENOENT) {
            timespec now{};
            ::clock_gettime(CLOCK_REALTIME, &now);
            abandoned = now.tv_sec - opened.st_mtim.tv_sec > kUnlockedFolderAge;
        }
    }
    if (abandoned) {
        // Emptied while its lock is ours, so no other save's clean-up works on it meanwhile;
        // removed by name only while the name is still this folder's.
        EmptyFolder(fd);
        struct stat named {};
        if (::fstatat(folderFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            named.st_dev == opened.st_dev && named.st_ino == opened.st_ino) {
            ::unlinkat(folderFd, name.c_str(), AT_REMOVEDIR);
        }
    }
    if (lock >= 0) {
        ::close(lock);
    }
    ::close(fd);
}

// Removes the private folders that earlier saves of this target left behind when they were
// killed outright. A folder we may write but not list (mode 0333) is left as it is.
void RemoveAbandonedSaves(int folderFd, const std::string& baseName) {
    const int listing = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) {
        return;
    }
    DIR* folder = ::fdopendir(listing);
    if (folder == nullptr) {
        ::close(listing);
        return;
    }
    const std::string prefix = PrivateFolderPrefix(baseName);
    std::vector<std::string> found;
    while (const dirent* entry = ::readdir(folder)) {
        const std::string_view name(entry->d_name);
        if (name.size() == prefix.size() + kRandomLetters && name.starts_with(prefix) &&
            name.find_first_not_of(kLetters, prefix.size()) == std::string_view::npos) {
            found.emplace_back(name);
        }
    }
    ::closedir(folder);
    const LockNames lockNames = LockNamesFor(baseName);
    for (const std::string& name : found) {
        RemoveIfAbandoned(folderFd, name, lockNames);
    }
}

// In a folder with the sticky bit (/tmp, a team share) only a file's owner, the folder's owner
// or root may rename over or remove a file: the new file could not take the place of another
// user's.
bool StickyKeepsItFromUs(int folderFd, const struct stat& file) {
    struct stat folder {};
    return file.st_uid != ::geteuid() && ::geteuid() != 0 && ::fstat(folderFd, &folder) == 0 &&
           (folder.st_mode & S_ISVTX) != 0 && folder.st_uid != ::geteuid();
}

constexpr const char* kStickyCause =
    "it belongs to another user, and in this folder only its owner may replace it";

bool IsPermissionError(int error) {
    return error == EACCES || error == EPERM || error == EROFS;
}

// The permissions a file made afresh gets: what the process's mask allows of 0666.
mode_t NewFileMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

}  // namespace

SaveRefused::SaveRefused(const std::string& message) : RuntimeError(kPermissionDenied, message) {}

FolderNotWritable::FolderNotWritable(const std::string& folder)
    : SaveRefused("The folder \"" + FileNameToCp1252(folder) +
                  "\" cannot be written. Please save in another folder."),
      folder_(folder) {}

AtomicSave::AtomicSave(const std::string& target) {
    Folder folder = Resolve(target, baseName_);
    folderFd_ = folder.fd;
    folderShown_ = folder.shown;
    finalTarget_ = Joined(folderShown_, baseName_);
    try {
        existed_ = ::fstatat(folderFd_, baseName_.c_str(), &previous_, AT_SYMLINK_NOFOLLOW) == 0;
        if (!existed_ && errno != ENOENT) {
            RaiseFileError(errno);
        }
        if (existed_ && IsProtected(previous_)) {
            throw SaveRefused("\"" + FileNameToCp1252(finalTarget_) +
                              "\" is the listing the values are read from. Please choose "
                              "another name.");
        }
        // Only a regular file is replaced: not a folder, and not a device or a pipe, where a
        // file would take the device's place. A link here now was swapped in since it was
        // followed.
        if (existed_ && S_ISDIR(previous_.st_mode)) {
            RaiseFileError(EISDIR);
        }
        if (existed_ && !S_ISREG(previous_.st_mode)) {
            throw FileError(EINVAL, "it is not a file but a pipe, a socket or a device");
        }
        if (existed_ && StickyKeepsItFromUs(folderFd_, previous_)) {
            throw FileError(EPERM, kStickyCause);
        }
        // A file we may not write is one another program holds: say so before any work is done.
        if (existed_ && ::faccessat(folderFd_, baseName_.c_str(), W_OK, 0) != 0 && errno != EROFS) {
            RaiseFileError(errno);
        }
        if (::faccessat(folderFd_, ".", W_OK | X_OK, 0) != 0) {
            if (IsPermissionError(errno)) {
                throw FolderNotWritable(folderShown_);
            }
            RaiseFileError(errno);
        }

        RemoveAbandonedSaves(folderFd_, baseName_);
        for (int attempt = 0;; ++attempt) {
            privateName_ = PrivateFolderName(baseName_);
            int made = -1;
            {
                // Made and published together: a signal in between would leave it behind.
                TerminationSignalsHeld held;
                made = ::mkdirat(folderFd_, privateName_.c_str(), 0700);
                if (made == 0) {
                    slot_ = Publish(folderFd_, privateName_);
                }
            }
            if (made == 0) {
                break;
            }
            if (errno != EEXIST || attempt >= 100) {
                const int error = errno;
                privateName_.clear();
                if (IsPermissionError(error)) {
                    throw FolderNotWritable(folderShown_);
                }
                RaiseFileError(error);
            }
        }
        privateFd_ = ::openat(folderFd_, privateName_.c_str(),
                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (privateFd_ < 0 && errno != ENOENT && errno != ENOTDIR && errno != ELOOP) {
            // No descriptor or memory to spare: the folder is still the empty one just made,
            // which Release removes by name.
            RaiseFileError(errno);
        }
        struct stat mine {};
        if (privateFd_ < 0 || ::fstat(privateFd_, &mine) != 0 || !S_ISDIR(mine.st_mode) ||
            mine.st_uid != ::geteuid() || (mine.st_mode & 077) != 0) {
            // Not the folder just made: someone replaced it at once. Leave theirs alone.
            privateName_.clear();
            RaiseFileError(EEXIST);
        }
        PublishOpened(slot_, privateFd_);
        lockFd_ = TakeFolderLock(privateFd_, baseName_);

        // Writers are handed a path through our descriptor of the private folder, which no
        // change to the shared folder's entries can redirect. Without /proc, the private
        // folder's own path (still a folder only we may enter).
        const std::string anchored = "/proc/self/fd/" + std::to_string(privateFd_);
        struct stat seen {};
        if (::stat(anchored.c_str(), &seen) == 0 && seen.st_dev == mine.st_dev &&
            seen.st_ino == mine.st_ino) {
            workFolder_ = anchored;
        } else {
            workFolder_ = Joined(folderShown_, privateName_);
        }
        writePath_ = workFolder_ + "/" + baseName_;
    } catch (...) {
        Release();
        throw;
    }
    Step("prepared", folderShown_);
}

AtomicSave::~AtomicSave() {
    Release();
}

void AtomicSave::Release() {
    if (privateFd_ >= 0) {
        // The lock file goes too once the new file has taken the target's place.
        EmptyFolder(privateFd_);
        // By name, so only if the name is still our folder's: a folder someone else put in its
        // place is theirs.
        struct stat mine {};
        struct stat named {};
        if (!privateName_.empty() && ::fstat(privateFd_, &mine) == 0 &&
            ::fstatat(folderFd_, privateName_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            mine.st_dev == named.st_dev && mine.st_ino == named.st_ino) {
            ::unlinkat(folderFd_, privateName_.c_str(), AT_REMOVEDIR);
        }
    } else if (!privateName_.empty() && folderFd_ >= 0) {
        // Made but never opened: still empty.
        ::unlinkat(folderFd_, privateName_.c_str(), AT_REMOVEDIR);
    }
    // Only once the folder is gone: a signal until then still finds it to remove, and another
    // save does not take it for abandoned.
    Withdraw(slot_);
    slot_ = -1;
    if (lockFd_ >= 0) {
        ::close(lockFd_);
        lockFd_ = -1;
    }
    if (privateFd_ >= 0) {
        ::close(privateFd_);
        privateFd_ = -1;
    }
    if (folderFd_ >= 0) {
        ::close(folderFd_);
        folderFd_ = -1;
    }
}

bool AtomicSave::SamePlace(const AtomicSave& other) const {
    struct stat mine {};
    struct stat theirs {};
    if (finalTarget_ != other.finalTarget_ || existed_ != other.existed_ || folderFd_ < 0 ||
        other.folderFd_ < 0 || ::fstat(folderFd_, &mine) != 0 ||
        ::fstat(other.folderFd_, &theirs) != 0 || mine.st_dev != theirs.st_dev ||
        mine.st_ino != theirs.st_ino) {
        return false;
    }
    return !existed_ || (previous_.st_dev == other.previous_.st_dev &&
                         previous_.st_ino == other.previous_.st_ino &&
                         previous_.st_mode == other.previous_.st_mode &&
                         previous_.st_uid == other.previous_.st_uid &&
                         previous_.st_gid == other.previous_.st_gid);
}

bool AtomicSave::Commit(const std::function<bool()>& stillWanted) {
    if (privateFd_ < 0 || committed_) {
        Raise(kPathFileAccess);
    }
    const std::string& folder = folderShown_;
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
    // spreadsheet. A previous file of another user's does not set our file's mode: in a shared
    // folder they could have left it open to all.
    const bool ours = existed_ && previous_.st_uid == ::geteuid();
    if (error == 0 && ::fchmod(fd, ours ? previous_.st_mode & 0777 : NewFileMode()) != 0) {
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
        struct stat now {};
        if (error == EPERM &&
            ::fstatat(folderFd_, baseName_.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
            StickyKeepsItFromUs(folderFd_, now)) {
            throw FileError(EPERM, kStickyCause);
        }
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

void StartWriteback(std::FILE* file) {
    // Only what is not yet on its way is started; a failure (a pipe, a device, a file system
    // without it) leaves the work to the final sync, as before.
    if (std::fflush(file) == 0) {
        [[maybe_unused]] const int ignored =
            ::sync_file_range(::fileno(file), 0, 0, SYNC_FILE_RANGE_WRITE);
    }
}

WritebackPacer::~WritebackPacer() {
    Finish();
}

void WritebackPacer::SyncSoFar(std::FILE* file) {
    StartWriteback(file);
    struct stat st {};
    if (::fstat(::fileno(file), &st) != 0 || !S_ISREG(st.st_mode)) {
        return;  // a pipe or a device: nothing to sync
    }
    {
        const std::lock_guard lock(mutex_);
        if (stop_) {
            return;
        }
        fd_ = ::fileno(file);
    }
    if (!thread_.joinable()) {
        try {
            thread_ = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
            const std::lock_guard lock(mutex_);
            fd_ = -1;  // no thread to spare: the final sync does it all
        }
        return;
    }
    wake_.notify_one();
}

void WritebackPacer::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stop_ || fd_ >= 0; });
        if (fd_ < 0) {
            return;
        }
        const int fd = std::exchange(fd_, -1);
        lock.unlock();
        const int error = (sync_ != nullptr ? sync_(fd) : ::fdatasync(fd)) == 0 ? 0 : errno;
        lock.lock();
        if (error_ == 0 && error != EINVAL && error != EROFS) {
            error_ = error;
        }
    }
}

int WritebackPacer::Finish() {
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
        fd_ = -1;  // a sync not yet begun is the final sync's to do
    }
    wake_.notify_one();
    if (thread_.joinable()) {
        thread_.join();
    }
    // Ready for the writer's next file.
    const std::lock_guard lock(mutex_);
    stop_ = false;
    pending_ = 0;
    return std::exchange(error_, 0);
}

int WriteWhole(int fd, std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            return wrote < 0 ? errno : EIO;
        }
        done += static_cast<std::size_t>(wrote);
    }
    return 0;
}

void SaveBytesAtomically(const std::string& target, std::string_view bytes) {
    AtomicSave save(target);
    const int fd = ::openat(AT_FDCWD, save.WritePath().c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        RaiseFileError(errno);
    }
    if (const int error = WriteWhole(fd, bytes); error != 0) {
        ::close(fd);
        RaiseFileError(error);
    }
    if (::close(fd) != 0) {
        RaiseFileError(errno);
    }
    save.Commit();
}

SaveProtection::SaveProtection() {
    const std::lock_guard<std::mutex> lock(protectedLock);
    id_ = ++lastHolder;
}

SaveProtection::~SaveProtection() {
    const std::lock_guard<std::mutex> lock(protectedLock);
    protectedFiles.erase(id_);
}

SaveProtection::SaveProtection(SaveProtection&& other) noexcept : SaveProtection() {
    std::swap(id_, other.id_);
}

SaveProtection& SaveProtection::operator=(SaveProtection&& other) noexcept {
    std::swap(id_, other.id_);
    return *this;
}

void SaveProtection::Protect(const std::string& path) {
    struct stat info {};
    const bool known = !path.empty() && ::stat(path.c_str(), &info) == 0;
    const std::lock_guard<std::mutex> lock(protectedLock);
    protectedFiles.erase(id_);
    if (known) {
        protectedFiles[id_] = Protected{info.st_dev, info.st_ino};
    }
}

namespace {

// What an errno of a failed write or of a name means, where it says more than the run-time
// error's number; empty where it does not.
std::string_view ErrnoCause(int errnoValue) {
    switch (errnoValue) {
        case ENOSPC:
            return "no space left on the device";
        case EDQUOT:
            return "the disk quota is used up";
        case EFBIG:
            return "the file would exceed the file-size limit";
        case ENAMETOOLONG:
            return "the name is too long";
        case EISDIR:
            return "it is a folder";
        case EIO:
            return "the device reported an input/output error";
        case ELOOP:
            return "too many links to follow";
        case EMFILE:
        case ENFILE:
            return "too many files are open";
        default:
            return {};
    }
}

// Why a save failed, and whether that is a whole message of the save's own, which the window
// shows as it is.
struct Cause {
    std::string text;
    bool whole = false;
};

Cause CauseOf(const RuntimeError& error) {
    if (dynamic_cast<const SaveRefused*>(&error) != nullptr) {
        return {error.description(), true};
    }
    if (const auto* file = dynamic_cast<const FileError*>(&error)) {
        if (!file->cause().empty()) {
            return {file->cause()};
        }
        if (const std::string_view cause = ErrnoCause(file->errnoValue()); !cause.empty()) {
            return {std::string(cause)};
        }
    }
    if (error.number() == kPermissionDenied) {
        return {"The file is locked. Please close the file in Excel and try again.", true};
    }
    return {error.description()};
}

}  // namespace

std::string SaveFailureCause(const RuntimeError& error) {
    return CauseOf(error).text;
}

std::string SaveFailureText(const RuntimeError& error, const std::string& file) {
    const Cause cause = CauseOf(error);
    if (cause.whole) {
        return cause.text;
    }
    return "Cannot write \"" + FileNameToCp1252(file) + "\": " + cause.text + ".";
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
    action.sa_mask = TerminationSignals();
    for (int signal : kTerminationSignals) {
        ::sigaction(signal, &action, nullptr);
    }
    // A file-size limit (ulimit -f) would kill the program in the middle of a write; ignored, the
    // write fails instead, and the save reports it and tidies up as it does for a full disk.
    ::signal(SIGXFSZ, SIG_IGN);
}

void SetSaveStepHookForTesting(SaveStepHook hook) {
    stepHook = hook;
}

}  // namespace velto
