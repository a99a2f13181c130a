#pragma once
// The configuration dialog frmConfigDlg: hardware, cells, CO2, the serial meters,
// passwords and the miscellaneous defaults, and the service actions reached from it (device
// edit, terminal, mA limits, CDM commands, EC71 calibration).
//
// Thin over the ConfigService: its fields are the service's form texts by control name;
// the close check is the service's; everything that talks to devices or asks something
// runs through UiContext::runOperation on the operations thread while the dialog waits
// (its buttons disabled), and closes only when the resume sequence has run.

#include <QDialog>
#include <QMap>
#include <memory>

#include "system/config_service.h"

class QTabWidget;
class QTableWidget;
class QLineEdit;
class QCheckBox;
class QComboBox;
class QGridLayout;
class QGroupBox;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QTimer;

namespace kv::ui {

class UiContext;

class TfrmConfigDlg : public QDialog {
    Q_OBJECT
  public:
    // The service's session must be open.
    TfrmConfigDlg(UiContext& ctx, std::shared_ptr<ConfigService> service,
                  QWidget* parent = nullptr);

    // The control of a form field (nullptr for an unknown name).
    QWidget* field(const QString& name) const { return fields_.value(name, nullptr); }
    ConfigForm formFromControls() const;
    // An operation of the dialog is under way.
    bool busy() const { return busy_; }

    void accept() override;
    void reject() override;

  signals:
    // A device operation of the dialog has ended (tests wait for it).
    void operationDone();

  private:
    void buildHardwarePage(QWidget* page);
    void buildCellPage(QWidget* page);
    void buildCO2Page(QWidget* page);
    void buildCDMPage(QWidget* page);
    void buildEC71Page(QWidget* page);
    void buildPasswordPage(QWidget* page);
    void buildMiscPage(QWidget* page);
    QLineEdit* addEdit(QWidget* page, QGridLayout* grid, int row, int col, const QString& name,
                       const QString& label, bool password = false);
    QCheckBox* addCheck(QWidget* page, QGridLayout* grid, int row, int col, const QString& name,
                        const QString& label);
    QComboBox* addCombo(QWidget* page, QGridLayout* grid, int row, int col, const QString& name,
                        const QString& label, const QStringList& items);

    void fillControls(const ConfigForm& form);
    void applyCO2Option();
    void drawGrids();
    void drawDeviceGrid();
    void drawAttachedGrid();
    void drawCellGrid();
    void drawTankGrid();
    void drawCO2Grid();
    int cellsInField() const;
    void hardwareFieldLeft(const QString& name);
    void masterPasswordLeft();
    int selectedDevice() const;
    int selectedCell() const;
    void storeCellGrid();

    void editDevice();
    void openTerminal();
    void measure(AdColumn column);
    void writeLimits();
    void refillTank();
    void saveTanks();
    void cdmCommand(const QString& field);
    void calibrate();
    void chooseDataRoot();

    // Runs work on the operations thread with the dialog's buttons disabled; done (on the
    // window thread) gets the result.
    void run(std::function<OpResult()> work, std::function<void(const OpResult&)> done = {});
    void setBusy(bool busy);
    void showMessage(const QString& text);

    UiContext& ctx_;
    std::shared_ptr<ConfigService> service_;
    QMap<QString, QWidget*> fields_;
    QTabWidget* pages_ = nullptr;
    QTableWidget* present_ = nullptr;
    QTableWidget* cxy_ = nullptr;
    QTableWidget* cellGrid_ = nullptr;
    QTableWidget* tankGrid_ = nullptr;
    QTableWidget* co2Grid_ = nullptr;
    QGroupBox* co2Option_ = nullptr;
    QRadioButton* optionButtons_[3] = {};
    QPushButton* co2SetLower_ = nullptr;
    QPushButton* co2SetUpper_ = nullptr;
    QPlainTextEdit* cdmOutput_ = nullptr;
    QComboBox* ec71Cells_ = nullptr;
    QPushButton* ec71Cancel_ = nullptr;
    QTimer* liveSignal_ = nullptr;
    std::vector<DeviceGridRow> gridRows_;
    ConfigForm opened_;
    bool opening_ = true;
    bool busy_ = false;
    bool closing_ = false;
};

// The main window's "&Configuration..." and sbConfig: the password, the pause, the dialog
// (modal), the copy-back or not, the resume. Returns when the dialog is closed.
void execConfigDialog(UiContext& ctx, QWidget* parent);

}  // namespace kv::ui
