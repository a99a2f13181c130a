#pragma once
// The device terminal frmDeviceTerminal: a text typed by the operator goes to one device
// as it is (no "#" added); what the device answers is shown below.

#include <QDialog>
#include <memory>

#include "system/config_service.h"

class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace kv::ui {

class UiContext;

class TfrmDeviceTerminal : public QDialog {
    Q_OBJECT
  public:
    TfrmDeviceTerminal(UiContext& ctx, std::shared_ptr<ConfigService> service, int device,
                       const QString& title, QWidget* parent = nullptr);

  signals:
    void answered(const QString& answer);

  private:
    void send();

    UiContext& ctx_;
    std::shared_ptr<ConfigService> service_;
    int device_;
    QLineEdit* command_;
    QPlainTextEdit* answers_;
    QPushButton* send_;
};

}  // namespace kv::ui
