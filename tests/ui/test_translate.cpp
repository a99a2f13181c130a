#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <thread>

#include "app/texts.h"
#include "ui/password_dialog.h"
#include "ui/translate.h"
#include "ui/window_frontend.h"

using namespace kv;
using namespace kv::ui;

namespace {

struct LanguageFile {
    explicit LanguageFile(const char* content) { languageTexts().loadFromText(content); }
    ~LanguageFile() { languageTexts().clear(); }
};

// Runs f on the window thread once a modal dialog is open (polled: the dialog may be opened
// by another thread's request that has not arrived yet).
void onNextDialog(std::function<void(QDialog*)> f, int triesLeft = 500) {
    QTimer::singleShot(10, qApp, [f, triesLeft] {
        if (auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            f(d);
            return;
        }
        ASSERT_GT(triesLeft, 0) << "no dialog opened";
        onNextDialog(f, triesLeft - 1);
    });
}

}  // namespace

TEST(TranslateWindow, TakesEveryTextByWindowAndControlNameWithTheBuiltInDefault) {
    LanguageFile file(
        "frmTest\\Caption:=Testfenster\n"
        "frmTest\\btnGo:=Los\n"
        "frmTest\\btnGoHint:=Startet alles\n"
        "frmTest\\lblInfo:=Hinweis\n"
        "frmTest\\PageOne:=Seite eins\n"
        "frmTest\\cbMode:=Modus\n"
        "frmTest\\cbUnitItems:=Minuten|Stunden|Tage\n"
        "frmTest\\cbShortItems:=eins|zwei\n"
        "frmTest\\MenuCmd_File:=&Datei\n"
        "frmTest\\MenuCmd_Exit:=&Beenden\n"
        "other\\btnKeep:=falsch\n");
    QWidget w;
    w.setObjectName("frmTest");
    w.setWindowTitle("Test window");
    auto* go = new QPushButton("Go", &w);
    go->setObjectName("btnGo");
    auto* keep = new QPushButton("Keep", &w);
    keep->setObjectName("btnKeep");
    auto* info = new QLabel("Info", &w);
    info->setObjectName("lblInfo");
    auto* tabs = new QTabWidget(&w);
    auto* page = new QWidget;
    page->setObjectName("PageOne");
    tabs->addTab(page, "Page 1");
    auto* mode = new QCheckBox("Mode", &w);
    mode->setObjectName("cbMode");
    auto* unit = new QComboBox(&w);
    unit->setObjectName("cbUnit");
    unit->addItems({"min", "h", "d"});
    auto* shortList = new QComboBox(&w);
    shortList->setObjectName("cbShort");
    shortList->addItems({"a", "b", "c"});
    auto* menu = new QMenu("&File", &w);
    menu->setObjectName("MenuCmd_File");
    auto* exit = new QAction("&Quit", &w);
    exit->setObjectName("MenuCmd_Exit");
    w.addAction(exit);

    translateWindow(&w);

    EXPECT_EQ(w.windowTitle(), "Testfenster");
    EXPECT_EQ(go->text(), "Los");
    EXPECT_EQ(go->toolTip(), "Startet alles");
    EXPECT_EQ(keep->text(), "Keep");  // another window's text does not apply
    EXPECT_EQ(info->text(), "Hinweis");
    EXPECT_EQ(tabs->tabText(0), "Seite eins");
    EXPECT_EQ(mode->text(), "Modus");
    EXPECT_EQ(unit->itemText(2), "Tage");
    // A list of another length would shift the meaning of the positions: left alone.
    EXPECT_EQ(shortList->itemText(0), "a");
    EXPECT_EQ(menu->title(), "&Datei");
    EXPECT_EQ(exit->text(), "&Beenden");
}

TEST(WindowFrontEnd, AnswersAnotherThreadOnTheWindowThreadWhileEventsGoOn) {
    WindowFrontEnd fe;
    Answer answer = Answer::No;
    std::string entry;
    std::atomic<bool> entered{false};
    bool timerRan = false;
    QTimer::singleShot(0, [&] { timerRan = true; });
    onNextDialog([](QDialog* box) {
        for (auto* b : box->findChildren<QPushButton*>())
            if (b->text().contains("Yes")) b->click();
        onNextDialog([](QDialog* d) {
            auto* field = d->findChild<QLineEdit*>("Password");
            ASSERT_NE(field, nullptr);
            EXPECT_EQ(field->echoMode(), QLineEdit::Password);
            QTest::keyClicks(field, "secret");
            d->accept();
        });
    });
    std::thread worker([&] {
        answer = fe.ask("Really ?", true);
        entered = fe.askPassword("Enter row password", entry);
    });
    while (!entered) QTest::qWait(10);
    worker.join();
    EXPECT_TRUE(timerRan);
    EXPECT_EQ(answer, Answer::Yes);
    EXPECT_EQ(entry, "secret");
}

TEST(WindowFrontEnd, ACancelledPasswordPromptIsARefusal) {
    WindowFrontEnd fe;
    onNextDialog([](QDialog* d) {
        QTest::keyClicks(d->findChild<QLineEdit*>("Password"), "x");
        d->reject();
    });
    std::string entry = "old";
    EXPECT_FALSE(fe.askPassword("", entry));
    EXPECT_EQ(entry, "");
}
