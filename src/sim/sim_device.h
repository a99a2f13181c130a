#pragma once
// Common ground of the simulated USB devices: the port the host sees, command framing,
// answer queue with injected link faults, and lazy advancing in (virtual) time.
//
// A device has no thread of its own. Whenever it is touched (write, queued, read, an
// accessor or advanceTo) it first computes everything that happened since it was last
// touched, from kv::clock().now(). A test can therefore jump the manual clock by a day and
// find the tact counter, the queue and the samples exactly where a real device would be.
//
// Every public method is thread-safe (one mutex per device).

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/clock.h"
#include "common/domain.h"
#include "sim/rng.h"
#include "sim/sim_port.h"

namespace kv::sim {

struct DeviceIdentity {
    std::string serial;
    // FTDI description; empty gives "FT232R USB UART", what the chip reports by default.
    std::string description;
    long locId = -1;
    // Answer to Z#, e.g. "KLV/USB V1.4.1".
    std::string version = "KLV/USB V1.4.1";
    int caseNr = 1;
    // 0: derived from the serial number, so each device's noise is reproducible.
    uint64_t seed = 0;
};

// Faults on the link, applied to every answer the device sends until changed.
struct LinkFaults {
    double dropProb = 0.0;       // each answer byte lost with this probability
    double doubleProb = 0.0;     // each answer byte sent twice
    double noiseProb = 0.0;      // an answer is preceded by NAK-like control bytes
    double garbageProb = 0.0;    // an answer is replaced by unreadable characters
    double inputDropProb = 0.0;  // each byte from the host lost before the parser sees it
    int delayMs = 0;             // answers become readable only this long after the request
};

class SimDevice : public SimPort {
  public:
    explicit SimDevice(DeviceIdentity id);
    ~SimDevice() override = default;
    SimDevice(const SimDevice&) = delete;
    SimDevice& operator=(const SimDevice&) = delete;

    // SimPort
    std::string serialNr() const override;
    std::string description() const override;
    long locId() const override;
    bool plugged() const override;
    bool write(std::string_view bytes) override;
    size_t queued() override;
    std::string read(size_t maxBytes) override;

    virtual DeviceType type() const = 0;
    std::string version() const;
    int caseNr() const;

    // Brings the device's state up to `now` (no effect when `now` lies in the past).
    void advanceTo(TDateTime now);

    // --- Faults ---
    // The USB cable: while unplugged, enumeration skips the device and I/O fails, but the
    // device keeps measuring (it has its own power), so its queue fills.
    void unplug();
    void replug();
    // Counts replugs; a pty server compares it to notice an unplug/replug it did not see.
    unsigned plugGeneration() const;
    // Power cycle: tact counter back to 0, queue and unsaved configuration lost.
    void restart();
    // No answers for `seconds` (<= 0: until speak()). Commands are still obeyed.
    void silence(double seconds);
    void speak();
    // The next `answers` answers are replaced by unreadable characters.
    void garbageNext(int answers);
    void setLinkFaults(const LinkFaults& f);
    LinkFaults linkFaults() const;
    // Removes silence, garbage and link faults (not unplug).
    void clearFaults();

    // --- Observation ---
    // Complete commands as the device parsed them, without the "#" (oldest first; only
    // the most recent 20000 are kept).
    std::vector<std::string> receivedCommands() const;
    // How often a command arrived. Counted for well-formed commands (a letter, then letters,
    // digits, "=", "-"; at most 16 characters) and for at most 1000 distinct ones, so that
    // line noise cannot make the table grow without bound; others count 0.
    int commandCount(std::string_view command) const;
    void clearReceivedCommands();

  protected:
    // The hooks below run with mutex_ held.
    virtual void advanceLocked(TDateTime now) = 0;
    virtual void handleCommandLocked(const std::string& command, TDateTime now) = 0;
    virtual void restartLocked(TDateTime now) = 0;
    // A few commands end without "#" (the data device's master setting "m0"/"m1").
    virtual bool completeWithoutHashLocked(const std::string& /*pending*/) const { return false; }

    // Queues an answer, through the link faults.
    void answerLocked(std::string_view text, TDateTime now);
    // Advances to kv::clock().now(); accessors of derived devices call it first.
    void advanceNowLocked();
    // Random numbers of the link faults. Measurements use their own generator (seeded from
    // seedLocked()), so injecting a fault does not change what a sample does.
    Rng& rngLocked() { return rng_; }
    uint64_t seedLocked() const { return id_.seed ? id_.seed : seedFromText(id_.serial); }
    const DeviceIdentity& identityLocked() const { return id_; }

    mutable std::mutex mutex_;

  private:
    struct OutByte {
        TDateTime at;
        char c;
    };
    void feedLocked(char c, TDateTime now);
    void dispatchLocked(std::string command, TDateTime now);
    size_t readableLocked(TDateTime now) const;

    DeviceIdentity id_;
    Rng rng_;
    bool plugged_ = true;
    unsigned plugGeneration_ = 0;
    std::string input_;
    std::deque<OutByte> output_;
    TDateTime lastOutAt_ = 0;
    LinkFaults faults_;
    bool silentForever_ = false;
    TDateTime silentUntil_ = 0;
    int garbageAnswers_ = 0;
    std::deque<std::string> received_;
    std::map<std::string, int, std::less<>> commandCounts_;
};

// Text order of identities, as the program compares them.
inline bool versionAtLeast(std::string_view identity, std::string_view minimum) {
    return identity >= minimum;
}

}  // namespace kv::sim
