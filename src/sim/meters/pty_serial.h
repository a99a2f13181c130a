#pragma once
// Serves one virtual meter on a pseudo-terminal, so the program reaches it through its
// real serial port layer (termios). The program opens the pty's slave, or a link to it
// (configured as [Ports] COM<n>=<link>); a thread moves bytes between the pty master and
// the meter and delivers answers that the meter releases later (measurements take time).

#include <atomic>
#include <string>
#include <thread>

#include "sim/meters/serial_meter.h"

namespace kv::sim {

class PtySerialPort {
  public:
    explicit PtySerialPort(SerialMeter& meter);
    ~PtySerialPort();
    PtySerialPort(const PtySerialPort&) = delete;
    PtySerialPort& operator=(const PtySerialPort&) = delete;

    // Opens the pty (raw mode), creates the link when linkPath is not empty (replacing an
    // old link there) and starts the thread. False with a message on failure.
    bool start(const std::string& linkPath, std::string* error);
    // Stops the thread, closes the pty and removes the link. Safe to call twice.
    void stop();

    // /dev/pts/N; empty while not started.
    const std::string& slavePath() const { return slave_; }
    const std::string& linkPath() const { return link_; }

  private:
    void run();

    SerialMeter& meter_;
    std::string slave_;
    std::string link_;
    int master_ = -1;
    int slaveKeep_ = -1;  // keeps the pty alive while the program has the port closed
    int wake_[2] = {-1, -1};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace kv::sim
