#pragma once
// The live file: a heartbeat whose modification time a monitor program watches. Touched
// at start-up, during alignment and synchronisation, by the device check and by every
// acquisition tick; deleted at shutdown.

#include <mutex>
#include <string>
#include <string_view>

namespace kv {

// The live file name from the LiveFN setting: empty means none; a value without a path
// separator only switches the feature on and the file is basePath + "Live"; a value with
// one is used as the path itself.
std::string liveFileName(std::string_view liveFN, std::string_view basePath);

class LiveFile {
public:
    void configure(std::string fileName);
    std::string fileName() const;
    bool configured() const;
    // Sets the modification time to now, creating the file empty if it is missing.
    void touch();
    // Deletes the file if it exists (shutdown).
    void remove();

private:
    mutable std::mutex mutex_;
    std::string fileName_;
};

LiveFile& liveFile();
void TouchLiveFile();

}  // namespace kv
