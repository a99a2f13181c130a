// The real kelvora with its windows, under Xvfb, against kelvora-sim on pseudo-terminals,
// driven from outside through the accessibility interface (tests/e2e/gui_driver.py, with
// python3-pyatspi): the series defined in the row dialog and started in the start dialog,
// `kelvora ctl` only to read what the program holds. Three minutes of measurement, the recorded
// counts against the lab's ground truth, and the quit through the window's quit button with its
// question.
//
// The test runs inside a session bus (CTest starts it under dbus-run-session), on which the
// accessibility bus is started for the program.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "e2e_fixture.h"

namespace e2e {
namespace {

const char* const kLab = R"(
[Lab]
Seed=11
[Device GUIA]
Type=1
Cell1=rate=20 noise=0.1 settle=0
Cell2=rate=12 noise=0.1 settle=0
Cell3=rate=6 noise=0.1 settle=0
Cell4=rate=3 noise=0.1 settle=0
Cell5=rate=1 noise=0.1 settle=0
Cell6=rate=0.4 noise=0.1 settle=0
[Device GUIB]
Type=1
Cell1=rate=18 noise=0.1 settle=0
Cell2=rate=9 noise=0.1 settle=0
Cell3=rate=4 noise=0.1 settle=0
Cell4=rate=2 noise=0.1 settle=0
Cell5=rate=0.8 noise=0.1 settle=0
Cell6=rate=0.2 noise=0.1 settle=0
[Device GUIC]
Type=2
Temp=21
Drift=0.1
)";

constexpr double kSlackSec = 6.0;  // see test_restart.cpp

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

class GuiEndToEnd : public EndToEnd {
  protected:
    // One step of the driver; its stderr says what did not appear.
    bool drive(const std::vector<std::string>& args, double seconds = 60) {
        const std::string err = dir_.file("driver.err");
        std::vector<std::string> all = {std::string(KELVORA_SOURCE_DIR) +
                                        "/tests/e2e/gui_driver.py"};
        all.insert(all.end(), args.begin(), args.end());
        Process p("/usr/bin/python3", all, {dir_.file("driver.out"), err, false});
        const int rc = p.waitExit(Seconds(seconds + 30));
        std::string line;
        for (const std::string& a : args) line += " " + a;
        if (rc != 0) ADD_FAILURE() << "gui_driver.py" << line << ": " << readFile(err);
        return rc == 0;
    }
};

}  // namespace

TEST_F(GuiEndToEnd, WindowsUnderXvfbMeasureThreeMinutesAndQuitThroughTheWindow) {
    ASSERT_NE(std::getenv("DBUS_SESSION_BUS_ADDRESS"), nullptr)
        << "run this test under dbus-run-session (CTest does)";
    ASSERT_TRUE(exists("/usr/bin/Xvfb")) << "Xvfb is missing: scripts/deps installs it";
    const int display = 70 + static_cast<int>(::getpid() % 200);
    Process xvfb(
        "/usr/bin/Xvfb",
        {":" + std::to_string(display), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"},
        {dir_.file("xvfb.out"), dir_.file("xvfb.err"), false});
    const std::string socket = "/tmp/.X11-unix/X" + std::to_string(display);
    ASSERT_TRUE(waitUntil(Seconds(20), [&] { return exists(socket); }))
        << "Xvfb did not start: " << readFile(dir_.file("xvfb.err"));
    ::setenv("DISPLAY", (":" + std::to_string(display)).c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    ::setenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1", 1);
    ::setenv("QT_ACCESSIBILITY", "1", 1);

    // A new series takes its units from the laboratory's defaults: minutes for the interval,
    // mg/l (the [Excel] key keeps the start-up from setting its own default mode). Qt's
    // accessible combo box offers no way to choose an item from outside.
    startLab(kLab, {{"GUIA", 1}, {"GUIB", 7}}, "GUIC", 12,
             "DefRowMode=0\r\nDefRowSIInterval=0\r\nDefRowInterval=1\r\n"
             "[Excel]\r\nVersion=97\r\n");
    if (HasFatalFailure()) return;
    Process kelvora(binDir() + "/kelvora", {"--home", home_},
                    {home_ + "/kelvora-gui.out", home_ + "/kelvora-gui.err", false});
    ASSERT_TRUE(kelvora.started());
    // Start-up with its synchronisation, then the control socket of the window process (it
    // answers during the start-up already) says the timers run.
    CtlResult status;
    ASSERT_TRUE(waitUntil(Seconds(120), [&] {
        if (!kelvora.running()) return true;
        status = ctl({"status"});
        return status.ok() && status.out.find("state: running") != std::string::npos;
    }));
    ASSERT_TRUE(kelvora.running()) << "kelvora ended: " << readFile(home_ + "/kelvora-gui.err");
    ASSERT_TRUE(status.ok()) << status.out;
    syncFinished();
    ASSERT_TRUE(drive({"wait-app", "60"}));
    // The main window shows its pages.
    EXPECT_TRUE(drive({"has", "Meas. series"}));

    // The series through the windows: the row dialog with its name and twelve cells (each
    // confirmed in its parameter dialog), OK, then the start dialog's "Start all cells".
    ASSERT_TRUE(drive({"page", "Meas. series"}));
    ASSERT_TRUE(drive({"click-shown", "New"}));
    ASSERT_TRUE(drive({"type", "--->", "Name", "S"}));
    ASSERT_TRUE(drive({"add-cells", "--->", "available cells", "12"}, 240));
    ASSERT_TRUE(drive({"confirm", "--->", "OK"}));
    CtlResult rows = ctlOk({"rows"});
    EXPECT_NE(rows.out.find("row=S "), std::string::npos) << rows.out;
    EXPECT_NE(rows.out.find("state=Defined cells=1-12 tact=3 interval=1min duration=1d mode=0"),
              std::string::npos)
        << rows.out;
    ASSERT_TRUE(drive({"click-shown", "Start/Stop"}));
    ASSERT_TRUE(drive({"click-in", "Start all cells", "Start all cells"}));
    EXPECT_TRUE(drive({"has", "Running"}));
    ASSERT_TRUE(waitUntil(Seconds(60), [&] {
        return ctl({"rows"}).out.find("state=Running") != std::string::npos;
    })) << ctl({"rows"}).out;

    std::this_thread::sleep_for(std::chrono::minutes(3));
    freezeLab();

    // The quit path of the window: the quit button, then the store question.
    ASSERT_TRUE(drive({"click", "Quit"}));
    ASSERT_TRUE(drive({"answer", "Store current value", "Yes"}));
    EXPECT_EQ(kelvora.waitExit(Seconds(60)), 0) << readFile(home_ + "/kelvora-gui.err");

    const DataFile file = dataFile();
    ASSERT_GE(file.lines.size(), 3u);
    expectNoGap(file, 60.0);
    expectLinesMatchTruth(file, kSlackSec);
    expectFinalLineMatchesTruth(file);
    EXPECT_NE(readFile(home_ + "/Kelvora.Msg").find("Stop Kelvora"), std::string::npos);
    expectNoRaceReports();
    EXPECT_EQ(readFile(home_ + "/kelvora-gui.err").find("WARNING: ThreadSanitizer"),
              std::string::npos)
        << readFile(home_ + "/kelvora-gui.err");
}

TEST(GuiStart, WithoutADisplayTheProgramNamesHeadlessAndEndsWithTwo) {
    kvtest::TempDir dir;
    const std::string home = dir.file("home");
    ASSERT_EQ(::mkdir(home.c_str(), 0700), 0);
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    ::unsetenv("QT_QPA_PLATFORM");
    Process k(binDir() + "/kelvora", {"--home", home}, {dir.file("out"), dir.file("err"), false});
    EXPECT_EQ(k.waitExit(Seconds(30)), 2);
    EXPECT_NE(readFile(dir.file("err")).find("--headless"), std::string::npos)
        << readFile(dir.file("err"));
    // Nothing of a run was started: no lock taken, no files written.
    EXPECT_FALSE(exists(home + "/Kelvora.Msg"));
    // A display that does not answer is no display either.
    ::setenv("DISPLAY", ":239", 1);
    Process k2(binDir() + "/kelvora", {"--home", home},
               {dir.file("out2"), dir.file("err2"), false});
    EXPECT_EQ(k2.waitExit(Seconds(30)), 2);
    EXPECT_NE(readFile(dir.file("err2")).find("does not answer"), std::string::npos)
        << readFile(dir.file("err2"));
    ::unsetenv("DISPLAY");
}

}  // namespace e2e
