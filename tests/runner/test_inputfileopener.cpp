#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "shell/runner/inputfileopener.h"
#include "shell/runner/inputfiles.h"
#include "tests/harness/harness.h"

namespace velto {
namespace {

// The file speaks first, whatever the desktop answers; then a desktop with no application.
TEST(OpenFailure, TheFileFirstThenTheDesktop) {
    test::ScratchDir dir;
    const std::string input = dir.File("beam1.in"), secret = dir.File("secret.in");
    test::WriteBytes(input, "x");
    const DesktopAnswer refused{std::nullopt, true}, none{std::string(), false};
    EXPECT_EQ(OpenFailureFor(dir.File("gone/beam1.in"), refused), OpenFailure::FileNotFound);
    EXPECT_EQ(OpenFailureFor(input, {}), OpenFailure::None);
    EXPECT_EQ(OpenFailureFor(input, none), OpenFailure::NoAssociation);
    EXPECT_EQ(OpenFailureFor(input, {std::string("editor.desktop"), true}), OpenFailure::Unknown);
    // Another user, who may not read one file and may not pass the folder of another.
    test::WriteBytes(secret, "x");
    std::filesystem::create_directory(dir.File("closed"));
    test::WriteBytes(dir.File("closed/beam2.in"), "x");
    ::chmod(dir.path().c_str(), 0755);
    ::chmod(dir.File("closed").c_str(), 0700);
    ::chmod(secret.c_str(), 0600);
    ::chmod(input.c_str(), 0644);
    EXPECT_TRUE(test::AsAnotherUser([&] {
        return OpenFailureFor(secret, {}) == OpenFailure::AccessDenied &&
               OpenFailureFor(dir.File("closed/beam2.in"), none) == OpenFailure::AccessDenied &&
               OpenFailureFor(input, {}) == OpenFailure::None;
    }));
    EXPECT_EQ(OpenFailureText(OpenFailure::FileNotFound), "File not found.");
    EXPECT_EQ(OpenFailureText(OpenFailure::AccessDenied), "Access denied.");
    EXPECT_EQ(OpenFailureText(OpenFailure::NoAssociation), "No association for file extension.");
    EXPECT_EQ(OpenFailureText(OpenFailure::Unknown), "The executable for in files not found.");
}

TEST(OpenFailure, TheDesktopsAnswerIsReadFromItsQueryTools) {
    const QString xdg = QStringLiteral("/usr/bin/xdg-mime"), gio = QStringLiteral("/usr/bin/gio");
    EXPECT_EQ(DefaultApplicationIn(xdg, 0, "gedit.desktop\n"), "gedit.desktop");
    EXPECT_EQ(DefaultApplicationIn(xdg, 0, ""), "");
    EXPECT_EQ(DefaultApplicationIn(xdg, 4, ""), std::nullopt);
    EXPECT_EQ(DefaultApplicationIn(gio, 0,
                                   "Default application for 'text/plain': gedit.desktop\n"
                                   "Registered applications:\n\tgedit.desktop\n"),
              "gedit.desktop");
    EXPECT_EQ(DefaultApplicationIn(gio, 0, "No default applications for ?text/plain?\n"), "");
    EXPECT_EQ(DefaultApplicationIn(gio, 0, "gio: unknown command\n"), std::nullopt);
}

// The opener with query tools of our own: what it asks, and what it does with the answer.
TEST(InputFileOpener, AsksTheDesktopThenOpens) {
    test::ScratchDir dir;
    const QString input = QString::fromStdString(dir.File("beam1.in"));
    test::WriteBytes(dir.File("beam1.in"), "TIME\n 1 100\nEND_TIME\n");
    std::filesystem::create_directory(dir.File("tools"));
    InputFileOpener opener;
    opener.toolFolders = {QString::fromStdString(dir.File("tools"))};
    QStringList opened;
    bool openWorks = true;
    opener.open = [&](const QString& path) {
        opened.append(path);
        return openWorks;
    };
    std::vector<OpenFailure> answers;
    QObject::connect(&opener, &InputFileOpener::answered,
                     [&](OpenFailure failure) { answers.push_back(failure); });
    // A query tool that notes its arguments, then does `body`; one Open with it, and its answer.
    auto openWith = [&](const char* tool, const std::string& body) {
        const std::string path = dir.File("tools/" + std::string(tool));
        test::WriteBytes(path, "#!/bin/sh\necho \"$*\" >> '" + dir.File("asked") + "'\n" + body);
        ::chmod(path.c_str(), 0755);
        answers.clear();
        opener.Open(input);
        EXPECT_TRUE(test::WaitUntil([&] { return !answers.empty(); }, 20));
        return answers.empty() ? OpenFailure::None : answers.front();
    };

    EXPECT_EQ(openWith("xdg-mime", "echo editor.desktop\n"), OpenFailure::None);
    EXPECT_EQ(test::ReadBytes(dir.File("asked")), "query default text/plain\n");
    // A name that is not UTF-8 is the same type of file, asked for as such.
    const std::string latin1 = dir.File("caf\xe9.in");
    test::WriteBytes(latin1, "TIME\n 1 100\nEND_TIME\n");
    answers.clear();
    opener.Open(PathText(latin1), latin1);
    EXPECT_TRUE(test::WaitUntil([&] { return !answers.empty(); }, 20));
    EXPECT_EQ(answers, std::vector<OpenFailure>{OpenFailure::None});
    EXPECT_EQ(test::ReadBytes(dir.File("asked")),
              "query default text/plain\nquery default text/plain\n");
    opened.clear();
    openWorks = false;  // the desktop's opener refuses after all
    EXPECT_EQ(openWith("xdg-mime", "echo editor.desktop\n"), OpenFailure::Unknown);
    EXPECT_EQ(opened, (QStringList{input}));
    // No application for the type, nor for a type it is a kind of: not opened.
    EXPECT_EQ(openWith("xdg-mime", ""), OpenFailure::NoAssociation);
    std::filesystem::remove(dir.File("tools/xdg-mime"));
    EXPECT_EQ(openWith("gio", "echo 'No default applications for ?text/plain?'\n"),
              OpenFailure::NoAssociation);
    EXPECT_TRUE(test::Says(test::ReadBytes(dir.File("asked")), {"mime text/plain\n"}));
    EXPECT_EQ(opened.size(), 1);
    // A desktop too slow to answer leaves the decision to its opener.
    openWorks = true;
    opener.answerMilliseconds = 300;
    EXPECT_EQ(openWith("gio", "exec sleep 30\n"), OpenFailure::None);
    EXPECT_EQ(opened.size(), 2);
    // A missing file is said at once, without asking.
    answers.clear();
    opener.Open(QString::fromStdString(dir.File("gone.in")));
    EXPECT_EQ(answers, std::vector<OpenFailure>{OpenFailure::FileNotFound});
}

}  // namespace
}  // namespace velto
