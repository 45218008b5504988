#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <tuple>

#include "common/atomicsave.h"
#include "common/hugeroom.h"
#include "extract/export/comparison.h"
#include "extract/export/layout.h"
#include "tests/support/testsupport.h"

namespace velto {
namespace {

using test::Entries;

// An extraction and the listing it read.
struct Extracted {
    Catalogue c;
    ExportRequest request;
    ExtractionResult result;
};

// 300 nodes at 200 times, `vectors` of them chosen: a sheet of about a megabyte whatever the
// format when they are 250.
Extracted Extraction(Long vectors) {
    Extracted e;
    e.request.Variable = "Temperature";
    for (int i = 1; i <= 200; ++i) {
        e.c.Times.push_back({static_cast<Single>(i * 30), i});
        e.request.Times.push_back(static_cast<Integer>(i));
    }
    e.result.Values = ValueTable(300, 200);
    for (Long v = 1; v <= vectors; ++v) {
        e.request.Items.push_back(v);
    }
    return e;
}

// Saving where it cannot succeed: the user gets the message, any existing file of that name
// stays byte for byte as it was, and no temporary file is left behind — in every format, written
// after the reading or while it goes on.
class SaveFaults : public ::testing::TestWithParam<std::tuple<SheetFormat, bool>> {
  protected:
    static SheetFormat Format() { return std::get<0>(GetParam()); }
    bool Write(const std::string& target, MessageSink& messages, ProgressSink* progress = nullptr) {
        if (!std::get<1>(GetParam())) {
            return WriteSpreadsheet(e.c, e.request, e.result, target, "", TimeLayout::InRows,
                                    stopped, messages, Format(), progress);
        }
        // The rows handed on all at once: the reading side has tests of its own.
        return WriteSpreadsheetAsRead(e.c, e.request, e.result, target, "", TimeLayout::InRows,
                                      stopped, messages, Format(), progress, [](RowGate& rows) {
                                          for (Integer t = 1; t <= 200; ++t) {
                                              rows.Open(t);
                                          }
                                          return true;
                                      });
    }
    std::vector<std::string> Save(const std::string& target, bool expectWritten = false,
                                  ProgressSink* progress = nullptr) {
        test::RecordingMessages messages;
        EXPECT_EQ(Write(target, messages, progress), expectWritten);
        return test::Texts(messages);
    }
    // A save that must succeed, with the new sheet in the file the target names.
    void SaveWell(const std::string& target) {
        EXPECT_EQ(Save(target, true), std::vector<std::string>{});
        EXPECT_NE(test::ReadBytes(target).find(Format() == SheetFormat::Csv ? "Temperature" : ""),
                  std::string::npos);
        EXPECT_GT(test::ReadBytes(target).size(), 100000u);
    }
    test::ScratchDir dir;
    Extracted e = Extraction(250);
    std::atomic<bool> stopped{false};  // the user's stop
};

// Each refusal names the file and why it cannot be written.
std::vector<std::string> CannotWrite(const std::string& file, const std::string& cause) {
    return {"Cannot write \"" + file + "\": " + cause + "."};
}

TEST_P(SaveFaults, TargetThatIsAFolderAPipeOrInAMissingFolder) {
    std::filesystem::create_directory(dir.File("result"));
    EXPECT_EQ(Save(dir.File("result")), CannotWrite(dir.File("result"), "it is a folder"));
    EXPECT_TRUE(std::filesystem::is_directory(dir.File("result")));
    EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"result"});

    // A pipe (as a device would be) is not replaced by a file.
    const std::string pipe = dir.File("pipe");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
    EXPECT_EQ(Save(pipe), CannotWrite(pipe, "it is not a file but a pipe, a socket or a device"));
    struct stat still {};
    ASSERT_EQ(::stat(pipe.c_str(), &still), 0);
    EXPECT_TRUE(S_ISFIFO(still.st_mode));
    EXPECT_EQ(Entries(dir.path()), (std::vector<std::string>{"pipe", "result"}));

    EXPECT_EQ(Save(dir.File("missing/result")),
              CannotWrite(dir.File("missing/result"),
                          "the folder \"" + dir.File("missing") + "\" does not exist"));
    EXPECT_EQ(Save(dir.File("pipe/result")),
              CannotWrite(dir.File("pipe/result"), "\"" + pipe + "\" is not a folder"));
    const std::string overlong = dir.File(std::string(NAME_MAX + 1, 'n'));
    EXPECT_EQ(Save(overlong), CannotWrite(overlong, "the name is too long"));
    EXPECT_EQ(Entries(dir.path()), (std::vector<std::string>{"pipe", "result"}));
}

// A folder we may not write, or not even look into: the user is told which, by its full path,
// however the target was named. Root writes anywhere: the saves run as "nobody" in a child
// process.
TEST_P(SaveFaults, FoldersWeMayNotWriteAreNamed) {
    const std::string readOnly = dir.File("shared");
    const std::string closed = dir.File("closed");
    std::filesystem::create_directory(readOnly);
    std::filesystem::create_directory(closed);
    const std::string target = readOnly + "/result";
    test::WriteBytes(target, "the previous result");
    ::chmod(target.c_str(), 0666);
    ::chmod(readOnly.c_str(), 0555);
    ::chmod(closed.c_str(), 0700);
    ::chmod(dir.path().c_str(), 0755);
    const bool asNobody = ::geteuid() == 0;
    const bool named = test::AsAnotherUser([&] {
        auto refusal = [](const std::string& folder) {
            return "The folder \"" + folder +
                   "\" cannot be written. Please save in another folder.";
        };
        auto says = [&](const std::string& path, const std::string& expected) {
            test::RecordingMessages messages;
            const bool written = Write(path, messages);
            return !written && test::Texts(messages) == std::vector<std::string>{expected};
        };
        // The file itself may be written: it is the folder that refuses. A folder of root's
        // that nobody may enter; as its owner we could.
        return says(target, refusal(readOnly)) &&
               (!asNobody || says(closed + "/result", refusal(closed))) &&
               ::chdir(readOnly.c_str()) == 0 && says("result", refusal(readOnly));
    });
    ::chmod(readOnly.c_str(), 0755);
    EXPECT_TRUE(named);
    EXPECT_EQ(test::ReadBytes(target), "the previous result");
    EXPECT_EQ(Entries(readOnly), std::vector<std::string>{"result"});
}

// What a save holds while it runs, to be given back however it ends: the process's descriptors
// and, on a file system nothing else writes to, its room.
long OpenDescriptors() {
    long count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

unsigned long long FreeBytes(const std::string& folder) {
    struct statvfs disk {};
    return ::statvfs(folder.c_str(), &disk) == 0
               ? static_cast<unsigned long long>(disk.f_bfree) * disk.f_frsize
               : 0;
}

// What the process writes to its standard error meanwhile, kept in `file`: the workbook
// library's own lines ("[ERROR] workbook_close(): ... '/proc/self/fd/5/result'") must not reach
// the terminal.
class StandardErrorCaught {
  public:
    explicit StandardErrorCaught(const std::string& file) : file_(file) {
        std::fflush(stderr);
        const int caught = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        saved_ = ::fcntl(2, F_DUPFD_CLOEXEC, 0);
        ::dup2(caught, 2);
        ::close(caught);
    }
    ~StandardErrorCaught() { Text(); }
    StandardErrorCaught(const StandardErrorCaught&) = delete;
    StandardErrorCaught& operator=(const StandardErrorCaught&) = delete;
    // Puts standard error back and returns what was written to it.
    std::string Text() {
        if (saved_ >= 0) {
            std::fflush(stderr);
            ::dup2(saved_, 2);
            ::close(saved_);
            saved_ = -1;
        }
        return test::ReadBytes(file_);
    }

  private:
    std::string file_;
    int saved_ = -1;
};

// A save that fails on a full disk says so, keeps the previous file, and gives back all it
// took: every descriptor (libxlsxwriter's working files among them) and all its room, so that
// the disk is not left full for the next save. The disk is filled to leave less and less room,
// so that the save meets it full at each of its steps (its working files, the file, the
// workbook's packing), until there is room enough and the save succeeds.
TEST_P(SaveFaults, WhereverTheDiskFillsUpTheSaveGivesBackItsRoom) {
    const std::string folder = dir.File("tiny");
    const test::SmallDisk disk(folder);
    if (!disk.problem().empty()) {
        GTEST_SKIP() << disk.problem();
    }
    ASSERT_TRUE(disk.Resize("256k"));
    e = Extraction(20);  // a sheet of a hundred kilobytes or less in every format
    const std::string target = folder + "/result";
    const std::string filler = folder + "/filler";
    int full = 0;
    bool written = false;
    for (std::size_t room = 0; !written && room <= (200u << 10); room += 4096) {
        test::WriteBytes(target, "the previous result");
        test::WriteBytes(filler, "");
        const unsigned long long empty = FreeBytes(folder);
        ASSERT_GE(empty, room) << "the disk did not get its room back";
        test::WriteBytes(filler, std::string(static_cast<std::size_t>(empty) - room, 'f'));
        StandardErrorCaught terminal(dir.File("stderr"));
        const long descriptors = OpenDescriptors();
        const unsigned long long before = FreeBytes(folder);
        test::RecordingMessages messages;
        written = Write(target, messages);
        EXPECT_EQ(OpenDescriptors(), descriptors) << room << " bytes of room";
        EXPECT_EQ(terminal.Text(), "") << room << " bytes of room";
        EXPECT_EQ(Entries(folder), (std::vector<std::string>{"filler", "result"}));
        if (!written) {
            ++full;
            EXPECT_EQ(test::Texts(messages), CannotWrite(target, "no space left on the device"))
                << room << " bytes of room";
            EXPECT_EQ(test::ReadBytes(target), "the previous result");
            EXPECT_EQ(FreeBytes(folder), before) << room << " bytes of room";
        }
    }
    EXPECT_TRUE(written) << "no save succeeded with 200 KiB of room";
    EXPECT_GT(full, 2);
}

// The window's other saves, the comparison table in each format and a chart's picture, fail on a
// full disk alike: they say so, and give back their descriptors and their room, whether the disk
// was full from the start or filled up half-way.
TEST(SaveOnAFullDisk, TheComparisonTableAndAPictureGiveBackWhatTheyTook) {
    test::ScratchDir dir;
    const std::string folder = dir.File("tiny");
    const test::SmallDisk disk(folder);
    if (!disk.problem().empty()) {
        GTEST_SKIP() << disk.problem();
    }
    ASSERT_TRUE(disk.Resize("256k"));
    ComparisonTable table;
    table.headings = {"run1", "run2"};
    for (int t = 1; t <= 4000; ++t) {
        table.times.push_back(static_cast<float>(t) * 30.5F);
    }
    table.values.assign(2,
                        std::vector<std::optional<float>>(table.times.begin(), table.times.end()));
    const std::string filler = folder + "/filler";
    ASSERT_TRUE(test::SmallDisk::Fill(filler));
    const std::uintmax_t full = std::filesystem::file_size(filler);
    const std::string target = folder + "/table";
    for (const std::uintmax_t room : {std::uintmax_t{0}, std::uintmax_t{24} << 10}) {
        std::filesystem::resize_file(filler, full - room);
        for (const SheetFormat format : {SheetFormat::Xls, SheetFormat::Xlsx, SheetFormat::Csv}) {
            const long descriptors = OpenDescriptors();
            const unsigned long long before = FreeBytes(folder);
            test::RecordingMessages messages;
            EXPECT_FALSE(WriteComparison(table, target, format, messages));
            EXPECT_EQ(test::Texts(messages), CannotWrite(target, "no space left on the device"))
                << FormatName(format) << ", " << room << " bytes of room";
            EXPECT_EQ(OpenDescriptors(), descriptors) << FormatName(format);
            EXPECT_EQ(FreeBytes(folder), before) << FormatName(format);
            EXPECT_EQ(Entries(folder), std::vector<std::string>{"filler"});
        }
        const long descriptors = OpenDescriptors();
        const unsigned long long before = FreeBytes(folder);
        const std::string picture = folder + "/chart.png";
        try {
            SaveBytesAtomically(picture, std::string(64 << 10, 'p'));
            ADD_FAILURE() << "a picture larger than the room was saved";
        } catch (const RuntimeError& error) {
            EXPECT_EQ(SaveFailureText(error, picture),
                      CannotWrite(picture, "no space left on the device")[0]);
        }
        EXPECT_EQ(OpenDescriptors(), descriptors);
        EXPECT_EQ(FreeBytes(folder), before);
        EXPECT_EQ(Entries(folder), std::vector<std::string>{"filler"});
    }
}

// The file-size limit (ulimit -f) fails a save as a full disk does, and says which it was. The
// save gives back its descriptors, and, on a file system of the test's own (as root), its room.
TEST_P(SaveFaults, TheFileSizeLimitIsNamedAndTheSaveGivesBackWhatItTook) {
    const std::string folder = dir.File("sized");
    const test::SmallDisk disk(folder);
    if (disk.problem().empty()) {
        ASSERT_TRUE(disk.Resize("16m"));  // far more than the sheet: the limit comes first
    }
    const std::string target = folder + "/result";
    test::WriteBytes(target, "the previous result");
    const long descriptors = OpenDescriptors();
    const unsigned long long room = FreeBytes(folder);
    rlimit before{};
    ::getrlimit(RLIMIT_FSIZE, &before);
    const rlimit limit{64 << 10, before.rlim_max};
    const auto xfsz = ::signal(SIGXFSZ, SIG_IGN);  // as the programs set it: a write fails
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    const std::vector<std::string> shown = Save(target);
    ::setrlimit(RLIMIT_FSIZE, &before);
    ::signal(SIGXFSZ, xfsz);
    EXPECT_EQ(shown, CannotWrite(target, "the file would exceed the file-size limit"));
    EXPECT_EQ(OpenDescriptors(), descriptors);
    if (disk.problem().empty()) {
        EXPECT_EQ(FreeBytes(folder), room);
    }
    EXPECT_EQ(test::ReadBytes(target), "the previous result");
    EXPECT_EQ(Entries(folder), std::vector<std::string>{"result"});
}

// A process out of descriptors (ulimit -n) says so, wherever in the save it ran out, and leaves
// nothing behind: neither the private folder it could not open or list, nor anything in it. Each
// limit is tried in a child process, one more descriptor apart, up to the first the save fits.
TEST_P(SaveFaults, TooManyOpenFilesIsNamedAndNothingIsLeft) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer's own checks open a pipe to probe memory; out of descriptors they misreport.
    GTEST_SKIP() << "the sanitizer needs descriptors of its own";
#endif
    const std::string target = dir.File("result");
    test::WriteBytes(target, "the previous result");
    enum Outcome { kWritten, kTooMany, kOtherMessage, kNoLimit };
    int tooMany = 0;
    bool written = false;
    for (rlim_t spare = 0; !written && spare <= 32; ++spare) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Every descriptor below the limit taken, then `spare` of them given back.
            int highest = 0;
            for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
                highest = std::max(highest, std::atoi(entry.path().filename().c_str()));
            }
            rlimit limit{};
            ::getrlimit(RLIMIT_NOFILE, &limit);
            limit.rlim_cur = static_cast<rlim_t>(highest) + 64;
            if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
                ::_exit(kNoLimit);
            }
            std::vector<int> taken;
            for (int fd = ::dup(0); fd >= 0; fd = ::dup(0)) {
                taken.push_back(fd);
            }
            for (rlim_t n = 0; n < spare && !taken.empty(); ++n) {
                ::close(taken.back());
                taken.pop_back();
            }
            test::RecordingMessages messages;
            const bool saved = Write(target, messages);
            const std::vector<std::string> texts = test::Texts(messages);
            ::_exit(saved && texts.empty()                                    ? kWritten
                    : texts == CannotWrite(target, "too many files are open") ? kTooMany
                                                                              : kOtherMessage);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
        ASSERT_NE(WEXITSTATUS(status), kNoLimit) << "no limit could be set";
        ASSERT_NE(WEXITSTATUS(status), kOtherMessage) << spare << " descriptors to spare";
        EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"result"})
            << spare << " descriptors to spare";
        written = WEXITSTATUS(status) == kWritten;
        if (!written) {
            ++tooMany;
            EXPECT_EQ(test::ReadBytes(target), "the previous result");
        }
    }
    EXPECT_TRUE(written) << "32 descriptors to spare were not enough";
    EXPECT_GT(tooMany, 1);
}

// Under a memory cap, wherever in the save the room runs out, the save ends with "Out of
// memory": never a crash inside the workbook library (which does not come through every failed
// allocation of its own), and nothing left behind. Each cap is tried in a child process, above
// what the child holds already: a few kilobytes apart where a save starts, further apart above,
// up to the first cap the save fits under.
TEST_P(SaveFaults, UnderAMemoryCapTheSaveEndsOutOfMemory) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's shadow memory does not fit under a cap";
#endif
    const std::string target = dir.File("result");
    test::WriteBytes(target, "the previous result");
    enum Outcome { kWritten, kOutOfMemory, kOtherMessage, kNoCap };
    int outOfMemory = 0;
    bool written = false;
    for (std::size_t room = 0; !written && room <= (std::size_t{64} << 20);
         room += std::max<std::size_t>(16 << 10, room / 8)) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const std::string status = test::ReadBytes("/proc/self/status");
            const std::size_t held =
                std::strtoul(status.c_str() + status.find("VmSize:") + 7, nullptr, 10);
            rlimit cap{};
            ::getrlimit(RLIMIT_AS, &cap);
            cap.rlim_cur = static_cast<rlim_t>(held * 1024 + room);
            if (::setrlimit(RLIMIT_AS, &cap) != 0) {
                ::_exit(kNoCap);
            }
            ShareOneHeapUnderAMemoryCap();  // as the programs do at their start
            test::RecordingMessages messages;
            const bool saved = Write(target, messages);
            const std::vector<std::string> texts = test::Texts(messages);
            ::_exit(saved && texts.empty()                          ? kWritten
                    : texts == CannotWrite(target, "Out of memory") ? kOutOfMemory
                                                                    : kOtherMessage);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status) << " under a cap "
                                       << room << " bytes above what the process held";
        ASSERT_NE(WEXITSTATUS(status), kNoCap) << "no cap could be set";
        ASSERT_NE(WEXITSTATUS(status), kOtherMessage) << "under a cap " << room << " bytes above";
        EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"result"}) << room << " bytes";
        written = WEXITSTATUS(status) == kWritten;
        if (!written) {
            ++outOfMemory;
            EXPECT_EQ(test::ReadBytes(target), "the previous result") << room << " bytes";
        }
    }
    EXPECT_TRUE(written) << "not even 64 MiB more were room enough";
    EXPECT_GT(outOfMemory, 0) << "no cap was tight enough to try the save";
}

// --- in a folder others may write, and through odd targets -----------------------------------

// Another user of a team share may rename, replace and link any entry of the shared folder while
// a save runs, but cannot enter a folder private to us. At every step of the save this plays
// such a user: each entry but the target becomes a link to a file of ours elsewhere, and each
// folder is moved away and replaced by one of theirs holding such links under the target's name.
std::string victim;
std::string targetName;
int moves = 0;

void PlayAnotherUser(const char*, const std::string& folder) {
    std::vector<std::filesystem::path> entries;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().filename() != targetName) {
            entries.push_back(entry.path());
        }
    }
    for (const std::filesystem::path& entry : entries) {
        if (std::filesystem::is_directory(std::filesystem::symlink_status(entry))) {
            std::filesystem::rename(entry, entry.string() + ".moved" + std::to_string(++moves));
            std::filesystem::create_directory(entry);
            std::filesystem::create_symlink(victim, entry / targetName);
        } else {
            std::filesystem::remove(entry);
            std::filesystem::create_symlink(victim, entry);
        }
    }
}

TEST_P(SaveFaults, AnotherUserChangingTheSharedFolderCannotRedirectTheSave) {
    std::filesystem::create_directory(dir.File("home"));
    victim = dir.File("home/thesis.txt");
    test::WriteBytes(victim, "a file of ours");
    ::chmod(victim.c_str(), 0600);
    const std::string shared = dir.File("share");
    std::filesystem::create_directory(shared);
    targetName = "result";
    test::WriteBytes(shared + "/" + targetName, "the previous result");
    SetSaveStepHookForTesting(PlayAnotherUser);
    SaveWell(shared + "/" + targetName);
    SetSaveStepHookForTesting(nullptr);
    EXPECT_TRUE(test::ReadBytes(victim) == "a file of ours") << "the save wrote another file";
    struct stat info {};
    ASSERT_EQ(::stat(victim.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_TRUE(std::filesystem::is_regular_file(
        std::filesystem::symlink_status(shared + "/" + targetName)));
}

// The new file is the old one's successor: its permission bits (never set-user-ID or
// set-group-ID on a spreadsheet) and, where we may give it, its group.
TEST_P(SaveFaults, TheNewFileKeepsThePreviousModeAndGroupWithoutSetIdBits) {
    const std::string target = dir.File("result");
    test::WriteBytes(target, "the previous result");
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(target.c_str(), static_cast<uid_t>(-1), 65534), 0);
    }
    ::chmod(target.c_str(), 04750);  // after chown, which would clear the set-user-ID bit
    SaveWell(target);
    struct stat info {};
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0750u);
    if (root) {
        EXPECT_EQ(info.st_gid, 65534u);
    }
}

// Saving through a link replaces the file it names, in that file's folder, and keeps the link.
TEST_P(SaveFaults, ALinkedTargetIsFollowedAndTheLinkKept) {
    std::filesystem::create_directory(dir.File("real"));
    test::WriteBytes(dir.File("real/data"), "the previous result");
    std::filesystem::create_symlink("real/data", dir.File("link"));
    std::filesystem::create_symlink("link", dir.File("chain"));
    SaveWell(dir.File("chain"));
    EXPECT_EQ(std::filesystem::read_symlink(dir.File("chain")), "link");
    EXPECT_EQ(std::filesystem::read_symlink(dir.File("link")), "real/data");
    EXPECT_EQ(test::ReadBytes(dir.File("real/data")), test::ReadBytes(dir.File("chain")));
    EXPECT_EQ(Entries(dir.File("real")), std::vector<std::string>{"data"});

    // A link to a file not there yet makes that file.
    std::filesystem::create_symlink("real/fresh", dir.File("dangling"));
    SaveWell(dir.File("dangling"));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.File("dangling")));
    EXPECT_TRUE(std::filesystem::is_regular_file(dir.File("real/fresh")));
    EXPECT_EQ(Entries(dir.path()), (std::vector<std::string>{"chain", "dangling", "link", "real"}));
}

// A link another user made is not followed, whether it is the target, a folder on the way, or
// sits in a folder of theirs that they put in a shared folder; nor is one swapped in under the
// name of a link of ours after ours was found. Any of them could name any file of ours. (Links
// of our own are followed, see above.) Making a link of another user's needs root.
std::string exchangeWith;

void ExchangeTheLink(const char* step, const std::string& folder) {
    if (std::string_view(step) == "link" && !exchangeWith.empty()) {
        ASSERT_EQ(::renameat2(AT_FDCWD, (folder + "/mine.csv").c_str(), AT_FDCWD,
                              exchangeWith.c_str(), RENAME_EXCHANGE),
                  0);
        exchangeWith.clear();
    }
}

TEST_P(SaveFaults, ALinkAnotherUserMadeIsNotFollowed) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only root can make a link that belongs to another user";
    }
    std::filesystem::create_directory(dir.File("home"));
    const std::string thesis = dir.File("home/thesis.csv");
    test::WriteBytes(thesis, "a file of ours");
    const std::string shared = dir.File("share");
    std::filesystem::create_directory(shared);
    ::chmod(shared.c_str(), 02777);
    auto plant = [](const std::string& to, const std::string& link) {
        std::filesystem::create_symlink(to, link);
        ASSERT_EQ(::lchown(link.c_str(), 65534, 65534), 0);
    };
    plant(thesis, shared + "/report.csv");
    plant(dir.File("home"), shared + "/sub");
    std::filesystem::create_directory(shared + "/theirs");
    plant(thesis, shared + "/theirs/y.csv");
    ASSERT_EQ(::chown((shared + "/theirs").c_str(), 65534, 65534), 0);
    ::chmod((shared + "/theirs").c_str(), 0755);
    std::filesystem::create_symlink(dir.File("home/ours.csv"), shared + "/mine.csv");
    plant(thesis, shared + "/evil");
    for (const std::string& target : {shared + "/report.csv", shared + "/sub/thesis.csv",
                                      shared + "/theirs/y.csv", shared + "/mine.csv"}) {
        // Ours is found, then theirs takes its name before it is followed.
        exchangeWith = target.ends_with("mine.csv") ? shared + "/evil" : "";
        SetSaveStepHookForTesting(ExchangeTheLink);
        const std::vector<std::string> shown = Save(target);
        SetSaveStepHookForTesting(nullptr);
        ASSERT_EQ(shown.size(), 1u) << target;
        EXPECT_TRUE(
            shown[0].ends_with("is a link another user made, and a save does not follow "
                               "it. Please choose another name."))
            << shown[0];
        EXPECT_TRUE(test::ReadBytes(thesis) == "a file of ours") << "the save wrote another file";
    }
}

// A previous file another user left in a shared folder, open to all, does not make ours so.
TEST_P(SaveFaults, APreviousFileOfAnotherUserDoesNotSetTheMode) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only root can make a file that belongs to another user";
    }
    const std::string target = dir.File("result");
    test::WriteBytes(target, "planted");
    ASSERT_EQ(::chown(target.c_str(), 65534, 65534), 0);
    ::chmod(target.c_str(), 0666);
    const mode_t mask = ::umask(077);
    SaveWell(target);
    ::umask(mask);
    struct stat info {};
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
}

TEST_P(SaveFaults, ANameNearTheLengthLimitStillSaves) {
    const std::string name = std::string(246, 'n') + "\xC3\xA9.xlsx";  // 254 bytes
    SaveWell(dir.File(name));
    EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{name});
}

// In a folder with the sticky bit (a team share, /tmp) only its owner may replace a file, though
// anyone may write the folder: the save says whose the file is, not that the folder cannot be
// written. A file of the user's own there saves as anywhere. The saves run as "nobody".
TEST_P(SaveFaults, AFileOfAnotherUserInAStickyFolderIsTheirsToReplace) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only root can make a file that belongs to another user";
    }
    const std::string share = dir.File("share");
    std::filesystem::create_directory(share);
    ::chmod(share.c_str(), 01777);
    ::chmod(dir.path().c_str(), 0755);
    const std::string theirs = share + "/result";
    test::WriteBytes(theirs, "their result");
    ::chmod(theirs.c_str(), 0666);
    const std::string mine = share + "/mine";
    test::WriteBytes(mine, "my result");
    ASSERT_EQ(::chown(mine.c_str(), 65534, 65534), 0);
    const bool told = test::AsAnotherUser([&] {
        test::RecordingMessages refused;
        test::RecordingMessages saved;
        return !Write(theirs, refused) &&
               test::Texts(refused) ==
                   CannotWrite(theirs,
                               "it belongs to another user, and in this folder only its "
                               "owner may replace it") &&
               Write(mine, saved) && saved.messages.empty();
    });
    EXPECT_TRUE(told);
    EXPECT_EQ(test::ReadBytes(theirs), "their result");
    EXPECT_NE(test::ReadBytes(mine), "my result");
    EXPECT_EQ(Entries(share), (std::vector<std::string>{"mine", "result"}));
}

// A save killed outright (SIGKILL, the out-of-memory killer) cannot tidy up: its private folder
// stays, with what it had written, until the next save of the same target removes it. That save
// leaves alone what is not an abandoned save's own: the private folder of a save still running
// (a child held in the middle of its save), one of another user's, one without a lock too young
// to tell (an earlier version's saves take none), and a folder only named alike.
int heldReady = -1;
int heldGo = -1;

void HoldTheWrittenSave(const char* step, const std::string&) {
    if (std::string_view(step) == "written") {
        char byte = 1;
        [[maybe_unused]] const ssize_t told = ::write(heldReady, &byte, 1);
        [[maybe_unused]] const ssize_t heard = ::read(heldGo, &byte, 1);
    }
}

class KilledWhenWriting final : public ProgressSink {
  public:
    void UpdateProgress(Single, std::string_view caption) override {
        if (caption == "Writing spreadsheet...") {
            ::raise(SIGKILL);
        }
    }
};

TEST_P(SaveFaults, ASaveKilledOutrightIsClearedAwayByTheNextSave) {
    const std::string target = dir.File("result");
    test::WriteBytes(target, "the previous result");
    const pid_t killed = ::fork();
    ASSERT_GE(killed, 0);
    if (killed == 0) {
        KilledWhenWriting progress;
        test::RecordingMessages messages;
        Write(target, messages, &progress);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(killed, &status, 0), killed);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    std::vector<std::string> left = Entries(dir.path());
    ASSERT_EQ(left.size(), 2u);
    const std::string abandoned = left[0];
    EXPECT_TRUE(abandoned.starts_with(".result.saving-")) << abandoned;
    EXPECT_EQ(left[1], "result");
    EXPECT_NE(Entries(dir.File(abandoned)), std::vector<std::string>{});

    // Not abandoned saves' folders, or not ours.
    std::vector<std::string> kept = {".result.saving-Young123", ".result.saving-Alike"};
    if (::geteuid() == 0) {
        kept.push_back(".result.saving-Another1");
    }
    for (const std::string& name : kept) {
        std::filesystem::create_directory(dir.File(name));
        ::chmod(dir.File(name).c_str(), 0700);
        test::WriteBytes(dir.File(name + "/result"), "half a sheet");
    }
    if (::geteuid() == 0) {
        test::WriteBytes(dir.File(kept[2] + "/.lock"), "");
        ASSERT_EQ(::chown(dir.File(kept[2]).c_str(), 65534, 65534), 0);
    }
    // An earlier version's, without a lock, untouched for two days: abandoned.
    const std::string old = dir.File(".result.saving-Earlier1");
    std::filesystem::create_directory(old);
    ::chmod(old.c_str(), 0700);
    test::WriteBytes(old + "/result", "half a sheet");
    const timespec twoDaysAgo[2] = {{::time(nullptr) - 2 * 86400, 0},
                                    {::time(nullptr) - 2 * 86400, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, old.c_str(), twoDaysAgo, 0), 0);

    // A save of the same target that is still running, held once its file is written.
    int ready[2];
    int go[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(go), 0);
    const pid_t running = ::fork();
    ASSERT_GE(running, 0);
    if (running == 0) {
        ::close(ready[0]);
        ::close(go[1]);
        heldReady = ready[1];
        heldGo = go[0];
        SetSaveStepHookForTesting(HoldTheWrittenSave);
        test::RecordingMessages messages;
        ::_exit(Write(target, messages) && messages.messages.empty() ? 0 : 1);
    }
    ::close(ready[1]);
    ::close(go[0]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1)
        << "the running save ended before its file was written";
    std::vector<std::string> before = Entries(dir.path());
    std::string live;
    for (const std::string& name : before) {
        if (name.starts_with(".result.saving-") && name != abandoned &&
            name != ".result.saving-Earlier1" &&
            std::find(kept.begin(), kept.end(), name) == kept.end()) {
            live = name;
        }
    }
    EXPECT_FALSE(live.empty());

    SaveWell(target);
    std::vector<std::string> after = {live, "result"};
    for (const std::string& name : kept) {
        after.push_back(name);
    }
    std::sort(after.begin(), after.end());
    EXPECT_EQ(Entries(dir.path()), after);
    for (const std::string& name : kept) {
        EXPECT_EQ(test::ReadBytes(dir.File(name + "/result")), "half a sheet") << name;
    }

    ASSERT_EQ(::write(go[1], &byte, 1), 1);
    ASSERT_EQ(::waitpid(running, &status, 0), running);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ::close(ready[0]);
    ::close(go[1]);
    after.erase(std::find(after.begin(), after.end(), live));
    EXPECT_EQ(Entries(dir.path()), after);
}

// The user's stop holds while the file is written, up to the moment it takes the target's place.
TEST_P(SaveFaults, AStopWhileWritingLeavesThePreviousFile) {
    class StopWhenWriting final : public ProgressSink {
      public:
        explicit StopWhenWriting(std::atomic<bool>& stopped) : stopped_(stopped) {}
        void UpdateProgress(Single, std::string_view caption) override {
            stopped_ = stopped_ || caption == "Writing spreadsheet...";
        }

      private:
        std::atomic<bool>& stopped_;
    } stop(stopped);
    const std::string target = dir.File("result");
    test::WriteBytes(target, "the previous result");
    const long descriptors = OpenDescriptors();
    EXPECT_EQ(Save(target, false, &stop), std::vector<std::string>{});
    EXPECT_EQ(test::ReadBytes(target), "the previous result");
    EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"result"});
    EXPECT_EQ(OpenDescriptors(), descriptors) << "a working file of the stopped save is open";
}

// A termination signal takes the save in progress along, whatever the writer left in its
// private folder by then (libxlsxwriter's working files among them).
TEST(SaveSignals, TheHandlerRemovesThePrivateFolderWithAllItHolds) {
    test::ScratchDir dir;
    const std::string target = dir.File("result.xlsx");
    test::WriteBytes(target, "the previous result");
    AtomicSave save(target);
    test::WriteBytes(save.WritePath(), "half a workbook");
    test::WriteBytes(save.WorkFolder() + "/tmp.working", "a writer's working file");
    RemoveSavesInProgress();
    const std::vector<std::string> left = test::Entries(dir.path());
    EXPECT_EQ(left, std::vector<std::string>{"result.xlsx"});
    EXPECT_EQ(test::ReadBytes(target), "the previous result");
}

// The handler ends the program as the signal would, even when it was put back afterwards with
// other flags (as a command does that handles Ctrl+C itself for a while): it must not call
// itself again for ever. The alarm turns such a loop into a failure instead of a hang.
TEST(SaveSignals, TheHandlerEndsTheProgramHoweverItWasPutBack) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::alarm(5);
        RemoveSavesInProgressOnTermination();
        struct sigaction handler {};
        ::sigaction(SIGINT, nullptr, &handler);
        handler.sa_flags = SA_RESTART;  // no SA_RESETHAND, as std::signal would put it
        ::sigaction(SIGINT, &handler, nullptr);
        ::raise(SIGINT);
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
}

// A reading that fails or is stopped half way leaves the writer waiting for rows that never come:
// it must give up, with nothing written and nothing left behind.
TEST(SaveAsRead, AReadingThatEndsHalfWayWritesNothing) {
    test::ScratchDir dir;
    const Extracted e = Extraction(3);
    const std::atomic<bool> never{false};
    const std::string target = dir.File("result");
    test::WriteBytes(target, "the previous result");
    const long descriptors = OpenDescriptors();
    for (const SheetFormat format : {SheetFormat::Xls, SheetFormat::Xlsx, SheetFormat::Csv}) {
        test::RecordingMessages messages;
        EXPECT_FALSE(WriteSpreadsheetAsRead(e.c, e.request, e.result, target, "",
                                            TimeLayout::InRows, never, messages, format, nullptr,
                                            [](RowGate& rows) {
                                                for (Integer t = 1; t <= 100; ++t) {
                                                    rows.Open(t);
                                                }
                                                return false;
                                            }));
        EXPECT_TRUE(messages.messages.empty());
        EXPECT_EQ(test::ReadBytes(target), "the previous result");
        EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"result"});
        EXPECT_EQ(OpenDescriptors(), descriptors) << FormatName(format);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryFormat, SaveFaults,
                         ::testing::Combine(::testing::Values(SheetFormat::Xls, SheetFormat::Xlsx,
                                                              SheetFormat::Csv),
                                            ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(FormatName(std::get<0>(info.param))) +
                                    (std::get<1>(info.param) ? "AsRead" : "");
                         });

}  // namespace
}  // namespace velto
