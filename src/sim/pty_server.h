#pragma once
// Serves the devices of a lab on pseudo-terminals, so the program's tty backend reaches them
// through the real I/O path.
//
// For each plugged device the server opens a pty (raw mode) and puts into the folder
//   usb-FTDI_<description>_<serial>-if00-port0  ->  /dev/pts/N
// named like the kernel's by-id links (blanks in the description become "_"), and
//   .sysfs/<link name>/{manufacturer,product,serial,location}
// small text files standing in for the USB attributes sysfs would give (location is the
// location id in decimal). When a device is unplugged the link and the sysfs folder go away
// and the pty master is closed, so the program sees a hang-up (EOF/EIO); a replug brings a
// new pty and a new link.
//
// A single thread moves bytes between the ptys and the devices.

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/lab.h"

namespace kv::sim {

class PtyServer {
  public:
    PtyServer(Lab& lab, std::string dir);
    ~PtyServer();
    PtyServer(const PtyServer&) = delete;
    PtyServer& operator=(const PtyServer&) = delete;

    // Creates the folder, the ptys and the links and starts the thread. False with a
    // message when the folder or a pty cannot be created.
    bool start(std::string* error);
    // Stops the thread, closes the ptys and removes the links. Safe to call twice.
    void stop();

    // Full path of the device's link; empty while unplugged or unknown.
    std::string linkPath(const std::string& serial) const;
    // The pty slave (/dev/pts/N) behind the link; empty while unplugged.
    std::string slavePath(const std::string& serial) const;
    // Name the link of a device gets.
    static std::string linkName(const std::string& description, const std::string& serial);

  private:
    struct Served {
        SimDevice* device = nullptr;
        std::string serial;
        std::string link;  // full path, empty while not served
        std::string slave;
        int master = -1;
        int slaveKeep = -1;  // held open so the master never sees a hang-up itself
        unsigned generation = 0;
        std::string pending;  // answer bytes the pty could not take yet
    };

    void run();
    void syncPlugState(Served& s);
    bool openPty(Served& s, std::string* error);
    void closePty(Served& s);
    void pumpInput(Served& s);
    void pumpOutput(Served& s);
    void wake();

    Lab& lab_;
    std::string dir_;
    mutable std::mutex mutex_;  // guards served_ paths against linkPath()/slavePath()
    std::vector<Served> served_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    int wakePipe_[2] = {-1, -1};
    bool started_ = false;
};

}  // namespace kv::sim
