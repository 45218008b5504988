#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace velto {

// Writes a batch's record on a thread of its own, so that no run waits for the disk or, on a
// shared folder, for the file server: on NFS each replacement of the record costs a dozen round
// trips and two commits, which the next solver would otherwise wait for between every two runs.
//
// Each text handed over is the whole record. The thread writes the newest one it holds; one
// handed over while another is being written replaces any that waits, so a run that outpaces the
// disk costs fewer writes, never an older record over a newer one. Every write is durable and
// whole: the text goes to a new file beside the record, which is synced, then renamed over the
// record, and the folder synced, so a crash at any moment leaves the last record written whole,
// or the one before it. A write that fails leaves the record as it was and no file behind. A text
// the record holds already is not written again.
class RecordWriter {
  public:
    // `path` is the record's name as the system takes it (bytes).
    explicit RecordWriter(std::string path);
    // Writes what was handed over last, then ends.
    ~RecordWriter();
    RecordWriter(const RecordWriter&) = delete;
    RecordWriter& operator=(const RecordWriter&) = delete;

    // Hands over the record's new text and returns at once.
    void Put(std::string text);
    // Hands over the record's new text and waits until it, or a newer one, is on the disk: false
    // when that write failed.
    bool PutAndWait(std::string text);

    // How a write puts a file, and then the folder, on the disk: fdatasync and fsync unless a
    // test sets another (null restores them). Set it only while no writer lives.
    using Sync = int (*)(int fd, bool folder);
    static void SetSyncForTesting(Sync sync);

  private:
    void RemoveLeftovers() const;
    void Run();
    bool Write(const std::string& text);

    std::string path_;
    std::string onDisk_;  // the text last written, the writer's own
    std::mutex mutex_;
    std::condition_variable wake_;     // a text handed over, or the end
    std::condition_variable written_;  // a write ended
    std::string pending_;
    std::uint64_t handed_ = 0;    // texts handed over so far
    std::uint64_t taken_ = 0;     // the newest text the thread has taken up
    std::uint64_t finished_ = 0;  // the newest text whose write has ended
    bool lastWritten_ = true;     // whether that write succeeded
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace velto
