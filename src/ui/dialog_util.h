#pragma once
// Small pieces the dialogs share: named controls, numbers as the dialogs read them, the
// refusal box of an operation, and the password check of a row.

#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

namespace kv {
class Operations;
class TRow;
struct OpResult;
}  // namespace kv

namespace kv::ui {

class UiContext;

// A control with the component name the language texts and the tests know it by.
QLabel* namedLabel(QWidget* parent, const char* name, const QString& text);
QLineEdit* namedEdit(QWidget* parent, const char* name);
QPushButton* namedButton(QWidget* parent, const char* name, const QString& text);
QCheckBox* namedCheck(QWidget* parent, const char* name, const QString& text);
QComboBox* namedCombo(QWidget* parent, const char* name, const QStringList& items);

// A number as the dialogs accept it ("," or "." as the decimal separator, blanks around);
// false for anything else.
bool readNumber(const QLineEdit* field, double& out);
// A whole number: digits only (a sign allowed), no decimal separator at all.
bool readWholeNumber(const QLineEdit* field, int& out);
// A real for a field: up to `decimals` decimals, trailing zeros removed; "" for no value.
QString numberText(double v, int decimals = 5);

// "Invalid value entered !" with the focus on the field that failed.
void refuseField(QWidget* dialog, QWidget* field);
// Shows a refused or failed operation in a warning box; true when the operation succeeded.
bool showResult(UiContext& ctx, const OpResult& r);

// CheckPassword of a row: true at once without a row password, else the prompt (title, or
// "Enter valid password" when empty) and the row's, master or service password. The
// entry accepted is left in `entry`.
bool checkRowPassword(UiContext& ctx, QWidget* parent, TRow& row, const QString& title,
                      std::string* entry = nullptr);

// The operation `work`, with the row password the operator has given to this window as the
// answer to the operation's own row password prompt (on the operations thread, for this
// operation only). Without an entry the operation asks as usual.
std::function<OpResult(Operations&)> withRowPassword(UiContext& ctx,
                                                     std::optional<std::string> entry,
                                                     std::function<OpResult(Operations&)> work);

// The row's name under the rows lock ("" when it is gone).
std::string rowName(UiContext& ctx, int rowNr);

}  // namespace kv::ui
