#include "ui/row_data_window.h"

#include <QAbstractTableModel>
#include <QCheckBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMenuBar>
#include <QPageSetupDialog>
#include <QPrinter>
#include <QTableView>
#include <QToolBar>
#include <QVBoxLayout>

#include "output/qt/output_files.h"
#include "output/qt/print_row.h"
#include "output/qt/printout.h"
#include "ui/dialog_util.h"
#include "ui/evaluation_window.h"
#include "ui/translate.h"
#include "ui/ui_context.h"
#include "ui/window_frontend.h"

namespace kv::ui {

// The model's values as the grid asks for them: a long row has tens of thousands of lines,
// so nothing is copied into widgets.
class RowDataTable : public QAbstractTableModel {
  public:
    using QAbstractTableModel::QAbstractTableModel;
    void setModel(RowDataModel m) {
        beginResetModel();
        m_ = std::move(m);
        endResetModel();
    }
    const RowDataModel& model() const { return m_; }
    int rowCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : m_.rowCount();
    }
    int columnCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : m_.columnCount();
    }
    QVariant data(const QModelIndex& i, int role) const override {
        if (role == Qt::TextAlignmentRole) return int(Qt::AlignRight | Qt::AlignVCenter);
        if (role != Qt::DisplayRole) return {};
        return qs(m_.text(i.row(), i.column())).trimmed();
    }
    QVariant headerData(int section, Qt::Orientation o, int role) const override {
        if (role != Qt::DisplayRole) return {};
        if (o == Qt::Horizontal) return qs(m_.header(section)).trimmed();
        return qs(m_.timeText(section));
    }

  private:
    RowDataModel m_;
};

TfrmRowData::TfrmRowData(UiContext& ctx, QWidget* parent)
    : QWidget(parent, Qt::Window), ctx_(ctx), printer_(std::make_unique<QPrinter>()) {
    setObjectName("frmRowData");
    setWindowTitle("Row data");
    resize(900, 560);
    auto* layout = new QVBoxLayout(this);
    auto* menuBar = new QMenuBar(this);
    auto* menu = menuBar->addMenu("&File");
    menu->setObjectName("MenuCmd_File");
    auto* bar = new QToolBar(this);
    bar->setObjectName("ToolBar");
    bar->setToolButtonStyle(Qt::ToolButtonTextOnly);
    auto action = [&](const char* name, const QString& text, auto slot) {
        auto* a = new QAction(text, this);
        a->setObjectName(name);
        connect(a, &QAction::triggered, this, slot);
        bar->addAction(a);
        menu->addAction(a);
        return a;
    };
    action("sbClose", "Close", [this] { close(); });
    action("sbSave", "Save", [this] { save(); });
    action("sbAT4", "AT4", [this] {
        const int nr = rowNr_;
        run([nr](Operations& ops) { return ops.exportAt4(nr); });
    });
    action("sb301f", "301f", [this] {
        const int nr = rowNr_;
        run([nr](Operations& ops) { return ops.export301f(nr); });
    });
    action("sbEvaluation", "Evaluation", [this] { showEvaluation(ctx_, this, rowNr_); });
    action("sbPrinterSetup", "Printer setup", [this] {
        QPageSetupDialog dialog(printer_.get(), this);
        dialog.exec();
    });
    action("sbPrintOverview", "Print overview", [this] { print(false, false); });
    action("sbPrintData", "Print data", [this] { print(true, false); });
    action("sbPrintAll", "Print all", [this] { print(true, true); });
    layout->setMenuBar(menuBar);
    layout->addWidget(bar);
    auto* choices = new QHBoxLayout;
    co2_ = namedCheck(this, "cbCO2", "CO2");
    lf_ = namedCheck(this, "cbLF", "LF");
    ts_ = namedCheck(this, "cbO2TS", "O2 TS");
    for (QCheckBox* b : {co2_, lf_, ts_}) {
        choices->addWidget(b);
        connect(b, &QCheckBox::clicked, this, [this, b] { choose(b); });
    }
    choices->addStretch();
    layout->addLayout(choices);
    table_ = new RowDataTable(this);
    grid_ = new QTableView(this);
    grid_->setObjectName("RowDataGrid");
    grid_->setModel(table_);
    grid_->verticalHeader()->setDefaultSectionSize(20);
    grid_->horizontalHeader()->setDefaultSectionSize(90);
    layout->addWidget(grid_);
    translateWindow(this);
}

TfrmRowData::~TfrmRowData() = default;

bool TfrmRowData::showRow(int rowNr) {
    const auto row = ctx_.kelvora().rows.FindByUniqueNr(rowNr);
    if (!row) return false;
    rowNr_ = rowNr;
    {
        auto lock = ctx_.kelvora().rows.lock();
        withCO2_ = row->withCO2;
        setWindowTitle(qs(row->Name));
    }
    // Conductivity and CO2 exist only for a row that measures CO2.
    co2_->setEnabled(withCO2_);
    lf_->setEnabled(withCO2_);
    if (!withCO2_) {
        co2_->setChecked(false);
        lf_->setChecked(false);
    }
    reload();
    return true;
}

RowValueChoice TfrmRowData::choice() const {
    if (co2_->isChecked()) return RowValueChoice::CO2;
    if (lf_->isChecked()) return RowValueChoice::LF;
    if (ts_->isChecked()) return RowValueChoice::O2TS;
    return RowValueChoice::O2;
}

void TfrmRowData::choose(QCheckBox* box) {
    // One choice at a time: ticking one clears the other two.
    if (box->isChecked())
        for (QCheckBox* other : {co2_, lf_, ts_})
            if (other != box) other->setChecked(false);
    reload();
}

void TfrmRowData::reload() {
    const auto row = ctx_.kelvora().rows.FindByUniqueNr(rowNr_);
    if (!row) return;
    RowDataModel m;
    m.load(*row, choice());
    table_->setModel(std::move(m));
    grid_->verticalHeader()->setMinimumWidth(130);
}

void TfrmRowData::run(std::function<OpResult(Operations&)> work) {
    setCursor(Qt::BusyCursor);
    ctx_.runOperation(this, withRowPassword(ctx_, password_, std::move(work)),
                      [this](const OpResult& r) {
                          unsetCursor();
                          if (!showResult(ctx_, r)) return;
                          for (const std::string& line : r.lines) ctx_.frontEnd().information(line);
                      });
}

void TfrmRowData::save() {
    const QString file = QFileDialog::getSaveFileName(
        this, langText("frmMain", "RowDataSaveDlgTitle", "Save data to Excel- or CSV-File"),
        windowTitle() + ".csv", "CSV (*.csv);;Excel (*.xlsx *.xls);;* (*)");
    if (!file.isEmpty()) saveTo(file);
}

void TfrmRowData::saveTo(const QString& file) {
    const int nr = rowNr_;
    const std::string f = ss(file);
    const bool perDriedMatter = ts_->isChecked();
    const bool conductivity = lf_->isChecked();
    const QString suffix = file.section('.', -1).toLower();
    if (file.contains('.') && (suffix == "xls" || suffix == "xlsx"))
        run([nr, f, perDriedMatter, conductivity](Operations& ops) {
            return ops.exportXlsx(nr, f, perDriedMatter, conductivity);
        });
    else
        run([nr, f, perDriedMatter, conductivity](Operations& ops) {
            return ops.exportCsv(nr, f, perDriedMatter, conductivity);
        });
}

void TfrmRowData::print(bool data, bool special) {
    const auto row = ctx_.kelvora().rows.FindByUniqueNr(rowNr_);
    if (!row) return;
    PrintOptions o;
    o.printData = data;
    o.printSpecial = special;
    o.perDriedMatter = ts_->isChecked();
    o.showLF = lf_->isChecked();
    o.showCO2 = co2_->isChecked();
    // Without a printer the printout becomes a PDF file in the result folder.
    if (!HasPrinter()) {
        const OutputResult r = PrintRowToPrinter(*row, o);
        if (r.ok)
            ctx_.frontEnd().information(r.text);
        else
            ctx_.frontEnd().warning(r.text);
        return;
    }
    const std::string err = PrintRow(*row, o, *printer_);
    if (!err.empty()) ctx_.frontEnd().warning(err);
}

}  // namespace kv::ui
