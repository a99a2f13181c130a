// The control socket while the program starts: served from the moment the home folder's
// lock is held, `status` reports the start-up step, every other command is refused until
// the timers run; then the console takes over.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "console/console.h"
#include "console/control_socket.h"
#include "support/temp_dir.h"
#include "support/wait.h"
#include "system/application.h"

namespace {

// Asks the socket at two steps of the start-up, from the start-up's own thread: the answer
// must come without the start-up going on.
class AskingFrontEnd : public kv::ConsoleFrontEnd {
  public:
    std::string home;
    struct Asked {
        int statusRc = -1, rowsRc = -1, helpRc = -1;
        std::string status, rows, help;
    };
    Asked atRows, atAlign;

    void progress(const std::string& text) override {
        if (text == "Loading Kelvora stored Row Data...") ask(atRows);
        if (text == "Synchronizing Kelvora Cellstate with Devices...") ask(atAlign);
    }

  private:
    void ask(Asked& a) {
        std::string error;
        a.statusRc = kv::sendControlCommand(home, "status", a.status, error);
        a.rowsRc = kv::sendControlCommand(home, "rows", a.rows, error);
        a.helpRc = kv::sendControlCommand(home, "help", a.help, error);
    }
};

TEST(StartupConsole, StatusGivesTheStepOtherCommandsWaitForTheTimers) {
    kvtest::TempDir dir;
    kvtest::writeFile(dir.file("Kelvora.Ini"), "[Kelvora]\r\nCells=12\r\n");
    AskingFrontEnd ui;
    ui.quiet = true;
    ui.home = dir.path();
    kv::StartOptions opts;
    opts.home = dir.path();
    kv::Application app(opts, ui);
    kv::Console console(app, ui, kv::Console::Options{false, true, -1});
    app.setLockHeldHook([&console] { console.serveStartup(); });
    ASSERT_EQ(app.startup(), 0);

    for (const auto* a : {&ui.atRows, &ui.atAlign}) {
        EXPECT_EQ(a->statusRc, kv::kCtlOk) << a->status;
        EXPECT_NE(a->status.find("state: starting"), std::string::npos) << a->status;
        EXPECT_EQ(a->rowsRc, kv::kCtlError);
        EXPECT_EQ(a->rows, "error: starting up\n");
        EXPECT_EQ(a->help, "error: starting up\n");
    }
    EXPECT_NE(ui.atRows.status.find("step: Loading Kelvora stored Row Data..."), std::string::npos)
        << ui.atRows.status;
    // The alignment shows its cells gauge.
    EXPECT_NE(ui.atAlign.status.find("step: Synchronizing Kelvora Cellstate with Devices..."),
              std::string::npos)
        << ui.atAlign.status;
    EXPECT_NE(ui.atAlign.status.find("Cells: 0/12"), std::string::npos) << ui.atAlign.status;

    // Once the console runs, the commands are its own.
    std::thread loop([&console] { console.run(); });
    std::string answer, error;
    // The console takes the socket over from the start-up's server as its loop begins.
    EXPECT_TRUE(kvtest::waitFor(10, [&] {
        return kv::sendControlCommand(dir.path(), "status", answer, error) == kv::kCtlOk &&
               answer.find("state: running") != std::string::npos;
    })) << answer;
    EXPECT_EQ(kv::sendControlCommand(dir.path(), "rows", answer, error), kv::kCtlOk) << answer;
    console.requestQuit(kv::QuitSource::System);
    loop.join();
    // The program has gone: nobody answers any more.
    EXPECT_EQ(kv::sendControlCommand(dir.path(), "status", answer, error), kv::kCtlNoInstance);
}

}  // namespace
