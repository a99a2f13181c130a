// kelvora: the control and data-acquisition program.
#include <pthread.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "app/debuglog.h"
#include "app/inifile.h"
#include "common/clock.h"
#include "common/numtext.h"
#include "console/command_line.h"
#include "console/console.h"
#include "console/console_frontend.h"
#include "console/control_socket.h"
#include "console/simulated_lab.h"
#include "main/window_program.h"
#include "system/application.h"
#include "system/home.h"
#include "system/version.h"

#if defined(__SANITIZE_THREAD__)
// Under ThreadSanitizer: Qt's libraries (the windows) and the system libraries under them
// (D-Bus of the accessibility bridge, GLib's event loop, xcb, fontconfig) are not
// instrumented, so their own threads are reported as racing with themselves (and libdbus's
// two locks of a closing connection as inverted). Reports with a frame in them are left out;
// ours are not.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libQt6Core.so.6\nrace:libQt6Gui.so.6\nrace:libQt6Widgets.so.6\n"
           "race:libQt6DBus.so.6\nrace:libQt6XcbQpa.so.6\nrace:libdbus-1.so.3\n"
           "race:libglib-2.0.so.0\nrace:libgio-2.0.so.0\nrace:libxcb.so.1\n"
           "race:libfontconfig.so.1\ndeadlock:libdbus-1.so.3\n";
}
#endif

namespace {

const char* kUsage =
    "Usage: kelvora [OPTIONS] [NoSync]\n"
    "       kelvora ctl [--home DIR] COMMAND...\n"
    "\n"
    "  (without --headless the windows open: the splash window, then the main window;\n"
    "   the socket Kelvora.Sock is served all the same)\n"
    "  --headless          run without windows: progress and errors on stderr, console\n"
    "                      commands on stdin and on the socket Kelvora.Sock in the home\n"
    "                      folder (send one with: kelvora ctl COMMAND; try: help)\n"
    "  --simulate          run against the in-process virtual lab built from the\n"
    "                      configured devices and conductivity meters (CDM, EC71);\n"
    "                      the configuration is not changed\n"
    "  --sim-lab FILE      with --simulate: a lab description for the devices\n"
    "  --speed N           with --simulate: the program's clock runs N times faster than\n"
    "                      real time, from the real time of the start (N from 1 to 100000)\n"
    "  --home DIR          home folder with Kelvora.Ini, .Txt, .Msg, .Row and Dbg/\n"
    "                      (default: $KELVORA_HOME, else the program's folder)\n"
    "  --run-for SECONDS   quit by itself after that time\n"
    "  --quiet             no progress lines\n"
    "  --version           print the version and exit\n"
    "  --help              print this text and exit\n"
    "  NoSync              skip the synchronisation with the devices at start-up\n"
    "\n"
    "SIGINT and SIGTERM stop the program through its quit path (no password needed).\n"
    "kelvora ctl exits with 0 for an answer \"ok\", 1 for \"error: ...\", 2 when no\n"
    "Kelvora runs in that home folder.\n";

struct CommandLine {
    kv::StartOptions start;
    bool headless = false;
    bool quiet = false;
    bool simulate = false;
    std::string simLab;
    double speed = 1;
};

// Returns -1 to go on, else the exit status.
int parse(int argc, char** argv, CommandLine& cl) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "kelvora: %s needs a value\n", name);
                return nullptr;
            }
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("Kelvora %s\n", kv::kVersionText);
            return 0;
        } else if (a == "--headless") {
            cl.headless = true;
        } else if (a == "--quiet") {
            cl.quiet = true;
        } else if (a == "--simulate") {
            cl.simulate = true;
        } else if (a == "--sim-lab") {
            const char* v = value("--sim-lab");
            if (!v) return 2;
            cl.simLab = v;
        } else if (a == "--speed") {
            const char* v = value("--speed");
            if (!v) return 2;
            cl.speed = kv::textToReal(v);
            if (kv::isNoValue(cl.speed) || !(cl.speed >= 1) || cl.speed > 100000) {
                std::fprintf(stderr, "kelvora: --speed needs a number from 1 to 100000\n");
                return 2;
            }
        } else if (a == "--home") {
            const char* v = value("--home");
            if (!v) return 2;
            cl.start.home = v;
        } else if (a == "--run-for") {
            const char* v = value("--run-for");
            if (!v) return 2;
            const double s = kv::textToReal(v);
            if (kv::isNoValue(s) || s < 0) {
                std::fprintf(stderr, "kelvora: --run-for needs a number of seconds\n");
                return 2;
            }
            cl.start.runForSeconds = s;
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "kelvora: unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        } else if (cl.start.parameter.empty()) {
            cl.start.parameter = a;  // only the first plain argument counts
        }
    }
    return -1;
}

// kelvora ctl [--home DIR] COMMAND...: one command to the running instance.
int runCtl(int argc, char** argv) {
    std::string home;
    int i = 2;
    if (i < argc && std::string(argv[i]) == "--home") {
        if (i + 1 >= argc) {
            std::fprintf(stderr, "kelvora ctl: --home needs a value\n");
            return kv::kCtlError;
        }
        home = argv[i + 1];
        i += 2;
    }
    std::string line;
    for (; i < argc; ++i) {
        const std::string word = argv[i];
        // One command is one line: a line end inside a word would smuggle in a second one.
        if (word.find_first_of("\r\n") != std::string::npos) {
            std::fprintf(stderr, "kelvora ctl: a command must be one line\n");
            return kv::kCtlError;
        }
        if (!line.empty()) line += ' ';
        line += kv::quoteWord(word);
    }
    if (line.empty()) {
        std::fprintf(stderr,
                     "usage: kelvora ctl [--home DIR] COMMAND... (try: kelvora ctl help)\n");
        return kv::kCtlError;
    }
    const char* env = std::getenv("KELVORA_HOME");
    const kv::HomePaths paths = kv::resolveHome(home, env ? env : "", kv::executableDir());
    std::string answer, error;
    int rc = kv::sendControlCommand(paths.home, line, answer, error);
    // The program takes its lock first and serves the socket a moment later: while the lock
    // is held, an instance runs, and its socket is waited for a little.
    for (int k = 0; rc == kv::kCtlNoInstance && k < 50 && kv::lockHeld(paths.lockFile()); ++k) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        rc = kv::sendControlCommand(paths.home, line, answer, error);
    }
    if (rc == kv::kCtlNoInstance && kv::lockHeld(paths.lockFile())) {
        error =
            "Kelvora runs in [" + paths.home + "] but does not answer on " + kv::kControlSocketName;
        rc = kv::kCtlError;
    }
    std::fwrite(answer.data(), 1, answer.size(), stdout);
    if (!error.empty()) std::fprintf(stderr, "kelvora ctl: %s\n", error.c_str());
    return rc;
}

// The virtual lab of --simulate, from the configured devices of the home folder.
std::unique_ptr<kv::sim::Lab> simulatedLab(const CommandLine& cl) {
    const char* env = std::getenv("KELVORA_HOME");
    const kv::HomePaths paths = kv::resolveHome(cl.start.home, env ? env : "", kv::executableDir());
    const kv::IniFile ini(paths.ini());
    std::string error;
    auto lab = kv::buildSimulatedLab(ini, cl.simLab, error);
    if (!lab) std::fprintf(stderr, "kelvora: --simulate: %s\n", error.c_str());
    return lab;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "ctl") return runCtl(argc, argv);
    CommandLine cl;
    if (const int rc = parse(argc, argv, cl); rc >= 0) return rc;
    if (!cl.simLab.empty() && !cl.simulate) {
        std::fprintf(stderr, "kelvora: --sim-lab needs --simulate\n");
        return 2;
    }
    if (cl.speed != 1 && !cl.simulate) {
        std::fprintf(stderr, "kelvora: --speed needs --simulate\n");
        return 2;
    }
    // Installed before anything reads the time: the files carry the simulated times.
    // Never destroyed: threads and the logs may read the time until the process ends.
    if (cl.speed != 1) {
        kv::setClock(new kv::AcceleratedClock(cl.speed));
        kv::setClockSpeed(cl.speed);
    }
    std::unique_ptr<kv::sim::Lab> lab;
    if (cl.simulate) {
        lab = simulatedLab(cl);
        if (!lab) return 2;
        cl.start.simPorts = lab->ports();
        // The lab lives until main returns, longer than the Application.
        cl.start.simLab = lab.get();
    }

    if (!cl.headless) return kv::runWindowProgram(cl.start, argc, argv);

    // Signals are taken by one thread with sigwait, so the quit path runs in normal code
    // rather than in a signal handler. SIGUSR1 only ends that thread at exit. A console
    // client that goes away must not take the program with it: SIGPIPE is ignored.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    kv::ConsoleFrontEnd ui;
    ui.quiet = cl.quiet;
    cl.start.printStatus = !cl.quiet;
    const double runFor = cl.start.runForSeconds;
    kv::Application app(cl.start, ui);
    // Kelvora.Sock is served from the moment the home folder is ours: `status` reports the
    // start-up's step, every other command hears that the program is starting.
    kv::Console console(app, ui, kv::Console::Options{true, true, runFor});
    app.setLockHeldHook([&console] { console.serveStartup(); });
    if (const int rc = app.startup(); rc != 0) return rc;

    std::thread signals([&] {
        int sig = 0;
        while (sigwait(&set, &sig) == 0) {
            if (sig == SIGUSR1) return;
            console.requestQuit(kv::QuitSource::System);
        }
    });
    const int rc = console.run();
    pthread_kill(signals.native_handle(), SIGUSR1);
    signals.join();
    return rc;
}
