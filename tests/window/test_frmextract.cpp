#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QChart>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QListWidget>
#include <QMimeData>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTest>
#include <QTextBrowser>
#include <cstdlib>

#include "common/window/helpwindow.h"
#include "common/window/messagebox.h"
#include "common/window/mouse.h"
#include "common/window/progressstrip.h"
#include "extract/window/chartdialog.h"
#include "extract/window/frmextract.h"
#include "tests/support/testsupport.h"
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
        ListingSpec spec;
        spec.nodes = 20;
        spec.beams = 4;
        spec.stressTables = 2;
        spec.times = 6;
        listing = dir.File("frame.out");
        WriteListingFile(spec, listing);
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
        dialogs.open = [this](QWidget*, const QString& folder, const QString& filter) {
            openFolder = folder;
            openFilter = filter;
            return QString::fromStdString(listing);
        };
        dialogs.save = [this](QWidget*, const QString& folder, const QString& filter) {
            saveFolder = folder;
            saveFilter = filter;
            return SaveChoice{QString::fromStdString(target), chosenFilter};
        };
        dialogs.saveChart = [this](QWidget*, const QString&) { return chartSavePath; };
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
    void MenuAdd() {
        window->ShowListMenu(1, false);
        Find<QAction>("mnuListAdd")->trigger();
    }
    void Choose(const char* variable, const char* vector = nullptr) {
        auto* box = Find<QComboBox>("cboVariables");
        box->setCurrentIndex(box->findText(QString::fromLatin1(variable)));
        window->cboVariables_Click();
        if (vector) {
            auto* vectors = Find<QComboBox>("cboVectors");
            vectors->setCurrentIndex(vectors->findText(QString::fromLatin1(vector)));
        }
    }

    test::ScratchDir dir;
    std::string listing;
    std::string target;
    std::unique_ptr<FrmExtract> window;
    QStringList asked;
    std::vector<int> styles;
    int answer = kAnswerOk;
    QString openFolder, openFilter, saveFolder, saveFilter;
    QString chartSavePath;
    QString chosenFilter = QStringLiteral("Excel File (*.xls)");  // what the user leaves selected
};

TEST_F(ExtractWindow, StartsWithOnlyTheFileRowHelpAndClose) {
    EXPECT_EQ(window->windowTitle(), "VeltoExtract");
    for (const char* name :
         {"cmdDelete", "cmdClear", "cmdSave", "lstAvailable", "lstSelected", "cboVariables",
          "cboVectors", "fraVectors", "txtVectors0", "fraSummary", "lblSummary9", "fraTime",
          "optTime1", "lblTimes0", "lblVariables1"}) {
        EXPECT_FALSE(Enabled(name)) << name;
    }
    for (const char* name : {"cmdFile", "txtFileName", "cmdHelp", "cmdClose"}) {
        EXPECT_TRUE(Enabled(name)) << name;
    }
    EXPECT_FALSE(Find<QWidget>("picProgress")->isVisible());
    EXPECT_FALSE(Find<QWidget>("lstHidden")->isVisible());
    EXPECT_TRUE(Find<QRadioButton>("optTime0")->isChecked());
    EXPECT_EQ(Find<QPushButton>("cmdClose")->text(), "Cl&ose");
    EXPECT_EQ(Find<QLabel>("lblVectors2")->text(), "St&ep:");
}

TEST_F(ExtractWindow, OpeningFillsSummaryTimesAndVariables) {
    window->cmdFile_Click();
    EXPECT_TRUE(asked.isEmpty()) << asked.join("|").toStdString();
    EXPECT_EQ(openFilter, "Velto Output Files (*.out);;All Files (*)");
    EXPECT_EQ(Find<QLineEdit>("txtFileName")->text().toStdString(), listing);
    EXPECT_EQ(Find<QLabel>("lblAnalysis")->text(), "Structural");
    EXPECT_EQ(Find<QLabel>("lblProblem")->text(), "2D");
    EXPECT_EQ(Find<QLabel>("lblNodes")->text(), "20");
    EXPECT_EQ(Find<QLabel>("lblShells")->text(), "");
    EXPECT_TRUE(Enabled("lblSummary6"));   // Beams
    EXPECT_FALSE(Enabled("lblSummary7"));  // Shells: none, greyed
    EXPECT_EQ(Texts(List("lstAvailable")), (QStringList{"60", "120", "180", "240", "300", "360"}));
    QStringList variables;
    auto* box = Find<QComboBox>("cboVariables");
    for (int i = 0; i < box->count(); ++i) {
        variables.append(box->itemText(i));
    }
    EXPECT_EQ(variables, (QStringList{"Displacements", "Eigen Values", "Beam Axial Force",
                                      "Beam Bending Moment", "Beam Stresses"}));
    EXPECT_EQ(Find<QComboBox>("cboVectors")->currentText(), "DOF1");
    EXPECT_EQ(Find<QGroupBox>("fraVectors")->title(), "Nodes");
    EXPECT_TRUE(Enabled("lstAvailable") && Enabled("lstSelected") && Enabled("fraTime"));
    EXPECT_FALSE(Enabled("cmdSave"));
    EXPECT_FALSE(Find<QWidget>("picProgress")->isVisible());
    EXPECT_EQ(Find<QStatusBar>("sbMain")->findChild<QLabel*>("sbPanel1")->text(), "frame.out");
    EXPECT_EQ(window->InitOpenDir.toStdString(), dir.path().string() + "/");
}

TEST_F(ExtractWindow, EveryAddPathKeepsTimesAscendingWithTheirPositions) {
    window->cmdFile_Click();
    // Double click.
    QListWidget* available = List("lstAvailable");
    const QPoint fifth = available->visualItemRect(available->item(4)).center();
    QTest::mouseClick(available->viewport(), Qt::LeftButton, {}, fifth);
    QTest::mouseDClick(available->viewport(), Qt::LeftButton, {}, fifth);
    EXPECT_EQ(Texts(List("lstSelected")), QStringList{"300"});
    EXPECT_TRUE(Enabled("cmdClear"));
    EXPECT_TRUE(Enabled("cmdSave"));
    // A drag carries the selected rows as text; a drop of that text adds them.
    Select("lstAvailable", {0, 2});
    EXPECT_EQ(window->findChild<AvailableTimesList*>("lstAvailable")->DragText(), "0 2 ");
    window->lstSelected_DropText("0 2 ");
    // The menu's Add, with a time already chosen among the selection.
    Select("lstAvailable", {1, 2});
    MenuAdd();
    EXPECT_EQ(Texts(List("lstSelected")), (QStringList{"60", "120", "180", "300"}));
    EXPECT_EQ(Texts(List("lstHidden")), (QStringList{"1", "2", "3", "5"}));
    // Text that is not row numbers adds nothing.
    window->lstSelected_DropText("hello 3");
    EXPECT_EQ(List("lstSelected")->count(), 4);

    // Ctrl+A, then a drop, takes the whole list; a click on the available list ends that mode.
    QTest::keyClick(available, Qt::Key_A, Qt::ControlModifier);
    EXPECT_TRUE(window->SelectAllRequested());
    window->lstSelected_DropText("5 ");
    EXPECT_EQ(Texts(List("lstHidden")), (QStringList{"1", "2", "3", "4", "5", "6"}));
    QTest::keyClick(available, Qt::Key_A, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_FALSE(window->SelectAllRequested());
}

TEST_F(ExtractWindow, OnlyTextMayBeDroppedAndOnlyAsACopy) {
    window->cmdFile_Click();
    QWidget* target = List("lstSelected")->viewport();
    QMimeData image;
    image.setData("image/png", "not text");
    QDragEnterEvent refused(QPoint(5, 5), Qt::CopyAction | Qt::MoveAction, &image, Qt::LeftButton,
                            Qt::NoModifier);
    QApplication::sendEvent(target, &refused);
    EXPECT_FALSE(refused.isAccepted());
    QMimeData text;
    text.setText("1 ");
    QDragEnterEvent moveOnly(QPoint(5, 5), Qt::MoveAction, &text, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &moveOnly);
    EXPECT_FALSE(moveOnly.isAccepted());
    QDragEnterEvent accepted(QPoint(5, 5), Qt::CopyAction | Qt::MoveAction, &text, Qt::LeftButton,
                             Qt::NoModifier);
    QApplication::sendEvent(target, &accepted);
    EXPECT_TRUE(accepted.isAccepted());
    EXPECT_EQ(accepted.dropAction(), Qt::CopyAction);
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction | Qt::MoveAction, &text, Qt::LeftButton,
                    Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    EXPECT_EQ(Texts(List("lstSelected")), QStringList{"120"});
}

TEST_F(ExtractWindow, ContextMenuDeleteAndClearFollowTheirTables) {
    window->cmdFile_Click();
    window->ShowListMenu(1, false);
    EXPECT_FALSE(Find<QAction>("mnuListAdd")->isEnabled());  // nothing selected yet
    EXPECT_TRUE(Find<QAction>("mnuListAll")->isEnabled());
    EXPECT_FALSE(Find<QAction>("mnuListClear")->isEnabled());
    Select("lstAvailable", {0, 1, 3, 5});
    MenuAdd();
    window->ShowListMenu(2, false);
    EXPECT_FALSE(Find<QAction>("mnuListAdd")->isEnabled());
    EXPECT_FALSE(Find<QAction>("mnuListAll")->isEnabled());
    EXPECT_TRUE(Find<QAction>("mnuListClear")->isEnabled());
    EXPECT_FALSE(Find<QAction>("mnuListDelete")->isEnabled());
    Select("lstSelected", {0, 2});
    window->ShowListMenu(2, false);
    EXPECT_TRUE(Find<QAction>("mnuListDelete")->isEnabled());
    Find<QAction>("mnuListDelete")->trigger();
    EXPECT_EQ(Texts(List("lstSelected")), (QStringList{"120", "360"}));
    EXPECT_EQ(Texts(List("lstHidden")), (QStringList{"2", "6"}));
    EXPECT_FALSE(Enabled("cmdDelete"));
    EXPECT_TRUE(Enabled("cmdClear"));
    window->cmdClear_Click();
    EXPECT_EQ(List("lstSelected")->count(), 0);
    EXPECT_FALSE(Enabled("cmdClear") || Enabled("cmdSave") || Enabled("cmdDelete"));
}

TEST_F(ExtractWindow, RangeFollowsTheVariable) {
    window->cmdFile_Click();
    auto* from = Find<QLineEdit>("txtVectors0");
    auto* to = Find<QLineEdit>("txtVectors1");
    to->setText("15");
    EXPECT_FALSE(Enabled("cmdSave"));  // no time yet
    window->lstSelected_DropText("1 ");
    EXPECT_TRUE(Enabled("cmdSave"));
    to->setText("21");  // beyond the 20 nodes
    EXPECT_FALSE(Enabled("cmdSave"));
    to->setText("1e400");  // beyond a double: out of range like any other, not a crash
    EXPECT_FALSE(Enabled("cmdSave"));
    to->setText("15");
    Find<QLineEdit>("txtVectors2")->setText("x");
    EXPECT_FALSE(Enabled("cmdSave"));
    Find<QLineEdit>("txtVectors2")->setText("-2");
    EXPECT_TRUE(Enabled("cmdSave"));

    Choose("Eigen Values");
    EXPECT_EQ(from->text(), "");
    EXPECT_FALSE(from->isEnabled());
    EXPECT_FALSE(Enabled("cboVectors"));
    window->cmdClear_Click();
    Choose("Eigen Values");
    EXPECT_TRUE(Enabled("cmdSave"));  // no range and no time needed
    Choose("Beam Axial Force");
    EXPECT_EQ(Find<QGroupBox>("fraVectors")->title(), "Beams");
    EXPECT_EQ(from->text(), "1");
    EXPECT_EQ(to->text(), "15");  // the numbers come back
    EXPECT_EQ(Find<QComboBox>("cboVectors")->currentText(), "N1");
}

TEST_F(ExtractWindow, TabSelectsTheRangeTextAClickDoesNot) {
    window->cmdFile_Click();
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

// The window writes, for the same choices, the very bytes velto-extract export writes.
TEST_F(ExtractWindow, SaveWritesWhatTheCommandLineWrites) {
    window->cmdFile_Click();
    Choose("Beam Stresses", "Beam     1 (Point  2)");
    Find<QLineEdit>("txtVectors0")->setText("11");
    Find<QLineEdit>("txtVectors1")->setText("2");
    Find<QLineEdit>("txtVectors2")->setText("-3");
    window->lstSelected_DropText("5 0 3 ");
    Find<QRadioButton>("optTime1")->setChecked(true);
    target = dir.File("window.xls");
    ASSERT_TRUE(Enabled("cmdSave"));
    window->cmdSave_Click();
    EXPECT_TRUE(asked.isEmpty()) << asked.join("|").toStdString();
    EXPECT_EQ(saveFilter,
              "Excel File (*.xls);;Excel Workbook (*.xlsx);;CSV File (*.csv);;All Files (*)");
    EXPECT_EQ(window->InitSaveDir.toStdString(), dir.path().string() + "/");
    EXPECT_FALSE(window->SaveInProgress());
    EXPECT_TRUE(Enabled("cmdSave"));

    const std::string cli = dir.File("cli.xls");
    const std::string command = std::string("'") + VELTO_EXTRACT_BIN + "' export '" + listing +
                                "' -o '" + cli +
                                "' --variable 'Beam Stresses' --vector 'Beam 1 (Point 2)' "
                                "--from 11 --to 2 --step -3 --times 6,1,4 --columns > /dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string bytes = test::ReadBytes(target);
    EXPECT_GT(bytes.size(), 100u);
    EXPECT_EQ(bytes, test::ReadBytes(cli));
}

// The filter left selected in the save dialog names the format of a name typed without one of
// our extensions; a name typed with one keeps content and name in agreement.
TEST_F(ExtractWindow, SaveWritesTheFormatOfTheChosenFilter) {
    window->cmdFile_Click();
    Choose("Displacements", "DOF2");
    Find<QLineEdit>("txtVectors1")->setText("5");
    window->lstSelected_DropText("1 3 ");
    const std::string cli = dir.File("cli.csv");
    const std::string command = std::string("'") + VELTO_EXTRACT_BIN + "' export '" + listing +
                                "' -o '" + cli +
                                "' --variable Displacements --vector DOF2 --to 5 --times 2,4 "
                                "> /dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);

    chosenFilter = QStringLiteral("CSV File (*.csv)");
    target = dir.File("typed");
    window->cmdSave_Click();
    EXPECT_TRUE(asked.isEmpty()) << asked.join("|").toStdString();
    EXPECT_EQ(test::ReadBytes(target), test::ReadBytes(cli));

    chosenFilter = QStringLiteral("Excel Workbook (*.xlsx)");
    target = dir.File("book");
    window->cmdSave_Click();
    EXPECT_TRUE(test::ReadBytes(target).starts_with("PK\x03\x04"));

    chosenFilter = QStringLiteral("Excel File (*.xls)");
    target = dir.File("typed.csv");
    window->cmdSave_Click();
    EXPECT_EQ(test::ReadBytes(target), test::ReadBytes(cli));

    chosenFilter = QStringLiteral("All Files (*)");
    target = dir.File("plain");
    window->cmdSave_Click();
    EXPECT_TRUE(test::ReadBytes(target).starts_with(std::string("\x09\x00\x04\x00", 4)));
    EXPECT_TRUE(asked.isEmpty()) << asked.join("|").toStdString();
}

TEST_F(ExtractWindow, QuitDuringASaveAsksAndYesStopsIt) {
    window->cmdFile_Click();
    window->lstSelected_DropText("0 1 2 3 4 5 ");
    target = dir.File("stopped.xls");
    answer = kAnswerYes;
    bool asked_once = false;
    QObject::connect(window.get(), &FrmExtract::progressShown, [&](float) {
        if (window->SaveInProgress() && !asked_once) {
            asked_once = true;
            window->close();
        }
    });
    window->cmdSave_Click();
    EXPECT_EQ(asked, QStringList{"Save is in progress. Do you want to exit and abbort current "
                                 "process?"});
    EXPECT_EQ(styles.back(), 36);
    EXPECT_FALSE(std::filesystem::exists(target));
    EXPECT_FALSE(window->isVisible());
}

TEST_F(ExtractWindow, QuitDuringASaveAnsweredNoLetsItFinish) {
    window->cmdFile_Click();
    window->lstSelected_DropText("0 1 2 3 4 5 ");
    target = dir.File("finished.xls");
    answer = kAnswerNo;
    bool asked_once = false;
    QObject::connect(window.get(), &FrmExtract::progressShown, [&](float) {
        if (window->SaveInProgress() && !asked_once) {
            asked_once = true;
            window->close();
        }
    });
    window->cmdSave_Click();
    EXPECT_EQ(asked.size(), 1);
    EXPECT_TRUE(std::filesystem::exists(target));
    EXPECT_TRUE(window->isVisible());
}

TEST_F(ExtractWindow, ChartDrawsTheSelectionAndSavesIt) {
    window->cmdFile_Click();
    EXPECT_FALSE(Enabled("cmdChart"));
    Choose("Beam Axial Force", "N2");
    Find<QLineEdit>("txtVectors1")->setText("4");
    window->lstSelected_DropText("0 2 4 ");
    ASSERT_TRUE(Enabled("cmdChart"));
    window->cmdChart_Click();
    auto* chartWindow = window->findChild<ChartDialog*>();
    ASSERT_NE(chartWindow, nullptr);
    QChart* chart = chartWindow->chart();
    ASSERT_EQ(chart->series().size(), 4);
    EXPECT_EQ(chart->series().front()->name(), "Beam 1");
    auto* first = qobject_cast<QLineSeries*>(chart->series().front());
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(first->count(), 3);
    EXPECT_EQ(first->at(0).x(), 60.0);
    EXPECT_EQ(first->at(2).x(), 300.0);
    EXPECT_FALSE(window->SaveInProgress());
    const std::string png = dir.File("curves.png");
    chartSavePath = QString::fromStdString(png);
    EXPECT_TRUE(chartWindow->SaveChartClick());
    EXPECT_FALSE(QImage(chartSavePath).isNull());
    chartSavePath.clear();  // Cancel writes nothing
    EXPECT_FALSE(chartWindow->SaveChartClick());
}

TEST_F(ExtractWindow, TorsionListingDisablesTheSelectionArea) {
    ListingSpec torsion;
    torsion.kind = ListingKind::Torsion;
    listing = dir.File("torsion.out");
    WriteListingFile(torsion, listing);
    window->cmdFile_Click();
    EXPECT_EQ(asked, QStringList{"Cannot read but temperature files"});
    EXPECT_EQ(styles.back(), 64);
    EXPECT_EQ(Find<QLabel>("lblAnalysis")->text(), "Unknown");
    EXPECT_EQ(List("lstAvailable")->count(), 0);
    EXPECT_TRUE(Enabled("lstAvailable"));
    for (const char* name : {"fraVariables", "cboVariables", "cboVectors", "fraVectors",
                             "txtVectors0", "fraTime", "optTime0"}) {
        EXPECT_FALSE(Enabled(name)) << name;
    }
}

TEST_F(ExtractWindow, FoldersSurviveARestart) {
    window->cmdFile_Click();
    window->lstSelected_DropText("0 ");
    target = dir.File("saved.xls");
    window->cmdSave_Click();
    window->close();
    window.reset();
    Make();
    EXPECT_EQ(window->InitOpenDir.toStdString(), dir.path().string() + "/");
    EXPECT_EQ(window->InitSaveDir.toStdString(), dir.path().string() + "/");
    window->cmdFile_Click();
    EXPECT_EQ(openFolder.toStdString(), dir.path().string() + "/");
}

TEST_F(ExtractWindow, HelpOpensOnF1AndClosesWithTheWindow) {
    ASSERT_EQ(OpenHelpWindows(), 0);
    QTest::keyClick(Find<QWidget>("cmdClose"), Qt::Key_F1);
    ASSERT_EQ(OpenHelpWindows(), 1);
    window->cmdHelp_Click();  // the same window comes forward, no second one
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
        mouse.SetCursor(11);
        ASSERT_NE(QApplication::overrideCursor(), nullptr);
        EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    }
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST(ProgressStrip, ShowsOneToNinetyNinePercent) {
    EXPECT_EQ(ShownPercent(0.004f), 1);
    EXPECT_EQ(ShownPercent(0.0f), 1);
    EXPECT_EQ(ShownPercent(0.5f), 50);
    EXPECT_EQ(ShownPercent(0.996f), 99);
    EXPECT_EQ(ShownPercent(1.0f), 99);
    EXPECT_EQ(ShownPercent(0.126f), 13);
}

TEST(MessageBox, CentredOnItsOwner) {
    EXPECT_EQ(CenteredOn(QRect(100, 50, 801, 600), QSize(300, 121)), QPoint(350, 290));
    EXPECT_EQ(CenteredOn(QRect(0, 0, 101, 101), QSize(100, 100)), QPoint(0, 0));  // 0.5 -> 0
}

}  // namespace
}  // namespace velto
