// kelvora-sim: the virtual lab on pseudo-terminals.
//
//   kelvora-sim --config LAB.ini --dir DIR
//
// Serves every device of the lab description on a pty with a by-id style link in DIR (see
// sim/pty_server.h), and every conductivity meter of its [Meter NAME] sections on a pty
// linked as DIR/NAME (see sim/meters/meter_lab.h), prints one line per device and meter and
// then "ready", and runs until SIGTERM or SIGINT. Fault commands are read from standard
// input, one per line (see sim/lab.h and sim/meters/meter_lab.h, or type "help"); each is
// answered with one line on standard output.

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "common/strutil.h"
#include "sim/lab.h"
#include "sim/meters/meter_lab.h"
#include "sim/pty_server.h"

namespace {

void usage() {
    std::fprintf(stderr,
                 "usage: kelvora-sim --config LAB.ini --dir DIR\n"
                 "Serves the virtual lab's devices on pseudo-terminals with by-id links in DIR.\n"
                 "Meters of [Meter NAME] sections are linked as DIR/NAME.\n"
                 "Fault commands on standard input: %s\n"
                 "Meter faults: meter NAME ok|silent|garbage|echo|nak [N]|nakthenack\n",
                 kv::sim::Lab::commandHelp().c_str());
}

void say(const std::string& text) {
    std::fputs((text + "\n").c_str(), stdout);
    std::fflush(stdout);
}

// Runs the command lines complete in `buffer`, keeping an unfinished last line.
void runCommands(kv::sim::Lab& lab, kv::sim::LabMeters& meters, std::string& buffer) {
    size_t nl;
    while ((nl = buffer.find('\n')) != std::string::npos) {
        const std::string line = kv::trimmed(std::string_view(buffer).substr(0, nl));
        buffer.erase(0, nl + 1);
        if (line.empty()) continue;
        say(kv::istartsWith(line, "meter ") ? meters.command(line) : lab.command(line));
    }
    if (buffer.size() > 4096) buffer.clear();  // not a command line: no newline in sight
}

}  // namespace

int main(int argc, char** argv) {
    std::string config, dir;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if ((a == "--config" || a == "--dir") && i + 1 < argc) {
            (a == "--config" ? config : dir) = argv[++i];
        } else if (a == "--help" || a == "-h") {
            usage();
            return 0;
        } else {
            usage();
            return 2;
        }
    }
    if (config.empty() || dir.empty()) {
        usage();
        return 2;
    }

    std::string error;
    std::ifstream in(config, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "kelvora-sim: cannot read %s\n", config.c_str());
        return 2;
    }
    std::stringstream text;
    text << in.rdbuf();
    std::string labText;
    std::vector<kv::sim::MeterSpec> meterSpecs;
    std::unique_ptr<kv::sim::Lab> lab;
    if (kv::sim::extractMeterSections(text.str(), labText, meterSpecs, &error))
        // Curve files named by the description lie beside it.
        lab = kv::sim::Lab::fromText(
            labText, &error,
            config.find('/') == std::string::npos ? "." : config.substr(0, config.rfind('/')));
    kv::sim::LabMeters meters;
    if (!lab || !meters.build(*lab, meterSpecs, &error)) {
        std::fprintf(stderr, "kelvora-sim: %s: %s\n", config.c_str(), error.c_str());
        return 2;
    }

    // Signals are taken through a signalfd; block them before any thread starts so that
    // none of them is interrupted instead.
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &mask, nullptr);
    signal(SIGPIPE, SIG_IGN);
    const int sigFd = signalfd(-1, &mask, SFD_CLOEXEC);
    if (sigFd < 0) {
        std::fprintf(stderr, "kelvora-sim: signalfd: %s\n", std::strerror(errno));
        return 1;
    }

    kv::sim::PtyServer server(*lab, dir);
    if (!server.start(&error) || !meters.serve(dir, &error)) {
        std::fprintf(stderr, "kelvora-sim: %s\n", error.c_str());
        meters.stop();
        server.stop();
        return 1;
    }
    for (const auto& d : lab->devices()) {
        const std::string serial = d->serialNr();
        say(serial + " type=" + std::to_string(static_cast<int>(d->type())) + " " +
            server.linkPath(serial) + " -> " + server.slavePath(serial));
    }
    for (const std::string& line : meters.banner()) say(line);
    say("ready");

    bool stdinOpen = true;
    std::string buffer;
    for (;;) {
        pollfd fds[2] = {{sigFd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        const int n = poll(fds, stdinOpen ? 2 : 1, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents & POLLIN) break;
        if (stdinOpen && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            char chunk[1024];
            const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
            if (got <= 0) {
                // Standard input closed (run in the background): go on until a signal.
                stdinOpen = false;
                runCommands(*lab, meters, buffer.append("\n"));
                continue;
            }
            buffer.append(chunk, static_cast<size_t>(got));
            runCommands(*lab, meters, buffer);
        }
    }
    meters.stop();
    server.stop();
    close(sigFd);
    return 0;
}
