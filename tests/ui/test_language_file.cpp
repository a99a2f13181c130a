// The shipped German language file: it loads, stays within the table's 600 entries, and
// has a text for every caption, hint and item list of the main, status, alarm and splash
// windows, which the windows then show.
#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QTabWidget>

#include "program_fixture.h"
#include "ui/alarm_window.h"
#include "ui/main_window.h"
#include "ui/splash_screen.h"
#include "ui/status_window.h"
#include "ui/translate.h"

using namespace kv;
using namespace kv::ui;

namespace {

const char* const kMissing = "\x01missing";

bool has(const QString& section, const QString& key) {
    return GetText(ss(section), ss(key), kMissing) != kMissing;
}

// Every named control with a text of its own must have an entry in its window's section.
std::vector<std::string> untranslated(QWidget* window) {
    std::vector<std::string> missing;
    const QString section = window->objectName();
    auto need = [&](const QString& key) {
        if (!has(section, key)) missing.push_back(ss(section + "\\" + key));
    };
    for (QWidget* w : window->findChildren<QWidget*>()) {
        const QString name = w->objectName();
        if (name.isEmpty() || name.startsWith("qt_")) continue;
        bool captioned = false;
        if (auto* b = qobject_cast<QAbstractButton*>(w)) captioned = !b->text().isEmpty();
        // A label showing a number is a value, not a caption.
        if (auto* l = qobject_cast<QLabel*>(w)) {
            bool number = false;
            l->text().toInt(&number);
            captioned = !l->text().isEmpty() && !number;
        }
        if (auto* g = qobject_cast<QGroupBox*>(w)) captioned = !g->title().isEmpty();
        // The display-mode buttons take their texts from the item list of their group.
        if (name.startsWith("rgCellMode_")) captioned = false;
        if (captioned) need(name);
        if (qobject_cast<QComboBox*>(w) && qobject_cast<QComboBox*>(w)->count() > 0)
            need(name + "Items");
        if (!w->toolTip().isEmpty()) need(name + "Hint");
    }
    for (auto* tabs : window->findChildren<QTabWidget*>())
        for (int i = 0; i < tabs->count(); ++i) need(tabs->widget(i)->objectName());
    for (QAction* a : window->findChildren<QAction*>())
        if (!a->objectName().isEmpty() && !a->text().isEmpty()) need(a->objectName());
    return missing;
}

}  // namespace

TEST(GermanLanguageFile, LoadsWithinTheTableAndTranslatesEveryTextOfTheWindows) {
    const std::string file = std::string(KELVORA_SOURCE_DIR) + "/examples/Kelvora.Txt";
    kvtest::UiWorld world(kvtest::iniText(2), kvtest::labText(2));
    const int n = languageTexts().load(file);
    EXPECT_GT(n, 100);
    // Every window's texts in one file, below the 600 the table takes (at 600 some would
    // have been cut off).
    EXPECT_LT(n, 600);
    {
        // The texts as built in (English), checked against the file.
        languageTexts().clear();
        TfrmMain main(world.ctx());
        TfrmStatus status(world.k().cfg);
        TfrmAlarm alarm(world.k());
        TfrmSplashScreen splash;
        languageTexts().load(file);
        for (QWidget* w : std::initializer_list<QWidget*>{&main, &alarm, &splash}) {
            const auto missing = untranslated(w);
            EXPECT_TRUE(missing.empty()) << "no German text for " << missing.front() << " and "
                                         << missing.size() - 1 << " more";
        }
    }
    TfrmMain main(world.ctx());
    main.refresh();
    EXPECT_EQ(main.findChild<QAction*>("MenuCmd_File_Exit")->text(), "&Beenden");
    EXPECT_EQ(main.findChild<QAbstractButton*>("btnNewRowFromTemplate")->text(), "Neue Messung");
    auto* pages = main.findChild<QTabWidget*>("PageControl");
    EXPECT_EQ(pages->tabText(1), "Messreihen");
    EXPECT_EQ(main.findChild<QComboBox*>("xDeltaSI")->itemText(2), "d");
    EXPECT_EQ(main.findChild<QAbstractButton*>("sbQuit")->toolTip(), "Kelvora/NT beenden");
    EXPECT_TRUE(main.gridView().text(0, 0).contains("Gehäuse"));
    EXPECT_TRUE(main.gridView().text(0, 1).startsWith("Frei  [I]"));
    TfrmStatus status(world.k().cfg);
    EXPECT_EQ(status.windowTitle(), "Kelvora Statusinformationen");
    EXPECT_EQ(status.findChild<QLabel*>("lblNrCells")->text(), "Anzahl Zellen: 12");
    TfrmAlarm alarm(world.k());
    EXPECT_EQ(alarm.findChild<QAbstractButton*>("btnClearList")->text(), "Alarmliste löschen");
}
