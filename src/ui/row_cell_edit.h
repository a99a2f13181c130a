#pragma once
// The cell parameter dialog (TfrmRowCellEdit): designation, amount, dried matter, mode and,
// for a check, reference or toxicity-control cell, its substance (B(Th1) typed, or computed
// from the substance's formula). Only the OK checks live here; the row dialog hands
// the accepted fields to the operations.

#include <QDialog>

#include "system/operations.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;

namespace kv::ui {

class TfrmRowCellEdit : public QDialog {
    Q_OBJECT
  public:
    explicit TfrmRowCellEdit(QWidget* parent = nullptr);

    // Shows the fields of cell `displayNr`; `byMass`: the row's amounts are masses and the
    // dried matter applies (otherwise RowCell_TS is disabled). True with the fields in
    // `params` when confirmed.
    bool edit(int displayNr, bool byMass, CellParams& params);
    // The fields as they stand; false (focus on the first failing field, the box shown)
    // when they do not pass the checks.
    bool takeFields(CellParams& params);

    void accept() override;

  private:
    void modeChanged();
    void formulaChanged();

    QLabel* vol_label_;
    QLineEdit* name_;
    QLineEdit* vol_;
    QLineEdit* ts_;
    QComboBox* mode_;
    QLineEdit* index_;
    QLineEdit* ptc_;
    QLineEdit* bth1_;
    QLineEdit* formula_;
    QCheckBox* no3_;
    QLabel* formulaNote_;
};

}  // namespace kv::ui
