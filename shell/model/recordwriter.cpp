#include "shell/model/recordwriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <random>
#include <utility>

#include "common/atomicsave.h"

namespace velto {

namespace {

int DefaultSync(int fd, bool folder) {
    return folder ? ::fsync(fd) : ::fdatasync(fd);
}

RecordWriter::Sync syncForTesting = nullptr;

// Opens a new file of a name of its own beside `path` ("NAME.XXXXXX", as a save that cannot make
// an unnamed file leaves it), or -1; `name` gets its name.
int CreateBeside(const std::string& path, std::string& name) {
    static constexpr char kLetters[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937 random{std::random_device{}()};
    std::uniform_int_distribution<int> letter(0, sizeof kLetters - 2);
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = path + '.';
        for (int i = 0; i < 6; ++i) {
            name += kLetters[letter(random)];
        }
        // As any new file of the user's: 0666 less the process's mask.
        const int fd =
            ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

}  // namespace

void RecordWriter::SetSyncForTesting(Sync sync) {
    syncForTesting = sync;
}

RecordWriter::RecordWriter(std::string path) : path_(std::move(path)) {
    RemoveLeftovers();
    thread_ = std::thread([this] { Run(); });
}

void RecordWriter::RemoveLeftovers() const {
    // A write cut short by a crash leaves its new file ("NAME.XXXXXX") beside the record; only
    // this record's writer makes them, and one writer lives for a record at a time.
    const std::filesystem::path record(path_);
    const std::string prefix = record.filename().string() + '.';
    std::error_code error;
    const std::filesystem::path folder =
        record.has_parent_path() ? record.parent_path() : std::filesystem::path(".");
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        std::error_code ignored;
        if (name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0 &&
            entry.is_regular_file(ignored) && !entry.is_symlink(ignored)) {
            std::filesystem::remove(entry.path(), ignored);
        }
    }
}

RecordWriter::~RecordWriter() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void RecordWriter::Put(std::string text) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_ = std::move(text);
        ++handed_;
    }
    wake_.notify_one();
}

bool RecordWriter::PutAndWait(std::string text) {
    std::unique_lock<std::mutex> lock(mutex_);
    pending_ = std::move(text);
    const std::uint64_t mine = ++handed_;
    wake_.notify_one();
    written_.wait(lock, [&] { return finished_ >= mine; });
    return lastWritten_;
}

void RecordWriter::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stop_ || taken_ < handed_; });
        if (taken_ == handed_) {
            return;  // asked to end, with nothing left to write
        }
        // The newest text only: the ones it replaced hold less of the batch.
        std::string text = std::move(pending_);
        taken_ = handed_;
        lock.unlock();
        // The record the disk holds already (the batch's end is saved twice, a timer may find
        // nothing new) costs no round trip.
        const bool ok = text == onDisk_ || Write(text);
        if (ok) {
            onDisk_ = std::move(text);
        }
        lock.lock();
        finished_ = taken_;
        lastWritten_ = ok;
        written_.notify_all();
    }
}

bool RecordWriter::Write(const std::string& text) {
    const Sync sync = syncForTesting ? syncForTesting : DefaultSync;
    std::string temporary;
    int fd = CreateBeside(path_, temporary);
    if (fd < 0 && errno == ENOENT) {
        // The folder went away (or never was): made again, as the first save makes it.
        std::error_code ignored;
        std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), ignored);
        fd = CreateBeside(path_, temporary);
    }
    if (fd < 0) {
        return false;
    }
    // The record's own permissions carry over (a user who made it private keeps it so).
    // Changed only where they differ: on a file server a change of mode is a round trip.
    struct stat previous {};
    struct stat made {};
    if (::lstat(path_.c_str(), &previous) == 0 && S_ISREG(previous.st_mode) &&
        previous.st_uid == ::geteuid() && ::fstat(fd, &made) == 0 &&
        (made.st_mode & 0777) != (previous.st_mode & 0777)) {
        ::fchmod(fd, previous.st_mode & 0777);
    }
    bool ok = WriteWhole(fd, text) == 0 && sync(fd, false) == 0;
    // A file server may tell of a failed write only when the file is closed.
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temporary.c_str(), path_.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    // The rename itself on the disk, where the file system allows it: without it a crash may
    // bring back the previous record, or none at all after the first write.
    const std::string folder = std::filesystem::path(path_).parent_path().string();
    const int folderFd =
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        sync(folderFd, true);
        ::close(folderFd);
    }
    return true;
}

}  // namespace velto
