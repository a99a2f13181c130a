#pragma once
// The running program's control socket: a local (AF_UNIX) stream socket "Kelvora.Sock" in
// the home folder, through which `kelvora ctl` hands console commands to the instance of
// that folder. One command per line; each answer ends with a line "ok" or "error: ...".
//
// Only the program's own user (and root) may talk to it: the socket file is 0600 and every
// connection's peer is checked. An existing socket file is a leftover of a crashed run
// (the single-instance lock is held when the server starts) and is replaced; anything else
// under that name, a symbolic link above all, is left alone and the socket is not served.

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace kv {

inline constexpr const char* kControlSocketName = "Kelvora.Sock";

class ControlServer {
  public:
    // Runs one command line and returns the whole answer text. Called on the connection's
    // own thread; it may block until the command has run.
    using Handler = std::function<std::string(const std::string& line)>;

    ControlServer(std::string homeFolder, Handler handler);
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // False, with the reason, when the socket cannot be served.
    bool start(std::string& error);
    // Stops accepting, ends every connection once its current command is answered, and
    // removes the socket file (when it is still the one this server made).
    void stop();

    std::string path() const;

  private:
    struct Connection {
        std::thread thread;
        std::atomic<bool> done{false};
    };
    void acceptLoop();
    void serve(int fd);
    void reapFinished(bool all);

    std::string home_;
    Handler handler_;
    int dirFd_ = -1;
    int listenFd_ = -1;
    int wake_[2] = {-1, -1};
    unsigned long long inode_ = 0, device_ = 0;
    std::thread acceptor_;
    std::mutex connMutex_;
    std::list<std::unique_ptr<Connection>> connections_;
};

// `kelvora ctl`: exit statuses.
inline constexpr int kCtlOk = 0;
inline constexpr int kCtlError = 1;
inline constexpr int kCtlNoInstance = 2;

// Sends one command line to the instance of homeFolder and collects its answer. Returns
// kCtlOk or kCtlError by the answer's last line, kCtlNoInstance (with the reason in error)
// when no instance serves that folder.
int sendControlCommand(const std::string& homeFolder, const std::string& line, std::string& answer,
                       std::string& error);

}  // namespace kv
