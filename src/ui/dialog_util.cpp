#include "ui/dialog_util.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <cmath>

#include "common/numtext.h"
#include "system/operations.h"
#include "ui/password_dialog.h"
#include "ui/translate.h"
#include "ui/ui_context.h"
#include "ui/window_frontend.h"

namespace kv::ui {

QLabel* namedLabel(QWidget* parent, const char* name, const QString& text) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(name);
    return l;
}

QLineEdit* namedEdit(QWidget* parent, const char* name) {
    auto* e = new QLineEdit(parent);
    e->setObjectName(name);
    return e;
}

QPushButton* namedButton(QWidget* parent, const char* name, const QString& text) {
    auto* b = new QPushButton(text, parent);
    b->setObjectName(name);
    b->setAutoDefault(false);
    return b;
}

QCheckBox* namedCheck(QWidget* parent, const char* name, const QString& text) {
    auto* c = new QCheckBox(text, parent);
    c->setObjectName(name);
    return c;
}

QComboBox* namedCombo(QWidget* parent, const char* name, const QStringList& items) {
    auto* c = new QComboBox(parent);
    c->setObjectName(name);
    c->addItems(items);
    return c;
}

bool readNumber(const QLineEdit* field, double& out) {
    const double v = textToReal(ss(field->text().trimmed()));
    if (isNoValue(v) || !std::isfinite(v)) return false;
    out = v;
    return true;
}

bool readWholeNumber(const QLineEdit* field, int& out) {
    static const QRegularExpression whole("^[+-]?[0-9]{1,9}$");
    const QString t = field->text().trimmed();
    if (!whole.match(t).hasMatch()) return false;
    out = t.toInt();
    return true;
}

QString numberText(double v, int decimals) {
    if (isNoValue(v) || !std::isfinite(v)) return {};
    return qs(realToText(v, 0, -decimals));
}

void refuseField(QWidget* dialog, QWidget* field) {
    field->setFocus();
    if (auto* e = qobject_cast<QLineEdit*>(field)) e->selectAll();
    QMessageBox::warning(dialog, "Kelvora",
                         langText("*", "InvalidValue", "Invalid value entered !"));
    field->setFocus();
}

bool showResult(UiContext& ctx, const OpResult& r) {
    if (r.ok) return true;
    // A question the operator answered with No needs no box of its own.
    if (r.error != "Cancelled.") ctx.frontEnd().warning(r.error);
    return false;
}

bool checkRowPassword(UiContext& ctx, QWidget* parent, TRow& row, const QString& title,
                      std::string* entry) {
    std::string password;
    {
        auto lock = ctx.kelvora().rows.lock();
        password = row.PassWd;
    }
    if (password.empty()) return true;
    TfrmPassWd prompt(parent);
    QString text;
    if (!prompt.ask(title, text)) return false;
    if (!row.CheckPassword(ss(text))) {
        ctx.frontEnd().warning("Wrong password.");
        return false;
    }
    if (entry) *entry = ss(text);
    return true;
}

std::function<OpResult(Operations&)> withRowPassword(UiContext& ctx,
                                                     std::optional<std::string> entry,
                                                     std::function<OpResult(Operations&)> work) {
    if (!entry) return work;
    WindowFrontEnd& fe = ctx.frontEnd();
    return [&fe, entry, work](Operations& ops) {
        fe.setKnownRowPassword(entry);
        OpResult r = work(ops);
        fe.setKnownRowPassword(std::nullopt);
        return r;
    };
}

std::string rowName(UiContext& ctx, int rowNr) {
    const auto row = ctx.kelvora().rows.FindByUniqueNr(rowNr);
    if (!row) return {};
    auto lock = ctx.kelvora().rows.lock();
    return row->Name;
}

}  // namespace kv::ui
