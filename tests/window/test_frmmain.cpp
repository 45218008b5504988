#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTextCursor>
#include <QTimer>
#include <QTreeWidget>
#include <filesystem>
#include <future>

#include "common/window/messagebox.h"
#include "common/window/trayreturn.h"
#include "shell/model/batchjournal.h"
#include "shell/model/batchmodel.h"
#include "shell/model/batchrecords.h"
#include "shell/runner/inputfileopener.h"
#include "shell/runner/settings.h"
#include "shell/window/frmabout.h"
#include "shell/window/frmmain.h"
#include "tests/harness/harness.h"
#include "tests/window/accessibility.h"

namespace velto {
namespace {

class ShellWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        SaveSolverFolder(QStringLiteral(VELTO_STANDIN_DIR));
        SaveExportAfterRun(false, QStringLiteral("--all"));
        QFile::remove(BatchJournal::DefaultPath(QStringLiteral("shell-batch.json")));
        QDir(BatchJournal::DefaultPath(QStringLiteral("velto-batch"))).removeRecursively();
        SetMessageBoxSeam([this](QWidget*, const QString& prompt, int style, const QString&) {
            asked.append(prompt);
            styles.push_back(style);
            if (whileAsked) {
                whileAsked();  // what happens while the user reads the question
            }
            return answer;
        });
    }
    void TearDown() override {
        window.reset();
        SetMessageBoxSeam({});
    }
    void Make() {
        window = Another();
        window->show();
    }
    std::unique_ptr<FrmMain> Another() {
        ShellDialogs dialogs;
        dialogs.addFiles = [this](QWidget*, const QString& folder) {
            addFolder = folder;
            ++addQuestions;
            return toAdd;
        };
        dialogs.openFile = [this](const QString& path) {
            opened.append(path);
            return openWorks;
        };
        dialogs.startDetached = [this](const QString& program, const QStringList& arguments) {
            started.append(QStringList{program} + arguments);
            return true;
        };
        dialogs.exportOptions = [this](QWidget*, const QString& current) {
            offeredOptions.append(current);
            return exportAnswers.isEmpty() ? QString() : exportAnswers.takeFirst();
        };
        auto window = std::make_unique<FrmMain>(dialogs);
        // No query tools: the desktop's opener alone decides, at once.
        window->opener().toolFolders = {QString::fromStdString(dir.File("no tools"))};
        return window;
    }
    // The user adds these files, as the Add dialog returns them, to `to` (or the window).
    void Add(QStringList files, FrmMain* to = nullptr) {
        toAdd = std::move(files);
        (to ? to : window.get())->onAddClicked();
    }
    QString Input(const std::string& name, const std::string& directives) {
        std::string path = dir.File(name);
        test::WriteBytes(path, "TIME\n 1 100\nEND_TIME\n" + directives);
        return QString::fromStdString(path);
    }
    template <typename T>
    T* Find(const char* name) {
        T* found = window->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    bool Enabled(const char* name) {
        if (auto* action = window->findChild<QAction*>(QString::fromLatin1(name))) {
            return action->isEnabled();
        }
        return Find<QWidget>(name)->isEnabled();
    }
    // The six commands that need a non-empty list, all enabled or all disabled.
    void ExpectListCommands(bool enabled) {
        for (const char* name : {"cmdDelete", "cmdClear", "cmdRun", "mnuFileDelete", "mnuFileClear",
                                 "mnuAnalysisRun"}) {
            EXPECT_EQ(Enabled(name), enabled) << name;
        }
    }
    QStringList Statuses() {
        QStringList statuses;
        auto* list = Find<QTreeWidget>("lvwFiles");
        for (int i = 0; i < list->topLevelItemCount(); ++i) {
            statuses.append(list->topLevelItem(i)->text(1));
        }
        return statuses;
    }
    void WaitForBatch() {
        test::WaitUntil([this] { return !window->batch().running(); }, 60);
    }

    test::ScratchDir dir;
    int addQuestions = 0;
    std::function<void()> whileAsked;
    std::unique_ptr<FrmMain> window;
    QStringList toAdd;
    QString addFolder;
    QStringList opened;
    bool openWorks = true;
    QStringList exportAnswers;
    QStringList offeredOptions;
    QList<QStringList> started;  // the programs started on their own, each with its arguments
    QStringList asked;
    std::vector<int> styles;
    int answer = kAnswerOk;
};

// No solver: the window says so and stays usable. A solver file that cannot be run is named
// with why, not reported missing.
TEST_F(ShellWindow, NoSolverSaysSoAndTheWindowStaysUsable) {
    SaveSolverFolder(QString::fromStdString(dir.File("nothing here")));
    Make();
    EXPECT_EQ(asked, QStringList{kSolverNotFoundText});
    EXPECT_EQ(styles.back(), kStyleInformation);
    EXPECT_EQ(Find<QLabel>("sbPanel1")->text().toStdString(),
              "Velto Not Found in " + dir.File("nothing here"));
    EXPECT_TRUE(Enabled("cmdAdd"));
    // Run says why it starts nothing, rather than failing every file.
    Add({Input("beam1.in", "")});
    window->onRunClicked();
    EXPECT_EQ(asked, (QStringList{kSolverNotFoundText, kSolverNotFoundText}));
    EXPECT_FALSE(window->batch().running());
    EXPECT_EQ(window->batch().rows()[0].status, "");
    window.reset();
    test::WriteBytes(dir.File("velto"), "PROGRAM VELTO Ver. 2026\0");
    SaveSolverFolder(QString::fromStdString(dir.path().string()));
    Make();
    EXPECT_EQ(asked.back(), QString::fromStdString("Velto cannot be run: " + dir.File("velto") +
                                                   " is not executable.\r\nPlease click the "
                                                   "elipsis button ... to select the velto "
                                                   "executable path."));
}

// What a screen reader hears: every control the keyboard reaches has a name, the progress strip
// is a progress bar. The window fits its screen (also at twice the scale, where this test runs
// again) and scrolls what does not fit.
TEST_F(ShellWindow, EveryControlIsNamedAndTheWindowFitsItsScreen) {
    Make();
    EXPECT_EQ(test::UnnamedControls(window.get()), std::vector<std::string>{});
    EXPECT_EQ(
        QAccessible::queryAccessibleInterface(window->findChild<QWidget*>("picProgress"))->role(),
        QAccessible::ProgressBar);
    EXPECT_TRUE(test::FitsItsScreen(window.get())) << window->width() << "x" << window->height();
}

// The list shows the model's rows; Add passes the chosen files to the model's rule and tells what
// it refused, a double click opens a file or says it cannot, Delete removes the selected row only,
// Clear all of them.
TEST_F(ShellWindow, ListCommandsGoThroughTheModel) {
    Make();
    ExpectListCommands(false);
    EXPECT_FALSE(Enabled("cmdStop") || Enabled("mnuAnalysisStop"));
    const QString beam = Input("beam1.in", "");
    const QString text = Input("beam1.txt", "");
    Add({beam, text, beam});
    auto* list = Find<QTreeWidget>("lvwFiles");
    ASSERT_EQ(list->topLevelItemCount(), 1);
    EXPECT_EQ(list->topLevelItem(0)->text(0), beam);
    ASSERT_EQ(asked.size(), 1);
    EXPECT_TRUE(asked[0].startsWith("These files cannot be run and were not added:\n\n" + text))
        << asked[0].toStdString();
    EXPECT_TRUE(asked[0].endsWith("\n\nThese files are in the list already:\n\n" + beam +
                                  " is listed already"))
        << asked[0].toStdString();
    EXPECT_EQ(styles.back(), kStyleCritical);
    ExpectListCommands(true);
    Add({Input("beam2.in", "")});
    EXPECT_EQ(addFolder.toStdString(), dir.path().string());
    ASSERT_EQ(list->topLevelItemCount(), 2);
    window->onFileDoubleClicked(1);
    EXPECT_EQ(opened, toAdd);
    openWorks = false;
    window->onFileDoubleClicked(1);
    EXPECT_EQ(asked.back(), "The executable for in files not found.");
    EXPECT_EQ(styles.back(), kStyleCritical);
    // A file gone since it was added: the cause is said, and nothing is handed to the desktop.
    std::filesystem::remove(toAdd[0].toStdString());
    window->onFileDoubleClicked(1);
    EXPECT_EQ(asked.back(), "File not found.");
    EXPECT_EQ(opened.size(), 2);

    Find<QPlainTextEdit>("txtRun")->setPlainText("old text");
    list->clearSelection();
    list->setCurrentItem(nullptr);
    window->onDeleteClicked();  // nothing selected: nothing happens
    EXPECT_EQ(window->batch().rowCount(), 2);
    EXPECT_EQ(Find<QPlainTextEdit>("txtRun")->toPlainText(), "old text");
    // The Delete key as the button; the next file stands selected for the next one.
    const QString second = toAdd[0];
    Add({Input("beam3.in", "")});
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    list->setFocus();
    list->setCurrentItem(list->topLevelItem(0));
    QTest::keyClick(list, Qt::Key_Delete);
    ASSERT_EQ(list->topLevelItemCount(), 2);
    EXPECT_EQ(window->batch().rows().front().path, second);
    EXPECT_EQ(Find<QPlainTextEdit>("txtRun")->toPlainText(), "");
    ASSERT_NE(list->currentItem(), nullptr);
    EXPECT_TRUE(list->currentItem()->isSelected());
    window->onDeleteClicked();
    EXPECT_EQ(list->topLevelItemCount(), 1);
    // Ctrl+A and Ctrl+C in the console text select and copy it; anywhere else they are Add and
    // Clear.
    auto* console = Find<QPlainTextEdit>("txtRun");
    window->setConsoleText("time = 5");
    console->setFocus();
    const int addsBefore = addQuestions;
    QTest::keyClick(console, Qt::Key_A, Qt::ControlModifier);  // selects the text, not Add...
    EXPECT_EQ(addQuestions, addsBefore);
    EXPECT_EQ(console->textCursor().selectedText(), "time = 5");
    QTest::keyClick(console, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), "time = 5");
    EXPECT_EQ(window->batch().rowCount(), 1);
    list->setFocus();
    QTest::keyClick(list, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(list->topLevelItemCount(), 0);
    EXPECT_EQ(window->batch().rowCount(), 0);
    ExpectListCommands(false);
}

// A journal that cannot be read is kept aside, never saved over, and the user is told where;
// a row whose name holds a line end, or that the solver would not read, is left out of a journal
// that can.
// Show Results, on a row's menu: greyed for a row never run; for one that ran, VeltoExtract beside
// this program opens its listing, following it while the row runs. A listing the solver has not
// written yet is said in the status bar, and nothing is started.
TEST_F(ShellWindow, ShowResultsStartsVeltoExtractOnTheRowsListing) {
    Make();
    const std::vector<std::pair<std::string, QString>> rows = {{"beam1", kStatusCompleted},
                                                               {"beam2", ""},
                                                               {"beam3", kStatusRunning},
                                                               {"beam4", kStatusFailed}};
    for (const auto& [name, status] : rows) {
        window->batch().RestoreRow(Input(name + ".in", ""), {}, status);
    }
    test::WriteBytes(dir.File("beam1.out"), "");
    test::WriteBytes(dir.File("beam3.out"), "");
    auto* list = Find<QTreeWidget>("lvwFiles");
    auto* show = Find<QAction>("mnuShowResults");
    EXPECT_TRUE(list->actions().contains(show));
    for (int row = 0; row < 4; ++row) {
        list->setCurrentItem(list->topLevelItem(row));
        EXPECT_EQ(show->isEnabled(), row != 1) << row;
        show->trigger();
    }
    const QString program =
        QCoreApplication::applicationDirPath() + QStringLiteral("/VeltoExtract");
    EXPECT_EQ(started, (QList<QStringList>{
                           {program, QString::fromStdString(dir.File("beam1.out"))},
                           {program, "--follow", QString::fromStdString(dir.File("beam3.out"))}}));
    EXPECT_EQ(Find<QLabel>("sbTime")->text(),
              "No results yet: the solver has not written beam4.out yet");
}

TEST_F(ShellWindow, AnUnreadableJournalIsKeptAside) {
    const QString journal = BatchJournal::DefaultPath(QStringLiteral("shell-batch.json"));
    const QString aside = journal + QStringLiteral(".unreadable");
    QFile::remove(aside);
    std::filesystem::create_directories(QFileInfo(journal).absolutePath().toStdString());
    test::WriteBytes(journal.toStdString(), "{\"rows\": [{\"path\": \"/w/beam1.in\"");
    Make();
    ASSERT_EQ(asked.size(), 1);
    EXPECT_TRUE(asked[0].contains(aside)) << asked[0].toStdString();
    EXPECT_EQ(test::ReadBytes(aside.toStdString()), "{\"rows\": [{\"path\": \"/w/beam1.in\"");
    window.reset();
    QFile::remove(aside);

    asked.clear();
    test::WriteBytes(journal.toStdString(),
                     "{\"rows\": [{\"path\": \"/w/new\\nline.in\", \"status\": \"Failed\"},"
                     " {\"path\": \"/w/beam2.in\", \"status\": \"Completed\"},"
                     " {\"path\": \"/w/beam3\", \"status\": \"Failed\"}]}");
    Make();
    EXPECT_EQ(Statuses(), QStringList{"Completed"});
    ASSERT_EQ(asked.size(), 1);
    EXPECT_TRUE(asked[0].contains("/w/new\\nline.in: the name holds a line end"))
        << asked[0].toStdString();
    EXPECT_TRUE(asked[0].contains("/w/beam3: the solver is given \"beam3\" and reads beam3.in"))
        << asked[0].toStdString();
}

// A batch velto-batch ran without showing its console text: the window that takes it up shows
// why each row did not complete, on the row and at the end of its console.
TEST_F(ShellWindow, ABatchOfTheCommandLineShowsWhyEachRowDidNotComplete) {
    {
        BatchModel batch;
        batch.setKeepLogs(false);
        batch.RestoreRow(Input("beam1.in", "STANDIN PACE 0\nSTANDIN EXIT 3\n"), {});
        batch.RestoreRow(Input("beam2.in", "STANDIN PACE 0\n"), {});
        QString error;
        const std::unique_ptr<BatchRecord> record =
            BatchRecord::Create(BatchJournal::DefaultPath(QStringLiteral("velto-batch")), error);
        ASSERT_NE(record, nullptr) << error.toStdString();
        BatchJournal journal(batch, record->path());
        test::RunToEnd(batch, test::StandIn(VELTO_STANDIN_DIR));
    }
    Make();
    EXPECT_EQ(Statuses(), (QStringList{"Failed", "Completed"}));
    auto* list = Find<QTreeWidget>("lvwFiles");
    EXPECT_EQ(list->topLevelItem(0)->toolTip(0), "Velto ended with exit code 3");
    EXPECT_EQ(list->topLevelItem(0)->statusTip(1), "Velto ended with exit code 3");
    EXPECT_EQ(list->topLevelItem(1)->toolTip(1), "");
    window->onFileClicked(0);
    EXPECT_TRUE(Find<QPlainTextEdit>("txtRun")->toPlainText().endsWith(
        "  Analysis completed.\nVelto ended with exit code 3\n"))
        << Find<QPlainTextEdit>("txtRun")->toPlainText().toStdString();
}

// Two windows at once keep a batch each: the second neither reads nor overwrites the first's,
// and a window takes up the last batch that no open window holds.
TEST_F(ShellWindow, EachWindowKeepsItsOwnBatch) {
    Make();
    Add({Input("beam1.in", "")});
    std::unique_ptr<FrmMain> second = Another();
    EXPECT_EQ(second->batch().rowCount(), 0);
    Add({Input("beam2.in", "")}, second.get());
    window.reset();
    std::unique_ptr<FrmMain> third = Another();
    ASSERT_EQ(third->batch().rowCount(), 1);
    EXPECT_EQ(third->batch().rows().front().path, QString::fromStdString(dir.File("beam1.in")));
    third.reset();
    second.reset();
    Make();
    ASSERT_EQ(window->batch().rowCount(), 1);
    EXPECT_EQ(window->batch().rows().front().path, toAdd.front());
    EXPECT_TRUE(asked.isEmpty()) << asked.join('\n').toStdString();
}

// "Export after each run": options that cannot be used are refused until good ones come or the
// user cancels; each completed file's console text then ends with its export, and the setting is
// kept for the next session.
TEST_F(ShellWindow, ExportAfterEachRun) {
    Make();
    auto* setting = Find<QAction>("mnuToolsExport");
    exportAnswers = {"--all -o book.xlsx", ""};
    setting->trigger();
    EXPECT_FALSE(setting->isChecked());
    EXPECT_EQ(asked.size(), 1);
    EXPECT_EQ(offeredOptions, (QStringList{"--all", "--all -o book.xlsx"}));
    exportAnswers = {"--variable Temperature --format csv"};
    setting->trigger();
    EXPECT_TRUE(setting->isChecked());
    Add({Input("hot.in", "STANDIN KIND thermal\nSTANDIN PACE 0\n")});
    window->onRunClicked();
    EXPECT_FALSE(setting->isEnabled());
    WaitForBatch();
    EXPECT_TRUE(setting->isEnabled());
    EXPECT_TRUE(window->batch().log(0).contains("Exported: ")) << window->batch().log(0).data();
    window.reset();
    Make();
    EXPECT_TRUE(Find<QAction>("mnuToolsExport")->isChecked());
}

TEST_F(ShellWindow, BatchMarksEachFileAndKeepsItsConsoleText) {
    Make();
    // The order of statuses in a batch is the model's rule; the list shows them.
    Add({Input("beam1.in", "STANDIN PACE 0\n"),
         Input(
             "beam2.in",
             "STANDIN PACE 0\nSTANDIN EXIT 3\nSTANDIN STEPS \x80/mm\xb2\nSTANDIN PACE \x1b[2J\n")});
    // A screen reader hears a status cell with its reason, and an empty one as what it means.
    auto heard = [this](int row) {
        return Find<QTreeWidget>("lvwFiles")
            ->topLevelItem(row)
            ->data(1, Qt::AccessibleTextRole)
            .toString()
            .toStdString();
    };
    EXPECT_EQ(heard(0), "not run yet");
    window->onRunClicked();
    EXPECT_TRUE(Enabled("cmdStop"));
    EXPECT_FALSE(Enabled("cmdAdd") || Enabled("cmdRun") || Enabled("mnuFileClear"));
    EXPECT_EQ(Statuses(), (QStringList{"Queued", "Queued"}));
    WaitForBatch();
    EXPECT_EQ(Statuses(), (QStringList{"Completed", "Failed"}));
    EXPECT_EQ(heard(0), "Completed");
    EXPECT_EQ(heard(1), "Failed: Velto ended with exit code 3");
    ExpectListCommands(true);
    EXPECT_FALSE(Enabled("cmdStop"));
    EXPECT_EQ(window->windowTitle(), "Velto Shell");
    EXPECT_TRUE(Find<QLabel>("sbTime")->text().startsWith(
        "Batch finished: 1 Completed, 1 Failed, 0 Aborted in 0:0"))
        << Find<QLabel>("sbTime")->text().toStdString();
    EXPECT_EQ(Find<QLabel>("sbTime")->accessibleName(), Find<QLabel>("sbTime")->text());
    // A file's console text, as the model keeps it, shown in Windows-1252 as velto-batch shows it,
    // its control characters escaped.
    window->onFileClicked(1);
    const QString log = Find<QPlainTextEdit>("txtRun")->toPlainText();
    EXPECT_TRUE(log.contains(QStringLiteral("STANDIN STEPS \u20ac/mm\u00b2\n")))
        << log.toStdString();
    EXPECT_TRUE(log.contains(QStringLiteral("STANDIN PACE \\x1b[2J\n"))) << log.toStdString();

    // Without a mouse: the arrow keys show a row's text as a click does; the Menu key and
    // Shift+F10 open the list's menu; a Clear that would drop a file that failed asks first.
    auto* list = Find<QTreeWidget>("lvwFiles");
    list->setFocus();
    list->setCurrentItem(list->topLevelItem(1));
    QTest::keyClick(list, Qt::Key_Up);
    EXPECT_FALSE(Find<QPlainTextEdit>("txtRun")->toPlainText().contains("STANDIN STEPS"));
    QTest::keyClick(list, Qt::Key_Down);
    EXPECT_TRUE(Find<QPlainTextEdit>("txtRun")->toPlainText().contains("STANDIN STEPS"));
    for (const auto& [key, modifiers] :
         {std::pair{Qt::Key_Menu, Qt::NoModifier}, std::pair{Qt::Key_F10, Qt::ShiftModifier}}) {
        QStringList entries;
        QTimer::singleShot(0, [&entries] {
            if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
                for (QAction* action : menu->actions()) {
                    entries.append(action->text());
                }
                menu->close();
            }
        });
        QTest::keyClick(list, key, modifiers);
        EXPECT_EQ(entries, (QStringList{"&Add...", "&Delete", "&Clear", "", "&Run", "&Stop", "",
                                        "Show Results"}));
    }
    asked.clear();
    answer = kAnswerNo;
    window->onClearClicked();
    EXPECT_EQ(asked, QStringList{"1 file did not complete. Clear the list, and with it why?"});
    EXPECT_EQ(Statuses().size(), 2);
    answer = kAnswerOk;

    // Run from the keyboard: the focus ends on the list, so the Exit shortcut exits and the
    // solver's folder is saved as it is.
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    QTest::keyClick(window.get(), Qt::Key_R, Qt::ControlModifier);
    WaitForBatch();
    EXPECT_EQ(QApplication::focusWidget(), Find<QWidget>("lvwFiles"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_X, Qt::ControlModifier);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(LoadSolverFolder(), VELTO_STANDIN_DIR);
    window->show();

    // The progress strip comes back beside the long summary without widening the window.
    const int width = window->width();
    window->onRunClicked();
    QCoreApplication::processEvents();
    EXPECT_TRUE(Find<QWidget>("picProgress")->isVisible());
    EXPECT_EQ(window->width(), width);
    WaitForBatch();
    EXPECT_EQ(window->width(), width);
    // The summary goes with the batch it tells of when the list changes.
    EXPECT_TRUE(Find<QPlainTextEdit>("txtRun")->toPlainText().contains("Batch finished"));
    Add({Input("beam4.in", "")});
    EXPECT_EQ(Find<QPlainTextEdit>("txtRun")->toPlainText(), "");
    ASSERT_FALSE(Find<QLabel>("sbTime")->text().isEmpty());
    answer = kAnswerYes;
    window->onClearClicked();
    EXPECT_EQ(Find<QLabel>("sbTime")->text(), "");
}

// The Add dialog's labels show their mnemonics, underlined, rather than a literal '&', and each
// reaches its control.
TEST_F(ShellWindow, AddDialogShowsTheLabelsMnemonics) {
    window = std::make_unique<FrmMain>();
    window->show();
    QStringList checked;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        const std::pair<const char*, const char*> labels[] = {{"lookInLabel", "lookInCombo"},
                                                              {"fileNameLabel", "fileNameEdit"},
                                                              {"fileTypeLabel", "fileTypeCombo"}};
        for (const auto& [name, control] : labels) {
            auto* label = dialog->findChild<QLabel*>(QString::fromLatin1(name));
            ASSERT_NE(label, nullptr) << name;
            checked.append(label->text());
            EXPECT_EQ(label->buddy() ? label->buddy()->objectName() : QString(), control) << name;
            // As wide as its text without the '&': the '&' is not drawn.
            QLabel shown(QString(label->text()).remove(QLatin1Char('&')));
            shown.setFont(label->font());
            EXPECT_EQ(label->sizeHint().width(), shown.sizeHint().width()) << name;
        }
        dialog->reject();
    });
    window->onAddClicked();
    EXPECT_EQ(checked, (QStringList{"Look &in:", "File &name(s):", "Files of &type:"}));
}

// Every name typed into the Add dialog is added or named in the refusal: one the filter hides
// (notinput.txt), one listed already (g3.in), and a name without its extension is the input file.
// The button reads "Add" throughout, on a folder too.
TEST_F(ShellWindow, AddDialogTakesOrNamesEveryTypedName) {
    window = std::make_unique<FrmMain>();
    window->show();
    const QString g3 = Input("g3.in", "");
    const QString g9 = Input("g9.in", "");
    const QString g4 = Input("g4.in", "");
    test::WriteBytes(dir.File("notinput.txt"), "not an input file\n");
    std::filesystem::create_directory(dir.File("sub"));
    window->batch().AddFiles({g3.toStdString()});
    QStringList labels;
    auto typeAndAdd = [&](const QString& typed) {
        QTimer::singleShot(0, [&, typed] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            dialog->setDirectory(QString::fromStdString(dir.path().string()));
            // The view lists the folder before the user types: Qt then marks what it shows.
            auto* view = dialog->findChild<QListView*>(QStringLiteral("listView"));
            ASSERT_TRUE(view &&
                        test::WaitUntil(
                            [&] { return view->model()->rowCount(view->rootIndex()) >= 4; }, 10));
            auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            auto* add = dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Open);
            // A folder chosen in the view, or typed: Qt would relabel its button "Open".
            const QModelIndexList sub = view->model()->match(
                view->model()->index(0, 0, view->rootIndex()), Qt::DisplayRole, "sub");
            ASSERT_EQ(sub.size(), 1);
            view->setCurrentIndex(sub.front());
            labels.append(add->text());
            name->clear();
            QTest::keyClicks(name, QString::fromStdString(dir.File("sub")));
            labels.append(add->text());
            name->clear();
            QTest::keyClicks(name, typed);
            labels.append(add->text());
            QTest::keyClick(name, Qt::Key_Return);
            if (dialog->isVisible()) {
                ADD_FAILURE() << "the dialog stayed open on " << typed.toStdString();
                dialog->reject();
            }
        });
        window->onAddClicked();
    };
    typeAndAdd(QStringLiteral("\"g9.in\" \"notinput.txt\""));
    EXPECT_EQ(labels, (QStringList{"&Add", "&Add", "&Add"}));
    ASSERT_EQ(window->batch().rowCount(), 2);
    EXPECT_EQ(window->batch().rows()[1].path, g9);
    ASSERT_EQ(asked.size(), 1);
    EXPECT_TRUE(asked[0].contains(QString::fromStdString(dir.File("notinput.txt")) +
                                  ": the solver is given \"notinput\" and reads notinput.in"))
        << asked[0].toStdString();
    typeAndAdd(QStringLiteral("\"g3.in\" \"notinput.txt\""));
    EXPECT_EQ(window->batch().rowCount(), 2);
    ASSERT_EQ(asked.size(), 2);
    EXPECT_TRUE(asked[1].contains(g3 + " is listed already")) << asked[1].toStdString();
    EXPECT_TRUE(asked[1].contains("notinput.txt: the solver")) << asked[1].toStdString();
    typeAndAdd(QStringLiteral("g4"));
    ASSERT_EQ(window->batch().rowCount(), 3);
    EXPECT_EQ(window->batch().rows()[2].path, g4);
    EXPECT_EQ(asked.size(), 2);
}

TEST_F(ShellWindow, QuitDuringABatchAsksFirst) {
    Make();
    // That a quit stops the batch and waits for its end is the model's rule; the window asks.
    Add({Input("beam1.in", "STANDIN STEPS 100\nSTANDIN PACE 0.1\n")});
    answer = kAnswerNo;
    bool closedOnce = false;
    QObject::connect(&window->batch(), &BatchModel::progress, [&](int, float, const QString&) {
        if (!closedOnce) {
            closedOnce = true;
            window->close();  // No: everything goes on
            EXPECT_TRUE(window->isVisible());
            EXPECT_TRUE(window->batch().running());
            answer = kAnswerYes;
            window->close();  // Yes: the batch stops, then the window closes
        }
    });
    window->onRunClicked();
    WaitForBatch();
    EXPECT_EQ(asked.size(), 2);
    EXPECT_EQ(asked.front(),
              "Analysis is running. Do you want to exit and abbort current analysis?");
    EXPECT_EQ(styles.front(), kStyleYesNo | kStyleQuestion);
    EXPECT_EQ(Statuses(), QStringList{"Aborted"});
    QApplication::processEvents();  // the close that the batch's end sends
    EXPECT_FALSE(window->isVisible());

    // The batch ends while the question is up: Yes then closes the window at once.
    Make();
    Add({Input("beam3.in", "STANDIN STEPS 3\nSTANDIN PACE 0.05\n")});
    whileAsked = [this] { WaitForBatch(); };
    bool asking = false;
    QObject::connect(&window->batch(), &BatchModel::progress, [&](int, float, const QString&) {
        if (!asking) {
            asking = true;
            // From the event loop, as a user's Ctrl+X comes, not from inside the solver's run.
            QTimer::singleShot(0, window.get(), [this] { window->close(); });
        }
    });
    window->onRunClicked();
    WaitForBatch();
    QApplication::processEvents();
    whileAsked = nullptr;
    EXPECT_EQ(Statuses(), QStringList{"Completed"});
    EXPECT_FALSE(window->isVisible());
}

// A window that goes away while its stopped batch is still ending is not reported to.
TEST_F(ShellWindow, WindowGoneAfterStopIsNotTouchedByTheEndingRun) {
    Make();
    Add({Input("beam1.in", "STANDIN STEPS 100\nSTANDIN PACE 0.1\n")});
    window->onRunClicked();
    QTest::qWait(200);
    // Escape that closes a menu leaves the batch running; on the window itself it stops it.
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    auto* menu = Find<QMenu>("mPopupSys");
    menu->popup(window->geometry().center());
    ASSERT_TRUE(QTest::qWaitForWindowExposed(menu));
    QTest::keyClick(menu, Qt::Key_Escape);
    EXPECT_FALSE(menu->isVisible());
    QTest::qWait(50);
    EXPECT_EQ(Statuses(), QStringList{"Running"});
    QTest::keyClick(window.get(), Qt::Key_Escape);
    EXPECT_TRUE(window->batch().running());  // the end of the batch comes from the event loop
    window.reset();
    QTest::qWait(300);  // what is left of the run ends with no window to report to
    EXPECT_TRUE(asked.isEmpty());
}

// The solver's folder changes only to one that holds the solver, however it is given in the
// browser, whose status line and button always speak of the folder it would take, typed or moved
// to: a folder without one, typed and confirmed with Enter, leaves the browser open; the path box
// cannot be typed into. The folder chosen is the one saved and used next time.
TEST_F(ShellWindow, OnlyAFolderWithTheSolverIsTakenAndTheBrowserSaysWhy) {
    Make();
    std::unique_ptr<FrmMain> other = Another();  // a second window, that chooses nothing
    other->show();
    auto* path = Find<QLineEdit>("txtVeltoPath");
    EXPECT_TRUE(path->isReadOnly());
    const std::string empty = dir.File("no solver");
    const std::string folder = dir.File("a folder named velto");
    const std::string plain = dir.File("not executable");
    std::filesystem::create_directories(empty);
    std::filesystem::create_directories(folder + "/velto");
    std::filesystem::create_directories(plain);
    test::WriteBytes(plain + "/velto", "PROGRAM VELTO Ver. 2026\0");
    QStringList seen;
    bool refusedStaysOpen = false;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        auto* status = dialog->findChild<QLabel*>(QStringLiteral("browseStatus"));
        auto* box = dialog->findChild<QDialogButtonBox*>();
        ASSERT_TRUE(name && status && box);
        QPushButton* choose = box->button(QDialogButtonBox::Open);
        ASSERT_NE(choose, nullptr);
        dialog->setDirectory(QString::fromStdString(empty));
        // Typing is done in the name box, which has the focus then.
        dialog->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(dialog));
        name->setFocus();
        ASSERT_TRUE(name->hasFocus());
        for (const std::string& typed : {std::string(VELTO_STANDIN_2004_DIR), empty, folder, plain,
                                         std::string(VELTO_STANDIN_DIR)}) {
            name->setText(QString::fromStdString(typed));  // typed, or pasted
            seen.append(status->text() + (choose->isEnabled() ? ": enabled" : ": disabled"));
        }
        // Typed and confirmed with Enter: refused, the browser stays open.
        name->setText(QString::fromStdString(empty));
        QTest::keyClick(name, Qt::Key_Return);
        refusedStaysOpen = dialog->isVisible();
        // Moved to a folder that holds the solver, and confirmed.
        dialog->setDirectory(QStringLiteral(VELTO_STANDIN_2004_DIR));
        name->clear();
        QTest::keyClick(name, Qt::Key_Return);
        if (dialog->isVisible()) {
            dialog->reject();  // the folder was refused
        }
    });
    window->onVeltoPathClicked();
    EXPECT_EQ(seen.join(" | ").toStdString(),
              "Found Velto Ver. 2004 (not the solver): enabled | Velto Not Found: disabled | "
              "velto is a folder, not a program: disabled | velto is not executable: disabled | "
              "Found Velto Ver. 2026 (not the solver): enabled");
    EXPECT_TRUE(refusedStaysOpen);
    EXPECT_EQ(path->text(), VELTO_STANDIN_2004_DIR);
    EXPECT_EQ(Find<QLabel>("sbPanel1")->text(), "Velto Ver. 2004 (not the solver)");
    EXPECT_TRUE(asked.isEmpty());
    EXPECT_EQ(LoadSolverFolder(), VELTO_STANDIN_2004_DIR);  // kept as soon as it is chosen
    window->close();
    other->close();  // closing later, the other window does not write its folder over it
    EXPECT_EQ(LoadSolverFolder(), VELTO_STANDIN_2004_DIR);
    window.reset();
    Make();
    EXPECT_EQ(Find<QLabel>("sbPanel1")->text(), "Velto Ver. 2004 (not the solver)");
}

TEST_F(ShellWindow, ConsoleTextGoesAtTheEndWhereverTheCaretIs) {
    Make();
    auto* console = Find<QPlainTextEdit>("txtRun");
    window->setConsoleText("first line\nsecond line\n");
    QTextCursor caret = console->textCursor();
    caret.setPosition(3);
    caret.setPosition(8, QTextCursor::KeepAnchor);  // the user selected part of the first line
    console->setTextCursor(caret);
    window->appendConsoleText("time = 5");
    EXPECT_EQ(console->toPlainText(), "first line\nsecond line\ntime = 5");
}

TEST_F(ShellWindow, TrayEntryAndItsMenu) {
    Make();
    auto* tray = Find<QAction>("mnuToolsTray");
    // The icon's menu goes with the icon, whatever the window's state.
    auto* icon = window->findChild<QSystemTrayIcon*>();
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(icon->contextMenu(), Find<QMenu>("mPopupSys"));
    // Where there is no tray the entry is off, and toggling it shows nothing.
    const bool available = QSystemTrayIcon::isSystemTrayAvailable();
    EXPECT_EQ(tray->isEnabled(), available);
    if (available) {
        window->onTrayToggled();
        EXPECT_TRUE(tray->isChecked() && window->trayIconShown());
    }
    window->onTrayToggled();
    EXPECT_FALSE(tray->isChecked() || window->trayIconShown());
}

// The strip never shows 0% nor 100% while a file runs (rounded between); the caption and tip
// tell the true share.
TEST(ShellProgress, CaptionAndTipTellTheTrueShare) {
    const ProgressTexts done = ProgressTextsFor(1.0f, "beam1");
    EXPECT_EQ(done.label, "99%");
    EXPECT_EQ(done.caption, "beam1 100 % - Velto Shell");
    EXPECT_EQ(done.tip, "Running file: beam1 100 %");
    const ProgressTexts started = ProgressTextsFor(0.004f, "beam1");
    EXPECT_EQ((started.label + started.caption).toStdString(), "1%beam1 0 % - Velto Shell");
    EXPECT_EQ(ProgressTextsFor(0.126f, "beam1").label, "13%");
}

// However hot the line below, the flame's heat stays within a byte.
TEST(AboutFlame, HeatNeverOverflowsAByte) {
    for (int i = 0; i <= 256; ++i) {
        EXPECT_LE(Flame::LeftWeight(i) + Flame::CentreWeight(i) + Flame::RightWeight(i), 255);
    }
}

TEST(AboutBox, StopsItsFlameWhenClosed) {
    FrmAbout about;
    about.show();
    QTest::qWait(120);
    EXPECT_TRUE(about.animating());
    EXPECT_EQ(about.focusWidget(), about.findChild<QPushButton*>("cmdOK"));  // not a mail link
    about.close();
    EXPECT_FALSE(about.animating());
    auto* timer = about.findChild<QTimer*>("tmrAbout");
    ASSERT_NE(timer, nullptr);
    EXPECT_FALSE(timer->isActive());
}

}  // namespace

// A window hidden in the tray answers its program started again, and only while it hides; the
// program started again shows nothing of its own then.
TEST(TrayReturn, AHiddenWindowAnswersTheProgramStartedAgain) {
    const QString name = QStringLiteral("VeltoTest%1").arg(QCoreApplication::applicationPid());
    TrayReturn hidden(name);
    int shown = 0;
    // The window shown stops listening at once, as its state changes.
    QObject::connect(&hidden, &TrayReturn::showRequested, [&] {
        ++shown;
        hidden.SetListening(false);
    });
    auto ask = [&] {
        // Asked from another thread, as from another program: this one's loop must answer.
        std::future<bool> answer =
            std::async(std::launch::async, [&] { return TrayReturn::AskToShow(name, 3000); });
        while (answer.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready) {
            QCoreApplication::processEvents();
        }
        QCoreApplication::processEvents();  // what the answer set going
        return answer.get();
    };
    EXPECT_FALSE(ask());
    hidden.SetListening(true);
    ASSERT_TRUE(hidden.listening());
    EXPECT_TRUE(ask());
    EXPECT_EQ(shown, 1);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(hidden.listening());
    EXPECT_FALSE(ask());
    EXPECT_EQ(shown, 1);
    hidden.SetListening(true);
    EXPECT_FALSE(TrayReturn::AskToShow(name + QStringLiteral("Other"), 500));
}

}  // namespace velto
