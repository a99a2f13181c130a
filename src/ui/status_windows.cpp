#include "ui/status_windows.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "acquisition/cells.h"
#include "acquisition/o2tanks.h"
#include "common/numtext.h"
#include "output/row_texts.h"
#include "rows/row_util.h"
#include "ui/dialog_util.h"
#include "ui/info_form.h"
#include "ui/translate.h"
#include "ui/ui_context.h"

namespace kv::ui {

namespace {

constexpr int kRefreshMs = 1000;

QString timeText(TDateTime t) {
    return qs(dtText(t));
}

// The time of the row's last time value ("" before the first).
TDateTime previousCycle(const TRow& row) {
    const int n = std::min(row.iRTV, static_cast<int>(row.RTV.size()) - 1);
    return n >= 1 ? row.RTV[static_cast<size_t>(n)].dt : 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Cell

TfrmCellStatus::TfrmCellStatus(UiContext& ctx, QWidget* parent)
    : QWidget(parent, Qt::Window), ctx_(ctx) {
    setObjectName("frmCellStatus");
    setWindowTitle("Cell information");
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    layout->addLayout(form);
    info_ = std::make_unique<InfoForm>(this, form);
    info_->add("CellRow", "Row:");
    info_->add("CellName", "Designation:");
    info_->add("CellAmount", "vol(ml)");
    info_->add("CellState", "State:");
    info_->add("CellMode", "Mode:");
    info_->add("CellStart", "Start:");
    info_->add("CellStop", "Stop:");
    info_->add("CellTact", "Tact (s):");
    info_->add("CellCount", "Count:");
    info_->add("PrevCycle", "previous cycle:");
    info_->add("NextCycle", "next cycle:");
    info_->add("O2Tank", "O2 tank:");
    auto* buttons = new QHBoxLayout;
    start_ = namedButton(this, "btnStartCell", "Start");
    hold_ = namedButton(this, "btnHoldCell", "Hold");
    continue_ = namedButton(this, "btnContinueCell", "Continue");
    stop_ = namedButton(this, "btnStopCell", "Stop");
    refill_ = namedButton(this, "btnO2TankRefill", "Refill O2 tank");
    auto* close = namedButton(this, "btnClose", "Close");
    for (QPushButton* b : {start_, hold_, continue_, stop_, refill_}) buttons->addWidget(b);
    buttons->addStretch();
    buttons->addWidget(close);
    layout->addLayout(buttons);
    connect(start_, &QPushButton::clicked, this, [this] { act(0); });
    connect(hold_, &QPushButton::clicked, this, [this] { act(1); });
    connect(continue_, &QPushButton::clicked, this, [this] { act(2); });
    connect(stop_, &QPushButton::clicked, this, [this] { act(3); });
    connect(refill_, &QPushButton::clicked, this, [this] { act(4); });
    connect(close, &QPushButton::clicked, this, &QWidget::close);
    timer_ = new QTimer(this);
    timer_->setInterval(kRefreshMs);
    connect(timer_, &QTimer::timeout, this, &TfrmCellStatus::refresh);
    translateWindow(this);
}

TfrmCellStatus::~TfrmCellStatus() = default;

void TfrmCellStatus::showCell(int physCell) {
    phys_ = std::clamp(physCell, 1, std::max(1, std::min(ctx_.kelvora().cfg.Cells, kMaxCells)));
    refresh();
    timer_->start();
}

void TfrmCellStatus::refresh() {
    TKelvora& k = ctx_.kelvora();
    const TCell c = k.acq.cells.cell(phys_);
    const int nr = phys_ + k.cfg.firstCell - 1;
    setWindowTitle(
        langFmt("frmCellStatus", "DefaultTitle", "Information for cell %s", QString::number(nr)));
    info_->set("CellState", qs(TCells::StateText(c.State)));
    info_->set("CellCount", QString::number(c.CellCount));
    info_->set("O2Tank", qs(c.O2TankDate > 0 ? dtText(c.O2TankDate).substr(0, 10) : "") + "  " +
                             qs(O2TankFile::usedPercentText(c)) + "  (" +
                             QString::number(c.O2TankUsed) + " / " + QString::number(c.O2TankMax) +
                             ")");
    const auto row = c.RowNr != 0 ? k.rows.FindByUniqueNr(c.RowNr) : nullptr;
    bool byMass = c.RowMode == 1;
    QString rowName, name, amount, mode, start, stop, tact, prev, next;
    if (row) {
        auto lock = k.rows.lock();
        const int slot = row->FindCellSlot(phys_);
        rowName = qs(row->Name);
        tact = QString::number(row->Tact);
        prev = timeText(previousCycle(*row));
        next = timeText(row->NextCycle);
        byMass = row->RowMode == 1;
        if (slot > 0) {
            const RowCell& rc = row->RowCells[static_cast<size_t>(slot)];
            name = qs(rc.Name);
            amount = numberText(rc.Vol, 3);
            mode = qs(CellModeName(rc.Mode));
            start = timeText(rc.StartTime);
            stop = timeText(rc.StopTime);
        }
    }
    info_->caption("CellAmount")
        ->setText(byMass ? langText("frmCellStatus", "lblCellG", "Mass(g)")
                         : langText("frmCellStatus", "lblCellVol", "vol(ml)"));
    info_->set("CellRow", rowName);
    info_->set("CellName", name);
    info_->set("CellAmount", amount);
    info_->set("CellMode", mode);
    info_->set("CellStart", start);
    info_->set("CellStop", stop);
    info_->set("CellTact", tact);
    info_->set("PrevCycle", prev);
    info_->set("NextCycle", next);
    const bool inRow = row != nullptr;
    for (QPushButton* b : {start_, hold_, continue_, stop_}) b->setEnabled(!busy_ && inRow);
    refill_->setEnabled(!busy_);
}

void TfrmCellStatus::act(int which) {
    if (busy_) return;
    const int nr = phys_ + ctx_.kelvora().cfg.firstCell - 1;
    busy_ = true;
    refresh();
    ctx_.runOperation(
        this,
        [nr, which](Operations& ops) {
            switch (which) {
                case 0:
                    return ops.startRowCell(nr);
                case 1:
                    return ops.holdCell(nr, true, true);
                case 2:
                    return ops.continueCell(nr, true, true);
                case 3:
                    return ops.stopCell(nr);
                default:
                    return ops.refillTank(nr);
            }
        },
        [this](const OpResult& r) {
            busy_ = false;
            showResult(ctx_, r);
            refresh();
        });
}

// ---------------------------------------------------------------------------------------
// Row

TfrmRowStatus::TfrmRowStatus(UiContext& ctx, QWidget* parent)
    : QWidget(parent, Qt::Window), ctx_(ctx) {
    setObjectName("frmRowStatus");
    setWindowTitle("Row information");
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    layout->addLayout(form);
    info_ = std::make_unique<InfoForm>(this, form);
    info_->add("RowName", "Name:");
    info_->add("RowState", "Status:");
    info_->add("RowStart", "Start:");
    info_->add("RowStop", "Stop:");
    info_->add("Duration", "Duration:");
    info_->add("Interval", "Interval:");
    info_->add("Tact", "Tact (s):");
    info_->add("Entries", "Entries:");
    info_->add("DataDir", "Data folder:");
    info_->add("PrevCycle", "previous cycle:");
    info_->add("NextCycle", "next cycle:");
    auto* buttons = new QHBoxLayout;
    auto* close = namedButton(this, "btnClose", "Close");
    buttons->addStretch();
    buttons->addWidget(close);
    layout->addLayout(buttons);
    connect(close, &QPushButton::clicked, this, &QWidget::close);
    timer_ = new QTimer(this);
    timer_->setInterval(kRefreshMs);
    connect(timer_, &QTimer::timeout, this, &TfrmRowStatus::refresh);
    translateWindow(this);
}

TfrmRowStatus::~TfrmRowStatus() = default;

void TfrmRowStatus::showRow(int rowNr) {
    rowNr_ = rowNr;
    refresh();
    timer_->start();
}

void TfrmRowStatus::refresh() {
    TKelvora& k = ctx_.kelvora();
    const auto row = k.rows.FindByUniqueNr(rowNr_);
    if (!row) return;
    auto lock = k.rows.lock();
    setWindowTitle(
        langFmt("frmRowStatus", "DefaultTitle", "Information for row %s", qs(row->Name)));
    info_->set("RowName", qs(row->Name));
    info_->set("RowState", qs(row->StateText()));
    info_->set("RowStart", timeText(row->Start));
    info_->set("RowStop", timeText(row->Stop));
    info_->set("Duration", qs(DurationText(*row, decimalCommaFlag())));
    info_->set("Interval", qs(IntervalText(*row, decimalCommaFlag())));
    info_->set("Tact", QString::number(row->Tact));
    info_->set("Entries", QString::number(row->iRTV));
    info_->set("DataDir", qs(row->DataDir));
    info_->set("PrevCycle", timeText(previousCycle(*row)));
    info_->set("NextCycle", timeText(row->NextCycle));
}

}  // namespace kv::ui
