#pragma once
// A scripted stand-in for a measuring device behind the sim backend: it keeps the values
// written with configuration commands and answers requests from them, and each test bends
// the answers it needs through a hook.

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "sim/sim_port.h"

namespace kvtest {

class FakeDevice : public kv::sim::SimPort {
  public:
    explicit FakeDevice(std::string serial, std::string identity = "KLV/USB V1.4.1")
        : serial_(std::move(serial)), identity_(std::move(identity)) {}

    std::string serialNr() const override { return serial_; }
    std::string description() const override { return "FT232R USB UART"; }
    long locId() const override { return 0x121; }
    bool plugged() const override { return plugged_.load(); }

    bool write(std::string_view bytes) override {
        if (!plugged_.load()) return false;
        std::lock_guard lock(mutex_);
        for (char c : bytes) {
            ++bytesIn_;
            partial_ += c;
            if (c != '#') continue;
            commands_.push_back(partial_);
            out_ += respond(partial_);
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

    // Returns the answer to a complete command; unset gives the default behaviour.
    using Hook = std::function<std::string(const std::string& cmd, FakeDevice& dev)>;
    void setHook(Hook h) {
        std::lock_guard lock(mutex_);
        hook_ = std::move(h);
    }
    void setPlugged(bool on) { plugged_ = on; }
    void setValue(const std::string& key, const std::string& v) {
        std::lock_guard lock(mutex_);
        values_[key] = v;
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
        int n = 0;
        for (const auto& c : commands_) n += c == cmd;
        return n;
    }
    void clearCommands() {
        std::lock_guard lock(mutex_);
        commands_.clear();
    }
    long bytesIn() const {
        std::lock_guard lock(mutex_);
        return bytesIn_;
    }

    // The device's own behaviour: configuration commands store their value under the
    // upper-cased prefix, requests answer with it.
    std::string standardAnswer(const std::string& cmd) {
        const std::string body = cmd.substr(0, cmd.size() - 1);
        if (body.empty()) return {};
        if (body[0] >= 'A' && body[0] <= 'Z') {
            if (body == "Z") return "Z=" + identity_ + "#";
            auto it = values_.find(body);
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

  private:
    std::string respond(const std::string& cmd) {
        if (hook_) return hook_(cmd, *this);
        return standardAnswer(cmd);
    }

    mutable std::mutex mutex_;
    std::string serial_, identity_;
    std::atomic<bool> plugged_{true};
    std::string partial_, out_;
    std::vector<std::string> commands_;
    std::map<std::string, std::string> values_;
    Hook hook_;
    long bytesIn_ = 0;
};

}  // namespace kvtest
