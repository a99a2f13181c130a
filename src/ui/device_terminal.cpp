#include "ui/device_terminal.h"

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "co2/winsio.h"
#include "ui/translate.h"
#include "ui/ui_context.h"

namespace kv::ui {

TfrmDeviceTerminal::TfrmDeviceTerminal(UiContext& ctx, std::shared_ptr<ConfigService> service,
                                       int device, const QString& title, QWidget* parent)
    : QDialog(parent), ctx_(ctx), service_(std::move(service)), device_(device) {
    setObjectName("frmDeviceTerminal");
    setWindowTitle(title);
    auto* layout = new QVBoxLayout(this);
    auto* label = new QLabel("Command", this);
    label->setObjectName("lblCommand");
    command_ = new QLineEdit(this);
    command_->setObjectName("edtCommand");
    send_ = new QPushButton("Send Command", this);
    send_->setObjectName("btnSendCommand");
    send_->setDefault(true);
    answers_ = new QPlainTextEdit(this);
    answers_->setObjectName("memAnswer");
    answers_->setReadOnly(true);
    auto* close = new QPushButton("Close", this);
    close->setObjectName("btnClose");
    layout->addWidget(label);
    layout->addWidget(command_);
    layout->addWidget(send_);
    layout->addWidget(answers_);
    layout->addWidget(close);
    connect(send_, &QPushButton::clicked, this, &TfrmDeviceTerminal::send);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    // The title carries the device's name; translateWindow keeps a caption it has none for.
    translateWindow(this);
    setWindowTitle(title);
    resize(480, 320);
}

void TfrmDeviceTerminal::send() {
    const std::string text = ss(command_->text());
    send_->setEnabled(false);
    auto answer = std::make_shared<std::string>();
    ctx_.runOperation(
        this,
        [service = service_, device = device_, text, answer](Operations&) {
            return service->terminal(device, text, *answer);
        },
        [this, text, answer](const OpResult& r) {
            send_->setEnabled(true);
            const QString shown = r.ok ? qs(printableText(*answer)) : qs("error: " + r.error);
            answers_->appendPlainText("> " + qs(text));
            answers_->appendPlainText(shown);
            emit answered(shown);
        });
}

}  // namespace kv::ui
