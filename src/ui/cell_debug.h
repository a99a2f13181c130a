#pragma once
// The cell debug window (frmCellStatus_Debug), opened from the cell grid while the USB debug
// page is shown: everything the program holds about one physical cell and its row, refreshed
// every second; "<" and ">" step through the cells.

#include <QWidget>

class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QTimer;

namespace kv::ui {

class UiContext;

class TfrmCellStatus_Debug : public QWidget {
    Q_OBJECT
  public:
    TfrmCellStatus_Debug(UiContext& ctx, QWidget* parent = nullptr);
    void showCell(int physCell);
    int cell() const { return phys_; }
    void refresh();
    void step(int by);
    QTimer* refreshTimer() const { return timer_; }

  private:
    QLabel* field(const char* name);

    UiContext& ctx_;
    int phys_ = 1;
    QCheckBox* withCO2_;
    QPlainTextEdit* hourly_;
    QTimer* timer_;
};

}  // namespace kv::ui
