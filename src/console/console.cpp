#include "console/console.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>

#include "app/debuglog.h"
#include "common/strutil.h"
#include "console/command_line.h"
#include "console/commands.h"
#include "console/control_socket.h"
#include "system/operations.h"
#include "system/run_deadline.h"
#include "system/version.h"

namespace kv {

namespace {
constexpr size_t kMaxStdinLine = 64 * 1024;
const char* const kStopping = "error: Kelvora is stopping\n";
}  // namespace

Console::Console(Application& app, ConsoleFrontEnd& ui, Options options)
    : app_(app), ui_(ui), options_(options) {
    if (::pipe2(wake_, O_CLOEXEC) != 0) wake_[0] = wake_[1] = -1;
}

Console::~Console() {
    if (server_) server_->stop();
    stopInputs();
    for (int& fd : wake_) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

void Console::requestQuit(QuitSource source) {
    {
        std::lock_guard lock(mutex_);
        quitRequest_ = source;
    }
    cv_.notify_all();
}

std::string Console::submit(const std::string& line) {
    auto job = std::make_unique<Job>();
    job->line = line;
    std::future<std::string> answer = job->answer.get_future();
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return kStopping;
        jobs_.push_back(std::move(job));
    }
    cv_.notify_all();
    return answer.get();
}

void Console::startServer() {
    if (!options_.serveSocket || server_) return;
    server_ = std::make_unique<ControlServer>(
        app_.paths().home, [this](const std::string& l) { return answerSocket(l); });
    std::string error;
    if (!server_->start(error)) {
        ui_.errorBox(error);
        WriteDbg("Console", error);
    }
}

void Console::serveStartup() {
    startServer();
}

std::string Console::answerSocket(const std::string& line) {
    if (serving_.load()) return submit(line);
    return startupAnswer(line);
}

// Before the program runs only its start-up can be reported: the objects the other
// commands read and change are still being built.
std::string Console::startupAnswer(const std::string& line) const {
    std::vector<std::string> words;
    std::string error;
    if (!splitCommandLine(line, words, error) || words.size() != 1 || !iequals(words[0], "status"))
        return ConsoleReply::failed("starting up").text();
    ConsoleReply r;
    r.lines.push_back(std::string(kProgramName) + " " + kVersionText);
    r.lines.push_back("home: " + app_.paths().home);
    r.lines.push_back("state: starting");
    for (std::string& l : app_.startupStatus().lines()) r.lines.push_back(std::move(l));
    return r.text();
}

int Console::run() {
    Operations ops(app_.kelvora(), ui_);
    CommandInterpreter interpreter(ops, ui_, [this] { return app_.quit(QuitSource::Menu); });

    startServer();
    serving_.store(true);
    if (options_.readStdin && wake_[0] >= 0) stdinReader_ = std::thread([this] { readStdin(); });

    const RunDeadline deadline(options_.runForSeconds);
    for (;;) {
        std::unique_ptr<Job> job;
        std::optional<QuitSource> quit;
        {
            std::unique_lock lock(mutex_);
            const auto ready = [this] { return quitRequest_.has_value() || !jobs_.empty(); };
            if (!deadline.wait(cv_, lock, ready)) quitRequest_ = QuitSource::System;
            if (quitRequest_) {
                quit = quitRequest_;
                quitRequest_.reset();
            } else {
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
        }
        if (quit) {
            interpreter.stopBackgroundWork();
            if (app_.quit(*quit)) break;
            continue;
        }
        const ConsoleReply reply = interpreter.execute(job->line);
        job->answer.set_value(reply.text());
        if (reply.quit) break;
    }

    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (auto& j : jobs_) j->answer.set_value(kStopping);
        jobs_.clear();
    }
    stopInputs();
    app_.shutdown();
    // Only now: while the program shuts down, `kelvora ctl` hears that it is stopping rather
    // than that none runs. The socket file goes only if it is still this server's.
    if (server_) server_->stop();
    return 0;
}

void Console::stopInputs() {
    if (wake_[1] >= 0) {
        const char x = 'x';
        [[maybe_unused]] const ssize_t n = ::write(wake_[1], &x, 1);
    }
    if (stdinReader_.joinable()) stdinReader_.join();
}

void Console::readStdin() {
    std::string buffer;
    auto answer = [this](std::string line) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos) return;
        const std::string text = submit(line);
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    };
    for (;;) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        const int n = ::poll(fds, 2, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || fds[1].revents != 0) return;
        if (fds[0].revents & POLLNVAL) return;
        char chunk[4096];
        const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            // Standard input has ended (a service, or a script that has sent everything):
            // the program goes on, served through the socket.
            if (!buffer.empty()) answer(std::move(buffer));
            return;
        }
        buffer.append(chunk, static_cast<size_t>(got));
        size_t nl;
        while ((nl = buffer.find('\n')) != std::string::npos) {
            std::string line = buffer.substr(0, nl);
            buffer.erase(0, nl + 1);
            answer(std::move(line));
        }
        if (buffer.size() > kMaxStdinLine) {
            buffer.clear();
            const std::string text = "error: line too long\n";
            std::fwrite(text.data(), 1, text.size(), stdout);
            std::fflush(stdout);
        }
    }
}

}  // namespace kv
