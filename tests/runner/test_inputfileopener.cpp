#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QString>
#include <QStringList>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "shell/runner/inputfileopener.h"
#include "tests/harness/harness.h"

namespace velto {
namespace {

// The file comes first: what is wrong with it is said, whatever the desktop answers.
TEST(OpenFailure, TheFileSpeaksFirstThenTheDesktop) {
    test::ScratchDir dir;
    const std::string input = dir.File("beam1.in");
    test::WriteBytes(input, "TIME\n 1 100\nEND_TIME\n");
    const DesktopAnswer refused{.defaultApplication = std::nullopt, .refused = true};
    const DesktopAnswer none{.defaultApplication = std::string(), .refused = false};
    const DesktopAnswer editor{.defaultApplication = std::string("editor.desktop"),
                               .refused = true};

    EXPECT_EQ(OpenFailureFor(dir.File("gone.in"), refused), OpenFailure::FileNotFound);
    EXPECT_EQ(OpenFailureFor(dir.File("gone/beam1.in"), none), OpenFailure::FileNotFound);
    EXPECT_EQ(OpenFailureFor(input + "/x.in", {}), OpenFailure::FileNotFound);  // not a folder
    EXPECT_EQ(OpenFailureFor(input, {}), OpenFailure::None);
    EXPECT_EQ(OpenFailureFor(input, none), OpenFailure::NoAssociation);
    EXPECT_EQ(OpenFailureFor(input, refused), OpenFailure::Unknown);
    EXPECT_EQ(OpenFailureFor(input, editor), OpenFailure::Unknown);

    // Another user: a file they may not read, and one in a folder they may not pass.
    ::chmod(dir.path().c_str(), 0755);
    const std::string closed = dir.File("closed");
    std::filesystem::create_directory(closed);
    test::WriteBytes(closed + "/beam2.in", "x");
    ::chmod(closed.c_str(), 0700);
    const std::string secret = dir.File("secret.in");
    test::WriteBytes(secret, "x");
    ::chmod(secret.c_str(), 0600);
    ::chmod(input.c_str(), 0644);
    EXPECT_TRUE(test::AsAnotherUser([&] {
        return OpenFailureFor(secret, {}) == OpenFailure::AccessDenied &&
               OpenFailureFor(closed + "/beam2.in", none) == OpenFailure::AccessDenied &&
               OpenFailureFor(input, {}) == OpenFailure::None;
    }));

    EXPECT_EQ(OpenFailureText(OpenFailure::FileNotFound), "File not found.");
    EXPECT_EQ(OpenFailureText(OpenFailure::AccessDenied), "Access denied.");
    EXPECT_EQ(OpenFailureText(OpenFailure::NoAssociation), "No association for file extension.");
    EXPECT_EQ(OpenFailureText(OpenFailure::Unknown), "The executable for in files not found.");
    EXPECT_EQ(OpenFailureText(OpenFailure::None), "");
}

// What each query tool prints for a type with an application, for one without, and when it fails.
TEST(OpenFailure, TheDesktopsAnswerIsReadFromItsQueryTools) {
    const QString xdg = QStringLiteral("/usr/bin/xdg-mime"), gio = QStringLiteral("/usr/bin/gio");
    EXPECT_EQ(DefaultApplicationIn(xdg, 0, "org.gnome.gedit.desktop\n"), "org.gnome.gedit.desktop");
    EXPECT_EQ(DefaultApplicationIn(xdg, 0, ""), "");
    EXPECT_EQ(DefaultApplicationIn(xdg, 4, ""), std::nullopt);
    EXPECT_EQ(DefaultApplicationIn(gio, 0,
                                   "Default application for \xE2\x80\x9Ctext/plain\xE2\x80\x9D: "
                                   "org.gnome.gedit.desktop\nRegistered applications:\n"
                                   "\torg.gnome.gedit.desktop\n"),
              "org.gnome.gedit.desktop");
    EXPECT_EQ(DefaultApplicationIn(gio, 0, "No default applications for ?text/plain?\n"), "");
    EXPECT_EQ(DefaultApplicationIn(gio, 0, "gio: unknown command\n"), std::nullopt);
    EXPECT_EQ(DefaultApplicationIn(gio, 1, "No default applications for ?text/plain?\n"),
              std::nullopt);
}

// The opener with query tools of our own: what it asks, and what it does with the answer.
class Opener : public ::testing::Test {
  protected:
    void SetUp() override {
        input = QString::fromStdString(dir.File("beam1.in"));
        test::WriteBytes(input.toStdString(), "TIME\n 1 100\nEND_TIME\n");
        std::filesystem::create_directory(dir.File("tools"));
        opener.toolFolders = {QString::fromStdString(dir.File("tools"))};
        opener.open = [this](const QString& path) {
            opened.append(path);
            return openWorks;
        };
        QObject::connect(&opener, &InputFileOpener::answered,
                         [this](OpenFailure failure) { answers.push_back(failure); });
    }
    // A query tool that notes its arguments and prints `output`.
    void Tool(const char* name, const std::string& output, const std::string& more = "") {
        const std::string path = dir.File("tools/" + std::string(name));
        test::WriteBytes(path, "#!/bin/sh\necho \"$*\" >> '" + dir.File("asked") + "'\n" + more +
                                   "printf '" + output + "'\n");
        ::chmod(path.c_str(), 0755);
    }
    std::string Asked() { return test::ReadBytes(dir.File("asked")); }
    std::vector<OpenFailure> Answer() {
        EXPECT_TRUE(test::WaitUntil([this] { return !answers.empty(); }, 20));
        std::vector<OpenFailure> got = answers;
        answers.clear();
        return got;
    }

    test::ScratchDir dir;
    QString input;
    InputFileOpener opener;
    QStringList opened;
    bool openWorks = true;
    std::vector<OpenFailure> answers;
};

TEST_F(Opener, AnApplicationForTheTypeOpensTheFile) {
    Tool("xdg-mime", "editor.desktop\\n");
    opener.Open(input);
    EXPECT_EQ(Answer(), std::vector<OpenFailure>{OpenFailure::None});
    EXPECT_EQ(opened, QStringList{input});
    EXPECT_EQ(Asked(), "query default text/plain\n");
    openWorks = false;  // the desktop's opener refuses after all
    opener.Open(input);
    EXPECT_EQ(Answer(), std::vector<OpenFailure>{OpenFailure::Unknown});
}

// No application for the type nor for any type it is a kind of: not opened, and said so.
TEST_F(Opener, NoApplicationIsNoAssociation) {
    Tool("xdg-mime", "");
    opener.Open(input);
    EXPECT_EQ(Answer(), std::vector<OpenFailure>{OpenFailure::NoAssociation});
    EXPECT_TRUE(opened.isEmpty());
    EXPECT_TRUE(test::Says(Asked(), {"query default text/plain\n"})) << Asked();
    // gio where xdg-mime is not.
    std::filesystem::remove(dir.File("tools/xdg-mime"));
    Tool("gio", "No default applications for ?text/plain?\\n");
    opener.Open(input);
    EXPECT_EQ(Answer(), std::vector<OpenFailure>{OpenFailure::NoAssociation});
    EXPECT_TRUE(test::Says(Asked(), {"mime text/plain\n"})) << Asked();
    EXPECT_TRUE(opened.isEmpty());
}

// A missing file is said at once, without asking; a desktop without a query tool, or one too slow
// to answer, leaves the decision to its opener.
TEST_F(Opener, WithoutAnAnswerTheOpenerDecides) {
    opener.Open(QString::fromStdString(dir.File("gone.in")));
    EXPECT_EQ(answers, std::vector<OpenFailure>{OpenFailure::FileNotFound});
    answers.clear();
    opener.Open(input);
    EXPECT_EQ(answers, std::vector<OpenFailure>{OpenFailure::None});
    answers.clear();
    EXPECT_EQ(opened, QStringList{input});

    Tool("xdg-mime", "", "exec sleep 30\n");
    opener.answerMilliseconds = 300;
    opener.Open(input);
    EXPECT_EQ(Answer(), std::vector<OpenFailure>{OpenFailure::None});
    EXPECT_EQ(opened.size(), 2);
}

}  // namespace
}  // namespace velto
