#pragma once
// The status information window frmStatus: version, titles and trader lines of the
// configuration, the number of cells and the CO2 option with its source. Modal.

#include <QDialog>

namespace kv {
struct Config;
}

namespace kv::ui {

class TfrmStatus : public QDialog {
    Q_OBJECT
  public:
    explicit TfrmStatus(const Config& cfg, QWidget* parent = nullptr);
    // Fills the labels from the configuration (at every opening).
    void load(const Config& cfg);
};

}  // namespace kv::ui
