#pragma once
// The start dialog of a series (TfrmRowCellsStartDlg): start one cell or all of them, and
// whether the impulses count only once every cell has started.

#include <QDialog>

class QCheckBox;
class QListWidget;
class QPushButton;

namespace kv::ui {

class UiContext;

class TfrmRowCellsStartDlg : public QDialog {
    Q_OBJECT
  public:
    TfrmRowCellsStartDlg(UiContext& ctx, QWidget* parent = nullptr);
    bool load(int rowNr);
    void reject() override;

  private:
    void refresh();
    void updateButtons();
    void start(bool all);

    UiContext& ctx_;
    int rowNr_ = 0;
    bool busy_ = false;
    QListWidget* cells_;
    QPushButton* startCell_;
    QPushButton* startAll_;
    QPushButton* close_;
    QCheckBox* countAfterFullStart_;
};

}  // namespace kv::ui
