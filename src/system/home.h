#pragma once
// The home folder holds everything the program reads and writes: Kelvora.Ini, .Txt, .Msg,
// .Row, the live file and the Dbg/ folder. It is --home DIR, else $KELVORA_HOME, else the
// folder of the executable — unless that is a system folder (below /usr, /bin, /sbin) or not
// writable, as for an installed program: then ~/Kelvora, created when missing.

#include <string>
#include <vector>

namespace kv {

struct HomePaths {
    std::string home;      // without trailing "/"
    std::string basePath;  // home + "/Kelvora."
    std::string ini() const { return basePath + "Ini"; }
    std::string txt() const { return basePath + "Txt"; }
    std::string msg() const { return basePath + "Msg"; }
    std::string row() const { return basePath + "Row"; }
    std::string dbgDir() const { return home + "/Dbg"; }
    std::string lockFile() const { return basePath + "Lock"; }
    // Held by the kelvora-monitor that watches this home folder.
    std::string monitorLockFile() const { return basePath + "MonitorLock"; }
};

// Resolves the home folder; argHome and envHome may be empty. Returns an absolute path.
HomePaths resolveHome(const std::string& argHome, const std::string& envHome,
                      const std::string& exeDir);
// The folder of the running executable ("." if it cannot be found).
std::string executableDir();

// The single-instance rule: an exclusive advisory lock on a file in the home folder. The
// lock goes away with the process, so a crash never leaves a stale lock behind.
//
// The holder writes into the file how it was started, one item a line — "pid=", "cwd=",
// "exe=" and one "arg=" per argument — so that the monitor can start it again the same way
// after a crash. The file keeps that record after the process has gone.
class InstanceLock {
  public:
    InstanceLock() = default;
    ~InstanceLock() { release(); }
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // False if another process holds the lock or the file cannot be created.
    bool acquire(const std::string& path);
    void release();

  private:
    int fd_ = -1;
};

// True while some process holds the lock on `path`. Looks without taking it for longer
// than an instant; acquire() allows for such a look.
bool lockHeld(const std::string& path);

// How the holder of a lock file was started (the record acquire() writes).
struct LockRecord {
    long pid = 0;
    std::string cwd;
    std::string exe;
    std::vector<std::string> args;  // without the program itself
    bool complete() const { return pid > 0 && !exe.empty(); }
};
LockRecord readLockRecord(const std::string& path);

}  // namespace kv
