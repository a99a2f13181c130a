#include "sim/sim_device.h"

#include <algorithm>
#include <cctype>

namespace kv::sim {

namespace {

constexpr size_t kMaxCommandLength = 64;
constexpr size_t kMaxOutput = 65536;
constexpr size_t kMaxReceived = 20000;
// Distinct commands counted. The host sends a few dozen; only line noise that happens to
// look like a command makes more, and a long run must not grow without bound on it.
constexpr size_t kMaxCountedCommands = 1000;

// Letters first, then letters, digits, "=" and "-": the shape of every command of the
// devices. Anything else is noise the parser saw between two "#".
bool wellFormedCommand(const std::string& c) {
    if (c.empty() || c.size() > 16 || !std::isalpha(static_cast<unsigned char>(c[0]))) return false;
    return std::all_of(c.begin(), c.end(), [](char ch) {
        return std::isalnum(static_cast<unsigned char>(ch)) || ch == '=' || ch == '-';
    });
}

std::string defaultDescription(const std::string& d) {
    return d.empty() ? std::string("FT232R USB UART") : d;
}

}  // namespace

SimDevice::SimDevice(DeviceIdentity id) : id_(std::move(id)), rng_(seedLocked()) {
    id_.description = defaultDescription(id_.description);
}

std::string SimDevice::serialNr() const {
    std::lock_guard lock(mutex_);
    return id_.serial;
}

std::string SimDevice::description() const {
    std::lock_guard lock(mutex_);
    return id_.description;
}

long SimDevice::locId() const {
    std::lock_guard lock(mutex_);
    return id_.locId;
}

bool SimDevice::plugged() const {
    std::lock_guard lock(mutex_);
    return plugged_;
}

std::string SimDevice::version() const {
    std::lock_guard lock(mutex_);
    return id_.version;
}

int SimDevice::caseNr() const {
    std::lock_guard lock(mutex_);
    return id_.caseNr;
}

void SimDevice::advanceNowLocked() {
    advanceLocked(kv::clock().now());
}

void SimDevice::advanceTo(TDateTime now) {
    std::lock_guard lock(mutex_);
    advanceLocked(now);
}

bool SimDevice::write(std::string_view bytes) {
    std::lock_guard lock(mutex_);
    if (!plugged_) return false;
    const TDateTime now = kv::clock().now();
    advanceLocked(now);
    for (char c : bytes) {
        if (rng_.chance(faults_.inputDropProb)) continue;
        feedLocked(c, now);
    }
    return true;
}

void SimDevice::feedLocked(char c, TDateTime now) {
    if (c == '#') {
        std::string command;
        command.swap(input_);
        if (!command.empty()) dispatchLocked(std::move(command), now);
        return;
    }
    // Line ends and control or 8-bit bytes are line noise to the parser.
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e) return;
    if (input_.size() >= kMaxCommandLength) input_.clear();
    input_ += c;
    if (completeWithoutHashLocked(input_)) {
        std::string command;
        command.swap(input_);
        dispatchLocked(std::move(command), now);
    }
}

void SimDevice::dispatchLocked(std::string command, TDateTime now) {
    if (wellFormedCommand(command)) {
        const auto it = commandCounts_.find(command);
        if (it != commandCounts_.end())
            ++it->second;
        else if (commandCounts_.size() < kMaxCountedCommands)
            commandCounts_.emplace(command, 1);
    }
    received_.push_back(command);
    if (received_.size() > kMaxReceived) received_.pop_front();
    handleCommandLocked(command, now);
}

size_t SimDevice::readableLocked(TDateTime now) const {
    size_t n = 0;
    while (n < output_.size() && output_[n].at <= now) ++n;
    return n;
}

size_t SimDevice::queued() {
    std::lock_guard lock(mutex_);
    if (!plugged_) return 0;
    const TDateTime now = kv::clock().now();
    advanceLocked(now);
    return readableLocked(now);
}

std::string SimDevice::read(size_t maxBytes) {
    std::lock_guard lock(mutex_);
    if (!plugged_) return {};
    const TDateTime now = kv::clock().now();
    advanceLocked(now);
    const size_t n = std::min(maxBytes, readableLocked(now));
    std::string out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        out += output_.front().c;
        output_.pop_front();
    }
    return out;
}

void SimDevice::answerLocked(std::string_view text, TDateTime now) {
    if (silentForever_ || now < silentUntil_) return;
    std::string sent;
    if (garbageAnswers_ > 0 || rng_.chance(faults_.garbageProb)) {
        if (garbageAnswers_ > 0) --garbageAnswers_;
        // Printable junk without "#" and "=", so it can never be read as an answer.
        static constexpr std::string_view kJunk = "!$%&()*+-./:<>?@[]^_{|}~0123456789xyzQRW";
        const int n = rng_.range(1, static_cast<int>(text.size()) + 4);
        for (int i = 0; i < n; ++i)
            sent += kJunk[static_cast<size_t>(rng_.range(0, static_cast<int>(kJunk.size()) - 1))];
    } else {
        if (rng_.chance(faults_.noiseProb)) {
            static constexpr char kNoise[] = {0x15, 0x15, 0x06, 0x00, static_cast<char>(0xff)};
            const int n = rng_.range(1, 3);
            for (int i = 0; i < n; ++i) sent += kNoise[rng_.range(0, 4)];
        }
        for (char c : text) {
            if (rng_.chance(faults_.dropProb)) continue;
            sent += c;
            if (rng_.chance(faults_.doubleProb)) sent += c;
        }
    }
    // Answers never overtake each other, even when the delay is shortened in between.
    TDateTime at = now + faults_.delayMs * (kSecond / 1000.0);
    at = std::max(at, lastOutAt_);
    lastOutAt_ = at;
    for (char c : sent) output_.push_back({at, c});
    while (output_.size() > kMaxOutput) output_.pop_front();
}

void SimDevice::unplug() {
    std::lock_guard lock(mutex_);
    advanceNowLocked();
    plugged_ = false;
    input_.clear();
    output_.clear();
}

void SimDevice::replug() {
    std::lock_guard lock(mutex_);
    advanceNowLocked();
    if (plugged_) return;
    plugged_ = true;
    ++plugGeneration_;
    input_.clear();
    output_.clear();
}

unsigned SimDevice::plugGeneration() const {
    std::lock_guard lock(mutex_);
    return plugGeneration_;
}

void SimDevice::restart() {
    std::lock_guard lock(mutex_);
    const TDateTime now = kv::clock().now();
    advanceLocked(now);
    input_.clear();
    output_.clear();
    restartLocked(now);
}

void SimDevice::silence(double seconds) {
    std::lock_guard lock(mutex_);
    if (seconds <= 0) {
        silentForever_ = true;
    } else {
        silentForever_ = false;
        silentUntil_ = kv::clock().now() + seconds * kSecond;
    }
}

void SimDevice::speak() {
    std::lock_guard lock(mutex_);
    silentForever_ = false;
    silentUntil_ = 0;
}

void SimDevice::garbageNext(int answers) {
    std::lock_guard lock(mutex_);
    garbageAnswers_ = std::max(0, answers);
}

void SimDevice::setLinkFaults(const LinkFaults& f) {
    std::lock_guard lock(mutex_);
    faults_ = f;
}

LinkFaults SimDevice::linkFaults() const {
    std::lock_guard lock(mutex_);
    return faults_;
}

void SimDevice::clearFaults() {
    std::lock_guard lock(mutex_);
    faults_ = LinkFaults{};
    silentForever_ = false;
    silentUntil_ = 0;
    garbageAnswers_ = 0;
}

std::vector<std::string> SimDevice::receivedCommands() const {
    std::lock_guard lock(mutex_);
    return {received_.begin(), received_.end()};
}

int SimDevice::commandCount(std::string_view command) const {
    std::lock_guard lock(mutex_);
    const auto it = commandCounts_.find(command);
    return it == commandCounts_.end() ? 0 : it->second;
}

void SimDevice::clearReceivedCommands() {
    std::lock_guard lock(mutex_);
    received_.clear();
    commandCounts_.clear();
}

}  // namespace kv::sim
