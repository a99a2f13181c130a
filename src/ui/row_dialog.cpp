#include "ui/row_dialog.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <utility>

#include "acquisition/cells.h"
#include "common/domain.h"
#include "common/numtext.h"
#include "ui/dialog_util.h"
#include "ui/password_dialog.h"
#include "ui/row_cell_edit.h"
#include "ui/translate.h"
#include "ui/ui_context.h"
#include "ui/window_frontend.h"

namespace kv::ui {

namespace {

constexpr int kSlotRole = Qt::UserRole;
constexpr int kNrRole = Qt::UserRole + 1;
const int kTacts[] = {3, 15, 30, 60};

QStringList unitItems() {
    return {"min", "h", "d"};
}

// Each field of a form takes its name for assistive technology from its label.
void labelFields(QFormLayout* form) {
    for (int r = 0; r < form->rowCount(); ++r) {
        QLayoutItem* l = form->itemAt(r, QFormLayout::LabelRole);
        QLayoutItem* f = form->itemAt(r, QFormLayout::FieldRole);
        auto* label = l ? qobject_cast<QLabel*>(l->widget()) : nullptr;
        if (label && !label->buddy() && f && f->widget()) label->setBuddy(f->widget());
    }
}

}  // namespace

TfrmRow::TfrmRow(UiContext& ctx, QWidget* parent) : QDialog(parent), ctx_(ctx) {
    setObjectName("frmRow");
    setWindowTitle("Meas. series");
    build();
    translateWindow(this);
    // An item view takes no name from its label's buddy: the cell lists are named after
    // their translated labels for assistive technology.
    for (auto [label, list] :
         {std::pair{"lblRow_AvailableCells", available_}, std::pair{"lblRow_UsedCells", used_}})
        if (auto* l = findChild<QLabel*>(label)) list->setAccessibleName(l->text());
    // The mode entries have a key of their own, with blanks around the "|".
    const QStringList modes = splitItems(langText("frmRow", "Row_ModeEntries", "mg/l | g"));
    if (modes.size() >= 2) {
        mode_->setItemText(0, modes[0]);
        mode_->setItemText(1, modes[1]);
    }
}

void TfrmRow::build() {
    auto* top = new QVBoxLayout(this);
    auto* columns = new QHBoxLayout;
    top->addLayout(columns);

    // Left: the definition.
    auto* def = new QFormLayout;
    name_ = namedEdit(this, "Row_Name");
    name_->setMaxLength(80);
    def->addRow(namedLabel(this, "lblRowName", "Name:"), name_);
    for (int k = 0; k < 3; ++k) {
        const std::string n = "Row_Comment" + std::to_string(k + 1);
        comment_[k] = namedEdit(this, n.c_str());
        comment_[k]->setMaxLength(80);
        const std::string l = "lblRow_Comment" + std::to_string(k + 1);
        def->addRow(namedLabel(this, l.c_str(), k == 0 ? "Comment:" : ""), comment_[k]);
    }
    sampleDate_ = namedEdit(this, "Row_SampleDate");
    sampleTemp_ = namedEdit(this, "Row_SampleTemp");
    analyst_ = namedEdit(this, "Row_SampleAnalytiker");
    def->addRow(namedLabel(this, "lblRow_SampleDate", "Sample date:"), sampleDate_);
    def->addRow(namedLabel(this, "lblRow_SampleTemp", "Storage temp.:"), sampleTemp_);
    def->addRow(namedLabel(this, "lblRow_SampleAnalytiker", "Analyst:"), analyst_);

    auto span = [this](QLineEdit*& field, QComboBox*& unit, const char* f, const char* u) {
        auto* box = new QHBoxLayout;
        field = namedEdit(this, f);
        unit = namedCombo(this, u, unitItems());
        box->addWidget(field);
        box->addWidget(unit);
        return box;
    };
    def->addRow(namedLabel(this, "lblRow_Duration", "Duration:"),
                span(duration_, siDuration_, "Row_Duration", "Row_SIDuration"));
    def->addRow(namedLabel(this, "lblRow_Interval", "Interval:"),
                span(interval_, siInterval_, "Row_Interval", "Row_SIInterval"));
    // A field beside its unit sits in a layout of its own: its label names it explicitly.
    for (auto [label, field] :
         {std::pair{"lblRow_Duration", duration_}, std::pair{"lblRow_Interval", interval_}})
        if (auto* l = findChild<QLabel*>(label)) l->setBuddy(field);
    tact_ = namedCombo(this, "Row_Tact", {"3", "15", "30", "60"});
    def->addRow(namedLabel(this, "lblRow_Tact", "Tact (s):"), tact_);
    mode_ = namedCombo(this, "Row_Mode", {"mg/l", "g"});
    def->addRow(namedLabel(this, "lblRow_Mode", "Mode:"), mode_);
    zeroNeeded_ = namedCheck(this, "Row_ZeroNeeded", "wait for zero");
    withCO2_ = namedCheck(this, "withCO2", "with CO2");
    co2Mean_ = namedCheck(this, "CO2Mean", "CO2 mean");
    storeEC71T_ = namedCheck(this, "storeEC71_T", "store EC71 temp.");
    auto* checks = new QGridLayout;
    checks->addWidget(zeroNeeded_, 0, 0);
    checks->addWidget(withCO2_, 0, 1);
    checks->addWidget(co2Mean_, 1, 0);
    checks->addWidget(storeEC71T_, 1, 1);
    def->addRow(checks);
    attritionDivider_ = namedEdit(this, "Row_AttritionDivider");
    def->addRow(namedLabel(this, "lblRow_AttritionDivider", "O2 attrition divider:"),
                attritionDivider_);
    auto* lf = new QHBoxLayout;
    lf2co2_ = namedEdit(this, "Row_LF2CO2");
    resetLf2co2_ = namedButton(this, "btnRow_resetLF2CO2", "Default");
    lf->addWidget(lf2co2_);
    lf->addWidget(resetLf2co2_);
    QLabel* lfLabel = namedLabel(this, "lblRow_LF2CO2", "LF -> CO2:");
    lfLabel->setBuddy(lf2co2_);
    def->addRow(lfLabel, lf);

    auto* alarm = new QGroupBox("O2 leakage alarm", this);
    alarm->setObjectName("Row_AlarmGroup");
    auto* alarmForm = new QFormLayout(alarm);
    leakageAlarm_ = namedCheck(alarm, "Row_O2LeakageAlarm", "O2 leakage alarm");
    alarmCount_ = namedEdit(alarm, "Row_AlarmCount");
    alarmHours_ = namedEdit(alarm, "Row_AlarmHours");
    alarmForm->addRow(leakageAlarm_);
    alarmForm->addRow(namedLabel(alarm, "lblRow_AlarmCount", "Percent:"), alarmCount_);
    alarmForm->addRow(namedLabel(alarm, "lblRow_AlarmHours", "in hours:"), alarmHours_);
    labelFields(def);
    labelFields(alarmForm);
    continueCellControl_ = namedCheck(this, "Row_ContinueCellControl", "continue cell control");
    auto* left = new QVBoxLayout;
    left->addLayout(def);
    left->addWidget(alarm);
    left->addWidget(continueCellControl_);
    left->addStretch();
    columns->addLayout(left);

    // Right: the cells.
    auto* cells = new QGridLayout;
    available_ = new QListWidget(this);
    available_->setObjectName("Row_AvailableCells");
    used_ = new QListWidget(this);
    used_->setObjectName("Row_UsedCells");
    available_->setMinimumWidth(90);
    used_->setMinimumWidth(240);
    QLabel* availableLabel = namedLabel(this, "lblRow_AvailableCells", "available cells");
    QLabel* usedLabel = namedLabel(this, "lblRow_UsedCells", "cells of the row");
    availableLabel->setBuddy(available_);
    usedLabel->setBuddy(used_);
    cells->addWidget(availableLabel, 0, 0);
    cells->addWidget(usedLabel, 0, 2);
    cells->addWidget(available_, 1, 0);
    auto* moves = new QVBoxLayout;
    add_ = namedButton(this, "btnRow_AddCell", "--->");
    remove_ = namedButton(this, "btnRow_RemoveCell", "<---");
    assign_ = namedButton(this, "btnAssign", "<--->");
    moves->addStretch();
    moves->addWidget(add_);
    moves->addWidget(remove_);
    moves->addWidget(assign_);
    moves->addStretch();
    cells->addLayout(moves, 1, 1);
    cells->addWidget(used_, 1, 2);
    auto* cellButtons = new QGridLayout;
    editCell_ = namedButton(this, "btnRow_EditCell", "Edit...");
    startCell_ = namedButton(this, "btnRow_StartCell", "Start");
    holdCell_ = namedButton(this, "btnRow_HoldCell", "Hold");
    holdO2_ = namedCheck(this, "hold_O2", "O2");
    holdCO2_ = namedCheck(this, "hold_CO2", "CO2");
    continueCell_ = namedButton(this, "btnRow_ContinueCell", "Continue");
    contO2_ = namedCheck(this, "cont_O2", "O2");
    contCO2_ = namedCheck(this, "cont_CO2", "CO2");
    stopCell_ = namedButton(this, "btnRow_StopCell", "Stop");
    counter_ = namedButton(this, "btnRow_EditCellCounter", "Counter...");
    passwordButton_ = namedButton(this, "btnRow_PassWd", "Password...");
    holdO2_->setChecked(true);
    holdCO2_->setChecked(true);
    contO2_->setChecked(true);
    contCO2_->setChecked(true);
    cellButtons->addWidget(editCell_, 0, 0);
    cellButtons->addWidget(startCell_, 1, 0);
    cellButtons->addWidget(holdCell_, 2, 0);
    cellButtons->addWidget(holdO2_, 2, 1);
    cellButtons->addWidget(holdCO2_, 2, 2);
    cellButtons->addWidget(continueCell_, 3, 0);
    cellButtons->addWidget(contO2_, 3, 1);
    cellButtons->addWidget(contCO2_, 3, 2);
    cellButtons->addWidget(stopCell_, 4, 0);
    cellButtons->addWidget(counter_, 5, 0);
    cellButtons->addWidget(passwordButton_, 6, 0);
    cells->addLayout(cellButtons, 1, 3);
    columns->addLayout(cells, 1);

    // Room for a whole name or comment line.
    for (QLineEdit* e :
         {name_, comment_[0], comment_[1], comment_[2], sampleDate_, sampleTemp_, analyst_})
        e->setMinimumWidth(280);
    lf2co2_->setMinimumWidth(110);
    hint_ = namedLabel(this, "lblHint", "");
    hint_->setWordWrap(true);
    hint_->setStyleSheet("color: #a00000");
    top->addWidget(hint_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    ok_ = buttons->button(QDialogButtonBox::Ok);
    ok_->setObjectName("btnOK");
    ok_->setText("OK");
    buttons->button(QDialogButtonBox::Cancel)->setObjectName("btnCancel");
    buttons->button(QDialogButtonBox::Cancel)->setText("Cancel");
    top->addWidget(buttons);

    connect(buttons, &QDialogButtonBox::accepted, this, &TfrmRow::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(add_, &QPushButton::clicked, this, &TfrmRow::addCell);
    connect(remove_, &QPushButton::clicked, this, &TfrmRow::removeCell);
    connect(assign_, &QPushButton::clicked, this, &TfrmRow::assignCell);
    connect(editCell_, &QPushButton::clicked, this, [this] {
        if (const int s = selectedSlot()) editCellParams(s, false);
    });
    connect(used_, &QListWidget::itemDoubleClicked, this, [this] {
        if (const int s = selectedSlot()) editCellParams(s, false);
    });
    connect(startCell_, &QPushButton::clicked, this, &TfrmRow::startCell);
    connect(holdCell_, &QPushButton::clicked, this, &TfrmRow::holdCell);
    connect(continueCell_, &QPushButton::clicked, this, &TfrmRow::continueCell);
    connect(stopCell_, &QPushButton::clicked, this, &TfrmRow::stopCell);
    connect(counter_, &QPushButton::clicked, this, &TfrmRow::editCounter);
    connect(passwordButton_, &QPushButton::clicked, this, &TfrmRow::setPassword);
    connect(resetLf2co2_, &QPushButton::clicked, this,
            [this] { lf2co2_->setText(numberText(ctx_.kelvora().cfg.DefLF2CO2_const1)); });
    connect(attritionDivider_, &QLineEdit::editingFinished, this, &TfrmRow::hintAttritionDivider);
    connect(alarmHours_, &QLineEdit::editingFinished, this, &TfrmRow::hintAlarmHours);
    // Assistive technology selects a list item without making it current; the buttons act
    // on the current item, so a selection made that way becomes the current one.
    for (QListWidget* list : {available_, used_}) {
        connect(list, &QListWidget::itemSelectionChanged, this, [list] {
            const QList<QListWidgetItem*> selected = list->selectedItems();
            if (selected.size() == 1 && selected.front() != list->currentItem())
                list->setCurrentItem(selected.front());
        });
    }
    connect(used_, &QListWidget::currentRowChanged, this, [this] { refreshEnabling(); });
    connect(available_, &QListWidget::currentRowChanged, this, [this] { refreshEnabling(); });
}

bool TfrmRow::load(int rowNr, bool isNew) {
    const auto row = ctx_.kelvora().rows.FindByUniqueNr(rowNr);
    if (!row) return false;
    rowNr_ = rowNr;
    isNew_ = isNew;
    RowDefinition d;
    {
        auto lock = ctx_.kelvora().rows.lock();
        d = RowDefinition::of(*row);
        isTemplate_ = row->isTemplate;
        started_ = !row->isTemplate && row->State >= RowState::Running;
    }
    setWindowTitle(qs(d.name));
    name_->setText(qs(d.name));
    for (int k = 0; k < 3; ++k) comment_[k]->setText(qs(d.comment[static_cast<size_t>(k)]));
    sampleDate_->setText(qs(d.sampleDate));
    sampleTemp_->setText(qs(d.sampleTemp));
    analyst_->setText(qs(d.analyst));
    duration_->setText(numberText(d.duration));
    siDuration_->setCurrentIndex(static_cast<int>(d.durationUnit));
    interval_->setText(numberText(d.interval));
    siInterval_->setCurrentIndex(static_cast<int>(d.intervalUnit));
    tact_->setCurrentIndex(0);
    for (int i = 0; i < 4; ++i)
        if (kTacts[i] == d.tact) tact_->setCurrentIndex(i);
    mode_->setCurrentIndex(d.mode == 1 ? 1 : 0);
    zeroNeeded_->setChecked(d.zeroNeeded);
    withCO2_->setChecked(d.withCO2);
    co2Mean_->setChecked(d.co2Mean);
    storeEC71T_->setChecked(d.storeEC71_T);
    attritionDivider_->setText(QString::number(d.attritionDivider));
    lf2co2_->setText(numberText(d.lf2co2));
    leakageAlarm_->setChecked(d.leakageAlarm);
    alarmCount_->setText(QString::number(d.alarmCount));
    alarmHours_->setText(QString::number(d.alarmHours));
    continueCellControl_->setChecked(d.continueCellControl);
    hint_->clear();
    refreshCells();
    name_->setFocus();
    return true;
}

void TfrmRow::refreshCells() {
    TKelvora& k = ctx_.kelvora();
    const auto row = k.rows.FindByUniqueNr(rowNr_);
    const int keepSlot = selectedSlot();
    const int keepAvailable = selectedAvailableNr();
    used_->clear();
    available_->clear();
    if (!row) return;
    const int cells = std::min(k.cfg.Cells, kMaxCells);
    std::vector<bool> inRow(static_cast<size_t>(cells) + 1, false);
    {
        auto lock = k.rows.lock();
        for (int s = 1; s <= std::min(row->NrCells, kMaxRowCells); ++s) {
            const RowCell& c = row->RowCells[static_cast<size_t>(s)];
            if (c.CellNr <= 0) continue;
            if (c.CellNr <= cells) inRow[static_cast<size_t>(c.CellNr)] = true;
            const int nr = c.CellNr + k.cfg.firstCell - 1;
            // A slot whose physical cell is still to be chosen shows the file's marker.
            const QString number = c.bMapped ? QString::number(nr) : "??" + QString::number(nr);
            QString text = number.leftJustified(6) + qs(c.Name);
            if (!isTemplate_) text += "  (" + qs(TCells::StateShortName(c.State)) + ")";
            auto* item = new QListWidgetItem(text, used_);
            item->setData(kSlotRole, s);
            item->setData(kNrRole, nr);
            if (s == keepSlot) used_->setCurrentItem(item);
        }
    }
    for (int p = 1; p <= cells; ++p) {
        if (inRow[static_cast<size_t>(p)]) continue;
        // A series takes free cells; a template any cell it does not have yet.
        if (!isTemplate_ && k.acq.cells.cell(p).RowNr != 0) continue;
        const int nr = p + k.cfg.firstCell - 1;
        auto* item = new QListWidgetItem(QString::number(nr), available_);
        item->setData(kNrRole, nr);
        if (nr == keepAvailable) available_->setCurrentItem(item);
    }
    refreshEnabling();
}

void TfrmRow::refreshEnabling() {
    const bool hasCells = used_->count() > 0;
    const bool cellSelected = selectedSlot() != 0;
    const bool series = !isTemplate_;
    const bool co2Option = ctx_.kelvora().cfg.withCO2;
    // What the measurement runs by is fixed once it runs; the mode of a series once it has
    // cells (their amounts are in its unit).
    for (QWidget* w : {static_cast<QWidget*>(duration_), static_cast<QWidget*>(siDuration_),
                       static_cast<QWidget*>(interval_), static_cast<QWidget*>(siInterval_),
                       static_cast<QWidget*>(tact_)})
        w->setEnabled(!started_);
    mode_->setEnabled(!started_ && !(series && hasCells));
    withCO2_->setEnabled(!started_ && co2Option);
    co2Mean_->setEnabled(co2Option);
    storeEC71T_->setEnabled(co2Option);
    add_->setEnabled(!busy_ && !started_ && available_->currentItem() != nullptr);
    remove_->setEnabled(!busy_ && !started_ && cellSelected);
    assign_->setEnabled(!busy_ && series && !started_ && cellSelected &&
                        available_->currentItem() != nullptr);
    editCell_->setEnabled(!busy_ && cellSelected);
    for (QWidget* w : {static_cast<QWidget*>(startCell_), static_cast<QWidget*>(holdCell_),
                       static_cast<QWidget*>(continueCell_), static_cast<QWidget*>(stopCell_),
                       static_cast<QWidget*>(counter_)})
        w->setEnabled(!busy_ && series && cellSelected);
    // A row without CO2 holds and continues its O2 part only.
    const bool co2Cell = series && cellSelected && withCO2_->isChecked();
    holdCO2_->setEnabled(co2Cell);
    contCO2_->setEnabled(co2Cell);
    holdO2_->setEnabled(series && cellSelected);
    contO2_->setEnabled(series && cellSelected);
    passwordButton_->setEnabled(!busy_);
    ok_->setEnabled(!busy_);
}

int TfrmRow::selectedSlot() const {
    const QListWidgetItem* item = used_ ? used_->currentItem() : nullptr;
    return item ? item->data(kSlotRole).toInt() : 0;
}

int TfrmRow::selectedCellNr() const {
    const QListWidgetItem* item = used_ ? used_->currentItem() : nullptr;
    return item ? item->data(kNrRole).toInt() : 0;
}

int TfrmRow::selectedAvailableNr() const {
    const QListWidgetItem* item = available_ ? available_->currentItem() : nullptr;
    return item ? item->data(kNrRole).toInt() : 0;
}

void TfrmRow::run(std::function<OpResult(Operations&)> work,
                  std::function<void(const OpResult&)> done) {
    busy_ = true;
    refreshEnabling();
    ctx_.runOperation(this, withRowPassword(ctx_, givenPassword_, std::move(work)),
                      [this, done](const OpResult& r) {
                          busy_ = false;
                          if (done)
                              done(r);
                          else
                              showResult(ctx_, r);
                          refreshCells();
                      });
}

void TfrmRow::addCell() {
    const int nr = selectedAvailableNr();
    if (nr == 0 || busy_) return;
    const int rowNr = rowNr_;
    run([rowNr, nr](Operations& ops) { return ops.addRowCell(rowNr, nr); },
        [this](const OpResult& r) {
            if (!showResult(ctx_, r)) return;
            refreshCells();
            editCellParams(r.slot, true);
        });
}

void TfrmRow::editCellParams(int slot, bool removeOnCancel) {
    const auto row = ctx_.kelvora().rows.FindByUniqueNr(rowNr_);
    if (!row || slot <= 0) return;
    CellParams p;
    int nr = 0;
    {
        auto lock = ctx_.kelvora().rows.lock();
        if (slot > row->NrCells) return;
        p = CellParams::of(row->RowCells[static_cast<size_t>(slot)]);
        nr = row->DisplayNr(slot);
    }
    TfrmRowCellEdit dialog(this);
    const int rowNr = rowNr_;
    if (dialog.edit(nr, mode_->currentIndex() == 1, p)) {
        run([rowNr, slot, p](Operations& ops) { return ops.setRowCell(rowNr, slot, p); });
    } else if (removeOnCancel) {
        // A cell whose parameters were not confirmed does not stay in the row.
        run([rowNr, slot](Operations& ops) { return ops.removeRowCell(rowNr, slot); });
    }
}

void TfrmRow::removeCell() {
    const int slot = selectedSlot();
    if (slot == 0 || busy_) return;
    const int rowNr = rowNr_;
    run([rowNr, slot](Operations& ops) { return ops.removeRowCell(rowNr, slot); });
}

void TfrmRow::assignCell() {
    // A slot that came from a template gets the chosen free cell.
    const int slot = selectedSlot();
    const int nr = selectedAvailableNr();
    if (slot == 0 || nr == 0 || busy_) return;
    const int rowNr = rowNr_;
    run([rowNr, slot, nr](Operations& ops) { return ops.assignCell(rowNr, slot, nr); });
}

void TfrmRow::startCell() {
    const int nr = selectedCellNr();
    if (nr == 0 || busy_) return;
    run([nr](Operations& ops) { return ops.startRowCell(nr); });
}

void TfrmRow::holdCell() {
    const int nr = selectedCellNr();
    if (nr == 0 || busy_) return;
    const bool o2 = holdO2_->isChecked(), co2 = holdCO2_->isChecked();
    run([nr, o2, co2](Operations& ops) { return ops.holdCell(nr, o2, co2); });
}

void TfrmRow::continueCell() {
    const int nr = selectedCellNr();
    if (nr == 0 || busy_) return;
    const bool o2 = contO2_->isChecked(), co2 = contCO2_->isChecked();
    run([nr, o2, co2](Operations& ops) { return ops.continueCell(nr, o2, co2); });
}

void TfrmRow::stopCell() {
    // The question "Stop cell %s ?" is the operation's.
    const int nr = selectedCellNr();
    if (nr == 0 || busy_) return;
    run([nr](Operations& ops) { return ops.stopCell(nr); });
}

void TfrmRow::editCounter() {
    const int nr = selectedCellNr();
    if (nr == 0 || busy_) return;
    TKelvora& k = ctx_.kelvora();
    const int phys = nr - k.cfg.firstCell + 1;
    const QString shown = QString::number(k.acq.cells.GetCellCount(phys));
    bool ok = false;
    const QString answer =
        QInputDialog::getText(this,
                              langFmt("frmEditCellCounter", "DefaultTitle",
                                      "Set counter value for cell %s", QString::number(nr)),
                              langText("frmEditCellCounter", "lblCellCount", "Counter (impulses):"),
                              QLineEdit::Normal, shown, &ok);
    // The same text again is no change, and adds no message.
    if (!ok || answer.trimmed() == shown) return;
    int value = 0;
    QLineEdit probe(answer);
    if (!readWholeNumber(&probe, value)) return;
    const std::string text = ss(answer.trimmed());
    run([nr, text](Operations& ops) { return ops.setCellCounter(nr, text); });
}

void TfrmRow::setPassword() {
    if (busy_) return;
    TfrmPassWd prompt(this);
    QString entry;
    if (!prompt.ask(langText("frmPasswd", "RowTitle", "Enter password for meas. series"), entry))
        return;
    // The operation cuts it to 30 characters.
    const std::string password = ss(entry);
    const int rowNr = rowNr_;
    run([rowNr, password](Operations& ops) { return ops.setRowPassword(rowNr, password); },
        [this](const OpResult& r) {
            if (!showResult(ctx_, r)) return;
            // The dialog goes on with the password the row has now.
            const auto row = ctx_.kelvora().rows.FindByUniqueNr(rowNr_);
            if (!row) return;
            auto lock = ctx_.kelvora().rows.lock();
            givenPassword_ = row->PassWd;
        });
}

void TfrmRow::hintAttritionDivider() {
    if (attritionDivider_->text().trimmed() != "1")
        hint_->setText(
            langText("frmRow", "txtAttritionDivider",
                     "Please use a value other than 1 only for rows with very low O2-Attrition !"));
}

void TfrmRow::hintAlarmHours() {
    double h = 0;
    if (!readNumber(alarmHours_, h) || h < 0 || h > kHourlySlots)
        hint_->setText(langFmt("frmRow", "txtAlarmHours", "Valid values are 0..%s",
                               QString::number(kHourlySlots)));
}

bool TfrmRow::takeFields(RowDefinition& d) {
    RowDefinition out;
    {
        const auto row = ctx_.kelvora().rows.FindByUniqueNr(rowNr_);
        if (row) {
            auto lock = ctx_.kelvora().rows.lock();
            out = RowDefinition::of(*row);
        }
    }
    // In this order: the first field that fails gets the focus.
    out.name = ss(name_->text().trimmed());
    if (out.name.empty()) return refuseField(this, name_), false;
    // A started series keeps what it measures by: its fields are shown, not read back (a
    // value shown rounded would read as a change).
    if (!started_ && (!readNumber(duration_, out.duration) || !(out.duration > 0)))
        return refuseField(this, duration_), false;
    if (!started_ && (!readNumber(interval_, out.interval) || !(out.interval > 0)))
        return refuseField(this, interval_), false;
    if (!readWholeNumber(attritionDivider_, out.attritionDivider) || out.attritionDivider < 1)
        return refuseField(this, attritionDivider_), false;
    double hours = 0;
    if (!readNumber(alarmHours_, hours) || hours < 0 || hours > kHourlySlots ||
        hours != static_cast<int>(hours))
        return refuseField(this, alarmHours_), false;
    out.alarmHours = static_cast<int>(hours);
    if (!readNumber(lf2co2_, out.lf2co2)) return refuseField(this, lf2co2_), false;
    if (!readWholeNumber(alarmCount_, out.alarmCount) || out.alarmCount < 0 || out.alarmCount > 100)
        return refuseField(this, alarmCount_), false;
    for (int k = 0; k < 3; ++k)
        out.comment[static_cast<size_t>(k)] = ss(comment_[k]->text().trimmed());
    out.sampleDate = ss(sampleDate_->text().trimmed());
    out.sampleTemp = ss(sampleTemp_->text().trimmed());
    out.analyst = ss(analyst_->text().trimmed());
    if (!started_) {
        out.durationUnit = static_cast<TimeUnit>(siDuration_->currentIndex());
        out.intervalUnit = static_cast<TimeUnit>(siInterval_->currentIndex());
        out.tact = kTacts[std::clamp(tact_->currentIndex(), 0, 3)];
        if (mode_->isEnabled()) out.mode = mode_->currentIndex();
        if (withCO2_->isEnabled()) out.withCO2 = withCO2_->isChecked();
    }
    out.zeroNeeded = zeroNeeded_->isChecked();
    out.co2Mean = co2Mean_->isChecked();
    out.storeEC71_T = storeEC71T_->isChecked();
    out.leakageAlarm = leakageAlarm_->isChecked();
    out.continueCellControl = continueCellControl_->isChecked();
    d = out;
    return true;
}

void TfrmRow::accept() {
    if (busy_) return;
    RowDefinition d;
    if (!takeFields(d)) return;
    const int rowNr = rowNr_;
    run([rowNr, d](Operations& ops) { return ops.setRowDefinition(rowNr, d); },
        [this](const OpResult& r) {
            if (!showResult(ctx_, r)) return;
            // The special-cell table's notes on missing kinds of cells.
            for (const std::string& line : r.lines) ctx_.frontEnd().information(line);
            QDialog::accept();
        });
}

void TfrmRow::reject() {
    if (!busy_) QDialog::reject();
}

void TfrmRow::closeEvent(QCloseEvent* e) {
    // Not while an operation of the dialog is under way: its answer comes back here.
    if (busy_) {
        e->ignore();
        return;
    }
    QDialog::closeEvent(e);
}

}  // namespace kv::ui
