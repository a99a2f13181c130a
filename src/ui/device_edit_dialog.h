#pragma once
// The device edit dialog frmDeviceEdit: a configured device's list entry (serial number,
// case, master flag, the two delays) and, for a data device, the settings it reported (e,
// n, w, d, m, f1, f2, f3). OK is taken only with a hexadecimal serial number; the caller
// writes the values through the ConfigService.

#include <QDialog>

#include "system/config_service.h"

class QCheckBox;
class QLabel;
class QLineEdit;

namespace kv::ui {

class TfrmDeviceEdit : public QDialog {
    Q_OBJECT
  public:
    explicit TfrmDeviceEdit(const DeviceEdit& values, QWidget* parent = nullptr);
    DeviceEdit values() const;
    void accept() override;

  private:
    QLineEdit* edit(const char* name) const;

    DeviceEdit base_;
    QCheckBox* master_ = nullptr;
};

}  // namespace kv::ui
