#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "extract/export/layout.h"
#include "tests/support/testsupport.h"

namespace velto {
namespace {

// Saving where it cannot succeed: the user gets the message, any existing file of that name
// stays byte for byte as it was, and no temporary file is left behind — in every format.
class SaveFaults : public ::testing::TestWithParam<SheetFormat> {
  protected:
    // 300 nodes at 200 times: a sheet of about a megabyte whatever the format.
    void SetUp() override {
        for (int i = 1; i <= 200; ++i) {
            c.Times.push_back({static_cast<Single>(i * 30), i});
            c.SelectedTimes.push_back(static_cast<Integer>(i));
        }
        c.TimeCount = 200;
        c.SelectedTimeCount = 200;
        c.ExtractedValues = ValueTable(300, 200);
        for (Long v = 1; v <= 250; ++v) {
            c.SelectedVectors.push_back(v);
        }
        c.SelectedVectorCount = 250;
    }
    std::vector<std::string> Save(const std::string& target) {
        test::RecordingMessages messages;
        EXPECT_FALSE(WriteSpreadsheet(c, target, "Temperature", "", TimeLayout::InRows, messages,
                                      GetParam()));
        std::vector<std::string> texts;
        for (const auto& m : messages.messages) {
            texts.push_back(m.text);
        }
        return texts;
    }
    static std::vector<std::string> Entries(const std::filesystem::path& folder) {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    test::ScratchDir dir;
    Catalogue c;
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

TEST_P(SaveFaults, ReadOnlyFolder) {
    const std::string folder = dir.File("shared");
    std::filesystem::create_directory(folder);
    const std::string target = folder + "/result";
    test::WriteBytes(target, "the previous result");
    ::chmod(target.c_str(), 0666);
    ::chmod(folder.c_str(), 0555);
    ::chmod(dir.path().c_str(), 0755);
    // Root writes anywhere: the save runs as "nobody" in a child process.
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            ::_exit(3);
        }
        test::RecordingMessages messages;
        const bool written = WriteSpreadsheet(c, target, "Temperature", "", TimeLayout::InRows,
                                              messages, GetParam());
        ::_exit(!written && messages.messages.size() == 1 &&
                        messages.messages[0].text ==
                            "The file is locked. Please close the file in Excel and try again."
                    ? 0
                    : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ::chmod(folder.c_str(), 0755);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(test::ReadBytes(target), "the previous result");
    EXPECT_EQ(Entries(folder), std::vector<std::string>{"result"});
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
    ::umount(folder.c_str());
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0], "Path/File access error");
    EXPECT_EQ(kept, "the previous result");
    EXPECT_EQ(left, std::vector<std::string>{"result"});
}

INSTANTIATE_TEST_SUITE_P(EveryFormat, SaveFaults,
                         ::testing::Values(SheetFormat::Xls, SheetFormat::Xlsx, SheetFormat::Csv),
                         [](const auto& info) {
                             return std::string(info.param == SheetFormat::Xls    ? "xls"
                                                : info.param == SheetFormat::Xlsx ? "xlsx"
                                                                                  : "csv");
                         });

}  // namespace
}  // namespace velto
