#pragma once
// The row dialog (TfrmRow): a series' or template's definition, its cells and the buttons
// that act on one cell. The definition fields reach the row only with OK; the cells change
// at once ("--->" adds a cell and opens its parameters, cancelling them removes it again).
// Every change is an operation; the dialog itself only checks the fields.

#include <QDialog>
#include <functional>
#include <optional>
#include <string>

#include "system/operations.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace kv::ui {

class UiContext;

class TfrmRow : public QDialog {
    Q_OBJECT
  public:
    TfrmRow(UiContext& ctx, QWidget* parent = nullptr);

    // Loads the row `rowNr` into the fields (isNew: the main window has just made it).
    // False when there is no such row.
    bool load(int rowNr, bool isNew);
    int rowNr() const { return rowNr_; }
    // The row password the operator gave when the dialog opened; the dialog's operations
    // take it instead of asking again.
    void setGivenPassword(std::optional<std::string> entry) { givenPassword_ = std::move(entry); }
    // OK: the checks in their order, then the definition goes to the row.
    void accept() override;
    // Cancel; not while an operation of the dialog is under way.
    void reject() override;
    // The fields as a definition; false (focus on the first failing field, the box shown)
    // when they do not pass the checks.
    bool takeFields(RowDefinition& def);

  protected:
    void closeEvent(QCloseEvent* e) override;

  private:
    void build();
    void refreshCells();
    void refreshEnabling();
    // The slot and the number users see of the cell selected in Row_UsedCells (0: none).
    int selectedSlot() const;
    int selectedCellNr() const;
    int selectedAvailableNr() const;
    void run(std::function<OpResult(Operations&)> work,
             std::function<void(const OpResult&)> done = {});

    void addCell();
    void editCellParams(int slot, bool removeOnCancel);
    void removeCell();
    void assignCell();
    void startCell();
    void holdCell();
    void continueCell();
    void stopCell();
    void editCounter();
    void setPassword();
    void hintAttritionDivider();
    void hintAlarmHours();

    UiContext& ctx_;
    int rowNr_ = 0;
    bool isNew_ = false;
    bool isTemplate_ = false;
    bool started_ = false;
    bool busy_ = false;
    std::optional<std::string> givenPassword_;

    QLineEdit* name_;
    QLineEdit* comment_[3];
    QLineEdit* sampleDate_;
    QLineEdit* sampleTemp_;
    QLineEdit* analyst_;
    QLineEdit* duration_;
    QComboBox* siDuration_;
    QLineEdit* interval_;
    QComboBox* siInterval_;
    QComboBox* tact_;
    QComboBox* mode_;
    QCheckBox* zeroNeeded_;
    QCheckBox* withCO2_;
    QCheckBox* co2Mean_;
    QCheckBox* storeEC71T_;
    QLineEdit* attritionDivider_;
    QLineEdit* lf2co2_;
    QPushButton* resetLf2co2_;
    QLineEdit* alarmHours_;
    QLineEdit* alarmCount_;
    QCheckBox* leakageAlarm_;
    QCheckBox* continueCellControl_;
    QListWidget* available_;
    QListWidget* used_;
    QPushButton* add_;
    QPushButton* remove_;
    QPushButton* assign_;
    QPushButton* editCell_;
    QPushButton* startCell_;
    QPushButton* holdCell_;
    QCheckBox* holdO2_;
    QCheckBox* holdCO2_;
    QPushButton* continueCell_;
    QCheckBox* contO2_;
    QCheckBox* contCO2_;
    QPushButton* stopCell_;
    QPushButton* counter_;
    QPushButton* passwordButton_;
    QPushButton* ok_;
    QLabel* hint_;
};

}  // namespace kv::ui
