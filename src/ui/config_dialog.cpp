#include "ui/config_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEventLoop>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "acquisition/o2tanks.h"
#include "app/livefile.h"
#include "common/datetime.h"
#include "ui/device_edit_dialog.h"
#include "ui/device_terminal.h"
#include "ui/ec71_calibration_dialog.h"
#include "ui/translate.h"
#include "ui/ui_context.h"
#include "ui/window_frontend.h"

namespace kv::ui {

namespace {

constexpr const char* kSection = "frmConfigDlg";
const char* const kRestartWarning = "Please restart Kelvora after this change !";
const QStringList kCO2Options = {"USB/AD", "CDM 210", "EC71"};

QTableWidget* makeGrid(QWidget* parent, const char* name, const QStringList& headers) {
    auto* t = new QTableWidget(parent);
    t->setObjectName(name);
    t->setColumnCount(static_cast<int>(headers.size()));
    t->setHorizontalHeaderLabels(headers);
    t->verticalHeader()->hide();
    t->setSelectionBehavior(QAbstractItemView::SelectRows);
    t->setSelectionMode(QAbstractItemView::SingleSelection);
    t->horizontalHeader()->setStretchLastSection(true);
    return t;
}

QTableWidgetItem* cellItem(const QString& text, bool editable = false) {
    auto* item = new QTableWidgetItem(text);
    if (!editable) item->setFlags(item->flags() & ~Qt::ItemIsEditable);
    return item;
}

QPushButton* makeButton(QWidget* parent, const char* name, const QString& text) {
    auto* b = new QPushButton(text, parent);
    b->setObjectName(name);
    b->setAutoDefault(false);
    return b;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Building the pages

QLineEdit* TfrmConfigDlg::addEdit(QWidget* page, QGridLayout* grid, int row, int col,
                                  const QString& name, const QString& label, bool password) {
    auto* l = new QLabel(label, page);
    l->setObjectName("lbl" + name);
    auto* e = new QLineEdit(page);
    e->setObjectName(name);
    if (password) e->setEchoMode(QLineEdit::Password);
    l->setBuddy(e);
    grid->addWidget(l, row, col);
    grid->addWidget(e, row, col + 1);
    fields_.insert(name, e);
    return e;
}

QCheckBox* TfrmConfigDlg::addCheck(QWidget* page, QGridLayout* grid, int row, int col,
                                   const QString& name, const QString& label) {
    auto* c = new QCheckBox(label, page);
    c->setObjectName(name);
    grid->addWidget(c, row, col, 1, 2);
    fields_.insert(name, c);
    return c;
}

QComboBox* TfrmConfigDlg::addCombo(QWidget* page, QGridLayout* grid, int row, int col,
                                   const QString& name, const QString& label,
                                   const QStringList& items) {
    auto* l = new QLabel(label, page);
    l->setObjectName("lbl" + name);
    auto* c = new QComboBox(page);
    c->setObjectName(name);
    c->addItems(items);
    grid->addWidget(l, row, col);
    grid->addWidget(c, row, col + 1);
    fields_.insert(name, c);
    return c;
}

void TfrmConfigDlg::buildHardwarePage(QWidget* page) {
    auto* v = new QVBoxLayout(page);
    auto* g = new QGridLayout;
    v->addLayout(g);
    addEdit(page, g, 0, 0, "NrCells", "Number of cells");
    addEdit(page, g, 0, 2, "NrCases", "Number of cases");
    addEdit(page, g, 0, 4, "FT_BaudRate", "Baudrate")
        ->setToolTip("115200/57600/38400/19200/9600 = $Baud");
    auto* lists = new QHBoxLayout;
    present_ = makeGrid(page, "CPresentUSB", {"#", "SerialNr", "Description", "LocID"});
    cxy_ = makeGrid(page, "Cxy", {"Cell\\Case", "Case#", "FT-Serial#", "Master", "OK", "Dev#"});
    for (int c = 0; c < cxy_->columnCount(); ++c) {
        const std::string key = "Cxy" + std::to_string(c) + "0";
        cxy_->horizontalHeaderItem(c)->setText(
            langText(kSection, key.c_str(), ss(cxy_->horizontalHeaderItem(c)->text()).c_str()));
    }
    lists->addWidget(present_, 2);
    lists->addWidget(cxy_, 3);
    v->addLayout(lists);
    auto* buttons = new QHBoxLayout;
    auto* refresh = makeButton(page, "btnRefresh", "Refresh");
    auto* editDevice = makeButton(page, "btnEditDevice", "Edit...");
    auto* terminal = makeButton(page, "btnDeviceTerminal", "Terminal");
    buttons->addWidget(refresh);
    buttons->addWidget(editDevice);
    buttons->addWidget(terminal);
    buttons->addStretch();
    v->addLayout(buttons);
    connect(refresh, &QPushButton::clicked, this, [this] {
        run([s = service_] { return s->refresh(); }, [this](const OpResult&) { drawGrids(); });
    });
    connect(editDevice, &QPushButton::clicked, this, &TfrmConfigDlg::editDevice);
    connect(terminal, &QPushButton::clicked, this, &TfrmConfigDlg::openTerminal);
    for (const char* name : {"NrCells", "NrCases", "FT_BaudRate"}) {
        auto* e = qobject_cast<QLineEdit*>(fields_.value(name));
        connect(e, &QLineEdit::editingFinished, this, [this, name] { hardwareFieldLeft(name); });
    }
}

void TfrmConfigDlg::buildCellPage(QWidget* page) {
    auto* v = new QVBoxLayout(page);
    cellGrid_ =
        makeGrid(page, "CCellConfiguration", {"Cell#", "AD lower", "AD upper", "AD actual"});
    v->addWidget(cellGrid_, 3);
    auto* b = new QHBoxLayout;
    auto* measureButton = makeButton(page, "btnMeasure", "Measure");
    auto* lower = makeButton(page, "btnSetLower", "Set Lower");
    auto* upper = makeButton(page, "btnSetUpper", "Set Upper");
    auto* write = makeButton(page, "btnWriteToDevices", "Write to Device(s)");
    for (QPushButton* p : {measureButton, lower, upper, write}) b->addWidget(p);
    b->addStretch();
    v->addLayout(b);
    connect(measureButton, &QPushButton::clicked, this, [this] { measure(AdColumn::Actual); });
    connect(lower, &QPushButton::clicked, this, [this] { measure(AdColumn::Lower); });
    connect(upper, &QPushButton::clicked, this, [this] { measure(AdColumn::Upper); });
    connect(write, &QPushButton::clicked, this, &TfrmConfigDlg::writeLimits);
    tankGrid_ = makeGrid(page, "CCellO2Tank",
                         {"Cell#", "Total Count", "Last refill", "max.Imp", "act.Imp", "%"});
    v->addWidget(tankGrid_, 3);
    auto* t = new QHBoxLayout;
    auto* refill = makeButton(page, "btnO2Refill", "Refill O2-Tank");
    auto* save = makeButton(page, "btnSaveO2TankData", "Save O2-Tank data");
    t->addWidget(refill);
    t->addWidget(save);
    t->addStretch();
    v->addLayout(t);
    connect(refill, &QPushButton::clicked, this, &TfrmConfigDlg::refillTank);
    connect(save, &QPushButton::clicked, this, &TfrmConfigDlg::saveTanks);
}

void TfrmConfigDlg::buildCO2Page(QWidget* page) {
    auto* v = new QVBoxLayout(page);
    co2Option_ = new QGroupBox("CO2", page);
    co2Option_->setObjectName("CO2_Option");
    auto* r = new QHBoxLayout(co2Option_);
    for (int i = 0; i < 3; ++i) {
        optionButtons_[i] = new QRadioButton(kCO2Options[i], co2Option_);
        r->addWidget(optionButtons_[i]);
        connect(optionButtons_[i], &QRadioButton::toggled, this, [this](bool on) {
            if (on && !opening_) applyCO2Option();
        });
    }
    v->addWidget(co2Option_);
    co2Grid_ = makeGrid(page, "CCellCO2Configuration",
                        {"Cell#", "min ADC", "min LF", "max ADC", "max LF"});
    v->addWidget(co2Grid_);
    auto* b = new QHBoxLayout;
    co2SetLower_ = makeButton(page, "btnCO2SetLower", "Set Lower");
    co2SetUpper_ = makeButton(page, "btnCO2SetUpper", "Set Upper");
    b->addWidget(co2SetLower_);
    b->addWidget(co2SetUpper_);
    b->addStretch();
    v->addLayout(b);
    // The cell's newest raw CO2 value, for reading the calibration ends off the grid.
    auto takeRaw = [this](int column) {
        const int cell = co2Grid_->currentRow() + 1;
        if (cell < 1) return;
        const TCell c = ctx_.kelvora().acq.cells.cell(cell);
        co2Grid_->setItem(cell - 1, column, cellItem(QString::number(c.aiCO2)));
    };
    connect(co2SetLower_, &QPushButton::clicked, this, [takeRaw] { takeRaw(1); });
    connect(co2SetUpper_, &QPushButton::clicked, this, [takeRaw] { takeRaw(3); });
}

void TfrmConfigDlg::buildCDMPage(QWidget* page) {
    auto* g = new QGridLayout(page);
    addEdit(page, g, 0, 0, "cdm_COMx", "COM-Port#, Baudrate, Parity (N/E/O), Databits, Stopbits");
    int row = 1;
    for (const char* name :
         {"cdm_cmd_Init", "cdm_cmd_Close", "cdm_cmd_Sample", "cdm_cmd_ReadDisplay"}) {
        addEdit(page, g, row, 0, name, QString(name).mid(8));
        auto* send = makeButton(page, (std::string("btn_") + name).c_str(), "-->");
        g->addWidget(send, row, 2);
        connect(send, &QPushButton::clicked, this, [this, name] { cdmCommand(name); });
        ++row;
    }
    addEdit(page, g, row++, 0, "cdm_ReadDisplay_Retries", "ReadDisplay retries");
    addEdit(page, g, row++, 0, "cdm_mmTimerInt", "Timer interval (ms)");
    addEdit(page, g, row++, 0, "cdm_mux_Loop_Duration", "Loop duration (s)");
    addEdit(page, g, row++, 0, "cdm_mux_Sample_Delay", "Sample delay (s)");
    addEdit(page, g, row++, 0, "cdm_mux_Sample_ReadDisplay_Delay", "Sample - ReadDisplay (s)");
    addEdit(page, g, row++, 0, "cdm_mux_ReadDisplay_Read_Delay", "ReadDisplay - Read (s)");
    addEdit(page, g, row++, 0, "cdm_mux_Read_Delay", "Read delay (s)");
    cdmOutput_ = new QPlainTextEdit(page);
    cdmOutput_->setObjectName("txtCDM_Output");
    cdmOutput_->setReadOnly(true);
    g->addWidget(cdmOutput_, row, 0, 1, 3);
}

void TfrmConfigDlg::buildEC71Page(QWidget* page) {
    auto* g = new QGridLayout(page);
    addCheck(page, g, 0, 0, "EC71_Present", "EC71 present");
    for (int m = 1; m <= kMaxEC71Meters; ++m) {
        const QString n = QString::number(m);
        addEdit(page, g, m, 0, "ec71_" + n + "_COMx", "EC71 #" + n + " COM-Port settings");
        addEdit(page, g, m, 2, "EC71_" + n + "_firstCell", "first cell");
        addEdit(page, g, m, 4, "EC71_" + n + "_lastCell", "last cell");
    }
    int row = 4;
    addEdit(page, g, row, 0, "EC71_mmTimerInt", "Timer interval (ms)");
    addEdit(page, g, row++, 2, "EC71_setMUX_Start_Delay", "setMUX - Start (s)");
    addEdit(page, g, row, 0, "EC71_mux_Sample_Delay", "Sample delay (s)");
    addEdit(page, g, row++, 2, "EC71_mux_Sample_Read_Delay", "Sample - Read (s)");
    addEdit(page, g, row, 0, "EC71_mux_Read_Delay", "Read delay (s)");
    addEdit(page, g, row++, 2, "EC71_maxReadData", "max. ReadData");
    addEdit(page, g, row, 0, "EC71_mux_Loop_Duration", "Loop duration (s)");
    addEdit(page, g, row++, 2, "LF2CO2_const1", "LF to CO2 constant");
    addEdit(page, g, row, 0, "EC71_nCals", "Calibration points");
    addEdit(page, g, row++, 2, "EC71_CalibrationUnit", "Calibration unit");
    for (int i = 1; i <= 3; ++i)
        addEdit(page, g, row, 2 * (i - 1), "EC71_CalibrationValue" + QString::number(i),
                "Calibration value " + QString::number(i));
    ++row;
    auto* l = new QLabel("Cell#", page);
    l->setObjectName("lblEC71_Cells");
    ec71Cells_ = new QComboBox(page);
    ec71Cells_->setObjectName("EC71_Cells");
    auto* start = makeButton(page, "btnEC71Calibrate", "Calibrate ...");
    ec71Cancel_ = makeButton(page, "btnEC71CancelCalibration", "Cancel Calibration");
    ec71Cancel_->setEnabled(false);
    g->addWidget(l, row, 0);
    g->addWidget(ec71Cells_, row, 1);
    g->addWidget(start, row, 2);
    g->addWidget(ec71Cancel_, row, 3);
    g->setRowStretch(row + 1, 1);
    connect(start, &QPushButton::clicked, this, &TfrmConfigDlg::calibrate);
}

void TfrmConfigDlg::buildPasswordPage(QWidget* page) {
    auto* g = new QGridLayout(page);
    int row = 0;
    for (const char* name : {"QuitPwd", "ConfigPwd", "MasterPwd"}) {
        const QString n = name;
        addEdit(page, g, row, 0, n, n.left(n.size() - 3) + " password", true);
        addEdit(page, g, row, 2, "confirm" + n, "confirm", true);
        ++row;
    }
    g->setRowStretch(row, 1);
    auto* master = qobject_cast<QLineEdit*>(fields_.value("MasterPwd"));
    connect(master, &QLineEdit::editingFinished, this, &TfrmConfigDlg::masterPasswordLeft);
}

void TfrmConfigDlg::buildMiscPage(QWidget* page) {
    auto* g = new QGridLayout(page);
    addEdit(page, g, 0, 0, "DataRoot", "Data root");
    auto* choose = makeButton(page, "btnDataRoot", "...");
    g->addWidget(choose, 0, 2);
    connect(choose, &QPushButton::clicked, this, &TfrmConfigDlg::chooseDataRoot);
    addCheck(page, g, 0, 3, "ConfirmExit", "Confirm exit");
    addEdit(page, g, 1, 0, "csvColSep", "CSV column separator");
    addEdit(page, g, 1, 3, "csvStrDelim", "CSV text delimiter");
    addCheck(page, g, 2, 0, "DecimalComma", "Decimal comma");
    addEdit(page, g, 2, 3, "csvfValue", "CSV decimals");
    addEdit(page, g, 3, 0, "prtTopMargin", "Top margin (mm)");
    addEdit(page, g, 3, 3, "prtLeftMargin", "Left margin (mm)");
    addEdit(page, g, 4, 0, "prtfValue", "Print decimals");
    int row = 5;
    for (const char* axis : {"Cnt", "O2", "CO2"}) {
        const QString a = axis;
        addEdit(page, g, row, 0, "go" + a + "YMin", a + " axis min");
        addEdit(page, g, row, 3, "go" + a + "YMax", "max");
        ++row;
        addEdit(page, g, row, 0, "go" + a + "YDelta", "step");
        addEdit(page, g, row, 3, "go" + a + "_yText", "text");
        ++row;
    }
    const char* debug[] = {"bDebug",      "bDebug_USB",      "bDebug_Print", "bDebug_Display",
                           "bDisplay_mA", "bDebug_USB_Data", "bDebug_Rows",  "bDebug_Cells",
                           "bDebug_FT",   "bDebug_Sync",     "bDebug_RS232"};
    const char* captions[] = {"Debugging",  "USB",      "Print", "Debugging output to msg",
                              "Display mA", "USB data", "Rows",  "Cells",
                              "FT",         "Sync",     "RS232"};
    auto* box = new QGroupBox("Debug", page);
    box->setObjectName("gbDebug");
    auto* dg = new QGridLayout(box);
    for (int i = 0; i < 11; ++i) {
        auto* c = new QCheckBox(captions[i], box);
        c->setObjectName(debug[i]);
        dg->addWidget(c, i / 4, i % 4);
        fields_.insert(debug[i], c);
    }
    g->addWidget(box, row++, 0, 1, 5);
    auto* rows = new QGroupBox("Row defaults", page);
    rows->setObjectName("gbRowDefaults");
    auto* rg = new QGridLayout(rows);
    addCombo(rows, rg, 0, 0, "Row_Mode", "Mode", {"mg/l (volume)", "g (weight)"});
    addEdit(rows, rg, 1, 0, "Row_Duration", "Duration");
    addCombo(rows, rg, 1, 2, "Row_SIDuration", "", {"min", "h", "d"});
    addEdit(rows, rg, 2, 0, "Row_Interval", "Interval");
    addCombo(rows, rg, 2, 2, "Row_SIInterval", "", {"min", "h", "d"});
    addCombo(rows, rg, 3, 0, "Row_Tact", "Tact", {"3", "15", "30", "60"});
    addCheck(rows, rg, 4, 0, "Row_ZeroNeeded", "wait for 0 after start");
    addCheck(rows, rg, 4, 2, "Row_withCO2", "with CO2");
    g->addWidget(rows, row, 0, 1, 5);
}

TfrmConfigDlg::TfrmConfigDlg(UiContext& ctx, std::shared_ptr<ConfigService> service,
                             QWidget* parent)
    : QDialog(parent), ctx_(ctx), service_(std::move(service)) {
    setObjectName("frmConfigDlg");
    setWindowTitle("Kelvora/USB configuration");
    auto* layout = new QVBoxLayout(this);
    pages_ = new QTabWidget(this);
    pages_->setObjectName("ConfigPages");
    layout->addWidget(pages_);
    struct Page {
        const char* name;
        const char* caption;
        void (TfrmConfigDlg::*build)(QWidget*);
    };
    for (const Page& p : {Page{"Hardware", "Hardware", &TfrmConfigDlg::buildHardwarePage},
                          Page{"CellConfig", "Cells", &TfrmConfigDlg::buildCellPage},
                          Page{"CO2CellConfig", "CO2", &TfrmConfigDlg::buildCO2Page},
                          Page{"CDMConfiguration", "CDM", &TfrmConfigDlg::buildCDMPage},
                          Page{"EC71Configuration", "EC71", &TfrmConfigDlg::buildEC71Page},
                          Page{"Passwords", "Passwords", &TfrmConfigDlg::buildPasswordPage},
                          Page{"Misc", "Misc", &TfrmConfigDlg::buildMiscPage}}) {
        auto* w = new QWidget(pages_);
        w->setObjectName(p.name);
        (this->*p.build)(w);
        pages_->addTab(w, p.caption);
    }
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    auto* ok = makeButton(this, "btnOK", "OK");
    auto* cancel = makeButton(this, "btnCancel", "Cancel");
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);
    connect(ok, &QPushButton::clicked, this, &TfrmConfigDlg::accept);
    connect(cancel, &QPushButton::clicked, this, &TfrmConfigDlg::reject);
    // The EC71 cell selector holds every cell's shown number.
    connect(pages_, &QTabWidget::currentChanged, this, [this] {
        const int cells = std::clamp(ctx_.kelvora().cfg.Cells, 0, kMaxCells);
        if (ec71Cells_->count() == cells) return;
        ec71Cells_->clear();
        for (int i = 1; i <= cells; ++i)
            ec71Cells_->addItem(QString::number(i + ctx_.kelvora().cfg.firstCell - 1), i);
    });
    liveSignal_ = new QTimer(this);
    liveSignal_->setObjectName("cfgLiveSignal");
    liveSignal_->setInterval(5000);
    connect(liveSignal_, &QTimer::timeout, this, [] { TouchLiveFile(); });
    translateWindow(this);

    // Opening: the CO2 pages as the options say, every setting in its control, the grids.
    const Config& cfg = ctx_.kelvora().cfg;
    opened_ = service_->form();
    service_->loadAdGrid();
    auto setVisible = [this](const char* name, bool on) {
        QWidget* page = pages_->findChild<QWidget*>(name);
        pages_->setTabVisible(pages_->indexOf(page), on);
    };
    setVisible("CO2CellConfig", false);
    setVisible("CDMConfiguration", cfg.withCO2 && cfg.CDM_Present);
    setVisible("EC71Configuration", cfg.withCO2 && cfg.EC71_Present);
    for (const char* n : {"goCO2YMin", "goCO2YMax", "goCO2YDelta", "goCO2_yText"}) {
        fields_.value(n)->setVisible(cfg.withCO2);
        if (auto* l = findChild<QLabel*>(QString("lbl") + n)) l->setVisible(cfg.withCO2);
    }
    fillControls(opened_);
    ec71Cells_->clear();
    for (int i = 1; i <= std::clamp(cfg.Cells, 0, kMaxCells); ++i)
        ec71Cells_->addItem(QString::number(i + cfg.firstCell - 1), i);
    drawGrids();
    opening_ = false;
    liveSignal_->start();
    resize(900, 640);
}

// ---------------------------------------------------------------------------------------
// Controls and grids

void TfrmConfigDlg::fillControls(const ConfigForm& form) {
    for (auto it = fields_.begin(); it != fields_.end(); ++it) {
        const auto f = form.find(ss(it.key()));
        const QString value = f == form.end() ? QString() : qs(f->second);
        if (auto* e = qobject_cast<QLineEdit*>(it.value())) {
            e->setText(value);
        } else if (auto* c = qobject_cast<QCheckBox*>(it.value())) {
            c->setChecked(value == "1");
        } else if (auto* box = qobject_cast<QComboBox*>(it.value())) {
            int i = box->findText(value);
            if (i < 0 && it.key() == "Row_Mode") i = value.toInt();
            box->setCurrentIndex(std::max(i, 0));
        }
    }
    const QString option = qs(form.count("CO2_Option") ? form.at("CO2_Option") : "USB/AD");
    for (int i = 0; i < 3; ++i) optionButtons_[i]->setChecked(kCO2Options[i] == option);
    const bool usbAd = option == kCO2Options[0];
    co2SetLower_->setVisible(usbAd);
    co2SetUpper_->setVisible(usbAd);
}

ConfigForm TfrmConfigDlg::formFromControls() const {
    ConfigForm form = opened_;
    for (auto it = fields_.begin(); it != fields_.end(); ++it) {
        std::string& v = form[ss(it.key())];
        if (auto* e = qobject_cast<QLineEdit*>(it.value()))
            v = ss(e->text());
        else if (auto* c = qobject_cast<QCheckBox*>(it.value()))
            v = c->isChecked() ? "1" : "0";
        else if (auto* box = qobject_cast<QComboBox*>(it.value()))
            v = it.key() == "Row_Mode" ? std::to_string(box->currentIndex())
                                       : ss(box->currentText());
    }
    for (int i = 0; i < 3; ++i)
        if (optionButtons_[i]->isChecked()) form["CO2_Option"] = ss(kCO2Options[i]);
    return form;
}

void TfrmConfigDlg::applyCO2Option() {
    int option = 0;
    for (int i = 0; i < 3; ++i)
        if (optionButtons_[i]->isChecked()) option = i;
    co2SetLower_->setVisible(option == 0);
    co2SetUpper_->setVisible(option == 0);
    pages_->setTabVisible(pages_->indexOf(pages_->findChild<QWidget*>("CDMConfiguration")),
                          option == 1);
    pages_->setTabVisible(pages_->indexOf(pages_->findChild<QWidget*>("EC71Configuration")),
                          option == 2);
    // The EC71 page's check box follows the source chosen here.
    if (auto* c = qobject_cast<QCheckBox*>(fields_.value("EC71_Present")))
        c->setChecked(option == 2);
    drawCO2Grid();
}

int TfrmConfigDlg::cellsInField() const {
    bool ok = false;
    const int n = qobject_cast<QLineEdit*>(fields_.value("NrCells"))->text().trimmed().toInt(&ok);
    return ok && n >= 1 && n <= kMaxCells && n % 6 == 0 ? n : 0;
}

void TfrmConfigDlg::drawGrids() {
    drawAttachedGrid();
    drawDeviceGrid();
    drawCellGrid();
    drawTankGrid();
    drawCO2Grid();
}

void TfrmConfigDlg::drawAttachedGrid() {
    const auto attached = service_->attachedDevices();
    present_->setRowCount(static_cast<int>(attached.size()));
    for (int i = 0; i < static_cast<int>(attached.size()); ++i) {
        const TUSBDeviceListEntry& u = attached[size_t(i)];
        present_->setItem(i, 0, cellItem(QString::number(i + 1)));
        present_->setItem(i, 1, cellItem(qs(u.SerialNr)));
        present_->setItem(i, 2, cellItem(qs(u.Description)));
        present_->setItem(i, 3, cellItem(QString::number(u.LocID)));
    }
    present_->resizeColumnsToContents();
}

void TfrmConfigDlg::drawDeviceGrid() {
    // Redrawn only for a cell count the close check would take.
    const int cells = cellsInField();
    if (cells == 0) return;
    const int cases =
        std::max(0, qobject_cast<QLineEdit*>(fields_.value("NrCases"))->text().toInt());
    gridRows_ = service_->deviceGrid(cells, std::min(cases, kMaxDevices));
    cxy_->setRowCount(static_cast<int>(gridRows_.size()));
    for (int i = 0; i < static_cast<int>(gridRows_.size()); ++i) {
        const DeviceGridRow& r = gridRows_[size_t(i)];
        cxy_->setItem(i, 0, cellItem(qs(r.label)));
        cxy_->setItem(i, 1, cellItem(qs(r.caseNr)));
        cxy_->setItem(i, 2, cellItem(qs(r.serialNr)));
        cxy_->setItem(i, 3, cellItem(qs(r.master)));
        cxy_->setItem(i, 4, cellItem(qs(r.present)));
        cxy_->setItem(i, 5, cellItem(r.device ? QString::number(r.device) : "-"));
    }
    cxy_->resizeColumnsToContents();
    if (cxy_->currentRow() < 0 && !gridRows_.empty()) cxy_->selectRow(0);
}

void TfrmConfigDlg::drawCellGrid() {
    const std::vector<AdLimitRow>& grid = service_->adGrid();
    const int first = ctx_.kelvora().cfg.firstCell;
    cellGrid_->setRowCount(static_cast<int>(grid.size()));
    for (int i = 0; i < static_cast<int>(grid.size()); ++i) {
        cellGrid_->setItem(i, 0, cellItem(QString::number(i + first)));
        cellGrid_->setItem(i, 1, cellItem(qs(grid[size_t(i)].lower), true));
        cellGrid_->setItem(i, 2, cellItem(qs(grid[size_t(i)].upper), true));
        cellGrid_->setItem(i, 3, cellItem(qs(grid[size_t(i)].actual)));
    }
    if (cellGrid_->currentRow() < 0 && !grid.empty()) cellGrid_->selectRow(0);
}

void TfrmConfigDlg::storeCellGrid() {
    std::vector<AdLimitRow>& grid = service_->adGrid();
    for (int i = 0; i < std::min<int>(cellGrid_->rowCount(), int(grid.size())); ++i) {
        grid[size_t(i)].lower = ss(cellGrid_->item(i, 1)->text().trimmed());
        grid[size_t(i)].upper = ss(cellGrid_->item(i, 2)->text().trimmed());
    }
}

void TfrmConfigDlg::drawTankGrid() {
    const int cells = std::clamp(ctx_.kelvora().cfg.Cells, 0, kMaxCells);
    const int first = ctx_.kelvora().cfg.firstCell;
    tankGrid_->setRowCount(cells);
    for (int i = 1; i <= cells; ++i) {
        const TCell c = ctx_.kelvora().acq.cells.cell(i);
        std::string pct = O2TankFile::usedPercentText(c);
        if (!pct.empty() && pct.back() == '%') pct.pop_back();
        tankGrid_->setItem(i - 1, 0, cellItem(QString::number(i + first - 1)));
        tankGrid_->setItem(i - 1, 1, cellItem(QString::number(c.O2ImpTotal)));
        tankGrid_->setItem(i - 1, 2,
                           cellItem(c.O2TankDate > 0 ? qs(dateToText(c.O2TankDate)) : QString()));
        tankGrid_->setItem(i - 1, 3, cellItem(QString::number(c.O2TankMax)));
        tankGrid_->setItem(i - 1, 4, cellItem(QString::number(c.O2TankUsed)));
        tankGrid_->setItem(i - 1, 5, cellItem(qs(pct)));
    }
    if (tankGrid_->currentRow() < 0 && cells > 0) tankGrid_->selectRow(0);
}

void TfrmConfigDlg::drawCO2Grid() {
    const int cells = std::clamp(ctx_.kelvora().cfg.Cells, 0, kMaxCells);
    const bool cdm = optionButtons_[1]->isChecked();
    co2Grid_->setColumnCount(cdm ? 3 : 5);
    co2Grid_->setHorizontalHeaderLabels(
        cdm ? QStringList{"Cell#", "Cell Constant", "Resistance"}
            : QStringList{"Cell#", "min ADC", "min LF", "max ADC", "max LF"});
    co2Grid_->setRowCount(cells);
    for (int i = 1; i <= cells; ++i) {
        const TCell c = ctx_.kelvora().acq.cells.cell(i);
        co2Grid_->setItem(i - 1, 0,
                          cellItem(QString::number(i + ctx_.kelvora().cfg.firstCell - 1)));
        if (cdm) {
            co2Grid_->setItem(i - 1, 1, cellItem(qs(realToText(c.LFFactor, 0, -5))));
            co2Grid_->setItem(i - 1, 2, cellItem(qs(realToText(c.LFOffset, 0, -5))));
            continue;
        }
        co2Grid_->setItem(i - 1, 1, cellItem(QString::number(c.minADC)));
        co2Grid_->setItem(i - 1, 2, cellItem(qs(realToText(c.minLF, 0, -5))));
        co2Grid_->setItem(i - 1, 3, cellItem(QString::number(c.maxADC)));
        co2Grid_->setItem(i - 1, 4, cellItem(qs(realToText(c.maxLF, 0, -5))));
    }
}

void TfrmConfigDlg::hardwareFieldLeft(const QString& name) {
    drawGrids();
    const auto it = opened_.find(ss(name));
    const QString now = qobject_cast<QLineEdit*>(fields_.value(name))->text().trimmed();
    if (!opening_ && it != opened_.end() && now != qs(it->second)) showMessage(kRestartWarning);
}

void TfrmConfigDlg::masterPasswordLeft() {
    auto* e = qobject_cast<QLineEdit*>(fields_.value("MasterPwd"));
    const std::string old = opened_["MasterPwd"];
    if (opening_ || ss(e->text()) == old) return;
    if (!service_->masterChangeAllowed(ss(e->text()))) e->setText(qs(old));
}

int TfrmConfigDlg::selectedDevice() const {
    const int row = cxy_->currentRow();
    return row >= 0 && row < static_cast<int>(gridRows_.size()) ? gridRows_[size_t(row)].device : 0;
}

int TfrmConfigDlg::selectedCell() const {
    return cellGrid_->currentRow() + 1;
}

// ---------------------------------------------------------------------------------------
// Actions

void TfrmConfigDlg::setBusy(bool busy) {
    busy_ = busy;
    for (QPushButton* b : findChildren<QPushButton*>())
        if (b != ec71Cancel_) b->setEnabled(!busy);
}

void TfrmConfigDlg::run(std::function<OpResult()> work, std::function<void(const OpResult&)> done) {
    setBusy(true);
    ctx_.runOperation(
        this, [work = std::move(work)](Operations&) { return work(); },
        [this, done = std::move(done)](const OpResult& r) {
            setBusy(false);
            if (done) done(r);
            emit operationDone();
        });
}

void TfrmConfigDlg::showMessage(const QString& text) {
    QMessageBox::warning(this, windowTitle(), text);
}

void TfrmConfigDlg::editDevice() {
    const int d = selectedDevice();
    if (d == 0) return;
    auto values = std::make_shared<DeviceEdit>();
    run([s = service_, d, values] { return s->readDevice(d, *values); },
        [this, values](const OpResult& r) {
            if (!r.ok) {
                showMessage(qs(r.error));
                return;
            }
            TfrmDeviceEdit dlg(*values, this);
            if (dlg.exec() != QDialog::Accepted) return;
            const DeviceEdit edited = dlg.values();
            run([s = service_, edited] { return s->writeDevice(edited); },
                [this](const OpResult& w) {
                    if (!w.ok) showMessage(qs(w.error));
                    drawDeviceGrid();
                });
        });
}

void TfrmConfigDlg::openTerminal() {
    const int d = selectedDevice();
    if (d == 0) return;
    const TKLVDeviceListEntry e = ctx_.kelvora().devices.device(d);
    const QString title =
        qs(ctx_.kelvora().devices.fullName(d, true) + (e.AppName.empty() ? "" : " - " + e.AppName));
    TfrmDeviceTerminal terminal(ctx_, service_, d, title, this);
    terminal.exec();
}

void TfrmConfigDlg::measure(AdColumn column) {
    const int cell = selectedCell();
    if (cell < 1) return;
    storeCellGrid();
    run([s = service_, cell, column] { return s->measureAd(cell, column); },
        [this](const OpResult&) { drawCellGrid(); });
}

void TfrmConfigDlg::writeLimits() {
    storeCellGrid();
    run([s = service_] { return s->writeAdLimits(); },
        [this](const OpResult& r) {
            if (!r.ok) showMessage(qs(r.error));
        });
}

void TfrmConfigDlg::refillTank() {
    const int row = tankGrid_->currentRow();
    if (row < 0) return;
    const int shown = row + ctx_.kelvora().cfg.firstCell;
    setBusy(true);
    ctx_.runOperation(
        this, [shown](Operations& ops) { return ops.refillTank(shown); },
        [this](const OpResult& r) {
            setBusy(false);
            if (!r.ok && !r.error.empty()) showMessage(qs(r.error));
            drawTankGrid();
            emit operationDone();
        });
}

void TfrmConfigDlg::saveTanks() {
    run([s = service_] { return s->saveTanks(); },
        [this](const OpResult& r) {
            if (!r.ok) showMessage(qs(r.error));
        });
}

void TfrmConfigDlg::cdmCommand(const QString& field) {
    const std::string command = ss(qobject_cast<QLineEdit*>(fields_.value(field))->text());
    auto output = std::make_shared<std::string>();
    run([s = service_, command, output] { return s->cdmCommand(command, *output); },
        [this, output](const OpResult& r) {
            cdmOutput_->setPlainText(r.ok ? qs(printableText(*output)) : qs(r.error));
        });
}

void TfrmConfigDlg::calibrate() {
    const int cell = ec71Cells_->currentData().toInt();
    if (cell < 1) return;
    TfrmEC71Calibration dlg(ctx_, service_, cell, this);
    ec71Cancel_->setEnabled(true);
    auto conn =
        connect(ec71Cancel_, &QPushButton::clicked, &dlg, &TfrmEC71Calibration::cancelCalibration);
    setBusy(true);
    dlg.start();
    dlg.exec();
    disconnect(conn);
    ec71Cancel_->setEnabled(false);
    setBusy(false);
    emit operationDone();
}

void TfrmConfigDlg::chooseDataRoot() {
    auto* e = qobject_cast<QLineEdit*>(fields_.value("DataRoot"));
    const QString dir = QFileDialog::getExistingDirectory(
        this, langText(kSection, "SelectDirectory", "Select directory"), e->text());
    if (!dir.isEmpty()) e->setText(dir);
}

// ---------------------------------------------------------------------------------------
// Closing

void TfrmConfigDlg::accept() {
    if (busy_ || closing_) return;
    storeCellGrid();
    const ConfigForm form = formFromControls();
    const CloseCheck check = ConfigService::check(form, ctx_.kelvora().cfg.withCO2);
    if (!check.ok) {
        showMessage(qs(check.message));
        if (QWidget* w = fields_.value(qs(check.field))) {
            for (QWidget* p = w->parentWidget(); p; p = p->parentWidget())
                if (pages_->indexOf(p) >= 0) pages_->setCurrentWidget(p);
            w->setFocus();
        }
        return;
    }
    closing_ = true;
    liveSignal_->stop();
    run([s = service_, form] { return s->accept(form, true); },
        [this](const OpResult& r) {
            closing_ = false;
            if (!r.ok) {
                // The check passed here; what failed is the old master password or the
                // save, and the session has resumed only for the save.
                showMessage(qs(r.error));
                if (service_->isOpen()) {
                    liveSignal_->start();
                    return;
                }
                QDialog::reject();
                return;
            }
            for (const std::string& l : r.lines)
                if (l == kRestartWarning) showMessage(kRestartWarning);
            QDialog::accept();
        });
}

void TfrmConfigDlg::reject() {
    if (busy_ || closing_) return;
    closing_ = true;
    liveSignal_->stop();
    run([s = service_] { return s->cancel(); },
        [this](const OpResult&) {
            closing_ = false;
            QDialog::reject();
        });
}

void execConfigDialog(UiContext& ctx, QWidget* parent) {
    auto service = std::make_shared<ConfigService>(ctx.kelvora(), ctx.frontEnd());
    QEventLoop wait;
    OpResult opened = OpResult::failed("not run");
    QObject guard;
    ctx.runOperation(
        &guard, [service](Operations&) { return service->open(); },
        [&](const OpResult& r) {
            opened = r;
            wait.quit();
        });
    wait.exec();
    if (!opened.ok) {
        // A refused password: nothing happens. Anything else the operator is told.
        if (opened.error != "configuration password refused") ctx.frontEnd().warning(opened.error);
        return;
    }
    TfrmConfigDlg dlg(ctx, service, parent);
    dlg.exec();
}

}  // namespace kv::ui
