#pragma once
// The alarm window frmAlarm: the tank-low cells and the alarm list, and the buttons that
// clear the indicator or the list. Opened from the status panel sbInfo2.

#include <QDialog>

class QPlainTextEdit;

namespace kv {
class TKelvora;
}

namespace kv::ui {

class TfrmAlarm : public QDialog {
    Q_OBJECT
  public:
    explicit TfrmAlarm(TKelvora& k, QWidget* parent = nullptr);
    // Fills the memo and shows the window.
    void showAlarms();
    void btnClearClick();
    void btnClearListClick();

  private:
    void fill();

    TKelvora& k_;
    QPlainTextEdit* msgAlarm_;
};

}  // namespace kv::ui
