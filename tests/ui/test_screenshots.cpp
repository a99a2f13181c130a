// Pictures of the windows with the virtual lab running and a series under way, written into
// the build folder (screenshots/) for a person to look at; each must show rendered text.
#include <QDir>
#include <QFontDatabase>
#include <QImage>
#include <QPlainTextEdit>
#include <QTabWidget>

#include "program_fixture.h"
#include "ui/alarm_window.h"
#include "ui/main_window.h"
#include "ui/splash_screen.h"
#include "ui/status_window.h"

using namespace kv;
using namespace kv::ui;

namespace {

// Dark pixels: without fonts Qt draws nothing (or empty boxes) and the count stays tiny.
int darkPixels(const QImage& image) {
    int n = 0;
    const QImage img = image.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if (qGray(img.pixel(x, y)) < 80) ++n;
    return n;
}

void shoot(QWidget* w, const QString& name) {
    QDir().mkpath(KELVORA_SCREENSHOT_DIR);
    w->show();
    QApplication::processEvents();
    const QImage image = w->grab().toImage();
    const QString path = QString(KELVORA_SCREENSHOT_DIR) + "/" + name + ".png";
    EXPECT_TRUE(image.save(path)) << path.toStdString();
    EXPECT_GT(darkPixels(image), 300) << name.toStdString() << ": no text rendered";
}

}  // namespace

TEST(Screenshots, MainWindowPagesSplashStatusAndAlarmWithARowUnderWay) {
    ASSERT_FALSE(QFontDatabase::families().isEmpty()) << "no fonts installed";
    kvtest::UiWorld world(kvtest::iniText(3, "withCO2=0\r\n"), kvtest::labText(3));
    TKelvora& k = world.k();
    const int nr = world.newRow("Sludge A", {1, 2, 3, 4, 5, 6}, 0);
    world.newRow("Blank", {7, 8}, 1);
    ASSERT_TRUE(world.ops().startRow(nr, false).ok);
    // Twenty tacts of the lab, counted by the acquisition.
    for (int t = 0; t < 20; ++t) {
        world.advanceMs(3000);
        k.acq.cycle.mmTimerCallback();
    }
    AddMsg("Screenshot run of the virtual lab", true);
    k.status.setPanel(StatusPanel::DevStatus, "Devices: OK", StatusColor::Green);

    TfrmMain main(world.ctx());
    main.resize(1100, 620);
    main.selectRowNr(nr);
    main.refresh();
    auto* pages = main.findChild<QTabWidget*>("PageControl");
    const char* names[] = {"main-cells", "main-rows", "main-templates", "main-messages",
                           "main-graphics"};
    for (int i = 0; i < 5; ++i) {
        pages->setCurrentIndex(i);
        main.refresh();
        shoot(&main, names[i]);
    }
    main.lblTactClick();
    main.refresh();
    pages->setCurrentWidget(main.findChild<QWidget*>("DebugPage"));
    shoot(&main, "main-usb-debug");

    TfrmSplashScreen splash;
    splash.task("Synchronizing Kelvora with Devices...");
    splash.devicesStarted(3);
    splash.deviceProgress(2);
    splash.valuesStarted(240);
    splash.valuesProgress(60);
    shoot(&splash, "splash");

    k.cfg.Title = "Kelvora";
    k.cfg.generalVersion = "2.6.4 (16.10.2024)";
    TfrmStatus status(k.cfg);
    shoot(&status, "status");

    k.acq.alarms.raiseAlarm(3, nr);
    TfrmAlarm alarm(k);
    alarm.showAlarms();
    shoot(&alarm, "alarm");
    EXPECT_FALSE(alarm.findChild<QPlainTextEdit*>("msgAlarm")->toPlainText().isEmpty());

    // The same cells in German (examples/Kelvora.Txt).
    ASSERT_GT(languageTexts().load(std::string(KELVORA_SOURCE_DIR) + "/examples/Kelvora.Txt"), 0);
    TfrmMain german(world.ctx());
    german.resize(1100, 620);
    german.refresh();
    shoot(&german, "main-cells-de");
    german.findChild<QTabWidget*>("PageControl")->setCurrentIndex(1);
    german.selectRowNr(nr);
    german.refresh();
    shoot(&german, "main-rows-de");
}
