#pragma once
// The main window frmMain: menu, tool bar, status panels, and the pages Cells, Meas.
// series, Templates, Messages, Graphics and the hidden "USB Debug Data". It shows the
// program's state, refreshed every second from the cell table, the rows, the message list
// and the status outputs under their locks, and hands every command to the operations
// thread (UiContext::runOperation); the guards, questions and messages of a command are
// the operation's own, so they are the console's too.

#include <QMainWindow>
#include <QPointer>
#include <functional>
#include <initializer_list>
#include <utility>
#include <vector>

#include "system/application.h"
#include "system/operations.h"
#include "ui/cell_grid.h"

class QAction;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QTableWidget;
class QTimer;
class QVBoxLayout;
class QToolButton;

namespace kv::ui {

class UiContext;

class TfrmMain : public QMainWindow {
    Q_OBJECT
  public:
    explicit TfrmMain(UiContext& ctx, QWidget* parent = nullptr);

    // The quit path of the program (it runs on the operations thread); true when the
    // operator went through with it.
    using QuitPath = std::function<bool(QuitSource)>;
    void setQuitPath(QuitPath quit) { quitPath_ = std::move(quit); }
    // After the start-up: the pages show the program and the refresh timer runs.
    void startRefresh();
    // Closes the window for good once the program has quit (no questions).
    void closeForQuit();

    // The window's state, for tests and the accessibility interface.
    int selectedRowNr() const;
    void selectRowNr(int rowNr);
    int selectedTemplateNr() const;
    void selectTemplateNr(int rowNr);
    bool usbDebugPageShown() const { return usbDebugPage_; }
    CellDisplayMode cellMode() const { return mode_; }
    const CellGridView& gridView() const { return grid_; }
    bool busy() const { return pendingOps_ > 0; }

  public slots:
    // RefreshTimerTimer: the grid, the lists, the status panels, the time.
    void refresh();
    void setStatusText(const QString& text);

    void CellsGridDblClick(int row, int col);
    void rgCellModeClick(int index);
    void lblTactClick();
    void btnStartStopRowClick();
    void btnDeleteRowClick();
    void btnNewRowClick();
    void btnEditRowClick();
    void btnRowDataClick();
    void btnRowInfoClick();
    void btnExportRowClick();
    void btnImportRowClick();
    void btnRow2TemplateClick();
    void btnNewTemplateClick();
    void btnEditTemplateClick();
    void btnDeleteTemplateClick();
    void btnNewRowFromTemplateClick();
    void btnNewMsgClick();
    void btnSaveMsgsClick();
    void btnDelMsgsClick();
    void sbStatusClick();
    void sbDevStatusClick();
    void sbInfo2Click();
    void sbTimeClick();
    void sbPrinterSetupClick();
    void sbConfigClick();
    void sbQuitClick();
    void GrPageEnter();
    void grRowChange(int index);
    void btnPreviewClick();

  signals:
    // The quit path went through: the program ends.
    void quitAccepted();

  protected:
    void closeEvent(QCloseEvent* e) override;

  private:
    // A page's column of buttons, each with its handler, top-aligned.
    using PageButton = std::pair<QPushButton*, void (TfrmMain::*)()>;
    QVBoxLayout* buttonColumn(std::initializer_list<PageButton> list);
    void buildMenuAndToolBar();
    QWidget* buildCellsPage();
    QWidget* buildRowsPage();
    QWidget* buildTemplatePage();
    QWidget* buildMsgPage();
    QWidget* buildGrPage();
    QWidget* buildDebugPage();
    void buildStatusBar();

    void refreshGrid();
    void refreshRowLists();
    void refreshMessages();
    void refreshStatusPanels();
    void refreshDebugPage();
    void ensureDisplayModes();

    // Runs an operation; `done` sees its result on the window thread. A refusal or failure
    // is shown in a box (not a cancellation).
    void run(std::function<OpResult(Operations&)> work,
             std::function<void(const OpResult&)> done = {});
    void showResult(const OpResult& r);
    bool rowOperationRefused();
    void runQuit(QuitSource source);
    void rebuildCurveList();
    void curveButton(const CurveChange& change);
    void changeCurves(std::vector<int> curves, CurveChange change);
    void saveWindowState();
    void restoreWindowState();

    UiContext& ctx_;
    QuitPath quitPath_;
    bool quitting_ = false;
    bool quitDone_ = false;
    bool usbDebugPage_ = false;
    bool firstPaint_ = true;
    bool rowOperation_ = false;
    int pendingOps_ = 0;
    CellDisplayMode mode_ = CellDisplayMode::O2;
    CellGridView grid_;
    int msgTotalShown_ = -1;
    int grRowNr_ = 0;

    QTimer* refreshTimer_;
    QTabWidget* pages_;
    QWidget* cellsPage_;
    QWidget* rowsPage_;
    QWidget* grPage_;
    QWidget* debugPage_;
    QTableWidget* cellsGrid_;
    QGroupBox* rgCellMode_;
    std::vector<QRadioButton*> modeButtons_;
    QLabel* lblTact_;
    QTableWidget* rowsList_;
    QTableWidget* templateList_;
    QTableWidget* msgGrid_;
    QLabel* statusText_;
    QPushButton* sbDevStatus_;
    QLabel* sbInfo1_;
    QPushButton* sbInfo2_;
    QPushButton* sbTime_;
    std::vector<QLabel*> deviceLabels_;
    // Graphics page
    QComboBox* grRow_;
    QListWidget* grCellList_;
    QCheckBox* cbLCS_;
    QLineEdit *xMinD_, *xMinT_, *xDelta_, *xMaxD_, *xMaxT_;
    QComboBox* xDeltaSI_;
    QLineEdit *yMin_, *yMax_, *yDelta_, *yText_, *y2Min_, *y2Max_, *y2Delta_, *y2Text_;
    QComboBox *legLeftRight_, *legTopBottom_;
};

}  // namespace kv::ui
