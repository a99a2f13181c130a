#include "ui/main_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QFontMetrics>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QMessageBox>
#include <QPageSetupDialog>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>
#include <atomic>
#include <memory>

#include "app/debuglog.h"
#include "app/messages.h"
#include "app/texts.h"
#include "common/datetime.h"
#include "common/numtext.h"
#include "system/version.h"
#include "ui/alarm_window.h"
#include "ui/config_dialog.h"
#include "ui/dialogs.h"
#include "ui/shared_printer.h"
#include "ui/status_window.h"
#include "ui/translate.h"
#include "ui/ui_context.h"
#include "ui/window_frontend.h"

namespace kv::ui {

namespace {

constexpr int kRefreshMs = 1000;
const char* const kCancelled = "Cancelled.";

// A label that reports clicks (lblTact toggles the USB debug page).
class ClickLabel : public QLabel {
  public:
    ClickLabel(const QString& text, QWidget* parent, std::function<void()> onClick)
        : QLabel(text, parent), onClick_(std::move(onClick)) {}

  protected:
    void mouseReleaseEvent(QMouseEvent*) override {
        if (onClick_) onClick_();
    }

  private:
    std::function<void()> onClick_;
};

QPushButton* button(QWidget* parent, const char* name, const char* text,
                    const char* hint = nullptr) {
    auto* b = new QPushButton(text, parent);
    b->setObjectName(name);
    if (hint) b->setToolTip(hint);
    return b;
}

QLineEdit* field(QWidget* parent, const char* name, int width = 90) {
    auto* e = new QLineEdit(parent);
    e->setObjectName(name);
    e->setMaximumWidth(width);
    return e;
}

QTableWidget* table(QWidget* parent, const char* name, const QStringList& headers) {
    auto* t = new QTableWidget(0, static_cast<int>(headers.size()), parent);
    t->setObjectName(name);
    t->setHorizontalHeaderLabels(headers);
    t->setSelectionBehavior(QAbstractItemView::SelectRows);
    t->setSelectionMode(QAbstractItemView::SingleSelection);
    t->setEditTriggers(QAbstractItemView::NoEditTriggers);
    t->verticalHeader()->setVisible(false);
    t->horizontalHeader()->setStretchLastSection(true);
    t->setWordWrap(false);
    return t;
}

void setCell(QTableWidget* t, int r, int c, const QString& text) {
    QTableWidgetItem* item = t->item(r, c);
    if (!item) {
        t->setItem(r, c, new QTableWidgetItem(text));
    } else if (item->text() != text) {
        item->setText(text);
    }
}

QString statusStyle(StatusColor c) {
    switch (c) {
        case StatusColor::Red:
            return "color: #c00000;";
        case StatusColor::Green:
            return "color: #007000;";
        case StatusColor::Black:
            break;
    }
    return "color: black;";
}

double fieldNumber(const QLineEdit* e) {
    return textToReal(ss(e->text()));
}

}  // namespace

TfrmMain::TfrmMain(UiContext& ctx, QWidget* parent) : QMainWindow(parent), ctx_(ctx) {
    setObjectName("frmMain");
    setWindowTitle("Kelvora");
    resize(1060, 640);
    buildMenuAndToolBar();

    pages_ = new QTabWidget(this);
    pages_->setObjectName("PageControl");
    cellsPage_ = buildCellsPage();
    rowsPage_ = buildRowsPage();
    pages_->addTab(cellsPage_, "Cells");
    pages_->addTab(rowsPage_, "Meas. series");
    pages_->addTab(buildTemplatePage(), "Templates");
    pages_->addTab(buildMsgPage(), "Messages");
    grPage_ = buildGrPage();
    pages_->addTab(grPage_, "Graphics");
    debugPage_ = buildDebugPage();
    pages_->addTab(debugPage_, "USB Debug Data");
    pages_->setTabVisible(pages_->indexOf(debugPage_), false);
    setCentralWidget(pages_);
    connect(pages_, &QTabWidget::currentChanged, this, [this](int index) {
        if (pages_->widget(index) == grPage_) GrPageEnter();
    });
    buildStatusBar();

    refreshTimer_ = new QTimer(this);
    refreshTimer_->setObjectName("RefreshTimer");
    refreshTimer_->setInterval(kRefreshMs);
    connect(refreshTimer_, &QTimer::timeout, this, &TfrmMain::refresh);

    translateWindow(this);
}

// --- building ------------------------------------------------------------------------------

void TfrmMain::buildMenuAndToolBar() {
    QMenuBar* bar = menuBar();
    bar->setObjectName("MainMenu");
    QMenu* file = bar->addMenu("&File");
    file->setObjectName("MenuCmd_File");
    auto action = [&](const char* name, const char* text, auto slot) {
        auto* a = file->addAction(text);
        a->setObjectName(name);
        connect(a, &QAction::triggered, this, slot);
        return a;
    };
    action("MenuCmd_File_Status", "&Status...", &TfrmMain::sbStatusClick);
    action("MenuCmd_File_Config", "&Configuration...", &TfrmMain::sbConfigClick);
    file->addSeparator();
    action("MenuCmd_File_Exit", "&Quit", &TfrmMain::sbQuitClick)
        ->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_X));

    QToolBar* tools = addToolBar("Tools");
    tools->setObjectName("ToolBar");
    tools->setMovable(false);
    auto tool = [&](const char* name, const char* text, const char* hint, auto slot) {
        auto* b = new QToolButton(tools);
        b->setObjectName(name);
        b->setText(text);
        b->setToolTip(hint);
        b->setToolButtonStyle(Qt::ToolButtonTextOnly);
        tools->addWidget(b);
        connect(b, &QToolButton::clicked, this, slot);
    };
    tool("sbQuit", "Quit", "Quit Kelvora/NT", &TfrmMain::sbQuitClick);
    tool("sbStatus", "Status", "Program status information", &TfrmMain::sbStatusClick);
    tool("sbPrinterSetup", "Printer", "Printer setup", &TfrmMain::sbPrinterSetupClick);
    tool("sbConfig", "Configuration", "Configuration", &TfrmMain::sbConfigClick);
}

QWidget* TfrmMain::buildCellsPage() {
    auto* page = new QWidget;
    page->setObjectName("CellsPage");
    auto* layout = new QVBoxLayout(page);
    cellsGrid_ = new QTableWidget(0, 7, page);
    cellsGrid_->setObjectName("CellsGrid");
    cellsGrid_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    cellsGrid_->horizontalHeader()->setVisible(false);
    cellsGrid_->verticalHeader()->setVisible(false);
    cellsGrid_->setFont(QFont("DejaVu Sans Mono", 9));
    cellsGrid_->setWordWrap(false);
    connect(cellsGrid_, &QTableWidget::cellDoubleClicked, this, &TfrmMain::CellsGridDblClick);
    layout->addWidget(cellsGrid_, 1);

    auto* bottom = new QHBoxLayout;
    rgCellMode_ = new QGroupBox("Display", page);
    rgCellMode_->setObjectName("rgCellMode");
    auto* modes = new QHBoxLayout(rgCellMode_);
    const QStringList all = {"Cnt", "O2", "O2 TS", "CO2", "LF"};
    for (int i = 0; i < all.size(); ++i) {
        auto* b = new QRadioButton(all[i], rgCellMode_);
        b->setObjectName(QString("rgCellMode_%1").arg(i));
        modes->addWidget(b);
        modeButtons_.push_back(b);
        connect(b, &QRadioButton::clicked, this, [this, i] { rgCellModeClick(i); });
    }
    modeButtons_[1]->setChecked(true);
    bottom->addWidget(rgCellMode_);
    bottom->addStretch(1);
    lblTact_ = new ClickLabel("Tact", page, [this] { lblTactClick(); });
    lblTact_->setObjectName("lblTact");
    lblTact_->setToolTip("Click: USB debug page on/off");
    bottom->addWidget(lblTact_);
    layout->addLayout(bottom);
    return page;
}

QVBoxLayout* TfrmMain::buttonColumn(std::initializer_list<PageButton> list) {
    auto* column = new QVBoxLayout;
    for (const auto& [b, slot] : list) {
        column->addWidget(b);
        connect(b, &QPushButton::clicked, this, slot);
    }
    column->addStretch(1);
    return column;
}

QWidget* TfrmMain::buildRowsPage() {
    auto* page = new QWidget;
    page->setObjectName("RowsPage");
    auto* layout = new QHBoxLayout(page);
    rowsList_ = table(page, "RowsList", {"Name", "State", "Cells", "Start", "Stop", "Values"});
    for (const auto& [col, w] : {std::pair{0, 240}, {1, 90}, {2, 170}, {3, 150}, {4, 150}})
        rowsList_->setColumnWidth(col, w);
    layout->addWidget(rowsList_, 1);
    const std::initializer_list<PageButton> list = {
        {button(page, "btnNewRow", "New"), &TfrmMain::btnNewRowClick},
        {button(page, "btnEditRow", "Edit"), &TfrmMain::btnEditRowClick},
        {button(page, "btnStartStopRow", "Start/Stop"), &TfrmMain::btnStartStopRowClick},
        {button(page, "btnDeleteRow", "Delete"), &TfrmMain::btnDeleteRowClick},
        {button(page, "btnRowData", "Data"), &TfrmMain::btnRowDataClick},
        {button(page, "btnRowInfo", "Info"), &TfrmMain::btnRowInfoClick},
        {button(page, "btnExportRow", "Export"), &TfrmMain::btnExportRowClick},
        {button(page, "btnImportRow", "Import"), &TfrmMain::btnImportRowClick},
        {button(page, "btnRow2Template", "Template"), &TfrmMain::btnRow2TemplateClick},
    };
    layout->addLayout(buttonColumn(list));
    connect(rowsList_, &QTableWidget::cellDoubleClicked, this, [this] { btnEditRowClick(); });
    return page;
}

QWidget* TfrmMain::buildTemplatePage() {
    auto* page = new QWidget;
    page->setObjectName("TemplatePage");
    auto* layout = new QHBoxLayout(page);
    templateList_ = table(page, "TemplateList", {"Name", "Cells", "Created"});
    templateList_->setColumnWidth(0, 360);
    templateList_->setColumnWidth(1, 200);
    layout->addWidget(templateList_, 1);
    const std::initializer_list<PageButton> list = {
        {button(page, "btnNewTemplate", "New"), &TfrmMain::btnNewTemplateClick},
        {button(page, "btnEditTemplate", "Edit"), &TfrmMain::btnEditTemplateClick},
        {button(page, "btnDeleteTemplate", "Delete"), &TfrmMain::btnDeleteTemplateClick},
        {button(page, "btnNewRowFromTemplate", "New measure"),
         &TfrmMain::btnNewRowFromTemplateClick},
    };
    layout->addLayout(buttonColumn(list));
    return page;
}

QWidget* TfrmMain::buildMsgPage() {
    auto* page = new QWidget;
    page->setObjectName("MsgPage");
    auto* layout = new QHBoxLayout(page);
    msgGrid_ = table(page, "MsgGrid", {"Message"});
    msgGrid_->horizontalHeader()->setVisible(false);
    layout->addWidget(msgGrid_, 1);
    const std::initializer_list<PageButton> list = {
        {button(page, "btnNewMsg", "New"), &TfrmMain::btnNewMsgClick},
        {button(page, "btnSaveMsgs", "Save"), &TfrmMain::btnSaveMsgsClick},
        {button(page, "btnDelMsgs", "Delete"), &TfrmMain::btnDelMsgsClick},
    };
    layout->addLayout(buttonColumn(list));
    return page;
}

QWidget* TfrmMain::buildGrPage() {
    auto* page = new QWidget;
    page->setObjectName("GrPage");
    auto* layout = new QHBoxLayout(page);
    auto* left = new QVBoxLayout;
    grRow_ = new QComboBox(page);
    grRow_->setObjectName("grRow");
    connect(grRow_, &QComboBox::activated, this, &TfrmMain::grRowChange);
    left->addWidget(grRow_);
    grCellList_ = new QListWidget(page);
    grCellList_->setObjectName("grCellList");
    grCellList_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    grCellList_->setFont(QFont("DejaVu Sans Mono", 9));
    left->addWidget(grCellList_, 1);
    layout->addLayout(left, 2);

    auto* curveBox = new QGroupBox("Curves", page);
    curveBox->setObjectName("gbCurves");
    auto* cg = new QGridLayout(curveBox);
    cbLCS_ = new QCheckBox("for all selected", curveBox);
    cbLCS_->setObjectName("cbLCS");
    cg->addWidget(cbLCS_, 0, 0, 1, 2);
    struct Btn {
        const char* name;
        const char* text;
        std::function<void(int&, std::array<int, 5>&)> change;
    };
    const std::vector<Btn> btns = {
        {"btnToggle", "toggle", [](int& shown, auto&) { shown = shown ? 0 : 1; }},
        {"btnYAxis", "Y-Axe (L/R)", [](int&, auto& v) { v[4] = v[4] == 1 ? 2 : 1; }},
        {"btnLineStyle", "Linestyle", [](int&, auto& v) { v[0] = v[0] % 5 + 1; }},
        {"btnColor", "Color", [](int&, auto& v) { v[1] = v[1] % 15 + 1; }},
        {"btnSymbol", "Symbol", [](int&, auto& v) { v[2] = v[2] % 6 + 1; }},
        {"btnSymbolPlus", "+", [](int&, auto& v) { v[2] = v[2] % 6 + 1; }},
        {"btnSymbolMinus", "--", [](int&, auto& v) { v[2] = v[2] <= 1 ? 6 : v[2] - 1; }},
        {"btnLegend1", "1", [](int&, auto& v) { v[3] = 1; }},
        {"btnLegend2", "2", [](int&, auto& v) { v[3] = 2; }},
    };
    int r = 1;
    for (const Btn& b : btns) {
        QPushButton* w = button(curveBox, b.name, b.text);
        cg->addWidget(w, r / 2 + 1, r % 2);
        ++r;
        connect(w, &QPushButton::clicked, this, [this, change = b.change] { curveButton(change); });
    }
    QPushButton* all = button(curveBox, "btnSelectAll", "select all");
    QPushButton* none = button(curveBox, "btnDeselectAll", "deselect all");
    cg->addWidget(all, r / 2 + 2, 0);
    cg->addWidget(none, r / 2 + 2, 1);
    auto setAll = [this](int shown) {
        if (grRowNr_ == 0) return;
        std::vector<int> every(static_cast<size_t>(grCellList_->count()));
        for (size_t i = 0; i < every.size(); ++i) every[i] = static_cast<int>(i);
        changeCurves(every, [shown](int& s, auto&) { s = shown; });
    };
    connect(all, &QPushButton::clicked, this, [setAll] { setAll(1); });
    connect(none, &QPushButton::clicked, this, [setAll] { setAll(0); });
    layout->addWidget(curveBox, 1);

    auto* axes = new QGroupBox("Axes", page);
    axes->setObjectName("gbAxes");
    auto* form = new QFormLayout(axes);
    auto pair = [&](const char* label, const char* name, QLineEdit* a, QWidget* b) {
        auto* row = new QHBoxLayout;
        row->addWidget(a);
        if (b) row->addWidget(b);
        auto* l = new QLabel(label, axes);
        l->setObjectName(name);
        form->addRow(l, row);
    };
    xMinD_ = field(axes, "xMinD");
    xMinT_ = field(axes, "xMinT", 70);
    xMaxD_ = field(axes, "xMaxD");
    xMaxT_ = field(axes, "xMaxT", 70);
    xDelta_ = field(axes, "xDelta", 60);
    xDeltaSI_ = new QComboBox(axes);
    xDeltaSI_->setObjectName("xDeltaSI");
    xDeltaSI_->addItems({"min", "h", "d"});
    yMin_ = field(axes, "yMin", 60);
    yMax_ = field(axes, "yMax", 60);
    yDelta_ = field(axes, "yDelta", 60);
    yText_ = field(axes, "yText", 160);
    y2Min_ = field(axes, "y2Min", 60);
    y2Max_ = field(axes, "y2Max", 60);
    y2Delta_ = field(axes, "y2Delta", 60);
    y2Text_ = field(axes, "y2Text", 160);
    pair("Start", "lblXMin", xMinD_, xMinT_);
    pair("Stop", "lblXMax", xMaxD_, xMaxT_);
    pair("Step", "lblXDelta", xDelta_, xDeltaSI_);
    pair("Y min / max", "lblYMinMax", yMin_, yMax_);
    pair("Y step", "lblYDelta", yDelta_, nullptr);
    pair("Y text", "lblYText", yText_, nullptr);
    pair("Y2 min / max", "lblY2MinMax", y2Min_, y2Max_);
    pair("Y2 step", "lblY2Delta", y2Delta_, nullptr);
    pair("Y2 text", "lblY2Text", y2Text_, nullptr);
    legLeftRight_ = new QComboBox(axes);
    legLeftRight_->setObjectName("legLeftRight");
    legLeftRight_->addItems({"left", "right"});
    legTopBottom_ = new QComboBox(axes);
    legTopBottom_->setObjectName("legTopBottom");
    legTopBottom_->addItems({"top", "bottom"});
    auto* leg = new QHBoxLayout;
    leg->addWidget(legLeftRight_);
    leg->addWidget(legTopBottom_);
    auto* legLabel = new QLabel("Legend", axes);
    legLabel->setObjectName("lblLegend");
    form->addRow(legLabel, leg);
    QPushButton* preview =
        button(axes, "btnPreview", "Preview", "Chart of the selected row with these settings");
    connect(preview, &QPushButton::clicked, this, &TfrmMain::btnPreviewClick);
    form->addRow(preview);
    layout->addWidget(axes, 2);
    return page;
}

QWidget* TfrmMain::buildDebugPage() {
    auto* page = new QWidget;
    page->setObjectName("DebugPage");
    auto* layout = new QVBoxLayout(page);
    for (int d = 1; d <= kMaxDevices; ++d) {
        auto* l = new QLabel(page);
        l->setObjectName(QString("lblDevice%1").arg(d));
        l->setFont(QFont("DejaVu Sans Mono", 8));
        l->setVisible(false);
        layout->addWidget(l);
        deviceLabels_.push_back(l);
    }
    layout->addStretch(1);
    return page;
}

void TfrmMain::buildStatusBar() {
    QStatusBar* bar = statusBar();
    bar->setObjectName("StatusBar");
    auto flat = [bar](const char* name) {
        auto* b = new QPushButton(bar);
        b->setObjectName(name);
        b->setFlat(true);
        return b;
    };
    sbDevStatus_ = flat("sbDevStatus");
    sbInfo1_ = new QLabel(bar);
    sbInfo1_->setObjectName("sbInfo1");
    sbInfo2_ = flat("sbInfo2");
    sbTime_ = flat("sbTime");
    statusText_ = new QLabel(bar);
    statusText_->setObjectName("sbStatusText");
    bar->addWidget(sbDevStatus_);
    bar->addWidget(sbInfo1_);
    bar->addWidget(sbInfo2_);
    bar->addWidget(statusText_, 1);
    bar->addPermanentWidget(sbTime_);
    connect(sbDevStatus_, &QPushButton::clicked, this, &TfrmMain::sbDevStatusClick);
    connect(sbInfo2_, &QPushButton::clicked, this, &TfrmMain::sbInfo2Click);
    connect(sbTime_, &QPushButton::clicked, this, &TfrmMain::sbTimeClick);
}

// --- running -------------------------------------------------------------------------------

void TfrmMain::startRefresh() {
    restoreWindowState();
    refresh();
    refreshTimer_->start();
}

void TfrmMain::closeForQuit() {
    // Every way out (the window, the console's quit, the operating system) keeps the
    // window's size and page.
    if (!quitDone_) saveWindowState();
    quitDone_ = true;
    refreshTimer_->stop();
    close();
}

void TfrmMain::saveWindowState() {
    IniFile& ini = ctx_.kelvora().ini;
    IniFile::Batch batch(ini);
    ini.writeInteger("frmMain", "Width", width());
    ini.writeInteger("frmMain", "Height", height());
    ini.writeInteger("frmMain", "Page", pages_->currentIndex());
    batch.commit();
}

void TfrmMain::restoreWindowState() {
    const IniFile& ini = ctx_.kelvora().ini;
    const int w = ini.readInteger("frmMain", "Width", 0);
    const int h = ini.readInteger("frmMain", "Height", 0);
    if (w >= 400 && h >= 300 && w <= 10000 && h <= 10000) resize(w, h);
    const int page = ini.readInteger("frmMain", "Page", 0);
    // The debug page opens only by its label.
    if (page >= 0 && page < pages_->count() && pages_->widget(page) != debugPage_)
        pages_->setCurrentIndex(page);
}

void TfrmMain::run(std::function<OpResult(Operations&)> work,
                   std::function<void(const OpResult&)> done) {
    if (++pendingOps_ == 1) QApplication::setOverrideCursor(Qt::BusyCursor);
    ctx_.runOperation(this, std::move(work), [this, done = std::move(done)](const OpResult& r) {
        if (--pendingOps_ == 0) QApplication::restoreOverrideCursor();
        if (done)
            done(r);
        else
            showResult(r);
        refresh();
    });
}

void TfrmMain::showResult(const OpResult& r) {
    if (!r.lines.empty()) setStatusText(qs(r.lines.back()));
    if (r.ok || r.error == kCancelled || r.error.empty()) return;
    QMessageBox::warning(this, "Kelvora", qs(r.error));
}

void TfrmMain::setStatusText(const QString& text) {
    statusText_->setText(text);
}

void TfrmMain::refresh() {
    if (quitting_ || quitDone_) return;
    // The settings as a whole: a configuration change copied back meanwhile waits for this
    // look (the copy-back itself is short and does no device I/O).
    const auto settings = ctx_.kelvora().cfg.lock.reading();
    refreshGrid();
    refreshRowLists();
    refreshMessages();
    refreshStatusPanels();
    if (usbDebugPage_) refreshDebugPage();
    sbTime_->setText(qs(dateTimeToText(clock().now())));
}

void TfrmMain::ensureDisplayModes() {
    if (!firstPaint_) return;
    firstPaint_ = false;
    rgCellMode_->setTitle(langText("frmMain", "rgCellMode", "Display"));
    const QStringList items = cellModeItems(ctx_.kelvora().cfg.withCO2);
    for (size_t i = 0; i < modeButtons_.size(); ++i) {
        const bool offered = static_cast<int>(i) < items.size();
        modeButtons_[i]->setVisible(offered);
        if (offered) modeButtons_[i]->setText(items[static_cast<int>(i)]);
    }
    modeButtons_[1]->setChecked(true);
    mode_ = CellDisplayMode::O2;
}

void TfrmMain::refreshGrid() {
    ensureDisplayModes();
    TKelvora& k = ctx_.kelvora();
    buildCellGrid(k, mode_, grid_);
    for (int i = 1; i <= std::min(k.cfg.Cells, kMaxCells); ++i) checkManometerCurrent(k, i);
    if (cellsGrid_->rowCount() != grid_.rows) cellsGrid_->setRowCount(grid_.rows);
    // The rule's width is for the original's font; the texts must fit in ours.
    const QFontMetrics fm(cellsGrid_->font());
    int col0 = grid_.column0Width;
    int cellWidth = 110;
    for (int r = 0; r < grid_.rows; ++r) {
        col0 = std::max(col0, fm.horizontalAdvance(grid_.text(r, 0)) + 12);
        for (int c = 1; c <= 6; ++c)
            cellWidth = std::max(cellWidth, fm.horizontalAdvance(grid_.text(r, c)) + 12);
    }
    if (cellsGrid_->columnWidth(0) != col0) cellsGrid_->setColumnWidth(0, col0);
    for (int c = 1; c <= 6; ++c)
        if (cellsGrid_->columnWidth(c) != cellWidth) cellsGrid_->setColumnWidth(c, cellWidth);
    for (int r = 0; r < grid_.rows; ++r) {
        for (int c = 0; c < 7; ++c) {
            setCell(cellsGrid_, r, c, grid_.text(r, c));
            const QColor colour = cellColour(grid_.colour(r, c));
            QTableWidgetItem* item = cellsGrid_->item(r, c);
            if (item->background().color() != colour) item->setBackground(colour);
        }
    }
    int tact = 0;
    for (const auto& d : k.devices.devices())
        if (d.Type == DeviceType::Data && d.bPresent) tact = std::max(tact, d.lastTactNr);
    lblTact_->setText(langText("frmMain", "lblTact", "Tact") + ": " + QString::number(tact));
}

void TfrmMain::refreshRowLists() {
    TKelvora& k = ctx_.kelvora();
    struct Line {
        int nr;
        QStringList texts;
    };
    std::vector<Line> series, templates;
    {
        const auto rows = k.rows.Snapshot();
        auto lock = k.rows.lock();
        for (const auto& row : rows) {
            QStringList cells;
            for (int s = 1; s <= std::min(row->NrCells, kMaxRowCells); ++s) {
                const RowCell& c = row->RowCells[static_cast<size_t>(s)];
                cells << (c.bMapped && c.CellNr > 0
                              ? QString::number(c.CellNr + k.cfg.firstCell - 1)
                              : QString("??"));
            }
            const QString cellText = cells.join(",");
            if (row->isTemplate) {
                templates.push_back(
                    {row->UniqueNr, {qs(row->Name), cellText, qs(dateTimeToText(row->Created))}});
            } else {
                series.push_back({row->UniqueNr,
                                  {qs(row->Name), qs(k.rows.StateShortName(row->State)), cellText,
                                   qs(dateTimeToText(row->Start)), qs(dateTimeToText(row->Stop)),
                                   QString::number(row->iRTV)}});
            }
        }
    }
    auto fill = [](QTableWidget* t, const std::vector<Line>& lines) {
        int selected = 0;
        if (t->currentRow() >= 0 && t->item(t->currentRow(), 0))
            selected = t->item(t->currentRow(), 0)->data(Qt::UserRole).toInt();
        if (t->rowCount() != static_cast<int>(lines.size()))
            t->setRowCount(static_cast<int>(lines.size()));
        int reselect = -1;
        for (size_t r = 0; r < lines.size(); ++r) {
            for (int c = 0; c < lines[r].texts.size(); ++c)
                setCell(t, static_cast<int>(r), c, lines[r].texts[c]);
            t->item(static_cast<int>(r), 0)->setData(Qt::UserRole, lines[r].nr);
            if (lines[r].nr == selected) reselect = static_cast<int>(r);
        }
        if (reselect >= 0 && reselect != t->currentRow()) t->selectRow(reselect);
        if (reselect < 0 && !lines.empty() && t->currentRow() < 0) t->selectRow(0);
    };
    fill(rowsList_, series);
    fill(templateList_, templates);
}

void TfrmMain::refreshMessages() {
    MessageList& list = messageList();
    const bool stale = list.takeGridStale();
    if (!stale && msgTotalShown_ == list.total()) return;
    msgTotalShown_ = list.total();
    const auto lines = list.newestFirst();
    msgGrid_->setRowCount(static_cast<int>(lines.size()));
    for (size_t i = 0; i < lines.size(); ++i)
        setCell(msgGrid_, static_cast<int>(i), 0, qs(lines[i]));
}

void TfrmMain::refreshStatusPanels() {
    HeadlessStatusOutput& s = ctx_.kelvora().status;
    auto show = [&](QWidget* w, StatusPanel p, auto setText) {
        setText(qs(s.panelText(p)));
        w->setStyleSheet(statusStyle(s.panelColor(p)));
    };
    show(sbDevStatus_, StatusPanel::DevStatus,
         [this](const QString& t) { sbDevStatus_->setText(t); });
    show(sbInfo1_, StatusPanel::Info1, [this](const QString& t) { sbInfo1_->setText(t); });
    show(sbInfo2_, StatusPanel::Info2, [this](const QString& t) { sbInfo2_->setText(t); });
    const QString line = qs(s.panelText(StatusPanel::StatusLine));
    if (!line.isEmpty() && line != statusText_->text()) statusText_->setText(line);
}

void TfrmMain::refreshDebugPage() {
    HeadlessStatusOutput& s = ctx_.kelvora().status;
    const int n = std::min(ctx_.kelvora().devices.nDevices(), kMaxDevices);
    for (int d = 1; d <= kMaxDevices; ++d) {
        QLabel* l = deviceLabels_[static_cast<size_t>(d - 1)];
        l->setVisible(d <= n);
        if (d <= n) l->setText(QString("%1: ").arg(d, 2) + qs(s.deviceLabel(d)));
    }
}

// --- cells page ----------------------------------------------------------------------------

void TfrmMain::CellsGridDblClick(int row, int col) {
    const int cell = cellAtGridPosition(row, col, ctx_.kelvora().cfg.Cells);
    if (cell == 0) return;
    if (usbDebugPage_)
        showCellDebug(ctx_, this, cell);
    else
        showCellStatus(ctx_, this, cell);
}

void TfrmMain::rgCellModeClick(int index) {
    const int offered = static_cast<int>(cellModeItems(ctx_.kelvora().cfg.withCO2).size());
    if (index < 0 || index >= offered) return;
    mode_ = static_cast<CellDisplayMode>(index);
    if (static_cast<size_t>(index) < modeButtons_.size())
        modeButtons_[static_cast<size_t>(index)]->setChecked(true);
    refreshGrid();
}

void TfrmMain::lblTactClick() {
    usbDebugPage_ = !usbDebugPage_;
    ctx_.kelvora().status.setUsbDebugPageShown(usbDebugPage_);
    pages_->setTabVisible(pages_->indexOf(debugPage_), usbDebugPage_);
    if (usbDebugPage_) refreshDebugPage();
}

// --- rows ----------------------------------------------------------------------------------

int TfrmMain::selectedRowNr() const {
    const int r = rowsList_->currentRow();
    if (r < 0 || !rowsList_->item(r, 0)) return 0;
    return rowsList_->item(r, 0)->data(Qt::UserRole).toInt();
}

void TfrmMain::selectRowNr(int rowNr) {
    refreshRowLists();
    for (int r = 0; r < rowsList_->rowCount(); ++r)
        if (rowsList_->item(r, 0)->data(Qt::UserRole).toInt() == rowNr) rowsList_->selectRow(r);
}

int TfrmMain::selectedTemplateNr() const {
    const int r = templateList_->currentRow();
    if (r < 0 || !templateList_->item(r, 0)) return 0;
    return templateList_->item(r, 0)->data(Qt::UserRole).toInt();
}

void TfrmMain::selectTemplateNr(int rowNr) {
    refreshRowLists();
    for (int r = 0; r < templateList_->rowCount(); ++r)
        if (templateList_->item(r, 0)->data(Qt::UserRole).toInt() == rowNr)
            templateList_->selectRow(r);
}

// Start, stop and delete one at a time: the window's own command still on its way, or one
// of the console's under way.
bool TfrmMain::rowOperationRefused() {
    if (!rowOperation_ && ctx_.kelvora().rowCommandIdle.load()) return false;
    QMessageBox::warning(this, "Kelvora",
                         langText("uMain", "StartStopDeleteRow",
                                  "Start/Stop or Delete operation in progress - please wait."));
    return true;
}

void TfrmMain::btnStartStopRowClick() {
    const int nr = selectedRowNr();
    if (nr == 0 || rowOperationRefused()) return;
    TKelvora& k = ctx_.kelvora();
    const auto row = k.rows.FindByUniqueNr(nr);
    if (!row) return;
    std::string name;
    RowState state{};
    bool allAssigned = true, allStarted = true;
    {
        auto lock = k.rows.lock();
        name = row->Name;
        state = row->State;
        for (int s = 1; s <= std::min(row->NrCells, kMaxRowCells); ++s) {
            const RowCell& c = row->RowCells[static_cast<size_t>(s)];
            if (c.CellNr <= 0 || !c.bMapped) allAssigned = false;
            if (c.State != CellState::cs_Running) allStarted = false;
        }
    }
    if (!allAssigned) {
        QMessageBox::warning(
            this, "Kelvora",
            langFmt("uMain", "RowStartAbort", "Not all cells of %s are assigned.", qs(name)));
        return;
    }
    if (state < RowState::Running || (state == RowState::Running && !allStarted)) {
        // The start dialog starts the cells through the operations (with the row's
        // password).
        execStartDialog(ctx_, this, nr);
        refresh();
        return;
    }
    if (state == RowState::Running || state == RowState::StoppedControl) {
        rowOperation_ = true;
        run([nr](Operations& ops) { return ops.stopRow(nr); },
            [this](const OpResult& r) {
                rowOperation_ = false;
                showResult(r);
            });
    }
}

void TfrmMain::btnDeleteRowClick() {
    const int nr = selectedRowNr();
    if (nr == 0 || rowOperationRefused()) return;
    rowOperation_ = true;
    run([nr](Operations& ops) { return ops.deleteRow(nr); },
        [this](const OpResult& r) {
            rowOperation_ = false;
            showResult(r);
        });
}

void TfrmMain::btnNewRowClick() {
    run(
        [](Operations& ops) {
            RowSpec fields = ops.rowDefaults();
            fields.name =
                GetTextFmt("uMain", "NewRowName", "Created at: %s", dateTimeToText(clock().now()));
            fields.cells.clear();
            return ops.newRow(fields);
        },
        [this](const OpResult& r) {
            if (!r.ok) {
                // The row limit and every other refusal in a box.
                QMessageBox::warning(this, "Kelvora", qs(r.error));
                return;
            }
            selectRowNr(r.rowNr);
            const int nr = r.rowNr;
            if (!execRowDialog(ctx_, this, nr, true))
                run([nr](Operations& ops) { return ops.discardNewRow(nr); });
        });
}

void TfrmMain::btnEditRowClick() {
    const int nr = selectedRowNr();
    if (nr == 0) return;
    execRowDialog(ctx_, this, nr, false);
    refresh();
}

void TfrmMain::btnRowDataClick() {
    const int nr = selectedRowNr();
    if (nr != 0) showRowData(ctx_, this, nr);
}

void TfrmMain::btnRowInfoClick() {
    const int nr = selectedRowNr();
    if (nr != 0) showRowStatus(ctx_, this, nr);
}

void TfrmMain::btnExportRowClick() {
    const int nr = selectedRowNr();
    if (nr == 0) return;
    std::string name;
    if (const auto row = ctx_.kelvora().rows.FindByUniqueNr(nr)) {
        auto lock = ctx_.kelvora().rows.lock();
        name = row->Name;
    }
    WindowFrontEnd& fe = ctx_.frontEnd();
    const std::string home = ctx_.kelvora().rows.env().homeFolder;
    // A file dialog closed without a file ends the command without a word.
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    run(
        [nr, name, home, &fe, cancelled](Operations& ops) {
            return ops.exportRow(nr, [&] {
                const std::string file = fe.askFile(
                    true, GetText("frmMain", "RowExportDlgTitle", "Export Row Data to File"),
                    home + "/" + SafeFileName(name) + ".Export");
                if (file.empty()) *cancelled = true;
                return file;
            });
        },
        [this, cancelled](const OpResult& r) {
            if (!*cancelled) showResult(r);
        });
}

void TfrmMain::btnImportRowClick() {
    const std::string home = ctx_.kelvora().rows.env().homeFolder;
    const std::string file = ctx_.frontEnd().askFile(
        false, GetText("frmMain", "RowImportDlgTitle", "Import Row Data from File"), home);
    if (file.empty()) return;
    run([file](Operations& ops) { return ops.importRow(file); });
}

void TfrmMain::btnRow2TemplateClick() {
    const int nr = selectedRowNr();
    if (nr == 0) return;
    // The operation asks "Create new template based on row [...] ?".
    run([nr](Operations& ops) { return ops.templateFromRow(nr); });
}

void TfrmMain::btnNewTemplateClick() {
    run([](Operations& ops) { return ops.newTemplate(); },
        [this](const OpResult& r) {
            showResult(r);
            if (r.ok) selectTemplateNr(r.rowNr);
        });
}

void TfrmMain::btnEditTemplateClick() {
    const int nr = selectedTemplateNr();
    if (nr == 0) return;
    execRowDialog(ctx_, this, nr, false);
    refresh();
}

void TfrmMain::btnDeleteTemplateClick() {
    const int nr = selectedTemplateNr();
    if (nr == 0) return;
    run([nr](Operations& ops) { return ops.deleteRow(nr); });
}

void TfrmMain::btnNewRowFromTemplateClick() {
    const int nr = selectedTemplateNr();
    if (nr == 0) return;
    // The operation asks "Create new row based on template ... ?".
    run([nr](Operations& ops) { return ops.rowFromTemplate(nr); },
        [this](const OpResult& r) {
            showResult(r);
            if (!r.ok) return;
            pages_->setCurrentWidget(rowsPage_);
            selectRowNr(r.rowNr);
            execRowDialog(ctx_, this, r.rowNr, false);
        });
}

// --- messages ------------------------------------------------------------------------------

void TfrmMain::btnNewMsgClick() {
    std::string text;
    if (!ctx_.frontEnd().askText(GetText("uMain", "NewMsgHeader", "Insert new message"),
                                 GetText("uMain", "NewMsgPrompt", "New message text:"), text))
        return;
    if (QString::fromStdString(text).trimmed().isEmpty()) return;
    run([text](Operations& ops) { return ops.newMessage(text); });
}

void TfrmMain::btnSaveMsgsClick() {
    const std::string home = ctx_.kelvora().rows.env().homeFolder;
    const std::string file = ctx_.frontEnd().askFile(
        true, GetText("frmMain", "MsgSaveDlgTitle", "Save messages to file"),
        home + "/Messages.Txt");
    if (file.empty()) return;
    run([file](Operations& ops) { return ops.saveMessages(file); });
}

void TfrmMain::btnDelMsgsClick() {
    run([](Operations& ops) { return ops.deleteMessages(); });
}

// --- status panels and tool bar ------------------------------------------------------------

void TfrmMain::sbStatusClick() {
    auto* status = findChild<TfrmStatus*>("frmStatus", Qt::FindDirectChildrenOnly);
    if (!status) status = new TfrmStatus(ctx_.kelvora().cfg, this);
    status->load(ctx_.kelvora().cfg);
    status->exec();
}

void TfrmMain::sbDevStatusClick() {
    TKelvora& k = ctx_.kelvora();
    QString text =
        langText("frmMain", "DevStatus_Header", "Devices in error and/or missing state:");
    for (const auto& d : k.devices.devices())
        if (d.ErrorCode != 0) text += "\n  - " + qs(d.logName) + ": " + qs(d.Message);
    if (k.cfg.EC71_Present) {
        const int n = std::min<int>(k.cfg.EC71_NrDevices, static_cast<int>(k.ec71Meters().size()));
        for (int m = 0; m < n; ++m) {
            const TEC71& meter = *k.ec71Meters()[static_cast<size_t>(m)];
            if (!meter.Online.load())
                text += "\n  - EC71 (" + qs(meter.CellRangeText) + "): " + qs(meter.StatusText());
        }
    }
    QMessageBox::information(this, "Kelvora", text);
}

void TfrmMain::sbInfo2Click() {
    auto* alarm = findChild<TfrmAlarm*>("frmAlarm", Qt::FindDirectChildrenOnly);
    if (!alarm) alarm = new TfrmAlarm(ctx_.kelvora(), this);
    alarm->showAlarms();
}

void TfrmMain::sbTimeClick() {
    TKelvora& k = ctx_.kelvora();
    // Meter 1's reconnect request, as a NAK would raise it.
    if (k.cfg.EC71_Present && !k.ec71Meters().empty()) k.ec71Meters()[0]->NackSeen = true;
    WriteDbg("sbTime", "Click");
}

void TfrmMain::sbPrinterSetupClick() {
    QPageSetupDialog dialog(&sharedPrinter(), this);
    dialog.exec();
}

void TfrmMain::sbConfigClick() {
    execConfigDialog(ctx_, this);
}

// --- quit ----------------------------------------------------------------------------------

void TfrmMain::runQuit(QuitSource source) {
    if (quitting_ || quitDone_ || !quitPath_) return;
    quitting_ = true;
    QuitPath quit = quitPath_;
    run([quit, source](
            Operations&) { return quit(source) ? OpResult::done() : OpResult::failed(kCancelled); },
        [this](const OpResult& r) {
            quitting_ = false;
            if (!r.ok) return;
            emit quitAccepted();
        });
}

void TfrmMain::sbQuitClick() {
    runQuit(QuitSource::Menu);
}

void TfrmMain::closeEvent(QCloseEvent* e) {
    if (quitDone_ || !quitPath_) {
        e->accept();
        return;
    }
    // The close request runs the quit path; the window closes once it went through.
    e->ignore();
    runQuit(QuitSource::WindowClose);
}

// --- graphics page -------------------------------------------------------------------------

void TfrmMain::GrPageEnter() {
    for (QLineEdit* e : {xMinD_, xMinT_, xDelta_, xMaxD_, xMaxT_, yMin_, yMax_, yDelta_, yText_,
                         y2Min_, y2Max_, y2Delta_, y2Text_})
        e->clear();
    grRow_->clear();
    TKelvora& k = ctx_.kelvora();
    const int wanted = selectedRowNr();
    int index = -1;
    {
        const auto rows = k.rows.Snapshot();
        auto lock = k.rows.lock();
        for (const auto& row : rows) {
            if (row->isTemplate || row->Created <= 0) continue;
            if (row->UniqueNr == wanted) index = grRow_->count();
            grRow_->addItem(qs(row->Name), row->UniqueNr);
        }
    }
    grRowNr_ = 0;
    grCellList_->clear();
    if (index >= 0) {
        grRow_->setCurrentIndex(index);
        grRowChange(index);
    } else {
        grRow_->setCurrentIndex(-1);
    }
}

void TfrmMain::grRowChange(int index) {
    grRowNr_ = index >= 0 ? grRow_->itemData(index).toInt() : 0;
    const auto row = grRowNr_ ? ctx_.kelvora().rows.FindByUniqueNr(grRowNr_) : nullptr;
    if (!row) {
        grRowNr_ = 0;
        return;
    }
    auto lock = ctx_.kelvora().rows.lock();
    auto dateOf = [](TDateTime d) { return d > 0 ? qs(dateToText(d)) : QString(); };
    auto timeOf = [](TDateTime t) { return t > 0 ? qs(timeToText(t)) : QString(); };
    xMinD_->setText(dateOf(row->XFromDate));
    xMinT_->setText(timeOf(row->XFromTime));
    xMaxD_->setText(dateOf(row->XToDate));
    xMaxT_->setText(timeOf(row->XToTime));
    xDelta_->setText(qs(realToText(row->XStep, 0, -3)));
    xDeltaSI_->setCurrentIndex(row->XUnit == TimeUnit::Minutes ? 0
                               : row->XUnit == TimeUnit::Hours ? 1
                                                               : 2);
    auto y = [&](QLineEdit* e, int i) {
        e->setText(qs(realToText(row->YValues[static_cast<size_t>(i)], 0, -3)));
    };
    y(yMin_, 0);
    y(yMax_, 1);
    y(yDelta_, 2);
    y(y2Min_, 3);
    y(y2Max_, 4);
    y(y2Delta_, 5);
    yText_->setText(qs(row->YTexts[0]));
    y2Text_->setText(qs(row->YTexts[1]));
    legLeftRight_->setCurrentIndex(row->LegendPosition[0] == 1 ? 1 : 0);
    legTopBottom_->setCurrentIndex(row->LegendPosition[1] == 1 ? 1 : 0);
    lock.unlock();
    rebuildCurveList();
}

void TfrmMain::rebuildCurveList() {
    const int cursor = grCellList_->currentRow();
    QList<int> selected;
    for (auto* item : grCellList_->selectedItems()) selected << grCellList_->row(item);
    grCellList_->clear();
    const auto row = grRowNr_ ? ctx_.kelvora().rows.FindByUniqueNr(grRowNr_) : nullptr;
    if (!row) return;
    std::vector<CurveSetting> curves;
    {
        auto lock = ctx_.kelvora().rows.lock();
        curves = CurveSetting::of(*row);
    }
    for (const CurveSetting& c : curves) {
        const auto& v = c.settings;
        grCellList_->addItem(QString("%1 %2 Y%3 L%4 C%5 S%6 Leg%7")
                                 .arg(c.shown ? "[x]" : "[ ]")
                                 .arg(qs(c.label), -18)
                                 .arg(v[4])
                                 .arg(v[0])
                                 .arg(v[1], 2)
                                 .arg(v[2])
                                 .arg(v[3]));
    }
    for (int r : selected)
        if (r < grCellList_->count()) grCellList_->item(r)->setSelected(true);
    if (cursor >= 0 && cursor < grCellList_->count())
        grCellList_->setCurrentRow(cursor, QItemSelectionModel::NoUpdate);
}

void TfrmMain::curveButton(const CurveChange& change) {
    if (grRowNr_ == 0) return;
    std::vector<int> targets;
    if (cbLCS_->isChecked()) {
        for (auto* item : grCellList_->selectedItems()) targets.push_back(grCellList_->row(item));
    } else if (grCellList_->currentRow() >= 0) {
        targets.push_back(grCellList_->currentRow());
    }
    if (!targets.empty()) changeCurves(targets, change);
}

void TfrmMain::changeCurves(std::vector<int> curves, CurveChange change) {
    const int nr = grRowNr_;
    run([nr, curves = std::move(curves), change = std::move(change)](
            Operations& ops) { return ops.changeChartCurves(nr, curves, change); },
        [this](const OpResult& r) {
            showResult(r);
            rebuildCurveList();
        });
}

void TfrmMain::btnPreviewClick() {
    const auto row = grRowNr_ ? ctx_.kelvora().rows.FindByUniqueNr(grRowNr_) : nullptr;
    if (!row) {
        QMessageBox::warning(this, "Kelvora",
                             langText("uMain", "NoRowSelected", "No row selected !"));
        grRow_->setFocus();
        return;
    }
    auto invalid = [this](QLineEdit* e) {
        QMessageBox::warning(this, "Kelvora", langText("uMain", "InvalidValue", "Invalid value !"));
        e->setFocus();
    };
    const TDateTime from = textToDateTime(ss(xMinD_->text() + " " + xMinT_->text()));
    if (from <= 0) return invalid(xMinD_);
    const TDateTime to = textToDateTime(ss(xMaxD_->text() + " " + xMaxT_->text()));
    if (to <= 0) return invalid(xMaxD_);
    for (QLineEdit* e : {xDelta_, yMin_, yMax_, yDelta_})
        if (isNoValue(fieldNumber(e))) return invalid(e);
    ChartAxes axes;
    axes.from = from;
    axes.to = to;
    axes.step = fieldNumber(xDelta_);
    axes.unit = xDeltaSI_->currentIndex() == 0   ? TimeUnit::Minutes
                : xDeltaSI_->currentIndex() == 1 ? TimeUnit::Hours
                                                 : TimeUnit::Days;
    // The right axis may stay empty.
    auto y = [](QLineEdit* e) {
        const double v = fieldNumber(e);
        return isNoValue(v) ? 0.0 : v;
    };
    axes.y = {y(yMin_), y(yMax_), y(yDelta_), y(y2Min_), y(y2Max_), y(y2Delta_)};
    axes.titles = {ss(yText_->text()), ss(y2Text_->text())};
    axes.legendLeftRight = legLeftRight_->currentIndex();
    axes.legendTopBottom = legTopBottom_->currentIndex();
    const int nr = grRowNr_;
    run([nr, axes](Operations& ops) { return ops.setChartAxes(nr, axes); },
        [this, nr](const OpResult& r) {
            showResult(r);
            if (r.ok) showChart(ctx_, this, nr);
        });
}

}  // namespace kv::ui
