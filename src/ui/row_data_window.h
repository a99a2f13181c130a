#pragma once
// The row data window (frmRowData): the values of one series in a grid, one column per
// cell and one line per time value, with the three exclusive choices CO2, LF and O2 TS; the
// exports (CSV or spreadsheet by the file's extension, AT4, 301f) are operations, printing
// draws the printout of the row on the printer set up here.

#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "output/row_data_model.h"
#include "system/operations.h"

class QAction;
class QCheckBox;
class QPrinter;
class QTableView;

namespace kv::ui {

class RowDataTable;
class UiContext;

class TfrmRowData : public QWidget {
    Q_OBJECT
  public:
    TfrmRowData(UiContext& ctx, QWidget* parent = nullptr);
    ~TfrmRowData() override;
    // Shows the row (its password already given); false when it is gone.
    bool showRow(int rowNr);
    void reload();
    RowValueChoice choice() const;
    // The save command with the file already chosen: ".xls"/".xlsx" (any case) writes the
    // spreadsheet, any other name the CSV file.
    void saveTo(const QString& file);
    QTableView* grid() const { return grid_; }
    // The row password given when the window opened: its exports take it instead of asking.
    void setGivenPassword(std::optional<std::string> entry) { password_ = std::move(entry); }

  private:
    void choose(QCheckBox* box);
    void save();
    void print(bool data, bool special);
    void run(std::function<OpResult(Operations&)> work);

    UiContext& ctx_;
    int rowNr_ = 0;
    bool withCO2_ = false;
    std::optional<std::string> password_;
    QTableView* grid_;
    RowDataTable* table_;
    QCheckBox* co2_;
    QCheckBox* lf_;
    QCheckBox* ts_;
    std::unique_ptr<QPrinter> printer_;
};

}  // namespace kv::ui
