#include <gtest/gtest.h>

#include <unistd.h>
#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QChart>
#include <QCheckBox>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QListWidget>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStatusBar>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>

#include <cmath>
#include <fstream>
#include <tuple>

#include "common/window/helpwindow.h"
#include "common/window/messagebox.h"
#include "common/window/mouse.h"
#include "common/window/programicons.h"
#include "common/window/progressstrip.h"
#include "extract/window/chartdialog.h"
#include "extract/window/frmextract.h"
#include "tests/harness/harness.h"
#include "tests/reader/readertest.h"
#include "tests/window/accessibility.h"
#include "tools/listinggen.h"

namespace velto {
namespace {

QStringList Texts(const QListWidget* list) {
    QStringList texts;
    for (int i = 0; i < list->count(); ++i) {
        texts.append(list->item(i)->text());
    }
    return texts;
}

class ExtractWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        listing = dir.File("frame.out");
        WriteListingFile({.nodes = 20, .beams = 4, .stressTables = 2, .times = 6}, listing);
        SetMessageBoxSeam([this](QWidget*, const QString& prompt, int style, const QString&) {
            asked.append(prompt);
            styles.push_back(style);
            return answer;
        });
        Make();
    }
    void TearDown() override {
        window.reset();
        SetMessageBoxSeam({});
    }
    void Make() {
        ExtractDialogs dialogs;
        dialogs.open = [this](QWidget*, const QString& folder, const QString&) {
            openFolder = folder;
            return QString::fromStdString(listing);
        };
        dialogs.save = [this](QWidget*, const QString& folder, const QString&) {
            ++saveQuestions;
            saveFolder = folder;
            return SaveChoice{QString::fromStdString(target), chosenFilter};
        };
        dialogs.chart.saveChart = [this](QWidget*, const QString&) { return chartSavePath; };
        dialogs.chart.addListings = [this](QWidget*, const QString& folder) {
            addFolder = folder;
            return listingsToAdd;
        };
        dialogs.chart.saveTable = [this](QWidget*, const QString&) { return tablePath; };
        window = std::make_unique<FrmExtract>(dialogs);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }
    template <typename T>
    T* Find(const char* name) {
        T* found = window->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    bool Enabled(const char* name) { return Find<QWidget>(name)->isEnabled(); }
    QListWidget* List(const char* name) { return Find<QListWidget>(name); }
    void Select(const char* list, std::initializer_list<int> rows) {
        List(list)->clearSelection();
        for (int row : rows) {
            List(list)->item(row)->setSelected(true);
        }
    }
    void Choose(const char* variable, const char* vector = nullptr) {
        auto* box = Find<QComboBox>("cboVariables");
        box->setCurrentIndex(box->findText(QString::fromLatin1(variable)));
        emit box->activated(box->currentIndex());
        if (vector) {
            auto* vectors = Find<QComboBox>("cboVectors");
            vectors->setCurrentIndex(vectors->findText(QString::fromLatin1(vector)));
        }
    }
    // What a drop of this text on the selected list hands on (the drop itself is tested once).
    void Drop(const QString& text) {
        window->findChild<SelectedTimesList*>("lstSelected")->onDropText(text);
    }
    // Runs `during` once, at the first progress report of a save.
    void DuringTheSave(std::function<void()> during) {
        QObject::connect(window.get(), &FrmExtract::progressShown, window.get(),
                         [this, during = std::move(during), done = false](float) mutable {
                             if (window->session().Running() == SessionCommand::Save && !done) {
                                 done = true;
                                 during();
                             }
                         });
    }

    test::ScratchDir dir;
    std::string listing;
    std::string target;
    std::unique_ptr<FrmExtract> window;
    QStringList asked;
    std::vector<int> styles;
    int answer = kAnswerOk;
    QString openFolder, saveFolder;
    QString chartSavePath;
    QStringList listingsToAdd;
    QString addFolder;
    QString tablePath;
    int saveQuestions = 0;
    QString chosenFilter = QStringLiteral("Excel File (*.xls)");  // what the user leaves selected
};

// The window with its listing opened.
class OpenedListing : public ExtractWindow {
  protected:
    void SetUp() override {
        ExtractWindow::SetUp();
        window->onFileClicked();
    }
};

TEST_F(OpenedListing, OpeningFillsSummaryTimesAndVariables) {
    EXPECT_TRUE(asked.isEmpty()) << asked.join("|").toStdString();
    EXPECT_EQ(Find<QLineEdit>("txtFileName")->text().toStdString(), listing);
    EXPECT_EQ(Find<QLabel>("lblAnalysis")->text(), "Structural");
    EXPECT_TRUE(Enabled("lblSummary6"));   // Beams
    EXPECT_FALSE(Enabled("lblSummary7"));  // Shells: none, greyed
    EXPECT_EQ(Texts(List("lstAvailable")), (QStringList{"60", "120", "180", "240", "300", "360"}));
    EXPECT_TRUE(Enabled("lstAvailable") && Enabled("fraTime") && Enabled("cboVariables"));
    EXPECT_FALSE(Enabled("cmdSave"));
    EXPECT_EQ(Find<QStatusBar>("sbMain")->findChild<QLabel*>("sbPanel1")->text(),
              "frame.out - Nothing to save: no time is selected.");

    // A file that is not a listing: while its message is up, nothing of the last listing shows.
    listing = dir.File("passwd");
    test::WriteBytes(listing, "root:x:0:0:root:/root:/bin/bash\n");
    QStringList shownDuringMessage;
    SetMessageBoxSeam([&](QWidget*, const QString&, int, const QString&) {
        shownDuringMessage << Find<QLabel>("lblAnalysis")->text()
                           << Find<QLabel>("lblProblem")->text()
                           << QString::number(List("lstAvailable")->count());
        return kAnswerOk;
    });
    window->onFileClicked();
    EXPECT_EQ(shownDuringMessage.mid(0, 3), (QStringList{"", "", "0"}));
    EXPECT_EQ(Find<QComboBox>("cboVectors")->count(), 0);
    // Only the file row, the (empty) time lists and the summary, with its first three captions,
    // stay usable.
    for (const char* name : {"cboVariables", "lblSummary3", "lblSummary9", "cboVectors",
                             "txtVectors0", "optTime1", "cmdSave", "cmdChart", "cmdClear"}) {
        EXPECT_FALSE(Enabled(name)) << name;
    }
    for (const char* name :
         {"cmdFile", "lstAvailable", "fraSummary", "lblSummary0", "lblSummary1", "lblSummary2"}) {
        EXPECT_TRUE(Enabled(name)) << name;
    }
    EXPECT_EQ(Find<QLabel>("lblAnalysis")->text(), "");
    EXPECT_FALSE(Find<QWidget>("picProgress")->isVisible() ||
                 Find<QWidget>("lstHidden")->isVisible());
}

// The lists hand the user's mouse and keys to the session, and show what it then holds.
TEST_F(OpenedListing, ListsFollowMouseAndKeys) {
    window->activateWindow();
    QListWidget* available = List("lstAvailable");
    QListWidget* selected = List("lstSelected");
    const QPoint fifth = available->visualItemRect(available->item(4)).center();
    QTest::mouseClick(available->viewport(), Qt::LeftButton, {}, fifth);
    QTest::mouseDClick(available->viewport(), Qt::LeftButton, {}, fifth);
    EXPECT_EQ(Texts(selected), QStringList{"300"});
    Select("lstAvailable", {0, 2});
    EXPECT_EQ(window->findChild<AvailableTimesList*>("lstAvailable")->DragText(), "0 2 ");
    Drop("0 2 ");
    Select("lstAvailable", {1});
    window->showListMenu(TimeList::Available, false);
    Find<QAction>("mnuListAdd")->trigger();
    EXPECT_EQ(Texts(selected), (QStringList{"60", "120", "180", "300"}));
    EXPECT_EQ(Texts(List("lstHidden")), (QStringList{"1", "2", "3", "5"}));

    // Arrow keys highlight chosen times as a click does, and the Delete key removes them.
    EXPECT_FALSE(Enabled("cmdDelete"));
    selected->setFocus();
    selected->setCurrentRow(0);
    QTest::keyClick(selected, Qt::Key_Down, Qt::ShiftModifier);
    EXPECT_TRUE(Enabled("cmdDelete"));
    QTest::keyClick(selected, Qt::Key_Delete);
    EXPECT_EQ(Texts(selected), (QStringList{"180", "300"}));
    // The keys go on from where the removed times stood: the next is highlighted, for the next
    // Delete.
    EXPECT_EQ(selected->currentRow(), 0);
    EXPECT_EQ(window->session().highlighted(TimeList::Selected), std::vector<int>{0});
    EXPECT_TRUE(Enabled("cmdDelete"));

    // Without a mouse: Enter and Insert add what is highlighted, or the time the focus is on
    // when none is; Backspace removes, and the Menu key or Shift+F10 opens the list's menu.
    available->setFocus();
    available->clearSelection();
    available->selectionModel()->setCurrentIndex(available->model()->index(3, 0),
                                                 QItemSelectionModel::NoUpdate);
    QTest::keyClick(available, Qt::Key_Return);
    Select("lstAvailable", {5});
    QTest::keyClick(available, Qt::Key_Insert);
    EXPECT_EQ(Texts(selected), (QStringList{"180", "240", "300", "360"}));
    selected->setFocus();
    selected->setCurrentRow(1);
    QTest::keyClick(selected, Qt::Key_Backspace);
    EXPECT_EQ(Texts(selected), (QStringList{"180", "300", "360"}));
    auto* menu = window->findChild<QMenu*>("mnuList");
    for (const auto& [list, key, modifiers] :
         {std::tuple{available, Qt::Key_Menu, Qt::NoModifier},
          std::tuple{selected, Qt::Key_F10, Qt::ShiftModifier}}) {
        list->setFocus();
        list->setCurrentRow(0);
        QTest::keyClick(list, key, modifiers);
        EXPECT_TRUE(menu->isVisible());
        // The menu of the list the key was pressed in.
        EXPECT_EQ(Find<QAction>("mnuListDelete")->isEnabled(), list == selected);
        EXPECT_EQ(Find<QAction>("mnuListAdd")->isEnabled(), list == available);
        menu->hide();
    }
    Find<QPushButton>("cmdClear")->click();
    Drop("2 4 ");

    // Ctrl+A in the list takes every time (what an add then takes is the session's rule).
    available->setFocus();
    QTest::keyClick(available, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(available->selectedItems().size(), 6);
    // A right-click on empty space leaves nothing highlighted, so nothing to add.
    const QPoint empty(5, available->viewport()->height() - 3);
    QTest::mousePress(available->viewport(), Qt::RightButton, {}, empty);
    QTest::mouseRelease(available->viewport(), Qt::RightButton, {}, empty);
    window->showListMenu(TimeList::Available, false);
    EXPECT_FALSE(Find<QAction>("mnuListAdd")->isEnabled());
    // Each entry its own key: A is Add's, so Select All takes S.
    EXPECT_EQ(Find<QAction>("mnuListAll")->text(), "&Select All");
    window->findChild<QMenu*>("mnuList")->hide();

    // In a text box Ctrl+A is the box's own.
    auto* from = Find<QLineEdit>("txtVectors0");
    from->setFocus();
    QTest::keyClick(from, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(from->selectedText(), "1");
    EXPECT_TRUE(available->selectedItems().isEmpty());
}

// What a screen reader hears: every control the keyboard reaches has a name; values are read
// with their captions; the progress strip is a progress bar with its value. The window fits its
// screen (also at twice the scale, where this test runs again) and scrolls what does not fit.
TEST_F(OpenedListing, EveryControlIsNamedAndTheWindowFitsItsScreen) {
    EXPECT_EQ(test::UnnamedControls(window.get()), std::vector<std::string>{});
    QAccessibleInterface* nodes = QAccessible::queryAccessibleInterface(Find<QLabel>("lblNodes"));
    EXPECT_EQ(nodes->text(QAccessible::Name), "Nodes: 20");
    EXPECT_EQ(
        QAccessible::queryAccessibleInterface(Find<QLabel>("lblShells"))->text(QAccessible::Name),
        "Shells: none");
    auto* strip = Find<ProgressStrip>("picProgress");
    QAccessibleInterface* progress = QAccessible::queryAccessibleInterface(strip);
    EXPECT_EQ(progress->role(), QAccessible::ProgressBar);
    strip->setFraction(0.42f);
    ASSERT_NE(progress->valueInterface(), nullptr);
    EXPECT_EQ(progress->valueInterface()->currentValue().toInt(), 42);

    EXPECT_TRUE(test::FitsItsScreen(window.get())) << window->width() << "x" << window->height();
    // A window cut to a corner of its controls brings the one its Alt key reaches into view;
    // Alt and a letter of a greyed button types nothing into a range box.
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    window->resize(260, 200);
    QApplication::processEvents();
    auto* scroller = Find<QScrollArea>("scrMain");
    QListWidget* selected = List("lstSelected");
    ASSERT_FALSE(scroller->viewport()->rect().contains(
        selected->mapTo(scroller->viewport(), selected->rect().center())));
    selected->setFocus(Qt::ShortcutFocusReason);
    QApplication::processEvents();
    EXPECT_TRUE(scroller->viewport()->rect().contains(
        selected->mapTo(scroller->viewport(), selected->rect().center())));
    auto* to = Find<QLineEdit>("txtVectors1");
    to->setFocus();
    const QString before = to->text();
    QTest::keyClick(to, Qt::Key_W, Qt::AltModifier);
    EXPECT_EQ(to->text(), before);

    // The chart's window too.
    Drop("0 1 ");
    window->onChartClicked();
    auto* chartWindow = window->findChild<ChartDialog*>();
    ASSERT_NE(chartWindow, nullptr);
    EXPECT_EQ(test::UnnamedControls(chartWindow), std::vector<std::string>{});
    EXPECT_TRUE(test::FitsItsScreen(chartWindow))
        << chartWindow->width() << "x" << chartWindow->height();
}

TEST_F(OpenedListing, OnlyTextMayBeDroppedAndOnlyAsACopy) {
    QWidget* target = List("lstSelected")->viewport();
    QMimeData image, text;
    image.setData("image/png", "not text");
    text.setText("1 ");
    const Qt::DropActions either = Qt::CopyAction | Qt::MoveAction;
    for (const auto& [data, actions, accepted] :
         {std::tuple{&image, either, false},
          std::tuple{&text, Qt::DropActions(Qt::MoveAction), false},
          std::tuple{&text, either, true}}) {
        QDragEnterEvent enter(QPoint(5, 5), actions, data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &enter);
        EXPECT_EQ(enter.isAccepted(), accepted) << data->formats().join(' ').toStdString();
        EXPECT_TRUE(!accepted || enter.dropAction() == Qt::CopyAction);
    }
    QDropEvent drop(QPointF(5, 5), either, &text, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    EXPECT_EQ(Texts(List("lstSelected")), QStringList{"120"});
}

TEST_F(OpenedListing, TabSelectsTheRangeTextAClickDoesNot) {
    auto* from = Find<QLineEdit>("txtVectors0");
    auto* to = Find<QLineEdit>("txtVectors1");
    from->setText("12");
    to->setText("34");
    window->activateWindow();
    from->setFocus(Qt::OtherFocusReason);
    from->deselect();
    QTest::keyClick(from, Qt::Key_Tab);
    QApplication::processEvents();
    EXPECT_TRUE(to->hasFocus());
    EXPECT_EQ(to->selectedText(), "34");
    from->setFocus(Qt::MouseFocusReason);
    QApplication::processEvents();
    EXPECT_EQ(from->selectedText(), "");
}

// The window writes, for the same choices, the very bytes velto-extract export writes, and
// nothing the user does meanwhile changes what it writes.
TEST_F(OpenedListing, SaveWritesWhatTheCommandLineWrites) {
    Choose("Beam Stresses", "Beam     1 (Point  2)");
    Find<QLineEdit>("txtVectors0")->setText("11");
    Find<QLineEdit>("txtVectors1")->setText("2");
    Find<QLineEdit>("txtVectors2")->setText("-3");
    Drop("5 0 3 ");
    Find<QRadioButton>("optTime1")->setChecked(true);
    target = dir.File("window.xls");
    const std::string first = listing;
    listing = dir.File("other.out");
    WriteListingFile({.nodes = 7, .times = 2}, listing);
    QStringList disabled;
    DuringTheSave([&] {
        for (const char* name : {"cmdFile", "cmdSave", "cmdChart", "lstAvailable", "txtVectors0"}) {
            if (!Enabled(name)) {
                disabled << name;
            }
        }
        window->onFileClicked();  // refused: another listing may not come in under the save
        window->onSaveClicked();
    });
    ASSERT_TRUE(Enabled("cmdSave"));
    window->onSaveClicked();
    EXPECT_TRUE(asked.isEmpty()) << asked.join("|").toStdString();
    EXPECT_EQ(disabled.size(), 5) << disabled.join(",").toStdString();
    EXPECT_EQ(saveQuestions, 1);
    EXPECT_EQ(Find<QLabel>("sbPanel1")->text().toStdString(),
              "Saved " + std::filesystem::path(target).filename().string());
    EXPECT_TRUE(Enabled("cmdSave") && Enabled("cmdFile"));
    EXPECT_EQ(Find<QLineEdit>("txtFileName")->text().toStdString(), first);

    const std::string cli = dir.File("cli.xls");
    const test::CommandRun run = test::Extract(
        dir, "export '" + first + "' -o '" + cli +
                 "' --variable 'Beam Stresses' --vector 'Beam 1 (Point 2)' --from 11 --to 2 "
                 "--step -3 --times 6,1,4 --columns");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(test::ReadBytes(target), test::ReadBytes(cli));
}

// The save dialog's filter and the typed name both reach the format choice (its rule is
// SheetFormatChoice's): here each alone would give xls.
TEST_F(OpenedListing, SaveWritesTheFormatOfTheChosenFilter) {
    Drop("1 3 ");
    for (const auto& [filter, name, start] :
         {std::tuple{"CSV File (*.csv)", "typed", std::string("Variable,")},
          std::tuple{"Excel File (*.xls)", "typed.csv", std::string("Variable,")}}) {
        chosenFilter = QString::fromLatin1(filter);
        target = dir.File(name);
        window->onSaveClicked();
        EXPECT_TRUE(test::ReadBytes(target).starts_with(start)) << filter;
    }
    EXPECT_TRUE(asked.isEmpty()) << asked.join("|").toStdString();
}

// Why a save would give nothing reaches the user: in Save's tip while the choices are refused,
// and in a message before any file question when a save or chart finds nothing to give. The
// reasons themselves are the session's.
TEST_F(OpenedListing, NothingToSaveOrDrawIsExplained) {
    Drop("0 ");
    Find<QLineEdit>("txtVectors1")->setText("1e400");
    EXPECT_FALSE(Enabled("cmdSave"));
    EXPECT_EQ(Find<QPushButton>("cmdSave")->toolTip(),
              "Nothing to save: To must lie in 1..20 (Nodes).");
    EXPECT_EQ(Find<QPushButton>("cmdChart")->toolTip(),
              "Nothing to draw: To must lie in 1..20 (Nodes).");
    EXPECT_EQ(QAccessible::queryAccessibleInterface(Find<QPushButton>("cmdSave"))
                  ->text(QAccessible::Description),
              "Nothing to save: To must lie in 1..20 (Nodes).");
    EXPECT_EQ(Find<QLabel>("sbPanel1")->text(),
              "frame.out - Nothing to save: To must lie in 1..20 (Nodes).");
    // A decimal comma, as a German writes one, is refused by name, never read as 1.
    auto* from = Find<QLineEdit>("txtVectors0");
    from->clear();
    QTest::keyClicks(from, "1,0");
    EXPECT_EQ(Find<QPushButton>("cmdSave")->toolTip(),
              "Nothing to save: From must be a whole number written in digits (12 or 12.0, not "
              "12,0).");
    from->setText("1");
    Find<QLineEdit>("txtVectors1")->setText("20");
    Find<QLineEdit>("txtVectors2")->setText("0");
    ASSERT_TRUE(Enabled("cmdSave"));
    EXPECT_EQ(Find<QLabel>("sbPanel1")->text(), "frame.out");  // the reason gone, the name back
    window->onSaveClicked();
    window->onChartClicked();
    EXPECT_EQ(saveQuestions, 0);
    EXPECT_EQ(asked, (QStringList{"Nothing was saved: Step must not be 0.",
                                  "Nothing was drawn: Step must not be 0."}));
    EXPECT_EQ(styles.back(), kStyleInformation);
    EXPECT_EQ(window->findChild<ChartDialog*>(), nullptr);
}

TEST_F(OpenedListing, QuitDuringASaveAsksYesStopsItNoLetsItFinish) {
    Drop("0 1 2 3 4 5 ");
    for (int reply : {kAnswerNo, kAnswerYes}) {
        answer = reply;
        asked.clear();
        target = dir.File(reply == kAnswerYes ? "stopped.xls" : "finished.xls");
        DuringTheSave([this] { window->close(); });
        window->onSaveClicked();
        QApplication::processEvents();
        EXPECT_EQ(asked, QStringList{"Save is in progress. Do you want to exit and abbort "
                                     "current process?"});
        EXPECT_EQ(styles.back(), 36);
        EXPECT_EQ(std::filesystem::exists(target), reply == kAnswerNo);
        EXPECT_EQ(window->isVisible(), reply == kAnswerNo);
    }
}

// A chart of one node takes other runs of the model: one curve per listing, a listing that
// cannot give the node said by name and left out, and the table saved as velto-extract compare
// writes it.
TEST_F(OpenedListing, ChartComparesListingsAndSavesTheirTable) {
    const std::string second = dir.File("longer.out");
    WriteListingFile({.nodes = 20, .times = 9, .timeStep = 45}, second);
    const std::string small = dir.File("small.out");
    WriteListingFile({.nodes = 5, .times = 9, .timeStep = 45}, small);
    Choose("Displacements", "DOF2");
    Find<QLineEdit>("txtVectors0")->setText("7");
    Find<QLineEdit>("txtVectors1")->setText("7");
    Drop("0 1 2 3 4 5 ");
    // Saves go elsewhere; other runs are looked for beside the listing drawn.
    std::filesystem::create_directory(dir.File("saves"));
    window->session().saveFolder = dir.File("saves");
    window->onChartClicked();
    auto* chartWindow = window->findChild<ChartDialog*>();
    ASSERT_NE(chartWindow, nullptr);
    listingsToAdd = {QString::fromStdString(second), QString::fromStdString(small)};
    EXPECT_FALSE(chartWindow->onAddListingClicked());
    EXPECT_EQ(addFolder.toStdString(), dir.path().string());
    ASSERT_EQ(asked.size(), 1);
    EXPECT_TRUE(asked.front().startsWith("small.out: ")) << asked.front().toStdString();
    const QList<QAbstractSeries*> series = chartWindow->chart()->series();
    ASSERT_EQ(series.size(), 2);
    EXPECT_EQ(series[0]->name(), "frame");
    EXPECT_EQ(series[1]->name(), "longer");
    EXPECT_EQ(qobject_cast<QLineSeries*>(series[1])->count(), 9);

    tablePath = QString::fromStdString(dir.File("window.csv"));
    EXPECT_TRUE(chartWindow->onSaveTableClicked());
    ASSERT_EQ(
        test::Extract(dir, "compare '" + listing + "' '" + second + "' -o '" + dir.File("cli.csv") +
                               "' --variable Displacements --vector DOF2 --item 7")
            .status,
        0);
    EXPECT_EQ(test::ReadBytes(dir.File("window.csv")), test::ReadBytes(dir.File("cli.csv")));

    // A chart of several nodes is no comparison: the chosen nodes and times reach its curves
    // (which are CurvesOfExtraction's), and it is saved where the user says, Cancel writing
    // nothing.
    chartWindow->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_EQ(window->findChild<ChartDialog*>(), nullptr);
    Find<QLineEdit>("txtVectors1")->setText("10");
    Find<QPushButton>("cmdClear")->click();
    Drop("0 2 4 ");
    window->onChartClicked();
    chartWindow = window->findChild<ChartDialog*>();
    ASSERT_NE(chartWindow, nullptr);
    EXPECT_FALSE(chartWindow->findChild<QPushButton*>("cmdAddListing")->isEnabled());
    ASSERT_EQ(chartWindow->chart()->series().size(), 4);
    EXPECT_EQ(qobject_cast<QLineSeries*>(chartWindow->chart()->series().front())->count(), 3);
    chartSavePath = QString::fromStdString(dir.File("curves.png"));
    EXPECT_TRUE(chartWindow->onSaveChartClicked());
    EXPECT_FALSE(QImage(chartSavePath).isNull());
    chartSavePath.clear();
    EXPECT_FALSE(chartWindow->onSaveChartClicked());
}

// Another run is read at the chosen seconds, not at the chosen records: with a time step of
// 45 s it holds 180 s (its fourth time) and not 60 s.
TEST_F(OpenedListing, ChartComparesOtherRunsAtTheChosenSeconds) {
    const std::string other = dir.File("other.out");
    WriteListingFile({.nodes = 20, .times = 9, .timeStep = 45}, other);
    Choose("Displacements", "DOF2");
    Find<QLineEdit>("txtVectors0")->setText("7");
    Find<QLineEdit>("txtVectors1")->setText("7");
    Drop("0 2 ");  // 60 s and 180 s
    window->onChartClicked();
    auto* chartWindow = window->findChild<ChartDialog*>();
    ASSERT_NE(chartWindow, nullptr);
    listingsToAdd = {QString::fromStdString(other)};
    EXPECT_TRUE(chartWindow->onAddListingClicked());
    const QList<QAbstractSeries*> series = chartWindow->chart()->series();
    ASSERT_EQ(series.size(), 2);
    const QList<QPointF> points = qobject_cast<QLineSeries*>(series[1])->points();
    ASSERT_EQ(points.size(), 1);
    EXPECT_EQ(points.front().x(), 180.0);

    // A run that holds none of them is said, by name.
    const std::string coarse = dir.File("coarse.out");
    WriteListingFile({.nodes = 20, .times = 3, .timeStep = 100}, coarse);
    listingsToAdd = {QString::fromStdString(coarse)};
    EXPECT_FALSE(chartWindow->onAddListingClicked());
    ASSERT_FALSE(asked.empty());
    EXPECT_TRUE(asked.back().startsWith("coarse.out: ")) << asked.back().toStdString();
    EXPECT_TRUE(asked.back().contains("none of the chosen times")) << asked.back().toStdString();

    // One that repeats a time says so, as the window's own listing would.
    std::string bytes = test::ReadBytes(other);
    const std::string last = "TIME =     405.0000 SEC.";
    ASSERT_NE(bytes.find(last), std::string::npos);
    bytes.replace(bytes.find(last), last.size(), "TIME =     180.0000 SEC.");
    test::WriteBytes(dir.File("restarted.out"), bytes);
    listingsToAdd = {QString::fromStdString(dir.File("restarted.out"))};
    const qsizetype said = asked.size();
    EXPECT_TRUE(chartWindow->onAddListingClicked());
    ASSERT_EQ(asked.size(), said + 1);
    EXPECT_TRUE(asked.back().startsWith("restarted.out: The listing gives the time 180 s"))
        << asked.back().toStdString();
    EXPECT_EQ(styles.back(), 64);
}

// A listing that gives a time twice offers it once and says so once, as it opens.
TEST_F(ExtractWindow, ARepeatedTimeIsOfferedOnceAndSaidOnce) {
    std::string bytes = test::ReadBytes(listing);
    const std::string sixth = "TIME =     360.0000 SEC.";
    ASSERT_NE(bytes.find(sixth), std::string::npos);
    bytes.replace(bytes.find(sixth), sixth.size(), "TIME =     120.0000 SEC.");
    test::WriteBytes(listing, bytes);
    Find<QPushButton>("cmdFile")->click();
    EXPECT_EQ(Texts(List("lstAvailable")), (QStringList{"60", "120", "180", "240", "300"}));
    ASSERT_EQ(asked.size(), 1);
    EXPECT_TRUE(asked.front().startsWith("The listing gives the time 120 s more than once"))
        << asked.front().toStdString();
    EXPECT_EQ(styles.front(), 64);
}

// Listings whose times are fractions of a second, as a fine time step writes them. The window
// may run in a locale that writes a decimal comma (the suite runs again in de_DE and fr_FR): it
// must still read "0.5000" as half a second, show it as "0.5", order the chosen times by value
// and write the very files velto-extract writes by the C rules.
class FractionalTimes : public ExtractWindow {
  protected:
    // What the user sets up in the window, and the same as velto-extract's options.
    struct Choice {
        ListingSpec spec;
        const char* name;
        const char* variable;
        const char* vector = nullptr;  // the variable's only one
        const char* from;
        const char* to;
        const char* step;
        bool columns = false;
    };

    void Open(const Choice& choice) {
        listing = dir.File(std::string(choice.name) + ".out");
        WriteListingFile(choice.spec, listing);
        Find<QPushButton>("cmdFile")->click();
        Choose(choice.variable, choice.vector);
        for (const auto& [box, text] :
             {std::pair{"txtVectors0", choice.from}, std::pair{"txtVectors1", choice.to},
              std::pair{"txtVectors2", choice.step}}) {
            Find<QLineEdit>(box)->setText(QString::fromLatin1(text));
        }
        Find<QRadioButton>(choice.columns ? "optTime1" : "optTime0")->setChecked(true);
    }
    // The options that make velto-extract choose what Open chose in the window.
    static std::string Options(const Choice& choice) {
        return "--variable '" + std::string(choice.variable) + "'" +
               (choice.vector ? " --vector '" + std::string(choice.vector) + "'" : "") +
               " --from " + choice.from + " --to " + choice.to + " --step " + choice.step +
               (choice.columns ? " --columns" : "");
    }
    // Every time of the listing as it reads in plain figures by the C rules: 0.5, 1, 1.5...
    static QStringList TimesOf(const ListingSpec& spec) {
        QStringList times;
        for (int k = 1; k <= spec.times; ++k) {
            times << QString::number(k * spec.timeStep);
        }
        return times;
    }
    std::string Shown(const char* list) { return Texts(List(list)).join(' ').toStdString(); }
    void DoubleClickTime(const QString& text) {
        QListWidget* available = List("lstAvailable");
        const QList<QListWidgetItem*> found = available->findItems(text, Qt::MatchExactly);
        ASSERT_EQ(found.size(), 1) << text.toStdString() << " among " << Shown("lstAvailable");
        available->scrollToItem(found.front());
        const QPoint at = available->visualItemRect(found.front()).center();
        QTest::mouseClick(available->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(available->viewport(), Qt::LeftButton, {}, at);
    }
    // Double-clicks the times 2.5, 2, 1.5, 1 and 0.5, in this order; gives their records as
    // velto-extract's --times takes them.
    std::string DoubleClickScrambled(const Choice& choice) {
        std::string records;
        for (const QString time : {"2.5", "2", "1.5", "1", "0.5"}) {
            DoubleClickTime(time);
            if (HasFatalFailure()) {
                break;
            }
            records += (records.empty() ? "" : ",") +
                       std::to_string(std::lround(time.toDouble() / choice.spec.timeStep));
        }
        return records;
    }
    // Saves through Save, and checks the file against what velto-extract export, run in the C
    // locale, writes for the same choices and `times` (each format's own file is the session's
    // and the writers' to check).
    void ExpectSavedAsTheCommandLineSaves(const Choice& choice, const std::string& times) {
        chosenFilter = QStringLiteral("CSV File (*.csv)");
        target = dir.File("window.csv");
        ASSERT_TRUE(Enabled("cmdSave")) << Find<QPushButton>("cmdSave")->toolTip().toStdString();
        Find<QPushButton>("cmdSave")->click();
        const test::CommandRun run =
            test::Extract(dir,
                          "export '" + listing + "' -o '" + dir.File("cli.csv") + "' " +
                              Options(choice) + " --times " + times,
                          "LC_ALL=C");
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(test::ReadBytes(target), test::ReadBytes(dir.File("cli.csv")));
        EXPECT_TRUE(asked.isEmpty()) << asked.join("|").toStdString();
    }

    const Choice thermal{.spec = {.kind = ListingKind::Thermal,
                                  .nodes = 12,
                                  .solids = 2,
                                  .times = 12,
                                  .timeStep = 0.5},
                         .name = "thermal",
                         .variable = "Temperature",
                         .from = "2",
                         .to = "12",
                         .step = "5"};
    const Choice structural{.spec = {.nodes = 10, .beams = 2, .times = 10, .timeStep = 0.25},
                            .name = "structural",
                            .variable = "Displacements",
                            .vector = "DOF2",
                            .from = "10",
                            .to = "1",
                            .step = "-3",
                            .columns = true};
};

TEST_F(FractionalTimes, ChosenInAnyOrderSavedInTimeOrderAsTheCommandLineSavesThem) {
    for (const Choice& choice : {thermal, structural}) {
        SCOPED_TRACE(choice.name);
        Open(choice);
        ASSERT_EQ(Shown("lstAvailable"), TimesOf(choice.spec).join(' ').toStdString());

        // Double-clicked one by one, latest first: each takes its place by value.
        const std::string records = DoubleClickScrambled(choice);
        ASSERT_FALSE(HasFatalFailure());
        EXPECT_EQ(Shown("lstSelected"), "0.5 1 1.5 2 2.5");
        ExpectSavedAsTheCommandLineSaves(choice, records);
    }
}

// Save Chart writes what velto-extract plot draws for the same choices by the C rules (both
// draw through BuildCurveChart at kChartSize), however the chart was shown meanwhile: tick
// labels "0.5", never "0,5", whatever the window's locale.
TEST_F(FractionalTimes, ChartSavedAsTheCommandLineDrawsIt) {
    for (const Choice& choice : {thermal, structural}) {
        SCOPED_TRACE(choice.name);
        Open(choice);
        const std::string records = DoubleClickScrambled(choice);
        ASSERT_FALSE(HasFatalFailure());
        Find<QPushButton>("cmdChart")->click();
        auto* chartWindow = window->findChild<ChartDialog*>();
        ASSERT_NE(chartWindow, nullptr);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(chartWindow));
        chartWindow->resize(700, 430);  // the user makes room for it on the screen
        QTest::qWait(20);
        chartSavePath = QString::fromStdString(dir.File("window.svg"));
        chartWindow->findChild<QPushButton*>("cmdSaveChart")->click();
        chartWindow->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

        const std::string cli = dir.File("cli.svg");
        const test::CommandRun run = test::Extract(
            dir,
            "plot '" + listing + "' -o '" + cli + "' " + Options(choice) + " --times " + records,
            "LC_ALL=C");
        ASSERT_EQ(run.status, 0) << run.err;
        const std::string svg = test::ReadBytes(dir.File("window.svg"));
        EXPECT_TRUE(test::Says(svg, {"<svg", ">Time [s]<", ">0.5<", ">2.5<"}));
        EXPECT_EQ(svg, test::ReadBytes(cli));
    }
}

// Values a short line lacks stand as 0 in the file, and the window says so after the save.
TEST_F(ExtractWindow, ValuesALineLacksAreSaidAfterTheSave) {
    std::string bytes = test::ReadBytes(listing);
    const std::size_t node2 = bytes.find("\n      2 ", bytes.find("TIME =     120")) + 1;
    bytes.erase(node2 + 20, bytes.find('\n', node2) - node2 - 20);
    test::WriteBytes(listing, bytes);
    window->onFileClicked();
    Choose("Displacements", "DOF2");
    Find<QLineEdit>("txtVectors1")->setText("3");
    Drop("0 1 2 ");
    target = dir.File("short.csv");
    Find<QPushButton>("cmdSave")->click();
    ASSERT_TRUE(std::filesystem::exists(target));
    ASSERT_EQ(asked.size(), 1);
    EXPECT_EQ(asked.front(),
              "1 value is missing from the listing's lines and stands as 0; the "
              "first is Node 2 at 120 s.");
}

// Follow (on unless the user turned it off, which is remembered): a listing the solver writes grows
// in the window as its times complete. They join Available Times and its count and, every time
// being chosen, Selected Times and the open chart; the variable, vector, range, highlights and
// the lists' scroll stay. A save in between takes the times complete then, one under way is not
// disturbed; a listing cut short is said in the status bar, and read again.
TEST_F(ExtractWindow, FollowsAListingAsTheSolverWritesIt) {
    const std::string text = ListingText({.nodes = 20, .beams = 4, .times = 60});
    test::Opened finished;
    test::WriteBytes(dir.File("finished.out"), text);
    test::Open(finished, dir.File("finished.out"));
    const std::vector<std::size_t> complete = test::TimesCompleteAt(text, finished.catalogue);
    // k times complete, the next one begun.
    auto upTo = [&](std::size_t k) { return text.find("  TIME =", complete[k - 1]) + 40; };
    listing = dir.File("run.out");
    test::WriteBytes(listing, text.substr(0, upTo(40)));
    auto* follow = Find<QCheckBox>("chkFollow");
    EXPECT_TRUE(follow->isChecked());
    window->onFileClicked();
    QListWidget* available = List("lstAvailable");
    QListWidget* selected = List("lstSelected");
    ASSERT_EQ(available->count(), 40);
    Choose("Beam Axial Force", "N2");
    Find<QLineEdit>("txtVectors1")->setText("3");
    for (const char* entry : {"mnuListAll", "mnuListAdd"}) {
        window->showListMenu(TimeList::Available, false);
        window->findChild<QAction*>(entry)->trigger();
    }
    window->onChartClicked();
    auto* chart = window->findChild<ChartDialog*>();
    ASSERT_NE(chart, nullptr);
    auto points = [chart] {
        return static_cast<QLineSeries*>(chart->chart()->series().front())->count();
    };
    EXPECT_EQ(points(), 40);
    available->verticalScrollBar()->setValue(4);
    selected->verticalScrollBar()->setValue(3);
    ASSERT_EQ(selected->verticalScrollBar()->value(), 3) << "the lists do not scroll";

    std::ofstream(listing, std::ios::binary | std::ios::app)
        << text.substr(upTo(40), upTo(50) - upTo(40));
    ASSERT_TRUE(test::WaitUntil([&] { return available->count() == 50; }, 20));
    EXPECT_EQ(Find<QLabel>("lblTimeCount")->text(), "50");
    EXPECT_EQ(selected->count(), 50);
    EXPECT_EQ(available->selectedItems().size(), 50);
    EXPECT_EQ(points(), 50);
    EXPECT_EQ(available->verticalScrollBar()->value(), 4);
    EXPECT_EQ(selected->verticalScrollBar()->value(), 3);
    EXPECT_EQ(Find<QComboBox>("cboVectors")->currentText(), "N2");
    EXPECT_EQ(Find<QLineEdit>("txtVectors1")->text(), "3");

    target = dir.File("between.csv");
    chosenFilter = QStringLiteral("CSV File (*.csv)");
    DuringTheSave(
        [&] { std::ofstream(listing, std::ios::binary | std::ios::app) << text.substr(upTo(50)); });
    window->onSaveClicked();
    EXPECT_EQ(window->session().extractedRequest().Times.size(), 50u);
    ASSERT_TRUE(test::WaitUntil([&] { return available->count() == 60; }, 20));
    EXPECT_EQ(points(), 60);

    ASSERT_EQ(::truncate(listing.c_str(), static_cast<off_t>(upTo(10))), 0);
    ASSERT_TRUE(test::WaitUntil([&] { return available->count() == 10; }, 20));
    EXPECT_EQ(Find<QLabel>("sbPanel1")->text(), "run.out was cut short: read again from its start");
    EXPECT_EQ(selected->count(), 10);

    // Off, the listing is not looked at; on again, it catches up.
    follow->setChecked(false);
    std::ofstream(listing, std::ios::binary | std::ios::app)
        << text.substr(upTo(10), upTo(12) - upTo(10));
    QTest::qWait(400);
    EXPECT_EQ(available->count(), 10);
    follow->setChecked(true);
    EXPECT_EQ(available->count(), 12);
    follow->setChecked(false);
    window->close();
    window.reset();
    Make();
    EXPECT_FALSE(Find<QCheckBox>("chkFollow")->isChecked());
}

TEST_F(ExtractWindow, FoldersSurviveARestart) {
    // A folder whose name is not plain ASCII comes back as the same folder.
    const std::string folder = dir.File("r\xC3\xA9sultats");
    std::filesystem::create_directory(folder);
    std::filesystem::copy_file(listing, folder + "/frame.out");
    listing = folder + "/frame.out";
    target = folder + "/saved.xls";
    auto openAndSave = [this] {
        window->onFileClicked();
        Drop("0 ");
        window->onSaveClicked();
    };
    openAndSave();
    window->close();
    window.reset();
    Make();
    openAndSave();
    EXPECT_EQ(openFolder.toStdString(), folder + "/");
    EXPECT_EQ(saveFolder.toStdString(), folder + "/");
    // A save folder gone since is not offered: the listing's is.
    std::filesystem::rename(folder, folder + ".moved");
    listing = folder + ".moved/frame.out";
    openAndSave();
    EXPECT_EQ(saveFolder.toStdString(), folder + ".moved/");
}

TEST_F(ExtractWindow, HelpOpensOnF1AndClosesWithTheWindow) {
    ASSERT_EQ(OpenHelpWindows(), 0);
    QTest::keyClick(Find<QWidget>("cmdClose"), Qt::Key_F1);
    ASSERT_EQ(OpenHelpWindows(), 1);
    window->onHelpClicked();  // the same window comes forward, no second one
    EXPECT_EQ(OpenHelpWindows(), 1);
    QTextBrowser* browser = nullptr;
    for (QWidget* top : QApplication::topLevelWidgets()) {
        browser = browser ? browser : top->findChild<QTextBrowser*>("helpBrowser");
    }
    ASSERT_NE(browser, nullptr);
    EXPECT_TRUE(browser->toPlainText().contains("VeltoExtract"))
        << browser->toPlainText().toStdString();
    window->close();
    EXPECT_EQ(OpenHelpWindows(), 0);
}

TEST(BusyCursor, CoversTheCommandAndGoesWithIt) {
    ASSERT_EQ(QApplication::overrideCursor(), nullptr);
    {
        Mouse mouse;
        mouse.SetCursor(kHourglassCursor);
        ASSERT_NE(QApplication::overrideCursor(), nullptr);
        EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    }
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

// The strip's trough stands out from the face around it, at its edge and inside, before any bar
// fills it.
TEST(ProgressStrip, DrawsItsTrough) {
    ProgressStrip strip;
    strip.resize(200, strip.sizeHint().height());
    const QImage shot = strip.grab().toImage();
    const QRgb face = strip.palette().color(QPalette::Window).rgb();
    EXPECT_NE(shot.pixel(0, shot.height() / 2), face);                 // the sunken edge
    EXPECT_NE(shot.pixel(shot.width() - 4, shot.height() / 2), face);  // the trough
}

// Each program's icon is built into it at the sizes a title bar, a tray and a launcher ask for,
// with clear corners; the two differ.
TEST(ProgramIcons, EachDrawnAtTheSizesAsked) {
    for (const QIcon& icon : {ShellIcon(), ExtractIcon()}) {
        for (int size : {16, 24, 32, 48, 256}) {
            const QImage image = icon.pixmap(size).toImage();
            ASSERT_EQ(image.size(), QSize(size, size));
            EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0) << size;
            EXPECT_GT(qAlpha(image.pixel(size / 2, size * 3 / 4)), 0) << size;
        }
    }
    EXPECT_NE(ShellIcon().pixmap(32).toImage(), ExtractIcon().pixmap(32).toImage());
}

// The box as shown, with the size it takes on showing, short and long messages alike, stands
// in the middle of its owner; a short message under a long title is wide enough for the title.
TEST(MessageBox, CentredOnItsOwnerAndWideEnoughForItsTitle) {
    // The box's frame and width as it shows; it is closed at once.
    auto shown = [](QWidget* owner, const QString& prompt, int style, const QString& title) {
        std::pair<QRect, int> box;
        QTimer::singleShot(0, [&] {
            QWidget* modal = QApplication::activeModalWidget();
            ASSERT_NE(modal, nullptr);
            box = {modal->frameGeometry(), modal->width()};
            modal->close();
        });
        MsgBoxCentered(owner, prompt, style, title);
        return box;
    };
    QWidget owner;
    owner.setGeometry(100, 50, 801, 600);
    owner.show();
    for (const QString& prompt : {QStringLiteral("75"), QString(40, QLatin1Char('x')) + "\n\n" +
                                                            QString(300, QLatin1Char('y'))}) {
        const QRect frame =
            shown(&owner, prompt, kStyleYesNo | kStyleQuestion, QStringLiteral("Velto")).first;
        const QPoint middle = owner.frameGeometry().center() - frame.center();
        EXPECT_LE(std::abs(middle.x()), 1) << frame.width();
        EXPECT_LE(std::abs(middle.y()), 1) << frame.height();
    }
    const QString title = QStringLiteral("VeltoExtract");
    EXPECT_GE(shown(nullptr, QStringLiteral("75"), kStyleOk, title).second,
              QFontMetrics(QApplication::font()).horizontalAdvance(title) + 150);
}

}  // namespace
}  // namespace velto
