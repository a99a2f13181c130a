#pragma once
// A stand-in for a measuring device behind the sim backend that speaks the command language
// by rote: commands end with "#", a configuration command ("t3=5#", "a1#") stores its value
// under the upper-cased prefix, and a request ("T3#") answers with it ("T3=5#"); "Z#"
// answers the identity. Every complete command is recorded. Subclasses bend the answers.

#include <algorithm>
#include <atomic>
#include <cctype>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "sim/sim_port.h"

namespace kvtest {

class CommandDevice : public kv::sim::SimPort {
  public:
    CommandDevice(std::string serial, std::string identity, long locId)
        : serial_(std::move(serial)), identity_(std::move(identity)), locId_(locId) {}

    std::string serialNr() const override { return serial_; }
    std::string description() const override { return "FT232R USB UART"; }
    long locId() const override { return locId_; }
    bool plugged() const override { return plugged_.load(); }

    bool write(std::string_view bytes) override {
        if (!plugged_.load()) return false;
        std::lock_guard lock(mutex_);
        for (char c : bytes) {
            ++bytesIn_;
            partial_ += c;
            if (c != '#') continue;
            commands_.push_back(partial_);
            out_ += answerLocked(partial_);
            partial_.clear();
        }
        return true;
    }
    size_t queued() override {
        std::lock_guard lock(mutex_);
        return out_.size();
    }
    std::string read(size_t maxBytes) override {
        std::lock_guard lock(mutex_);
        std::string r = out_.substr(0, maxBytes);
        out_.erase(0, r.size());
        return r;
    }

    void setPlugged(bool on) { plugged_ = on; }
    void setValue(const std::string& key, const std::string& value) {
        std::lock_guard lock(mutex_);
        values_[key] = value;
    }
    // Bytes the host will find waiting, as if sent spontaneously.
    void push(const std::string& bytes) {
        std::lock_guard lock(mutex_);
        out_ += bytes;
    }
    std::vector<std::string> commands() const {
        std::lock_guard lock(mutex_);
        return commands_;
    }
    int count(const std::string& cmd) const {
        std::lock_guard lock(mutex_);
        return static_cast<int>(std::count(commands_.begin(), commands_.end(), cmd));
    }
    void clearCommands() {
        std::lock_guard lock(mutex_);
        commands_.clear();
    }
    long bytesIn() const {
        std::lock_guard lock(mutex_);
        return bytesIn_;
    }

    // The rote answer to a complete command; called with the device's lock held (from
    // answerLocked() or a subclass's hook).
    std::string standardAnswer(const std::string& cmd) {
        const std::string body = cmd.substr(0, cmd.size() - 1);
        if (body.empty()) return {};
        if (body == "Z") return "Z=" + identity_ + "#";
        if (body[0] >= 'A' && body[0] <= 'Z') {
            const auto it = values_.find(body);
            return it == values_.end() ? std::string() : body + "=" + it->second + "#";
        }
        std::string key, value;
        const auto eq = body.find('=');
        if (eq != std::string::npos) {
            key = body.substr(0, eq);
            value = body.substr(eq + 1);
        } else {
            key = body.substr(0, 1);
            value = body.substr(1);
        }
        for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        values_[key] = value;
        return {};
    }

  protected:
    // The answer to one complete command (recorded already), with the lock held.
    virtual std::string answerLocked(const std::string& cmd) { return standardAnswer(cmd); }

    mutable std::mutex mutex_;

  private:
    const std::string serial_, identity_;
    const long locId_;
    std::atomic<bool> plugged_{true};
    std::string partial_, out_;
    std::vector<std::string> commands_;
    std::map<std::string, std::string> values_;
    long bytesIn_ = 0;
};

}  // namespace kvtest
