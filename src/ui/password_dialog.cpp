#include "ui/password_dialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/translate.h"

namespace kv::ui {

TfrmPassWd::TfrmPassWd(QWidget* parent) : QDialog(parent) {
    setObjectName("frmPasswd");
    setWindowTitle("Kelvora");
    auto* layout = new QVBoxLayout(this);
    title_ = new QLabel(this);
    title_->setObjectName("lblTitle");
    password_ = new QLineEdit(this);
    password_->setObjectName("Password");
    password_->setEchoMode(QLineEdit::Password);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setObjectName("btnOK");
    buttons->button(QDialogButtonBox::Cancel)->setObjectName("btnCancel");
    buttons->button(QDialogButtonBox::Ok)->setText("OK");
    buttons->button(QDialogButtonBox::Cancel)->setText("Cancel");
    layout->addWidget(title_);
    layout->addWidget(password_);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    translateWindow(this);
}

bool TfrmPassWd::ask(const QString& title, QString& entry) {
    title_->setText(title.isEmpty() ? langText("frmPasswd", "DefaultTitle", "Enter valid password")
                                    : title);
    password_->clear();
    password_->setFocus();
    const bool ok = exec() == QDialog::Accepted;
    entry = ok ? password_->text() : QString();
    return ok;
}

}  // namespace kv::ui
