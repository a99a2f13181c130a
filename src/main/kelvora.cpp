// kelvora: the control and data-acquisition program.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <string>
#include <thread>

#include "common/numtext.h"
#include "system/application.h"
#include "system/frontend.h"
#include "system/version.h"

namespace {

const char* kUsage =
    "Usage: kelvora [OPTIONS] [NoSync]\n"
    "\n"
    "  --headless          run without windows (progress and errors on stderr)\n"
    "  --home DIR          home folder with Kelvora.Ini, .Txt, .Msg, .Row and Dbg/\n"
    "                      (default: $KELVORA_HOME, else the program's folder)\n"
    "  --run-for SECONDS   quit by itself after that time\n"
    "  --quiet             no progress lines\n"
    "  --version           print the version and exit\n"
    "  --help              print this text and exit\n"
    "  NoSync              skip the synchronisation with the devices at start-up\n"
    "\n"
    "SIGINT and SIGTERM stop the program through its quit path (no password needed).\n";

struct CommandLine {
    kv::StartOptions start;
    bool headless = false;
    bool quiet = false;
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

}  // namespace

int main(int argc, char** argv) {
    CommandLine cl;
    if (const int rc = parse(argc, argv, cl); rc >= 0) return rc;
    if (!cl.headless) {
        std::fprintf(stderr,
                     "kelvora: this build has no window front end; start it with --headless\n");
        return 2;
    }

    // Signals are taken by one thread with sigwait, so the quit path runs in normal code
    // rather than in a signal handler. SIGUSR1 only ends that thread at exit.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);

    kv::HeadlessFrontEnd ui;
    ui.quiet = cl.quiet;
    cl.start.printStatus = !cl.quiet;
    kv::Application app(cl.start, ui);
    if (const int rc = app.startup(); rc != 0) return rc;

    std::thread signals([&] {
        int sig = 0;
        while (sigwait(&set, &sig) == 0) {
            if (sig == SIGUSR1) return;
            app.requestQuit(kv::QuitSource::System);
        }
    });
    const int rc = app.runUntilQuit();
    pthread_kill(signals.native_handle(), SIGUSR1);
    signals.join();
    return rc;
}
