#pragma once

#include <sys/stat.h>

#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "common/error.h"

namespace velto {

// Raised when a save is refused for a reason the user must read in full: its description is the
// whole message.
class SaveRefused : public RuntimeError {
  public:
    explicit SaveRefused(const std::string& message);
};

// Raised when the folder a file is to be saved in may not be written (or not even looked into).
// Its message names the folder.
class FolderNotWritable : public SaveRefused {
  public:
    explicit FolderNotWritable(const std::string& folder);
    const std::string& folder() const { return folder_; }

  private:
    std::string folder_;
};

// Replaces a file only once its new contents are whole, and safely in a folder other users may
// write (a team share). The new file is written in a private folder (mode 0700) made beside the
// target, reached only through a descriptor of that folder, so no entry another user renames,
// swaps or links in the shared folder can redirect a write, a mode change or the final rename.
//
//   AtomicSave save(target);            // checks, makes the private folder
//   writer.Open(save.WritePath()); ...  // any writer that takes a path
//   save.Commit();                      // permissions, to disk, renamed over the target
//
// A target that is a symbolic link is followed to the file it finally names: that file is
// replaced (in its own folder) and the link is kept. Links, on the way or at the end, are
// followed only when another user could not have made them (ours, root's, the folder owner's,
// or in a folder no one else may write); any other is refused with SaveRefused, since in a
// shared folder it could turn the save into an overwrite of any file of ours. A hard-linked target
// is replaced by a new file under this name; its other names keep the previous contents. The new
// file gets the previous file's permission bits (set-user-ID, set-group-ID and sticky bits dropped)
// and, where the user may set it, its group; a new file gets 0666 less the process's mask.
//
// Failures raise a RuntimeError: 53 for a missing folder, 70 for a target we may not write (or,
// in a folder with the sticky bit, one of another user's that only its owner may replace),
// FolderNotWritable for a folder we may not write or look into, SaveRefused for a link we do
// not follow, 75 for a target that is a folder, a pipe or a device and for anything else (a full
// disk among them); those of the file system are FileErrors, whose errno SaveFailureCause puts
// in words. Nothing is left behind by a save that is not committed: the destructor removes the
// private folder and all it holds.
//
// A save killed outright (SIGKILL, the out-of-memory killer) cannot tidy up: its private folder
// stays. Each save holds a lock (flock) on a file in its private folder for as long as it lives,
// which the system lets go of however the process ends, and the next save of the same target
// removes the folders of its earlier saves that no process holds any more: only the user's own,
// never one a live save holds, nor one of another user.
class AtomicSave {
  public:
    explicit AtomicSave(const std::string& target);
    ~AtomicSave();
    AtomicSave(const AtomicSave&) = delete;
    AtomicSave& operator=(const AtomicSave&) = delete;

    // The path a writer opens for the new file, and a folder for a writer's own working files.
    // Both lie in the private folder.
    const std::string& WritePath() const { return writePath_; }
    const std::string& WorkFolder() const { return workFolder_; }

    // The file that will be replaced: the target with its symbolic links followed.
    const std::string& FinalTarget() const { return finalTarget_; }

    // Whether `other`, made later for the same target, finds it as this save found it: the same
    // file at the end of the links, in the same folder, there or not as before, with the same
    // identity, owner, group and mode. A save begun long before its commit then knows that what
    // it decided at the start (where to write, the permissions to give) still holds.
    bool SamePlace(const AtomicSave& other) const;

    // Gives the written file its permissions and group, puts it on the disk and renames it over
    // the target. Raises as above; after a failure the previous file is untouched. `stillWanted`,
    // asked just before the rename, may call the save off: Commit then returns false and nothing
    // is written, as for a user who stopped the save at the last moment.
    bool Commit(const std::function<bool()>& stillWanted = nullptr);

  private:
    void Release();

    std::string finalTarget_;
    std::string folderShown_;  // the target's folder, for messages
    std::string baseName_;     // the target's name in its folder
    std::string privateName_;  // the private folder's name in the target's folder
    std::string writePath_;
    std::string workFolder_;
    int folderFd_ = -1;   // the target's folder
    int privateFd_ = -1;  // the private folder
    int lockFd_ = -1;     // the lock that says the private folder is in use
    int slot_ = -1;       // in the table the termination signals clean up from
    bool existed_ = false;
    struct stat previous_ {};
    bool committed_ = false;
};

// Starts putting what has been written to a file on the disk, without waiting for it. Pipes and
// devices are left alone.
void StartWriteback(std::FILE* file);

// Keeps a large file going to the disk while its writer writes it. Every 8 MiB the file is
// started on its way and a thread of the pacer's own syncs what has gone before: the save's final
// sync then waits for the last megabytes only, and neither the writer nor the save waits for a
// disk that takes its time over the rest. Small files never start the thread.
class WritebackPacer {
  public:
    // `sync` syncs a file's data to the disk as fdatasync does (the default).
    explicit WritebackPacer(int (*sync)(int) = nullptr) : sync_(sync) {}
    ~WritebackPacer();
    WritebackPacer(const WritebackPacer&) = delete;
    WritebackPacer& operator=(const WritebackPacer&) = delete;

    // The writer handed `file` another `bytes`.
    void Wrote(std::FILE* file, std::size_t bytes) {
        pending_ += bytes;
        if (pending_ >= kEvery) {
            pending_ = 0;
            SyncSoFar(file);
        }
    }
    // Before the file is closed: waits for the sync under way and returns the first error a sync
    // met (an errno, 0 for none). It must fail the save: once one sync has reported an error of
    // the disk, a later sync of the same file need not report it again.
    int Finish();

  private:
    static constexpr std::size_t kEvery = std::size_t{8} << 20;
    void SyncSoFar(std::FILE* file);
    void Run();

    int (*sync_)(int);
    std::size_t pending_ = 0;
    std::mutex mutex_;
    std::condition_variable wake_;
    int fd_ = -1;  // the file to sync next, -1 when none is asked for
    bool stop_ = false;
    int error_ = 0;
    std::thread thread_;
};

// Writes `bytes` as the whole new contents of `target`, through an AtomicSave.
void SaveBytesAtomically(const std::string& target, std::string_view bytes);

// Writes the whole of `bytes` to `fd`, again after a signal cuts a write short: 0, or the errno
// that stopped it (EIO for a write that took nothing).
int WriteWhole(int fd, std::string_view bytes);

// A file the program reads from (an open listing): no save may replace it, by whatever name or
// link it is reached, and one that tries is refused with a message naming it. Each holder keeps
// one file so, from Protect until another Protect (an empty path keeps none) or its end; a
// comparison holds one for each of its listings.
class SaveProtection {
  public:
    SaveProtection();
    ~SaveProtection();
    SaveProtection(const SaveProtection&) = delete;
    SaveProtection& operator=(const SaveProtection&) = delete;
    SaveProtection(SaveProtection&& other) noexcept;
    SaveProtection& operator=(SaveProtection&& other) noexcept;

    void Protect(const std::string& path);

  private:
    unsigned long id_ = 0;
};

// Why a save failed, in the words that follow "cannot write FILE: ": the cause of a file
// system's failure ("no space left on the device", "the file would exceed the file-size limit",
// "the name is too long", "it is a folder"), the save's own message where it has one (a refused
// link, an unwritable folder, the file being read, a file another program holds), else the
// error's description ("Out of memory"). Windows-1252, as messages are.
std::string SaveFailureCause(const RuntimeError& error);

// What the window tells the user when the save of `file` failed with this error: the save's own
// message where it has one, else "Cannot write "FILE": " and the cause.
std::string SaveFailureText(const RuntimeError& error, const std::string& file);

// Removes the private folders of the saves in progress. Safe to call from a signal handler.
void RemoveSavesInProgress();

// Installs handlers for SIGTERM, SIGHUP, SIGINT and SIGQUIT that remove the private folders of
// the saves in progress and then end the program as the signal would have. A program calls it
// once at start; a handler installed later for one of these signals replaces it.
void RemoveSavesInProgressOnTermination();

// For tests: a function called at each step of a save ("link" when a link on the way has been
// found and is about to be followed, with the folder holding it; "prepared" once the private
// folder exists, "written" when the writer is done and Commit begins, "renaming" just before the
// final rename, with the folder of the target), so a test can play another user changing that
// folder meanwhile. Null turns it off.
using SaveStepHook = void (*)(const char* step, const std::string& folder);
void SetSaveStepHookForTesting(SaveStepHook hook);

}  // namespace velto
