#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "shell/model/batchjournal.h"
#include "shell/model/recordwriter.h"
#include "tests/harness/harness.h"

namespace velto {
namespace {

// What the writer puts on the disk, seen from the sync it calls: the file being synced and what
// it holds, what the record holds at that moment, and whether it was the folder. A test may hold
// every sync of a file back until it lets go (as a file server that takes its time), or fail it.
struct Disk {
    struct Sync {
        bool folder;
        std::string syncing;  // the new file's contents, read through its name
        std::string record;   // the record's contents at that moment
    };
    std::string record;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Sync> syncs;
    bool holding = false;  // file syncs wait until let go of
    bool held = false;     // a sync waits now
    std::atomic<bool> heldTooLong = false;
    int failWith = 0;  // an errno for file syncs to fail with
    int delayMs = 0;   // how long each file sync takes

    static Disk* current;
    static int OnSync(int fd, bool folder) { return current->Synced(fd, folder); }

    int Synced(int fd, bool folder) {
        std::unique_lock<std::mutex> lock(mutex);
        char name[64];
        std::snprintf(name, sizeof name, "/proc/self/fd/%d", fd);
        syncs.push_back({folder, folder ? std::string() : test::ReadBytes(name),
                         std::filesystem::exists(record) ? test::ReadBytes(record) : "(none)"});
        if (!folder && holding) {
            held = true;
            changed.notify_all();
            // Bounded, so that a writer that wrongly keeps its caller waiting fails the test
            // rather than hanging it.
            if (!changed.wait_for(lock, std::chrono::seconds(5), [&] { return !holding; })) {
                heldTooLong = true;
            }
            held = false;
        }
        if (!folder && delayMs > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        }
        if (!folder && failWith != 0) {
            errno = failWith;
            return -1;
        }
        return folder ? ::fsync(fd) : ::fdatasync(fd);
    }
    void Hold() {
        std::lock_guard<std::mutex> lock(mutex);
        holding = true;
    }
    bool WaitUntilHeld() {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return held; });
    }
    void SetDelay(int ms) {
        std::lock_guard<std::mutex> lock(mutex);
        delayMs = ms;
    }
    void LetGo() {
        std::lock_guard<std::mutex> lock(mutex);
        holding = false;
        changed.notify_all();
    }
    int FileSyncs() {
        std::lock_guard<std::mutex> lock(mutex);
        int n = 0;
        for (const Sync& sync : syncs) {
            n += sync.folder ? 0 : 1;
        }
        return n;
    }

    explicit Disk(std::string path) : record(std::move(path)) {
        current = this;
        RecordWriter::SetSyncForTesting(&Disk::OnSync);
    }
    ~Disk() {
        RecordWriter::SetSyncForTesting(nullptr);
        current = nullptr;
    }
};
Disk* Disk::current = nullptr;

class RecordWriting : public ::testing::Test {
  protected:
    std::string Record() const { return dir.File("records/batch.json"); }
    test::ScratchDir dir;
};

// Each record is whole on the disk before it takes the place of the last, and the folder is
// synced after the rename, so that a crash leaves one record or the other, never a part of one
// nor none. Nothing else is left in the folder; a new record is made as any file of the user's,
// and a record keeps its permissions.
TEST_F(RecordWriting, EachRecordIsSyncedWholeBeforeItsRenameAndTheFolderAfter) {
    std::filesystem::create_directories(dir.File("records"));
    Disk disk(Record());
    const mode_t mask = ::umask(027);
    {
        RecordWriter writer(Record());
        EXPECT_TRUE(writer.PutAndWait("{\"rows\": 1}"));
        EXPECT_EQ(test::ReadBytes(Record()), "{\"rows\": 1}");
        EXPECT_TRUE(writer.PutAndWait("{\"rows\": 2}"));
    }
    ::umask(mask);
    EXPECT_EQ(test::ReadBytes(Record()), "{\"rows\": 2}");
    ASSERT_EQ(disk.syncs.size(), 4u);
    EXPECT_FALSE(disk.syncs[0].folder);
    EXPECT_EQ(disk.syncs[0].syncing, "{\"rows\": 1}");
    EXPECT_EQ(disk.syncs[0].record, "(none)");
    EXPECT_TRUE(disk.syncs[1].folder);
    EXPECT_FALSE(disk.syncs[2].folder);
    EXPECT_EQ(disk.syncs[2].syncing, "{\"rows\": 2}");
    EXPECT_EQ(disk.syncs[2].record, "{\"rows\": 1}");
    EXPECT_TRUE(disk.syncs[3].folder);
    EXPECT_EQ(test::Entries(dir.File("records")), std::vector<std::string>{"batch.json"});
    struct stat st {};
    ASSERT_EQ(::stat(Record().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    // A record the user made private stays so; what a write cut short by a crash left beside
    // it is cleared by the record's next writer, and nothing of other names.
    ASSERT_EQ(::chmod(Record().c_str(), 0600), 0);
    for (const char* name : {"batch.json.aB3xYz", "batch.json.unreadable-1", "other.json.aB3xYz"}) {
        test::WriteBytes(dir.File(std::string("records/") + name), "{}");
    }
    {
        RecordWriter writer(Record());
        EXPECT_TRUE(writer.PutAndWait("{\"rows\": 3}"));
    }
    ASSERT_EQ(::stat(Record().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(
        test::Entries(dir.File("records")),
        (std::vector<std::string>{"batch.json", "batch.json.unreadable-1", "other.json.aB3xYz"}));
}

// While the disk (a file server) takes its time, Put returns at once; the records handed over
// meanwhile are not each written in turn: the newest takes the place of those waiting, and is
// the one on the disk when the writer ends.
TEST_F(RecordWriting, PutNeverWaitsForTheDiskAndTheNewestRecordWins) {
    Disk disk(Record());
    disk.Hold();
    {
        RecordWriter writer(Record());
        writer.Put("1");
        ASSERT_TRUE(disk.WaitUntilHeld());
        for (int i = 2; i <= 9; ++i) {
            writer.Put(std::to_string(i));
        }
        disk.LetGo();
    }
    EXPECT_FALSE(disk.heldTooLong) << "a Put waited for the disk";
    EXPECT_EQ(test::ReadBytes(Record()), "9");
    EXPECT_EQ(disk.FileSyncs(), 2);  // the first, and the newest
    EXPECT_EQ(test::Entries(dir.File("records")), std::vector<std::string>{"batch.json"});
}

// PutAndWait returns once its record, or a newer one, is on the disk, and only then.
TEST_F(RecordWriting, PutAndWaitReturnsOnceItsRecordIsOnTheDisk) {
    Disk disk(Record());
    RecordWriter writer(Record());
    disk.Hold();
    writer.Put("older");
    ASSERT_TRUE(disk.WaitUntilHeld());
    std::atomic<bool> returned = false;
    std::thread waiting([&] {
        EXPECT_TRUE(writer.PutAndWait("newer"));
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(returned) << "returned while the disk still held back the older record";
    disk.LetGo();
    waiting.join();
    EXPECT_EQ(test::ReadBytes(Record()), "newer");
}

// A record the disk holds already costs no write: the batch's end is saved more than once.
TEST_F(RecordWriting, TheRecordTheDiskHoldsIsNotWrittenAgain) {
    Disk disk(Record());
    RecordWriter writer(Record());
    EXPECT_TRUE(writer.PutAndWait("ended"));
    EXPECT_TRUE(writer.PutAndWait("ended"));
    EXPECT_EQ(disk.FileSyncs(), 1);
    EXPECT_TRUE(writer.PutAndWait("ended again"));
    EXPECT_EQ(disk.FileSyncs(), 2);
}

// A write that fails (the disk reports an error as the record is synced) says so and leaves the
// record as it was, with nothing beside it; the next record is written whole again.
TEST_F(RecordWriting, AFailedWriteLeavesTheLastRecordAndNothingBesideIt) {
    Disk disk(Record());
    RecordWriter writer(Record());
    EXPECT_TRUE(writer.PutAndWait("first"));
    disk.failWith = EIO;
    EXPECT_FALSE(writer.PutAndWait("second"));
    EXPECT_EQ(test::ReadBytes(Record()), "first");
    EXPECT_EQ(test::Entries(dir.File("records")), std::vector<std::string>{"batch.json"});
    disk.failWith = 0;
    EXPECT_TRUE(writer.PutAndWait("third"));
    EXPECT_EQ(test::ReadBytes(Record()), "third");
}

// On a disk that fills up, the record that does not fit fails and the last one stays whole, and
// the room the attempt took is given back.
TEST_F(RecordWriting, AFullDiskKeepsTheLastRecord) {
    const std::string folder = dir.File("tiny");
    const test::SmallDisk small(folder);
    if (!small.problem().empty()) {
        GTEST_SKIP() << small.problem();
    }
    const std::string record = folder + "/batch.json";
    {
        RecordWriter writer(record);
        EXPECT_TRUE(writer.PutAndWait("{\"rows\": []}"));
        EXPECT_FALSE(writer.PutAndWait(std::string(128 << 10, ' ')));
        EXPECT_EQ(test::ReadBytes(record), "{\"rows\": []}");
        EXPECT_EQ(test::Entries(folder), std::vector<std::string>{"batch.json"});
        EXPECT_TRUE(writer.PutAndWait("{\"rows\": [1]}"));
    }
    EXPECT_EQ(test::ReadBytes(record), "{\"rows\": [1]}");
}

// A records folder removed while the batch runs is made again by the next write.
TEST_F(RecordWriting, AFolderRemovedMeanwhileIsMadeAgain) {
    RecordWriter writer(Record());
    EXPECT_TRUE(writer.PutAndWait("first"));
    std::filesystem::remove_all(dir.File("records"));
    EXPECT_TRUE(writer.PutAndWait("second"));
    EXPECT_EQ(test::ReadBytes(Record()), "second");
}

// In a batch, a file that starts or ends hands its record over without waiting for the disk, so
// the next solver does not wait for a file server; the batch's end, and Save, wait until the
// record is on the disk. A journal that ends leaves the newest record.
// A file's start and its completion are handed over without waiting for the disk; a failure,
// and the batch's end, are on the disk when the program goes on: a file left Running in a
// crash, whose listing looks whole, would be taken as Completed on resuming, even one that
// failed.
TEST_F(RecordWriting, AFailedRunIsOnTheDiskBeforeTheNextStarts) {
    BatchModel batch;
    batch.RestoreRow(QString::fromStdString(dir.File("beam1.in")), {}, QStringLiteral("Queued"));
    batch.RestoreRow(QString::fromStdString(dir.File("beam2.in")), {}, QStringLiteral("Queued"));
    const QString path = QString::fromStdString(Record());
    Disk disk(Record());
    auto onDisk = [&] {
        BatchModel kept;
        EXPECT_EQ(BatchJournal::Load(path, kept), BatchJournal::Loaded::kYes);
        return kept.clusterJobId();
    };
    {
        BatchJournal journal(batch, path);
        ASSERT_TRUE(journal.Save());
        disk.Hold();
        batch.setClusterJobId(QStringLiteral("40"));  // each record handed over says more
        emit batch.fileStarted(0);
        ASSERT_TRUE(disk.WaitUntilHeld());
        disk.LetGo();
        EXPECT_FALSE(disk.heldTooLong) << "a file's start waited for the disk";
        disk.SetDelay(300);  // a record handed over only would not be on the disk yet
        batch.setClusterJobId(QStringLiteral("41"));
        emit batch.fileFinished(0, QStringLiteral("Failed"));
        EXPECT_EQ(onDisk(), QStringLiteral("41"));
        batch.setClusterJobId(QStringLiteral("42"));
        emit batch.batchFinished();
        EXPECT_EQ(onDisk(), QStringLiteral("42"));
        disk.SetDelay(0);
        disk.Hold();
        batch.setClusterJobId(QStringLiteral("43"));
        emit batch.fileStarted(1);
        ASSERT_TRUE(disk.WaitUntilHeld());
        batch.setClusterJobId(QStringLiteral("44"));
        emit batch.fileFinished(1, QStringLiteral("Completed"));
        batch.setClusterJobId(QStringLiteral("45"));
        disk.LetGo();
        EXPECT_FALSE(disk.heldTooLong) << "a file's completion waited for the disk";
    }
    // Closing the journal writes what was handed over last.
    EXPECT_EQ(onDisk(), QStringLiteral("44"));
}

}  // namespace
}  // namespace velto
