#include "ui/alarm_window.h"

#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "system/kelvora.h"
#include "ui/translate.h"

namespace kv::ui {

TfrmAlarm::TfrmAlarm(TKelvora& k, QWidget* parent) : QDialog(parent), k_(k) {
    setObjectName("frmAlarm");
    setWindowTitle("Alarm");
    resize(560, 340);
    auto* layout = new QVBoxLayout(this);
    msgAlarm_ = new QPlainTextEdit(this);
    msgAlarm_->setObjectName("msgAlarm");
    msgAlarm_->setReadOnly(true);
    layout->addWidget(msgAlarm_, 1);
    auto* buttons = new QHBoxLayout;
    auto* ok = new QPushButton("OK", this);
    ok->setObjectName("btnOK");
    auto* clear = new QPushButton("Clear Alarm Indicator", this);
    clear->setObjectName("btnClear");
    auto* clearList = new QPushButton("Clear Alarm List", this);
    clearList->setObjectName("btnClearList");
    buttons->addWidget(clear);
    buttons->addWidget(clearList);
    buttons->addStretch(1);
    buttons->addWidget(ok);
    layout->addLayout(buttons);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(clear, &QPushButton::clicked, this, &TfrmAlarm::btnClearClick);
    connect(clearList, &QPushButton::clicked, this, &TfrmAlarm::btnClearListClick);
    translateWindow(this);
}

void TfrmAlarm::fill() {
    setWindowTitle(qs(k_.acq.alarms.caption()));
    msgAlarm_->setPlainText(qs(k_.acq.alarms.memoText()));
}

void TfrmAlarm::showAlarms() {
    fill();
    show();
    raise();
    activateWindow();
}

void TfrmAlarm::btnClearClick() {
    k_.acq.alarms.clearIndicator();
    fill();
}

void TfrmAlarm::btnClearListClick() {
    k_.acq.alarms.clearList();
    fill();
}

}  // namespace kv::ui
