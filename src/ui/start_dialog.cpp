#include "ui/start_dialog.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QListWidget>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>
#include <algorithm>

#include "acquisition/cells.h"
#include "ui/dialog_util.h"
#include "ui/translate.h"
#include "ui/ui_context.h"

namespace kv::ui {

TfrmRowCellsStartDlg::TfrmRowCellsStartDlg(UiContext& ctx, QWidget* parent)
    : QDialog(parent), ctx_(ctx) {
    setObjectName("frmRowCellsStartDlg");
    setWindowTitle("Start cells");
    auto* layout = new QVBoxLayout(this);
    cells_ = new QListWidget(this);
    cells_->setObjectName("RowCells");
    cells_->setMinimumSize(260, 220);
    layout->addWidget(cells_);
    countAfterFullStart_ =
        namedCheck(this, "cbCountAfterFullStart", "do not count until all cells are started");
    layout->addWidget(countAfterFullStart_);
    auto* buttons = new QHBoxLayout;
    startCell_ = namedButton(this, "btnCellStart", "Start cell");
    startAll_ = namedButton(this, "btnCellStartAll", "Start all cells");
    close_ = namedButton(this, "btnClose", "Close");
    buttons->addWidget(startCell_);
    buttons->addWidget(startAll_);
    buttons->addStretch();
    buttons->addWidget(close_);
    layout->addLayout(buttons);
    connect(startCell_, &QPushButton::clicked, this, [this] { start(false); });
    connect(startAll_, &QPushButton::clicked, this, [this] { start(true); });
    connect(close_, &QPushButton::clicked, this, &TfrmRowCellsStartDlg::reject);
    connect(cells_, &QListWidget::currentRowChanged, this, [this] { updateButtons(); });
    translateWindow(this);
}

bool TfrmRowCellsStartDlg::load(int rowNr) {
    const auto row = ctx_.kelvora().rows.FindByUniqueNr(rowNr);
    if (!row) return false;
    rowNr_ = rowNr;
    {
        auto lock = ctx_.kelvora().rows.lock();
        setWindowTitle(
            langFmt("frmRowCellsStartDlg", "DefaultTitle", "Start cells of %s", qs(row->Name)));
        countAfterFullStart_->setChecked(row->bCountAfterAllCellsStarted);
    }
    cells_->clear();
    refresh();
    return true;
}

void TfrmRowCellsStartDlg::refresh() {
    const auto row = ctx_.kelvora().rows.FindByUniqueNr(rowNr_);
    if (!row) return;
    {
        const int keep = cells_->currentRow();
        QSignalBlocker block(cells_);
        cells_->clear();
        auto lock = ctx_.kelvora().rows.lock();
        for (int s = 1; s <= std::min(row->NrCells, kMaxRowCells); ++s) {
            const RowCell& c = row->RowCells[static_cast<size_t>(s)];
            auto* item = new QListWidgetItem(QString::number(row->DisplayNr(s)).leftJustified(6) +
                                                 qs(c.Name) + "  (" +
                                                 qs(TCells::StateShortName(c.State)) + ")",
                                             cells_);
            item->setData(Qt::UserRole, row->DisplayNr(s));
            item->setData(Qt::UserRole + 1, c.State < CellState::cs_Running);
        }
        cells_->setCurrentRow(keep >= 0 && keep < cells_->count() ? keep : 0);
    }
    updateButtons();
}

void TfrmRowCellsStartDlg::updateButtons() {
    const QListWidgetItem* item = cells_->currentItem();
    startCell_->setEnabled(!busy_ && item && item->data(Qt::UserRole + 1).toBool());
    startAll_->setEnabled(!busy_);
    close_->setEnabled(!busy_);
    countAfterFullStart_->setEnabled(!busy_);
}

void TfrmRowCellsStartDlg::start(bool all) {
    if (busy_) return;
    const QListWidgetItem* item = cells_->currentItem();
    const int cell = all || !item ? 0 : item->data(Qt::UserRole).toInt();
    if (!all && cell == 0) return;
    const int rowNr = rowNr_;
    const bool countAfter = countAfterFullStart_->isChecked();
    busy_ = true;
    updateButtons();
    // Starting every cell waits between the cells: the window shows that it is busy and
    // goes on answering meanwhile.
    setCursor(Qt::BusyCursor);
    ctx_.runOperation(
        this,
        [rowNr, cell, countAfter](Operations& ops) {
            return cell == 0 ? ops.startRow(rowNr, countAfter)
                             : ops.startCell(rowNr, cell, countAfter);
        },
        [this](const OpResult& r) {
            busy_ = false;
            unsetCursor();
            const bool ok = showResult(ctx_, r);
            refresh();
            // The dialog closes once every cell runs.
            bool all = cells_->count() > 0;
            for (int i = 0; i < cells_->count(); ++i)
                if (cells_->item(i)->data(Qt::UserRole + 1).toBool()) all = false;
            if (ok && all) QDialog::accept();
        });
}

void TfrmRowCellsStartDlg::reject() {
    if (!busy_) QDialog::reject();
}

}  // namespace kv::ui
