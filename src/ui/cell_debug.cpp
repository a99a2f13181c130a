#include "ui/cell_debug.h"

#include <QCheckBox>
#include <QFontDatabase>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "acquisition/cells.h"
#include "common/numtext.h"
#include "output/row_texts.h"
#include "rows/row_util.h"
#include "ui/dialog_util.h"
#include "ui/translate.h"
#include "ui/ui_context.h"

namespace kv::ui {

namespace {

constexpr int kRefreshMs = 1000;
const char* const kNoRow = "n/a";

// Every field of the window: its component name and its caption.
const std::pair<const char*, const char*> kFields[] = {
    {"dbgCellNr", "phys. cell#"},
    {"dbgCellState", "cell state"},
    {"dbgRowName", "row"},
    {"dbgRowComment", "comment"},
    {"dbgRowState", "row state"},
    {"dbgRowMode", "row mode"},
    {"dbgRowTact", "tact (s)"},
    {"dbgCellStart", "cell start"},
    {"dbgCellStop", "cell stop"},
    {"dbgNextCycle", "next cycle"},
    {"dbgPrevCycle", "previous cycle"},
    {"dbgSlot", "slot in row"},
    {"dbgRowLF0", "row cdm_LF_0"},
    {"dbgRowLFLast", "row cdm_LF_Last"},
    {"dbgCellLF0", "cell cdm_LF_0"},
    {"dbgCellLFLast", "cell cdm_LF_Last"},
    {"dbgCellLF", "cdm_LF / cdm_T"},
    {"dbgAlarm", "leakage alarm"},
    {"dbgLastHourly", "last hourly value"},
    {"dbgStartValues", "EC71 start values"},
    {"dbgGradients", "EC71 gradients"},
};

QString real(double v, int decimals = 4) {
    return isNoValue(v) ? QString() : qs(realToText(v, 0, -decimals));
}

}  // namespace

TfrmCellStatus_Debug::TfrmCellStatus_Debug(UiContext& ctx, QWidget* parent)
    : QWidget(parent, Qt::Window), ctx_(ctx) {
    setObjectName("frmCellStatus_Debug");
    setWindowTitle("Cell debug");
    auto* layout = new QHBoxLayout(this);
    auto* left = new QVBoxLayout;
    auto* form = new QFormLayout;
    for (const auto& [name, caption] : kFields) {
        auto* value = new QLabel(this);
        value->setObjectName(name);
        value->setMinimumWidth(180);
        value->setTextInteractionFlags(Qt::TextSelectableByMouse);
        form->addRow(namedLabel(this, (QString("lbl") + name).toUtf8().constData(), caption),
                     value);
    }
    withCO2_ = namedCheck(this, "dbgWithCO2", "with CO2");
    withCO2_->setEnabled(false);
    form->addRow(withCO2_);
    left->addLayout(form);
    auto* buttons = new QHBoxLayout;
    auto* prev = namedButton(this, "btnPrev", "<");
    auto* next = namedButton(this, "btnNext", ">");
    auto* refresh = namedButton(this, "btnRefresh", "Refresh");
    auto* close = namedButton(this, "btnClose", "Close");
    for (QPushButton* b : {prev, next, refresh}) buttons->addWidget(b);
    buttons->addStretch();
    buttons->addWidget(close);
    left->addLayout(buttons);
    layout->addLayout(left);
    auto* right = new QVBoxLayout;
    right->addWidget(namedLabel(this, "lbldbgHourly", "hourly values"));
    hourly_ = new QPlainTextEdit(this);
    hourly_->setObjectName("dbgHourly");
    hourly_->setReadOnly(true);
    hourly_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    hourly_->setMinimumWidth(170);
    right->addWidget(hourly_);
    layout->addLayout(right);
    connect(prev, &QPushButton::clicked, this, [this] { step(-1); });
    connect(next, &QPushButton::clicked, this, [this] { step(1); });
    connect(refresh, &QPushButton::clicked, this, &TfrmCellStatus_Debug::refresh);
    connect(close, &QPushButton::clicked, this, &QWidget::close);
    timer_ = new QTimer(this);
    timer_->setInterval(kRefreshMs);
    connect(timer_, &QTimer::timeout, this, &TfrmCellStatus_Debug::refresh);
    translateWindow(this);
}

QLabel* TfrmCellStatus_Debug::field(const char* name) {
    return findChild<QLabel*>(name);
}

void TfrmCellStatus_Debug::showCell(int physCell) {
    const int cells = std::max(1, std::min(ctx_.kelvora().cfg.Cells, kMaxCells));
    phys_ = std::clamp(physCell, 1, cells);
    refresh();
    timer_->start();
}

void TfrmCellStatus_Debug::step(int by) {
    // Within 1..Cells: at either end the window stays on the last cell.
    const int cells = std::max(1, std::min(ctx_.kelvora().cfg.Cells, kMaxCells));
    phys_ = std::clamp(phys_ + by, 1, cells);
    refresh();
}

void TfrmCellStatus_Debug::refresh() {
    TKelvora& k = ctx_.kelvora();
    const TCell c = k.acq.cells.cell(phys_);
    setWindowTitle(
        langFmt("frmCellStatus_Debug", "DefaultTitle", "Cell debug %s", QString::number(phys_)));
    field("dbgCellNr")
        ->setText(QString::number(phys_) + "  (" + QString::number(phys_ + k.cfg.firstCell - 1) +
                  ")");
    field("dbgCellState")->setText(qs(TCells::StateText(c.State)));
    field("dbgCellLF0")->setText(real(c.cdm_LF_0));
    field("dbgCellLFLast")->setText(real(c.cdm_LF_Last));
    field("dbgCellLF")->setText(real(c.cdm_LF) + " / " + real(c.cdm_T, 1));
    QStringList starts, gradients;
    for (int i = 1; i <= std::min(c.nStartValues, kMaxStartValues); ++i) {
        starts << real(c.StartValues[static_cast<size_t>(i)]);
        gradients << real(c.Gradients[static_cast<size_t>(i)], 6);
    }
    field("dbgStartValues")->setText(starts.join("  "));
    field("dbgGradients")->setText(gradients.join("  "));
    const int factor = k.cfg.AlarmFactor_min;
    QString hourly;
    for (int i = 1; i <= kHourlySlots; ++i)
        hourly += QString::number(i * factor).rightJustified(5) + " - " +
                  QString::number(c.HourlyCount[static_cast<size_t>(i)]) + "\n";
    hourly_->setPlainText(hourly);
    field("dbgLastHourly")->setText(QString::number(c.HourlyCount[1]));

    const auto row = c.RowNr != 0 ? k.rows.FindByUniqueNr(c.RowNr) : nullptr;
    const char* rowFields[] = {"dbgRowName",   "dbgRowComment", "dbgRowState", "dbgRowMode",
                               "dbgRowTact",   "dbgCellStart",  "dbgCellStop", "dbgNextCycle",
                               "dbgPrevCycle", "dbgSlot",       "dbgRowLF0",   "dbgRowLFLast",
                               "dbgAlarm"};
    if (!row) {
        for (const char* f : rowFields) field(f)->setText(kNoRow);
        withCO2_->setChecked(false);
        return;
    }
    auto lock = k.rows.lock();
    const int slot = row->FindCellSlot(phys_);
    field("dbgRowName")->setText(qs(row->Name));
    field("dbgRowComment")->setText(qs(row->Comment[0]));
    field("dbgRowState")->setText(qs(row->StateText()));
    field("dbgRowMode")->setText(qs(ModeValueUnit(row->RowMode)));
    field("dbgRowTact")->setText(QString::number(row->Tact));
    field("dbgNextCycle")->setText(qs(dtText(row->NextCycle)));
    const int n = std::min(row->iRTV, static_cast<int>(row->RTV.size()) - 1);
    field("dbgPrevCycle")->setText(n >= 1 ? qs(dtText(row->RTV[static_cast<size_t>(n)].dt)) : "");
    withCO2_->setChecked(row->withCO2);
    field("dbgAlarm")
        ->setText(QString::number(row->AlarmCount) + " " +
                  langFmt("frmCellStatus_Debug", "txtAlarm", "Percent >  in %smin",
                          QString::number(row->AlarmHours * factor)) +
                  (row->bO2LeakageAlarm ? "" : "  (off)"));
    if (slot > 0) {
        const RowCell& rc = row->RowCells[static_cast<size_t>(slot)];
        field("dbgSlot")->setText(QString::number(slot));
        field("dbgCellStart")->setText(qs(dtText(rc.StartTime)));
        field("dbgCellStop")->setText(qs(dtText(rc.StopTime)));
        field("dbgRowLF0")->setText(real(rc.cdm_LF_0));
        field("dbgRowLFLast")->setText(real(rc.LF_Last));
    } else {
        for (const char* f :
             {"dbgSlot", "dbgCellStart", "dbgCellStop", "dbgRowLF0", "dbgRowLFLast"})
            field(f)->setText(kNoRow);
    }
}

}  // namespace kv::ui
