// The row dialog, the cell parameter dialog and the start dialog on the offscreen platform,
// over the virtual lab: the OK checks and their order, the hints, the cells that join and
// leave at once, the cell buttons and the password guards.
#include <QCheckBox>
#include <QComboBox>
#include <QInputDialog>
#include <QLabel>
#include <QListWidget>
#include <QTest>
#include <iterator>

#include "system/operation_queue.h"
#include "ui/dialogs.h"
#include "ui/program_context.h"
#include "ui/row_cell_edit.h"
#include "ui/row_dialog.h"
#include "ui/start_dialog.h"
#include "ui_fixture.h"

using namespace kv;
using namespace kv::ui;
using namespace kvtest;

namespace {

const char* const kInvalid = "Invalid value entered !";

class RowDialogTest : public UiFixture {
  protected:
    template <typename T = QLineEdit>
    T* field(QWidget& w, const char* name) {
        T* f = w.findChild<T*>(name);
        EXPECT_NE(f, nullptr) << name;
        return f;
    }
    // OK with the fields as they stand; the refusal's box text ("" when accepted).
    QString pressOk(TfrmRow& d) {
        QString refused;
        auto waiting = std::make_shared<bool>(true);
        onNextDialog(
            [&refused](QWidget* box) {
                refused = boxText(box);
                static_cast<QDialog*>(box)->accept();
            },
            500, waiting);
        d.findChild<QPushButton*>("btnOK")->click();
        // A refusal's box is modal: it has been answered when the click returns; an
        // accepted dialog opens none, so the probe ends here.
        *waiting = false;
        return refused;
    }
    void selectUsed(TfrmRow& d, int index) {
        field<QListWidget>(d, "Row_UsedCells")->setCurrentRow(index);
    }
    void selectAvailable(TfrmRow& d, const QString& nr) {
        auto* list = field<QListWidget>(d, "Row_AvailableCells");
        const auto items = list->findItems(nr, Qt::MatchExactly);
        ASSERT_EQ(items.size(), 1) << nr.toStdString();
        list->setCurrentItem(items[0]);
    }
};

TEST_F(RowDialogTest, AlarmHoursOutsideZeroToTwentyFourAreRefusedWithTheFocusOnTheField) {
    const int nr = newRow("Sludge", {1, 2});
    TfrmRow d(ctx());
    ASSERT_TRUE(d.load(nr, false));
    d.show();
    auto* hours = field(d, "Row_AlarmHours");
    for (const char* bad : {"-1", "25", "1.5", "x"}) {
        hours->setText(bad);
        EXPECT_EQ(pressOk(d), kInvalid) << bad;
        EXPECT_TRUE(d.isVisible()) << bad;
        EXPECT_EQ(d.focusWidget(), hours) << bad;
        auto lock = k().rows.lock();
        EXPECT_EQ(row(nr)->AlarmHours, 1) << bad;
    }
    for (const char* good : {"0", "24"}) {
        d.show();
        hours->setText(good);
        EXPECT_EQ(pressOk(d), "") << good;
        EXPECT_EQ(d.result(), QDialog::Accepted) << good;
        auto lock = k().rows.lock();
        EXPECT_EQ(row(nr)->AlarmHours, QString(good).toInt());
    }
    // The hint when the field is left.
    d.show();
    hours->setText("30");
    emit hours->editingFinished();
    EXPECT_EQ(field<QLabel>(d, "lblHint")->text(), "Valid values are 0..24");
}

TEST_F(RowDialogTest, TheChecksRunInTheirOrderAndTheFirstFailingFieldHasTheFocus) {
    const int nr = newRow("Sludge", {1});
    TfrmRow d(ctx());
    ASSERT_TRUE(d.load(nr, false));
    d.show();
    field(d, "Row_Name")->setText("   ");
    field(d, "Row_Duration")->setText("two");
    field(d, "Row_AlarmHours")->setText("25");
    EXPECT_EQ(pressOk(d), kInvalid);
    EXPECT_EQ(d.focusWidget(), field(d, "Row_Name"));
    field(d, "Row_Name")->setText("Renamed");
    EXPECT_EQ(pressOk(d), kInvalid);
    EXPECT_EQ(d.focusWidget(), field(d, "Row_Duration"));
    field(d, "Row_Duration")->setText("3");
    field(d, "Row_Interval")->setText("");
    EXPECT_EQ(pressOk(d), kInvalid);
    EXPECT_EQ(d.focusWidget(), field(d, "Row_Interval"));
    field(d, "Row_Interval")->setText("30");
    EXPECT_EQ(pressOk(d), kInvalid);
    EXPECT_EQ(d.focusWidget(), field(d, "Row_AlarmHours"));
    field(d, "Row_AlarmHours")->setText("2");
    field(d, "Row_LF2CO2")->setText("-");
    EXPECT_EQ(pressOk(d), kInvalid);
    EXPECT_EQ(d.focusWidget(), field(d, "Row_LF2CO2"));
    {
        // Nothing of the definition reached the row while the dialog refused.
        auto lock = k().rows.lock();
        EXPECT_EQ(row(nr)->Name, "Sludge");
    }
    field(d, "Row_LF2CO2")->setText("9,5");
    field<QComboBox>(d, "Row_SIInterval")->setCurrentIndex(0);
    field(d, "Row_Comment2")->setText("second");
    EXPECT_EQ(pressOk(d), "");
    auto lock = k().rows.lock();
    EXPECT_EQ(row(nr)->Name, "Renamed");
    EXPECT_EQ(row(nr)->Duration, 3);
    EXPECT_EQ(row(nr)->Interval, 30);
    EXPECT_EQ(row(nr)->SIInterval, TimeUnit::Minutes);
    EXPECT_EQ(row(nr)->AlarmHours, 2);
    EXPECT_DOUBLE_EQ(row(nr)->LF2CO2, 9.5);
    EXPECT_EQ(row(nr)->Comment[1], "second");
}

TEST_F(RowDialogTest, AnAttritionDividerWithADecimalIsRefusedAndTwoIsTakenWithTheHint) {
    const int nr = newRow("Sludge", {1});
    TfrmRow d(ctx());
    ASSERT_TRUE(d.load(nr, false));
    d.show();
    auto* divider = field(d, "Row_AttritionDivider");
    auto* hint = field<QLabel>(d, "lblHint");
    divider->setText("1");
    emit divider->editingFinished();
    EXPECT_EQ(hint->text(), "");
    for (const char* bad : {"1.5", "1,5", "0", ""}) {
        divider->setText(bad);
        EXPECT_EQ(pressOk(d), kInvalid) << bad;
        EXPECT_EQ(d.focusWidget(), divider) << bad;
    }
    divider->setText("2");
    emit divider->editingFinished();
    EXPECT_EQ(hint->text(),
              "Please use a value other than 1 only for rows with very low O2-Attrition !");
    EXPECT_EQ(pressOk(d), "");
    auto lock = k().rows.lock();
    EXPECT_EQ(row(nr)->AttritionDivider, 2);
}

TEST_F(RowDialogTest, ANewCellWhoseParametersAreCancelledLeavesTheRowAgain) {
    const int nr = newRow("Sludge", {1});
    TfrmRow d(ctx());
    ASSERT_TRUE(d.load(nr, true));
    d.show();
    EXPECT_TRUE(field<QComboBox>(d, "Row_Mode")->isEnabled() == false);  // it has a cell
    selectAvailable(d, "5");
    bool asked = false;
    onNextDialog([&](QWidget* w) {
        asked = true;
        auto* edit = qobject_cast<TfrmRowCellEdit*>(w);
        ASSERT_NE(edit, nullptr);
        EXPECT_EQ(edit->windowTitle(), "Cell 5");
        // While the dialog is open the cell is in the row and the cell model already.
        EXPECT_EQ(k().acq.cells.cell(5).RowNr, nr);
        EXPECT_EQ(edit->findChild<QLineEdit*>("RowCell_Name")->text(), "Cell 5");
        edit->reject();
    });
    d.findChild<QPushButton*>("btnRow_AddCell")->click();
    EXPECT_TRUE(asked);
    EXPECT_EQ(k().acq.cells.cell(5).RowNr, 0);
    EXPECT_EQ(k().acq.cells.cell(5).State, CellState::cs_Free);
    {
        auto lock = k().rows.lock();
        EXPECT_EQ(row(nr)->NrCells, 1);
    }
    EXPECT_EQ(field<QListWidget>(d, "Row_UsedCells")->count(), 1);
    EXPECT_EQ(field<QListWidget>(d, "Row_AvailableCells")->findItems("5", Qt::MatchExactly).size(),
              1);

    // Confirmed, the cell stays with the parameters given.
    selectAvailable(d, "6");
    onNextDialog([&](QWidget* w) {
        auto* edit = qobject_cast<TfrmRowCellEdit*>(w);
        ASSERT_NE(edit, nullptr);
        edit->findChild<QLineEdit*>("RowCell_Name")->setText("Blind");
        edit->findChild<QComboBox*>("RowCell_Mode")->setCurrentIndex(2);
        edit->accept();
    });
    d.findChild<QPushButton*>("btnRow_AddCell")->click();
    auto lock = k().rows.lock();
    ASSERT_EQ(row(nr)->NrCells, 2);
    EXPECT_EQ(row(nr)->RowCells[2].Name, "Blind");
    EXPECT_EQ(row(nr)->RowCells[2].Mode, 2);
    EXPECT_EQ(k().acq.cells.cell(6).RowNr, nr);
}

TEST_F(RowDialogTest, ATemplatesNewCellIsMarkedAndNeverTouchesTheCellModel) {
    const int nr = ops().newTemplate().rowNr;
    const int owner = newRow("Running", {3});  // a cell of a series is offered to templates
    TfrmRow d(ctx());
    ASSERT_TRUE(d.load(nr, true));
    d.show();
    EXPECT_EQ(field<QListWidget>(d, "Row_AvailableCells")->count(), 12);
    selectAvailable(d, "3");
    onNextDialog([](QWidget* w) { static_cast<QDialog*>(w)->accept(); });
    d.findChild<QPushButton*>("btnRow_AddCell")->click();
    EXPECT_EQ(k().acq.cells.cell(3).RowNr, owner);
    EXPECT_EQ(field<QListWidget>(d, "Row_UsedCells")->item(0)->text().left(3), "??3");
    const std::string file = [&] {
        std::ifstream in(home_.file("Kelvora.Row"), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }();
    EXPECT_NE(file.find("C1=??3|Cell 3|"), std::string::npos);
    // The template's cell buttons act on no cell of the lab.
    selectUsed(d, 0);
    EXPECT_FALSE(d.findChild<QPushButton*>("btnRow_StartCell")->isEnabled());
    EXPECT_TRUE(d.findChild<QComboBox*>("Row_Mode")->isEnabled());
}

TEST_F(RowDialogTest, AnUnchangedCounterAddsNoMessageAndAChangedOneSetsTheCount) {
    const int nr = runningRow("Sludge", {1, 2}, 3);
    TfrmRow d(ctx());
    ASSERT_TRUE(d.load(nr, false));
    d.show();
    selectUsed(d, 0);
    const int count = k().acq.cells.GetCellCount(1);
    const int mark = messages();
    const int ops = ctx().operations;
    onNextDialog([&](QWidget* w) {
        auto* input = qobject_cast<QInputDialog*>(w);
        ASSERT_NE(input, nullptr);
        EXPECT_EQ(input->windowTitle(), "Set counter value for cell 1");
        EXPECT_EQ(input->labelText(), "Counter (impulses):");
        EXPECT_EQ(input->textValue(), QString::number(count));
        input->accept();
    });
    d.findChild<QPushButton*>("btnRow_EditCellCounter")->click();
    EXPECT_EQ(messages(), mark);
    EXPECT_EQ(ctx().operations, ops);

    onNextDialog([&](QWidget* w) {
        auto* input = qobject_cast<QInputDialog*>(w);
        ASSERT_NE(input, nullptr);
        input->setTextValue(QString::number(count + 40));
        input->accept();
    });
    d.findChild<QPushButton*>("btnRow_EditCellCounter")->click();
    EXPECT_EQ(k().acq.cells.GetCellCount(1), count + 40);
    EXPECT_EQ(messages(), mark + 1);
    EXPECT_NE(newestMessage().find("Setting counter for cell 1 from " + std::to_string(count) +
                                   " to " + std::to_string(count + 40)),
              std::string::npos);
}

TEST_F(RowDialogTest, TheCellButtonsHoldContinueAndStopTheSelectedCell) {
    const int nr = runningRow("Sludge", {1, 2}, 1);
    TfrmRow d(ctx());
    ASSERT_TRUE(d.load(nr, false));
    d.show();
    // A running series keeps what it measures by.
    EXPECT_FALSE(d.findChild<QComboBox*>("Row_Tact")->isEnabled());
    EXPECT_FALSE(d.findChild<QPushButton*>("btnRow_AddCell")->isEnabled());
    selectUsed(d, 1);
    d.findChild<QPushButton*>("btnRow_HoldCell")->click();
    // A row without CO2 holds the O2 part.
    EXPECT_EQ(k().acq.cells.cell(2).State, CellState::cs_SuspendedO2);
    d.findChild<QPushButton*>("btnRow_ContinueCell")->click();
    EXPECT_EQ(k().acq.cells.cell(2).State, CellState::cs_Running);
    // The stop asks first; No keeps the cell running.
    QString question;
    onNextDialog([&](QWidget* w) {
        question = boxText(w);
        clickButton(w, "No");
    });
    d.findChild<QPushButton*>("btnRow_StopCell")->click();
    EXPECT_EQ(question, "Stop cell 2 ?");
    EXPECT_EQ(k().acq.cells.cell(2).State, CellState::cs_Running);
    onNextDialog([&](QWidget* w) { clickButton(w, "Yes"); });
    d.findChild<QPushButton*>("btnRow_StopCell")->click();
    EXPECT_NE(k().acq.cells.cell(2).State, CellState::cs_Running);
    // The list shows the cells' states.
    EXPECT_TRUE(field<QListWidget>(d, "Row_UsedCells")->item(0)->text().contains("("));
}

TEST_F(RowDialogTest, APasswordProtectedRowAsksOnceAndItsDialogDoesNotAskAgain) {
    const int nr = newRow("Guarded", {1});
    ASSERT_TRUE(ops().setRowPassword(nr, "secret").ok);
    QWidget main;
    // A wrong password: no dialog.
    onNextDialog([](QWidget* w) {
        QTest::keyClicks(w->findChild<QLineEdit*>("Password"), "wrong");
        static_cast<QDialog*>(w)->accept();
        onNextDialog([](QWidget* box) { static_cast<QDialog*>(box)->accept(); });
    });
    EXPECT_FALSE(execRowDialog(ctx(), &main, nr, false));
    EXPECT_EQ(main.findChild<TfrmRow*>(), nullptr);

    // The right one: the dialog opens, and adding a cell asks nothing more.
    int prompts = 0;
    onNextDialog([&](QWidget* w) {
        ++prompts;
        QTest::keyClicks(w->findChild<QLineEdit*>("Password"), "secret");
        static_cast<QDialog*>(w)->accept();
        onNextDialog([&](QWidget* dialog) {
            auto* d = qobject_cast<TfrmRow*>(dialog);
            ASSERT_NE(d, nullptr);
            auto* list = d->findChild<QListWidget*>("Row_AvailableCells");
            list->setCurrentItem(list->findItems("4", Qt::MatchExactly).value(0));
            onNextDialog([&](QWidget* edit) {
                EXPECT_NE(qobject_cast<TfrmRowCellEdit*>(edit), nullptr)
                    << "asked: " << boxText(edit).toStdString();
                static_cast<QDialog*>(edit)->accept();
            });
            d->findChild<QPushButton*>("btnRow_AddCell")->click();
            d->findChild<QPushButton*>("btnOK")->click();
        });
    });
    EXPECT_TRUE(execRowDialog(ctx(), &main, nr, false));
    EXPECT_EQ(prompts, 1);
    EXPECT_EQ(k().acq.cells.cell(4).RowNr, nr);
}

TEST_F(RowDialogTest, ARunningSeriesTakesOkWithTheFieldsItKeepsAsTheyAre) {
    const int nr = runningRow("Odd", {1}, 1);
    {
        // An interval the fields show rounded, and CO2 the configuration no longer offers.
        auto lock = k().rows.lock();
        row(nr)->Interval = 1.0 / 3;
        row(nr)->withCO2 = true;
    }
    ASSERT_FALSE(k().cfg.withCO2);
    TfrmRow d(ctx());
    ASSERT_TRUE(d.load(nr, false));
    d.show();
    field(d, "Row_Comment1")->setText("checked");
    EXPECT_EQ(pressOk(d), "");
    EXPECT_EQ(d.result(), QDialog::Accepted);
    auto lock = k().rows.lock();
    EXPECT_EQ(row(nr)->Comment[0], "checked");
    EXPECT_DOUBLE_EQ(row(nr)->Interval, 1.0 / 3);
    EXPECT_TRUE(row(nr)->withCO2);
}

TEST_F(RowDialogTest, ThePasswordButtonProtectsTheRowAtOnce) {
    const int nr = newRow("Open", {1});
    TfrmRow d(ctx());
    ASSERT_TRUE(d.load(nr, false));
    d.show();
    onNextDialog([](QWidget* w) {
        EXPECT_EQ(w->findChild<QLabel*>("lblTitle")->text(), "Enter password for meas. series");
        QTest::keyClicks(w->findChild<QLineEdit*>("Password"), "abc");
        static_cast<QDialog*>(w)->accept();
    });
    d.findChild<QPushButton*>("btnRow_PassWd")->click();
    {
        auto lock = k().rows.lock();
        EXPECT_EQ(row(nr)->PassWd, "abc");
    }
    // The dialog goes on with the new password: OK asks nothing.
    EXPECT_EQ(pressOk(d), "");
    EXPECT_EQ(d.result(), QDialog::Accepted);
}

// ---------------------------------------------------------------------------------------

TEST_F(RowDialogTest, TheCellParameterDialogEnablesTheCheckFieldsAndChecksInOrder) {
    TfrmRowCellEdit d;
    CellParams p;
    p.name = "A";
    p.vol = 250;
    auto* mode = d.findChild<QComboBox*>("RowCell_Mode");
    auto* vol = d.findChild<QLineEdit*>("RowCell_Vol");
    auto* ts = d.findChild<QLineEdit*>("RowCell_TS");
    auto* index = d.findChild<QLineEdit*>("RowCell_Index");
    auto* ptc = d.findChild<QLineEdit*>("RowCell_PTC");
    auto* bth1 = d.findChild<QLineEdit*>("RowCell_BTH1");
    onNextDialog([&](QWidget*) {
        EXPECT_FALSE(ts->isEnabled());  // a row by volume has no dried matter
        for (int m : {0, 2}) {
            mode->setCurrentIndex(m);
            EXPECT_FALSE(index->isEnabled() || ptc->isEnabled() || bth1->isEnabled()) << m;
        }
        // Reference and toxicity-control cells are evaluated against their ThOD as well.
        auto* formula = d.findChild<QLineEdit*>("RowCell_Formula");
        for (int m : {3, 4}) {
            mode->setCurrentIndex(m);
            EXPECT_FALSE(index->isEnabled()) << m;
            EXPECT_TRUE(ptc->isEnabled() && bth1->isEnabled() && formula->isEnabled()) << m;
        }
        // The formula stands in for B(Th1): sodium benzoate.
        QTest::keyClicks(formula, "C7H5NaO2");
        EXPECT_NEAR(bth1->text().replace(',', '.').toDouble(), 1.665, 0.002);
        formula->clear();
        mode->setCurrentIndex(1);
        EXPECT_TRUE(index->isEnabled() && ptc->isEnabled() && bth1->isEnabled());
        struct Case {
            const char *vol, *index, *ptc, *bth1;
            QLineEdit* focus;
        };
        for (const Case& c : {Case{"0", "1", "1", "1", vol}, Case{"250", "", "1", "1", index},
                              Case{"250", "1", "0", "1", ptc}, Case{"250", "1", "2", "-1", bth1}}) {
            vol->setText(c.vol);
            index->setText(c.index);
            ptc->setText(c.ptc);
            bth1->setText(c.bth1);
            QString refused;
            onNextDialog([&](QWidget* box) {
                refused = boxText(box);
                static_cast<QDialog*>(box)->accept();
            });
            d.findChild<QPushButton*>("btnOK")->click();
            EXPECT_EQ(refused, kInvalid);
            EXPECT_EQ(d.focusWidget(), c.focus);
            EXPECT_TRUE(d.isVisible());
        }
        bth1->setText("1,6");
        d.findChild<QPushButton*>("btnOK")->click();
    });
    ASSERT_TRUE(d.edit(7, false, p));
    EXPECT_EQ(p.mode, 1);
    EXPECT_DOUBLE_EQ(p.ptc, 2);
    EXPECT_DOUBLE_EQ(p.bth1, 1.6);

    // A row by mass takes the dried matter, at least 0.
    onNextDialog([&](QWidget*) {
        EXPECT_TRUE(ts->isEnabled());
        ts->setText("-1");
        onNextDialog([&](QWidget* box) { static_cast<QDialog*>(box)->accept(); });
        d.findChild<QPushButton*>("btnOK")->click();
        EXPECT_EQ(d.focusWidget(), ts);
        ts->setText("12.5");
        mode->setCurrentIndex(0);
        d.findChild<QPushButton*>("btnOK")->click();
    });
    ASSERT_TRUE(d.edit(7, true, p));
    EXPECT_DOUBLE_EQ(p.ts, 12.5);
    EXPECT_EQ(p.mode, 0);
}

TEST_F(RowDialogTest, TheStartDialogStartsOneCellThenAllAndClosesWhenAllRun) {
    const int nr = newRow("Sludge", {1, 2, 3});
    TfrmRowCellsStartDlg d(ctx());
    ASSERT_TRUE(d.load(nr));
    EXPECT_EQ(d.findChild<QCheckBox*>("cbCountAfterFullStart")->text(),
              "do not count until all cells are started");
    onNextDialog([&](QWidget*) {
        d.findChild<QListWidget*>("RowCells")->setCurrentRow(1);
        d.findChild<QPushButton*>("btnCellStart")->click();
        EXPECT_EQ(k().acq.cells.cell(2).State, CellState::cs_Running);
        EXPECT_NE(k().acq.cells.cell(1).State, CellState::cs_Running);
        // A started cell cannot be started again.
        EXPECT_FALSE(d.findChild<QPushButton*>("btnCellStart")->isEnabled());
        EXPECT_TRUE(d.isVisible());
        d.findChild<QPushButton*>("btnCellStartAll")->click();
    });
    EXPECT_EQ(d.exec(), QDialog::Accepted);
    for (int c = 1; c <= 3; ++c) EXPECT_EQ(k().acq.cells.cell(c).State, CellState::cs_Running);
    auto lock = k().rows.lock();
    EXPECT_EQ(row(nr)->State, RowState::Running);
}

}  // namespace

namespace {

// The dialogs with the program's own context: operations on the operations thread, their
// answers back on the window thread, their password prompts handed to the window thread.
class OperationsThreadTest : public UiFixture {
  protected:
    OperationsThreadTest() { queue_.start(); }
    ~OperationsThreadTest() override { queue_.stop(); }
    OperationQueue queue_;
};

// Runs f once a visible dialog with this objectName is open.
void onDialogNamed(const QString& name, std::function<void(QDialog*)> f, int triesLeft = 1000) {
    QTimer::singleShot(5, qApp, [name, f, triesLeft] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* d = qobject_cast<QDialog*>(w);
                d && d->isVisible() && d->objectName() == name) {
                f(d);
                return;
            }
        if (triesLeft <= 0) {
            ADD_FAILURE() << "no dialog " << name.toStdString();
            return;
        }
        onDialogNamed(name, f, triesLeft - 1);
    });
}

TEST_F(OperationsThreadTest, TheStartDialogWaitsForItsOperationAndAnswersItsPasswordPrompt) {
    const int nr = newRow("Guarded", {1, 2, 3});
    ASSERT_TRUE(ops().setRowPassword(nr, "pw").ok);
    ProgramContext pc(k(), ops(), queue_, fe_);
    std::vector<bool> busy;
    QObject::connect(&pc, &ProgramContext::busyChanged, [&](bool b) { busy.push_back(b); });
    TfrmRowCellsStartDlg d(pc);
    ASSERT_TRUE(d.load(nr));
    onDialogNamed("frmRowCellsStartDlg", [&](QDialog*) {
        auto* all = d.findChild<QPushButton*>("btnCellStartAll");
        all->click();
        // The operation runs elsewhere: the dialog shows that it waits and takes no second
        // start meanwhile.
        EXPECT_FALSE(all->isEnabled());
        EXPECT_FALSE(d.findChild<QPushButton*>("btnClose")->isEnabled());
        d.reject();
        EXPECT_TRUE(d.isVisible());
        // The operation asks for the row password; the prompt opens on this thread.
        onDialogNamed("frmPasswd", [](QDialog* prompt) {
            QTest::keyClicks(prompt->findChild<QLineEdit*>("Password"), "pw");
            prompt->accept();
        });
    });
    EXPECT_EQ(d.exec(), QDialog::Accepted);
    for (int c = 1; c <= 3; ++c) EXPECT_EQ(k().acq.cells.cell(c).State, CellState::cs_Running);
    EXPECT_EQ(busy, (std::vector<bool>{true, false}));
}

TEST_F(OperationsThreadTest, TheRowDialogsNewCellAndItsCancelGoThroughTheOperationsThread) {
    const int nr = newRow("Async", {1});
    ProgramContext pc(k(), ops(), queue_, fe_);
    TfrmRow d(pc);
    ASSERT_TRUE(d.load(nr, true));
    auto* available = d.findChild<QListWidget*>("Row_AvailableCells");
    available->setCurrentItem(available->findItems("4", Qt::MatchExactly).value(0));
    bool removed = false;
    onDialogNamed("frmRow", [&](QDialog*) {
        d.findChild<QPushButton*>("btnRow_AddCell")->click();
        // Until the operation has answered, the dialog takes no OK and no second cell.
        EXPECT_FALSE(d.findChild<QPushButton*>("btnOK")->isEnabled());
        onDialogNamed("frmRowCellEdit", [&](QDialog* edit) {
            EXPECT_EQ(k().acq.cells.cell(4).RowNr, nr);
            edit->reject();
            // The removal is an operation too; the dialog closes once it has come back.
            QTimer* poll = new QTimer(&d);
            QObject::connect(poll, &QTimer::timeout, &d, [&, poll] {
                if (pc.operationRunning()) return;
                poll->stop();
                removed = k().acq.cells.cell(4).RowNr == 0;
                d.findChild<QPushButton*>("btnCancel")->click();
            });
            poll->start(5);
        });
    });
    EXPECT_EQ(d.exec(), QDialog::Rejected);
    EXPECT_TRUE(removed);
    auto lock = k().rows.lock();
    EXPECT_EQ(row(nr)->NrCells, 1);
}

}  // namespace
