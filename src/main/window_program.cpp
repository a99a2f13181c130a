// kelvora with windows: the splash window during the start-up, the windows in their order,
// the main window's message loop, and the control socket served as the headless program
// serves it. The windows' commands, the console's commands from the socket and the quit
// path all run on the one operations thread, one at a time.
#include "main/window_program.h"

#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QApplication>
#include <QTimer>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <thread>

#include "app/debuglog.h"
#include "console/commands.h"
#include "console/console_frontend.h"
#include "console/control_socket.h"
#include "system/operation_queue.h"
#include "system/operations.h"
#include "ui/main_window.h"
#include "ui/program_context.h"
#include "ui/program_windows.h"
#include "ui/splash_screen.h"
#include "ui/window_frontend.h"

namespace kv {

namespace {

// While a console command runs (on the operations thread), the command answers its own
// questions; everything else is asked in the windows.
class WindowProgramFrontEnd : public FrontEnd {
  public:
    WindowProgramFrontEnd(ConsoleFrontEnd& console, ui::WindowFrontEnd& window)
        : console_(console), window_(window) {}
    void progress(const std::string& text) override { window_.progress(text); }
    void errorBox(const std::string& text) override {
        if (console_.inCommand())
            console_.errorBox(text);
        else
            window_.errorBox(text);
    }
    Answer ask(const std::string& question, bool withCancel) override {
        return console_.inCommand() ? console_.ask(question, withCancel)
                                    : window_.ask(question, withCancel);
    }
    bool askPassword(const std::string& title, std::string& entry) override {
        return console_.inCommand() ? console_.askPassword(title, entry)
                                    : window_.askPassword(title, entry);
    }
    SplashOutput* splash() override { return window_.splash(); }

  private:
    ConsoleFrontEnd& console_;
    ui::WindowFrontEnd& window_;
};

// A local X display (":N") whose socket does not answer means no windows; a remote one is
// left to the window system to judge.
bool localDisplayReachable(const std::string& display) {
    if (display.empty() || display[0] != ':') return true;
    const std::string number = display.substr(1, display.find('.') - 1);
    const std::string path = "/tmp/.X11-unix/X" + number;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return true;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    // An abstract socket serves the same display on Linux.
    if (ok) return true;
    const int fd2 = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd2 < 0) return true;
    sockaddr_un abs{};
    abs.sun_family = AF_UNIX;
    std::memcpy(abs.sun_path + 1, path.c_str(), std::min(path.size(), sizeof abs.sun_path - 2));
    const socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + path.size());
    const bool ok2 = ::connect(fd2, reinterpret_cast<sockaddr*>(&abs), len) == 0;
    ::close(fd2);
    return ok2;
}

bool displayAvailable(std::string& why) {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    const std::string p = platform ? platform : "";
    // Qt's platforms without a display server (offscreen, vnc, ...).
    if (!p.empty() && p.rfind("xcb", 0) != 0 && p.rfind("wayland", 0) != 0) return true;
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const char* x11 = std::getenv("DISPLAY");
    if (wayland && *wayland && p.rfind("xcb", 0) != 0) return true;
    if (!x11 || !*x11) {
        why = "no display (DISPLAY is not set)";
        return false;
    }
    if (!localDisplayReachable(x11)) {
        why = std::string("the display ") + x11 + " does not answer";
        return false;
    }
    return true;
}

}  // namespace

int runWindowProgram(StartOptions start, int argc, char** argv) {
    std::string why;
    if (!displayAvailable(why)) {
        std::fprintf(stderr,
                     "kelvora: %s; the windows cannot open. Start it with --headless to run "
                     "without windows.\n",
                     why.c_str());
        return 2;
    }

    // Signals are taken by one thread with sigwait (see the headless main).
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    QApplication qapp(argc, argv);
    QApplication::setApplicationName("Kelvora");
    QApplication::setQuitOnLastWindowClosed(false);

    ui::WindowFrontEnd windowFe;
    ConsoleFrontEnd consoleFe;
    consoleFe.quiet = true;
    WindowProgramFrontEnd fe(consoleFe, windowFe);

    ui::TfrmSplashScreen splash;
    windowFe.setSplash(&splash);
    QObject::connect(&windowFe, &ui::WindowFrontEnd::progressText, &splash,
                     &ui::TfrmSplashScreen::setTask);

    const double runFor = start.runForSeconds;
    Application app(std::move(start), fe);
    // The splash opens with the first task text, after the single-instance check: a second
    // start shows nothing but its box.
    splash.clearCancel();
    if (const int rc = app.startup(); rc != 0) return rc;
    splash.hide();

    OperationQueue queue;
    queue.start();
    Operations ops(app.kelvora(), fe);
    ui::ProgramContext ctx(app.kelvora(), ops, queue, windowFe);
    ui::ProgramWindows windows(ctx);
    ui::TfrmMain& main = windows.main();
    windowFe.setDialogParent(&main);
    QObject::connect(&windowFe, &ui::WindowFrontEnd::progressText, &main,
                     &ui::TfrmMain::setStatusText);
    main.setQuitPath([&app](QuitSource source) { return app.quit(source); });

    std::atomic<bool> ended{false};
    auto endWindows = [&main, &ended] {
        QMetaObject::invokeMethod(
            &main,
            [&main, &ended] {
                if (ended.exchange(true)) return;
                main.closeForQuit();
                QCoreApplication::quit();
            },
            Qt::QueuedConnection);
    };
    QObject::connect(&main, &ui::TfrmMain::quitAccepted, &main, [&endWindows] { endWindows(); });
    // A quit without questions (the operating system, --run-for).
    auto systemQuit = [&queue, &app, &endWindows] {
        queue.post([&app, &endWindows] {
            if (app.quit(QuitSource::System)) endWindows();
        });
    };

    CommandInterpreter interpreter(ops, consoleFe, [&app] { return app.quit(QuitSource::Menu); });
    ControlServer server(app.paths().home, [&](const std::string& line) -> std::string {
        auto answer = std::make_shared<std::promise<std::string>>();
        std::future<std::string> result = answer->get_future();
        const bool posted = queue.post([&, answer, line] {
            if (!app.isRunning()) {
                answer->set_value("error: Kelvora is stopping\n");
                return;
            }
            const ConsoleReply reply = interpreter.execute(line);
            answer->set_value(reply.text());
            if (reply.quit) endWindows();
        });
        if (!posted) return "error: Kelvora is stopping\n";
        try {
            return result.get();
        } catch (const std::future_error&) {
            return "error: Kelvora is stopping\n";
        }
    });
    std::string serverError;
    if (!server.start(serverError)) {
        WriteDbg("Console", serverError);
        std::fprintf(stderr, "kelvora: %s\n", serverError.c_str());
    }

    std::thread signalThread([&] {
        int sig = 0;
        while (sigwait(&set, &sig) == 0) {
            if (sig == SIGUSR1) return;
            systemQuit();
        }
    });
    if (runFor >= 0)
        QTimer::singleShot(static_cast<int>(std::min(runFor * 1000.0, 2.0e9)), &main, systemQuit);

    main.show();
    main.startRefresh();
    QApplication::exec();

    // Jobs still under way may need the window thread for a question: it keeps serving
    // events until the queue and the socket have stopped.
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        queue.stop();
        server.stop();
        stopped = true;
    });
    while (!stopped.load()) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    stopper.join();
    pthread_kill(signalThread.native_handle(), SIGUSR1);
    signalThread.join();
    if (app.isRunning()) app.quit(QuitSource::System);
    app.shutdown();
    return 0;
}

}  // namespace kv
