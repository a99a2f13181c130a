#pragma once
// The EC71 calibration dialog frmEC71Calibration: the calibration of one cell's electrode
// runs on the operations thread; its questions come to this window through the window
// front end, its status line is shown here, and "Cancel Calibration" stops it at the next
// wait for the meter.

#include <QDialog>
#include <atomic>
#include <memory>

#include "system/config_service.h"

class QLabel;
class QPushButton;

namespace kv::ui {

class UiContext;

class TfrmEC71Calibration : public QDialog {
    Q_OBJECT
  public:
    TfrmEC71Calibration(UiContext& ctx, std::shared_ptr<ConfigService> service, int cell,
                        QWidget* parent = nullptr);
    // Starts the calibration; the dialog closes itself when it has ended.
    void start();
    void cancelCalibration() { cancel_ = true; }
    const QString& outcome() const { return outcome_; }

  signals:
    void finished(const QString& outcome);

  protected:
    void reject() override;

  private:
    class Ui;
    void setStatus(const QString& text, StatusColor color);

    UiContext& ctx_;
    std::shared_ptr<ConfigService> service_;
    int cell_;
    std::shared_ptr<std::atomic<bool>> cancelFlag_;
    std::atomic<bool>& cancel_;
    QLabel* status_;
    QPushButton* cancelButton_;
    QString outcome_;
    bool running_ = false;
};

}  // namespace kv::ui
