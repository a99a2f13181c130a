#pragma once
// One routine gives a window its texts from the language file: section = the window's
// objectName, key = the control's objectName, default = the (English) text the control
// shows when the routine runs. So a window sets its built-in texts in code, gives every
// control the component name the language files use, and calls translateWindow() once at
// creation.
//
// Keys besides the caption: name + "Hint" (tool tip), name + "Items" (a combo box's entries
// or a group's radio buttons, separated by "|"); the window's own title has the key
// "Caption".

#include <QString>
#include <QStringList>

class QWidget;

namespace kv::ui {

void translateWindow(QWidget* window);

// The language text (section, key) with the built-in default, as a QString.
QString langText(const char* section, const char* key, const char* def);
// The same with up to four "%s" arguments.
QString langFmt(const char* section, const char* key, const char* def, const QString& a1 = {},
                const QString& a2 = {}, const QString& a3 = {}, const QString& a4 = {});
// An item list text split at "|", blanks around each entry trimmed.
QStringList splitItems(const QString& items);

QString qs(const std::string& s);
std::string ss(const QString& s);

}  // namespace kv::ui
