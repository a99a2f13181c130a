#include "ui/row_cell_edit.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/dialog_util.h"
#include "ui/translate.h"

namespace kv::ui {

TfrmRowCellEdit::TfrmRowCellEdit(QWidget* parent) : QDialog(parent) {
    setObjectName("frmRowCellEdit");
    setWindowTitle("Cell parameters");
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    name_ = namedEdit(this, "RowCell_Name");
    name_->setMaxLength(80);
    vol_ = namedEdit(this, "RowCell_Vol");
    ts_ = namedEdit(this, "RowCell_TS");
    mode_ = namedCombo(this, "RowCell_Mode",
                       {"normal", "check", "blind", "reference", "toxicity control"});
    index_ = namedEdit(this, "RowCell_Index");
    ptc_ = namedEdit(this, "RowCell_PTC");
    bth1_ = namedEdit(this, "RowCell_BTH1");
    formula_ = namedEdit(this, "RowCell_Formula");
    no3_ = new QCheckBox("with nitrification (NO3)", this);
    no3_->setObjectName("RowCell_NO3");
    formulaNote_ = namedLabel(this, "lblRowCell_FormulaNote", "");
    vol_label_ = namedLabel(this, "lblRowCell_Vol", "vol(ml)");
    form->addRow(namedLabel(this, "lblRowCell_Name", "Designation"), name_);
    form->addRow(vol_label_, vol_);
    form->addRow(namedLabel(this, "lblRowCell_TS", "Dried m.(%)"), ts_);
    form->addRow(namedLabel(this, "lblRowCell_Mode", "Cell Mode"), mode_);
    form->addRow(namedLabel(this, "lblRowCell_Index", "Index"), index_);
    form->addRow(namedLabel(this, "lblRowCell_PTC", "P(TC)"), ptc_);
    form->addRow(namedLabel(this, "lblRowCell_BTH1", "B(Th1)"), bth1_);
    form->addRow(namedLabel(this, "lblRowCell_Formula", "Formula"), formula_);
    form->addRow(QString(), no3_);
    form->addRow(QString(), formulaNote_);
    layout->addLayout(form);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setObjectName("btnOK");
    buttons->button(QDialogButtonBox::Ok)->setText("OK");
    buttons->button(QDialogButtonBox::Cancel)->setObjectName("btnCancel");
    buttons->button(QDialogButtonBox::Cancel)->setText("Cancel");
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &TfrmRowCellEdit::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(mode_, &QComboBox::currentIndexChanged, this, [this] { modeChanged(); });
    // A formula stands in for B(Th1): the value is computed as it is typed.
    connect(formula_, &QLineEdit::textEdited, this, [this] { formulaChanged(); });
    connect(no3_, &QCheckBox::toggled, this, [this] { formulaChanged(); });
    translateWindow(this);
    // The mode names have a key of their own beside the item list.
    const QStringList names = splitItems(langText("frmRowCellEdit", "RowCell_ModeItems",
                                                  "normal|check|blind|reference|toxicity control"));
    if (names.size() == mode_->count())
        for (int i = 0; i < names.size(); ++i) mode_->setItemText(i, names[i]);
}

void TfrmRowCellEdit::modeChanged() {
    // Check, reference and toxicity-control cells hold a substance; only a check cell has
    // an index.
    const int mode = mode_->currentIndex();
    const bool substance = mode == 1 || mode == 3 || mode == 4;
    index_->setEnabled(mode == 1);
    ptc_->setEnabled(substance);
    bth1_->setEnabled(substance);
    formula_->setEnabled(substance);
    no3_->setEnabled(substance);
}

void TfrmRowCellEdit::formulaChanged() {
    const std::string formula = ss(formula_->text().trimmed());
    if (formula.empty()) {
        formulaNote_->clear();
        return;
    }
    double bth1 = 0;
    const OpResult r = Operations::bth1FromFormula(formula, no3_->isChecked(), bth1);
    if (!r.ok) {
        formulaNote_->setText(qs(r.error));
        return;
    }
    bth1_->setText(numberText(bth1));
    QStringList lines;
    for (const std::string& l : r.lines) lines << qs(l);
    formulaNote_->setText(lines.join(", "));
}

bool TfrmRowCellEdit::edit(int displayNr, bool byMass, CellParams& p) {
    setWindowTitle(
        langFmt("frmRowCellEdit", "DefaultTitle", "Cell %s", QString::number(displayNr)));
    vol_label_->setText(byMass ? langText("frmRowCellEdit", "lblRowCell_G", "Mass(g)")
                               : langText("frmRowCellEdit", "lblRowCell_Vol", "vol(ml)"));
    name_->setText(qs(p.name));
    vol_->setText(numberText(p.vol));
    ts_->setText(numberText(p.ts));
    ts_->setEnabled(byMass);
    mode_->setCurrentIndex(p.mode >= 0 && p.mode <= 4 ? p.mode : 0);
    formula_->clear();
    no3_->setChecked(false);
    formulaNote_->clear();
    index_->setText(numberText(p.index));
    ptc_->setText(numberText(p.ptc));
    bth1_->setText(numberText(p.bth1));
    modeChanged();
    name_->setFocus();
    if (exec() != QDialog::Accepted) return false;
    return takeFields(p);
}

bool TfrmRowCellEdit::takeFields(CellParams& p) {
    CellParams out = p;
    out.name = ss(name_->text().trimmed());
    out.mode = mode_->currentIndex();
    // In this order; the first field that fails has the focus.
    if (!readNumber(vol_, out.vol) || !(out.vol > 0)) return refuseField(this, vol_), false;
    if (ts_->text().trimmed().isEmpty() && !ts_->isEnabled()) {
        out.ts = 0;
    } else if (!readNumber(ts_, out.ts) || out.ts < 0) {
        return refuseField(this, ts_), false;
    }
    if (out.mode == 1 && !readNumber(index_, out.index)) return refuseField(this, index_), false;
    if (out.mode == 1 || out.mode == 3 || out.mode == 4) {
        if (!readNumber(ptc_, out.ptc) || !(out.ptc > 0)) return refuseField(this, ptc_), false;
        if (!formula_->text().trimmed().isEmpty()) {
            double bth1 = 0;
            if (!Operations::bth1FromFormula(ss(formula_->text().trimmed()), no3_->isChecked(),
                                             bth1)
                     .ok)
                return refuseField(this, formula_), false;
            out.bth1 = bth1;
        } else if (!readNumber(bth1_, out.bth1) || !(out.bth1 > 0)) {
            return refuseField(this, bth1_), false;
        }
    }
    p = out;
    return true;
}

void TfrmRowCellEdit::accept() {
    CellParams probe;
    if (takeFields(probe)) QDialog::accept();
}

}  // namespace kv::ui
