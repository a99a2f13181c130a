#include "ui/translate.h"

#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QRadioButton>
#include <QTabWidget>
#include <QWidget>

#include "app/texts.h"

namespace kv::ui {

QString qs(const std::string& s) {
    return QString::fromStdString(s);
}

std::string ss(const QString& s) {
    return s.toStdString();
}

QString langText(const char* section, const char* key, const char* def) {
    return qs(GetText(section, key, def));
}

QString langFmt(const char* section, const char* key, const char* def, const QString& a1,
                const QString& a2, const QString& a3, const QString& a4) {
    return qs(GetTextFmt(section, key, def, ss(a1), ss(a2), ss(a3), ss(a4)));
}

QStringList splitItems(const QString& items) {
    QStringList out = items.split('|');
    for (QString& s : out) s = s.trimmed();
    return out;
}

namespace {

std::string text(const std::string& section, const QString& key, const QString& def) {
    return GetText(section, ss(key), ss(def));
}

// Qt names some of its own children ("qt_tabwidget_stackedwidget", ...): not ours.
bool isOurs(const QObject* o) {
    const QString name = o->objectName();
    return !name.isEmpty() && !name.startsWith("qt_");
}

void translateItems(const std::string& section, QWidget* w) {
    const QString key = w->objectName() + "Items";
    if (auto* combo = qobject_cast<QComboBox*>(w)) {
        QStringList current;
        for (int i = 0; i < combo->count(); ++i) current << combo->itemText(i);
        const QStringList items = splitItems(qs(text(section, key, current.join('|'))));
        // Only a list of the same length replaces the entries: the code relies on the
        // positions.
        if (items.size() != combo->count()) return;
        for (int i = 0; i < combo->count(); ++i) combo->setItemText(i, items[i]);
    } else if (auto* group = qobject_cast<QGroupBox*>(w)) {
        const QList<QRadioButton*> buttons = group->findChildren<QRadioButton*>();
        if (buttons.isEmpty()) return;
        QStringList current;
        for (auto* b : buttons) current << b->text();
        const QStringList items = splitItems(qs(text(section, key, current.join('|'))));
        for (int i = 0; i < buttons.size() && i < items.size(); ++i) buttons[i]->setText(items[i]);
    }
}

void translateWidget(const std::string& section, QWidget* w) {
    const QString name = w->objectName();
    if (auto* b = qobject_cast<QAbstractButton*>(w)) {
        if (!b->text().isEmpty()) b->setText(qs(text(section, name, b->text())));
    } else if (auto* l = qobject_cast<QLabel*>(w)) {
        if (!l->text().isEmpty()) l->setText(qs(text(section, name, l->text())));
    } else if (auto* g = qobject_cast<QGroupBox*>(w)) {
        if (!g->title().isEmpty()) g->setTitle(qs(text(section, name, g->title())));
    } else if (auto* m = qobject_cast<QMenu*>(w)) {
        m->setTitle(qs(text(section, name, m->title())));
    }
    translateItems(section, w);
    const QString hint = qs(text(section, name + "Hint", w->toolTip()));
    if (!hint.isEmpty()) w->setToolTip(hint);
}

// A page's tab text is the page's own caption, whether or not the tab control has a name.
void translateTabs(const std::string& section, QTabWidget* tabs) {
    for (int i = 0; i < tabs->count(); ++i) {
        QWidget* page = tabs->widget(i);
        if (page && isOurs(page))
            tabs->setTabText(i, qs(text(section, page->objectName(), tabs->tabText(i))));
    }
}

}  // namespace

void translateWindow(QWidget* window) {
    const std::string section = ss(window->objectName());
    for (QTabWidget* tabs : window->findChildren<QTabWidget*>()) translateTabs(section, tabs);
    if (!window->windowTitle().isEmpty())
        window->setWindowTitle(qs(text(section, "Caption", window->windowTitle())));
    for (QWidget* w : window->findChildren<QWidget*>())
        if (isOurs(w)) translateWidget(section, w);
    for (QAction* a : window->findChildren<QAction*>()) {
        if (!isOurs(a)) continue;
        a->setText(qs(text(section, a->objectName(), a->text())));
        const QString hint = qs(text(section, a->objectName() + "Hint", a->toolTip()));
        if (!hint.isEmpty()) a->setToolTip(hint);
    }
}

}  // namespace kv::ui
