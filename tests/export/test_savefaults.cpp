#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <tuple>

#include "common/atomicsave.h"
#include "extract/export/layout.h"
#include "tests/support/testsupport.h"

namespace velto {
namespace {

using test::Entries;

// 300 nodes at 200 times, `vectors` of them chosen: a sheet of about a megabyte whatever the
// format when they are 250.
Catalogue Extraction(Long vectors) {
    Catalogue c;
    for (int i = 1; i <= 200; ++i) {
        c.Times.push_back({static_cast<Single>(i * 30), i});
        c.SelectedTimes.push_back(static_cast<Integer>(i));
    }
    c.ExtractedValues = ValueTable(300, 200);
    for (Long v = 1; v <= vectors; ++v) {
        c.SelectedVectors.push_back(v);
    }
    return c;
}

// Saving where it cannot succeed: the user gets the message, any existing file of that name
// stays byte for byte as it was, and no temporary file is left behind — in every format, written
// after the reading or while it goes on.
class SaveFaults : public ::testing::TestWithParam<std::tuple<SheetFormat, bool>> {
  protected:
    static SheetFormat Format() { return std::get<0>(GetParam()); }
    bool Write(const std::string& target, MessageSink& messages, ProgressSink* progress = nullptr) {
        if (!std::get<1>(GetParam())) {
            return WriteSpreadsheet(c, target, "Temperature", "", TimeLayout::InRows, messages,
                                    Format(), progress);
        }
        // The rows handed on all at once: the reading side has tests of its own.
        return WriteSpreadsheetAsRead(c, target, "Temperature", "", TimeLayout::InRows, messages,
                                      Format(), progress, [](RowGate& rows) {
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
    Catalogue c = Extraction(250);
};

TEST_P(SaveFaults, TargetThatIsAFolderAPipeOrInAMissingFolder) {
    std::filesystem::create_directory(dir.File("result"));
    EXPECT_EQ(Save(dir.File("result")), std::vector<std::string>{"Path/File access error"});
    EXPECT_TRUE(std::filesystem::is_directory(dir.File("result")));
    EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"result"});

    // A pipe (as a device would be) is not replaced by a file.
    const std::string pipe = dir.File("pipe");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
    EXPECT_EQ(Save(pipe), std::vector<std::string>{"Path/File access error"});
    struct stat still {};
    ASSERT_EQ(::stat(pipe.c_str(), &still), 0);
    EXPECT_TRUE(S_ISFIFO(still.st_mode));
    EXPECT_EQ(Entries(dir.path()), (std::vector<std::string>{"pipe", "result"}));

    EXPECT_EQ(Save(dir.File("missing/result")), std::vector<std::string>{"File not found"});
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

TEST_P(SaveFaults, FullDisk) {
    const std::string folder = dir.File("tiny");
    std::filesystem::create_directory(folder);
    if (::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=64k") != 0) {
        GTEST_SKIP() << "cannot make a small file system here: " << std::strerror(errno);
    }
    const std::string target = folder + "/result";
    test::WriteBytes(target, "the previous result");
    const std::vector<std::string> shown = Save(target);
    const std::vector<std::string> left = Entries(folder);
    const std::string kept = test::ReadBytes(target);
    // Detached rather than unmounted: after a failed close libxlsxwriter keeps one of its
    // (already deleted) working files open, which would hold the mount busy.
    ::umount2(folder.c_str(), MNT_DETACH);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0], "Path/File access error");
    EXPECT_EQ(kept, "the previous result");
    EXPECT_EQ(left, std::vector<std::string>{"result"});
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

// The user's stop holds while the file is written, up to the moment it takes the target's place.
TEST_P(SaveFaults, AStopWhileWritingLeavesThePreviousFile) {
    class StopWhenWriting final : public ProgressSink {
      public:
        explicit StopWhenWriting(Catalogue& c) : c_(c) {}
        void UpdateProgress(Single, std::string_view caption) override {
            c_.AbortSave = c_.AbortSave || caption == "Writing spreadsheet...";
        }

      private:
        Catalogue& c_;
    } stop(c);
    const std::string target = dir.File("result");
    test::WriteBytes(target, "the previous result");
    EXPECT_EQ(Save(target, false, &stop), std::vector<std::string>{});
    EXPECT_EQ(test::ReadBytes(target), "the previous result");
    EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"result"});
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
    const Catalogue c = Extraction(3);
    const std::string target = dir.File("result");
    test::WriteBytes(target, "the previous result");
    for (const SheetFormat format : {SheetFormat::Xls, SheetFormat::Xlsx, SheetFormat::Csv}) {
        test::RecordingMessages messages;
        EXPECT_FALSE(WriteSpreadsheetAsRead(c, target, "Temperature", "", TimeLayout::InRows,
                                            messages, format, nullptr, [](RowGate& rows) {
                                                for (Integer t = 1; t <= 100; ++t) {
                                                    rows.Open(t);
                                                }
                                                return false;
                                            }));
        EXPECT_TRUE(messages.messages.empty());
        EXPECT_EQ(test::ReadBytes(target), "the previous result");
        EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"result"});
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
