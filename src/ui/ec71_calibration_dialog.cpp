#include "ui/ec71_calibration_dialog.h"

#include <QCoreApplication>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/translate.h"
#include "ui/ui_context.h"
#include "ui/window_frontend.h"

namespace kv::ui {

// The calibration's questions, status lines and error boxes, from the operations thread.
class TfrmEC71Calibration::Ui : public CalibrationUi {
  public:
    Ui(TfrmEC71Calibration* dialog, WindowFrontEnd& fe, std::shared_ptr<std::atomic<bool>> cancel)
        : dialog_(dialog), fe_(fe), cancel_(std::move(cancel)) {}
    bool ask(const std::string& question) override {
        return fe_.ask(question, false) == Answer::Yes;
    }
    void status(const std::string& text, StatusColor color) override {
        QPointer<TfrmEC71Calibration> d = dialog_;
        const QString t = qs(text);
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [d, t, color] {
                if (d) d->setStatus(t, color);
            },
            Qt::QueuedConnection);
    }
    bool cancelled() override { return cancel_->load(); }
    void errorBox(const std::string& text) override { fe_.errorBox(text); }

  private:
    QPointer<TfrmEC71Calibration> dialog_;
    WindowFrontEnd& fe_;
    std::shared_ptr<std::atomic<bool>> cancel_;
};

TfrmEC71Calibration::TfrmEC71Calibration(UiContext& ctx, std::shared_ptr<ConfigService> service,
                                         int cell, QWidget* parent)
    : QDialog(parent),
      ctx_(ctx),
      service_(std::move(service)),
      cell_(cell),
      cancelFlag_(std::make_shared<std::atomic<bool>>(false)),
      cancel_(*cancelFlag_) {
    setObjectName("frmEC71Calibration");
    setWindowTitle("EC71 Calibration");
    auto* layout = new QVBoxLayout(this);
    status_ = new QLabel(this);
    status_->setObjectName("lblStatus");
    status_->setMinimumWidth(360);
    status_->setWordWrap(true);
    cancelButton_ = new QPushButton("Cancel Calibration", this);
    cancelButton_->setObjectName("btnCancelCalibration");
    layout->addWidget(status_);
    layout->addWidget(cancelButton_);
    connect(cancelButton_, &QPushButton::clicked, this, [this] { cancel_ = true; });
    translateWindow(this);
}

void TfrmEC71Calibration::setStatus(const QString& text, StatusColor color) {
    status_->setText(text);
    const char* css = color == StatusColor::Red     ? "color: red"
                      : color == StatusColor::Green ? "color: green"
                                                    : "";
    status_->setStyleSheet(css);
}

void TfrmEC71Calibration::start() {
    running_ = true;
    auto ui = std::make_shared<Ui>(this, ctx_.frontEnd(), cancelFlag_);
    auto result = std::make_shared<EC71CalibrationResult>();
    ctx_.runOperation(
        this,
        [service = service_, cell = cell_, ui, result](Operations&) {
            *result = service->calibrate(cell, *ui);
            return OpResult::done();
        },
        [this, result](const OpResult&) {
            running_ = false;
            outcome_ = qs(calibrationOutcomeText(*result));
            emit finished(outcome_);
            QDialog::accept();
        });
}

void TfrmEC71Calibration::reject() {
    // The window's close button cancels; the dialog closes when the calibration has ended.
    if (running_) {
        cancel_ = true;
        return;
    }
    QDialog::reject();
}

}  // namespace kv::ui
