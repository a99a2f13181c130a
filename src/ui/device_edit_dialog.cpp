#include "ui/device_edit_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>

#include "ui/translate.h"

namespace kv::ui {

namespace {

QString typeCaption(DeviceType t) {
    switch (t) {
        case DeviceType::Data:
            return "Data Device  [1]";
        case DeviceType::Case:
            return "Case Control Device  [2]";
        case DeviceType::CO2:
            return "CO2 Device  [3]";
        default:
            return "-";
    }
}

}  // namespace

TfrmDeviceEdit::TfrmDeviceEdit(const DeviceEdit& v, QWidget* parent) : QDialog(parent), base_(v) {
    setObjectName("frmDeviceEdit");
    setWindowTitle("Device settings");
    auto* grid = new QGridLayout(this);
    int row = 0;
    auto label = [&](const char* name, const QString& text) {
        auto* l = new QLabel(text, this);
        l->setObjectName(name);
        grid->addWidget(l, row, 0);
    };
    auto line = [&](const char* name, const char* labelName, const QString& text,
                    const QString& value, bool enabled = true) {
        label(labelName, text);
        auto* e = new QLineEdit(value, this);
        e->setObjectName(name);
        e->setEnabled(enabled);
        grid->addWidget(e, row++, 1);
        return e;
    };
    label("lblDeviceType", "Device Type");
    auto* type = new QLabel(typeCaption(v.type), this);
    type->setObjectName("DeviceType");
    grid->addWidget(type, row++, 1);
    line("SerialNr", "lblSerialNr", "FT-Serial#", qs(v.serialNr));
    line("CaseNr", "lblCaseNr", "Case#", QString::number(v.caseNr));
    master_ = new QCheckBox("Master  (m)", this);
    master_->setObjectName("Master");
    master_->setChecked(v.master);
    grid->addWidget(master_, row++, 1);
    line("DelayInFT_Write", "lblDelayInFT_Write", "Delay in FT_Write (ms)",
         QString::number(v.delayWrite));
    line("DelayInFT_Read", "lblDelayInFT_Read", "Delay in FT_Read (ms)",
         QString::number(v.delayRead));
    const bool data = v.type == DeviceType::Data;
    line("e", "lblE", "Manomenter Check Count (e)", qs(v.e), data);
    line("n", "lblN", "ADC Loop Count (n)", qs(v.n), data);
    line("w", "lblW", "AutoReset Value Minutes)   (w)", qs(v.w), data);
    line("d", "lblD", "Debugging (d)", qs(v.d), data);
    line("f1", "lblF1", "Queue first RAM-Addr  (f1)", qs(v.f1), data);
    line("f2", "lblF2", "Queue next entry RAM-Addr  (f2)", qs(v.f2), data);
    line("f3", "lblF3", "Queue Entries Count  (f3)", qs(v.f3), data);
    auto* initQueue = new QPushButton("Init Queue", this);
    initQueue->setObjectName("btnInitQueue");
    initQueue->setEnabled(data);
    grid->addWidget(initQueue, row++, 1);
    connect(initQueue, &QPushButton::clicked, this, [this] {
        edit("f1")->setText("1");
        edit("f2")->setText("1");
        edit("f3")->setText("0");
    });
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setObjectName("btnOK");
    buttons->button(QDialogButtonBox::Cancel)->setObjectName("btnCancel");
    buttons->button(QDialogButtonBox::Ok)->setText("OK");
    buttons->button(QDialogButtonBox::Cancel)->setText("Cancel");
    grid->addWidget(buttons, row, 0, 1, 2);
    connect(buttons, &QDialogButtonBox::accepted, this, &TfrmDeviceEdit::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    translateWindow(this);
}

QLineEdit* TfrmDeviceEdit::edit(const char* name) const {
    return findChild<QLineEdit*>(name);
}

DeviceEdit TfrmDeviceEdit::values() const {
    DeviceEdit v = base_;
    v.serialNr = ss(edit("SerialNr")->text().trimmed());
    v.caseNr = edit("CaseNr")->text().trimmed().toInt();
    v.master = master_->isChecked();
    v.delayWrite = edit("DelayInFT_Write")->text().trimmed().toInt();
    v.delayRead = edit("DelayInFT_Read")->text().trimmed().toInt();
    for (auto [field, name] : {std::pair{&v.e, "e"},
                               {&v.n, "n"},
                               {&v.w, "w"},
                               {&v.d, "d"},
                               {&v.f1, "f1"},
                               {&v.f2, "f2"},
                               {&v.f3, "f3"}})
        *field = ss(edit(name)->text().trimmed());
    return v;
}

void TfrmDeviceEdit::accept() {
    static const QRegularExpression hex("^[0-9A-Fa-f]+$");
    if (!hex.match(edit("SerialNr")->text().trimmed()).hasMatch()) {
        QMessageBox::warning(this, windowTitle(),
                             langText("frmDeviceEdit", "SerialNrNotHex",
                                      "The serial number may hold hexadecimal digits only "
                                      "(0-9, A-F)."));
        edit("SerialNr")->setFocus();
        return;
    }
    QDialog::accept();
}

}  // namespace kv::ui
