#pragma once
// The headless program's message loop and its command console. Commands come from
// standard input and from the control socket (control_socket.h); each source waits for
// its answer, but every command runs here, on the thread that calls run() — the window
// thread's role — so commands never overlap each other, the quit path, or (since the
// console starts after it) the start-up.
//
// run() also takes the quit requests of the operating system and the --run-for time, and
// ends with the program's shutdown.

#include <atomic>
#include <condition_variable>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "console/console_frontend.h"
#include "console/control_socket.h"
#include "system/application.h"

namespace kv {

class Console {
  public:
    struct Options {
        bool readStdin = true;
        bool serveSocket = true;
        double runForSeconds = -1;  // quit by itself after that time
    };

    // ui is the front end the application was given. The console may be built before the
    // application's start-up: serveStartup() (from the application's lock-held hook) serves
    // the control socket from then on, answering `status` with the start-up's step and every
    // other command with "error: starting up" until run() takes over.
    Console(Application& app, ConsoleFrontEnd& ui, Options options);
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    // Serves commands until the program has quit, then shuts it down. Returns the exit
    // status.
    int run();

    // Starts serving the control socket (when the options say so) while the application
    // starts; an error goes to the front end's error box.
    void serveStartup();

    // Thread-safe.
    void requestQuit(QuitSource source);
    // Runs a command line on the console's thread and returns the answer text; an
    // "error: ..." answer once the program is stopping.
    std::string submit(const std::string& line);

  private:
    struct Job {
        std::string line;
        std::promise<std::string> answer;
    };
    void readStdin();
    void stopInputs();
    void startServer();
    // A command from the socket: run by the console, or answered by the start-up.
    std::string answerSocket(const std::string& line);
    std::string startupAnswer(const std::string& line) const;

    Application& app_;
    ConsoleFrontEnd& ui_;
    Options options_;

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::unique_ptr<Job>> jobs_;
    std::optional<QuitSource> quitRequest_;
    bool stopping_ = false;

    int wake_[2] = {-1, -1};
    std::thread stdinReader_;
    std::unique_ptr<ControlServer> server_;
    // run() serves the commands (the start-up has ended and the timers run).
    std::atomic<bool> serving_{false};
};

}  // namespace kv
