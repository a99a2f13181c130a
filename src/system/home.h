#pragma once
// The home folder holds everything the program reads and writes: Kelvora.Ini, .Txt, .Msg,
// .Row, the live file and the Dbg/ folder. It is --home DIR, else $KELVORA_HOME, else the
// folder of the executable.

#include <string>

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
};

// Resolves the home folder; argHome and envHome may be empty. Returns an absolute path.
HomePaths resolveHome(const std::string& argHome, const std::string& envHome,
                      const std::string& exeDir);
// The folder of the running executable ("." if it cannot be found).
std::string executableDir();

// The single-instance rule: an exclusive advisory lock on a file in the home folder. The
// lock goes away with the process, so a crash never leaves a stale lock behind.
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

}  // namespace kv
