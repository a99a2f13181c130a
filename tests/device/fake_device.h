#pragma once
// A scripted stand-in for a measuring device behind the sim backend: it keeps the values
// written with configuration commands and answers requests from them, and each test bends
// the answers it needs through a hook.

#include <functional>
#include <string>

#include "support/command_device.h"

namespace kvtest {

class FakeDevice : public CommandDevice {
  public:
    explicit FakeDevice(std::string serial, std::string identity = "KLV/USB V1.4.1")
        : CommandDevice(std::move(serial), std::move(identity), 0x121) {}

    // Returns the answer to a complete command; unset gives the default behaviour. Runs
    // with the device's lock held: it may call standardAnswer(), no other member.
    using Hook = std::function<std::string(const std::string& cmd, FakeDevice& dev)>;
    void setHook(Hook h) {
        std::lock_guard lock(mutex_);
        hook_ = std::move(h);
    }

  private:
    std::string answerLocked(const std::string& cmd) override {
        return hook_ ? hook_(cmd, *this) : standardAnswer(cmd);
    }

    Hook hook_;
};

}  // namespace kvtest
