#include "sim/data_device.h"

#include <algorithm>
#include <cctype>
#include <cmath>

#include "sim/textparse.h"

namespace kv::sim {

namespace {

constexpr double kTactDays = DataDevice::kTactSeconds * kSecond;
// A host that was away longer than this gets the device fast-forwarded without simulating
// every tact in between (only happens with a clock jump; the queue holds 3.5 days anyway).
constexpr long long kMaxCatchUpTacts = 40LL * 28800;
// Tolerance for a tact boundary computed from a double day count (about 10 us).
constexpr double kBoundarySlack = 1e-4 / DataDevice::kTactSeconds;

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

DataDevice::DataDevice(const DataDeviceSetup& setup)
    : SimDevice(setup.id),
      measureRng_(seedLocked() ^ 0x5DEECE66DULL),
      queueCapacity_(std::max<size_t>(setup.queueCapacity, kBlockSize)),
      hasTList_(versionAtLeast(setup.id.version, "KLV/USB V1.4.1")),
      hasDivider_(versionAtLeast(setup.id.version, "KLV/USB V1.3.2")) {
    const TDateTime now = kv::clock().now();
    for (int k = 0; k < kCells; ++k) {
        Cell& c = cells_[k];
        c.sample = setup.samples[k];
        c.cfg = c.stored = setup.cells[k];
        // A cell configured active at power-on has its sample in place already.
        if (c.cfg.active) {
            c.started = true;
            c.sampleStart = now + c.sample.settleSec * kSecond;
        }
        readInstrumentsLocked(c, now);
    }
    gridStart_ = lastAdvance_ = now;
}

// ---------------------------------------------------------------------------------------
// Time

void DataDevice::advanceLocked(TDateTime now) {
    if (now <= lastAdvance_) return;
    lastAdvance_ = now;
    const double elapsedTacts = (now - gridStart_) / kTactDays;
    const long long due = static_cast<long long>(std::floor(elapsedTacts + kBoundarySlack));
    if (due <= tactsSinceGrid_) return;
    if (due - tactsSinceGrid_ > kMaxCatchUpTacts) {
        const long long skipped = due - tactsSinceGrid_ - kMaxCatchUpTacts;
        tactNr_ += skipped;
        tactsSinceGrid_ += skipped;
    }
    while (tactsSinceGrid_ < due) {
        ++tactsSinceGrid_;
        closeTactLocked(gridStart_ + static_cast<double>(tactsSinceGrid_) * kTactDays);
    }
}

double DataDevice::impulseMgFor(int tact) {
    // A cell without a tact is shown with the standard 30 s tact.
    const int t = tact > 0 ? tact : 10;
    return 0.25 * (t * kTactSeconds) / 30.0;
}

void DataDevice::updateCellLocked(Cell& c, TDateTime tactStart, TDateTime tactEnd) {
    if (!c.started || tactEnd <= c.sampleStart) return;
    const TDateTime from = std::max(tactStart, c.sampleStart);
    double mg = sampleConsumption(c.sample, (from - c.sampleStart) * 24.0,
                                  (tactEnd - c.sampleStart) * 24.0, c.extraConsumed);
    if (c.sample.noise > 0.0) mg *= std::max(0.0, 1.0 + c.sample.noise * measureRng_.gauss());
    c.deficit += mg;
    c.consumed += mg;
}

void DataDevice::readInstrumentsLocked(Cell& c, TDateTime t) {
    const double amount = impulseMgFor(c.cfg.tact);
    const bool settling = c.started && t < c.sampleStart;
    if (c.stuck || settling || c.deficit >= amount) {
        c.manometer = measureRng_.range(0, 6);
    } else {
        const double open = 1.0 - c.deficit / amount;
        c.manometer = std::clamp(10 + static_cast<int>(std::lround(240.0 * open)), 10, 250);
    }
    if (c.adcOverride >= 0) {
        c.adc = c.adcOverride;
    } else {
        c.adc = std::clamp(c.sample.adc + measureRng_.range(-2, 2), 0, 1023);
    }
}

void DataDevice::closeTactLocked(TDateTime t) {
    tactNr_ += 1 + pendingSkip_;
    pendingSkip_ = 0;
    int impulses = 0;
    int outOfRange = 0;
    for (int k = 0; k < kCells; ++k) {
        Cell& c = cells_[k];
        updateCellLocked(c, t - kTactDays, t);
        const double amount = impulseMgFor(c.cfg.tact);
        const bool settling = c.started && t < c.sampleStart;
        const bool cellTact = c.cfg.tact > 0 && tactNr_ % c.cfg.tact == 0;
        if (c.cfg.active && cellTact && !c.stuck && !settling && c.deficit >= amount) {
            c.deficit -= amount;
            c.dosed += amount;
            recordImpulse(c, t);
            impulses |= 1 << k;
        }
        readInstrumentsLocked(c, t);
        if (c.cfg.lower < c.cfg.upper && (c.adc < c.cfg.lower || c.adc > c.cfg.upper))
            outOfRange |= 1 << k;
    }
    pushQueueLocked(static_cast<uint8_t>(0x80 | impulses));
    last_ = Record{tactNr_, impulses, outOfRange, true, nextSeq_ - 1};
}

void DataDevice::recordImpulse(Cell& c, TDateTime t) {
    ++c.impulseCount;
    c.impulseTimes.push_back(t);
    if (c.impulseTimes.size() <= kKeptImpulseTimes) return;
    const auto hour = static_cast<long long>(std::floor(c.impulseTimes.front() * 24.0));
    ++c.olderPerHour[hour];
    c.impulseTimes.pop_front();
}

void DataDevice::pushQueueLocked(uint8_t bits) {
    queue_.push_back({nextSeq_++, bits});
    while (queue_.size() > queueCapacity_) queue_.pop_front();
}

void DataDevice::resetTactsLocked(TDateTime now) {
    tactNr_ = 0;
    pendingSkip_ = 0;
    gridStart_ = now;
    tactsSinceGrid_ = 0;
    last_ = Record{};
}

void DataDevice::restartLocked(TDateTime now) {
    resetTactsLocked(now);
    queue_.clear();
    committed_.clear();
    sent_ = Sent::Nothing;
    for (Cell& c : cells_) {
        c.cfg = c.stored;
        c.stuck = false;
    }
    settings_ = storedSettings_;
    i_ = 0;
}

// ---------------------------------------------------------------------------------------
// Commands

bool DataDevice::completeWithoutHashLocked(const std::string& pending) const {
    // The master setting is sent as "m0"/"m1" without a terminator.
    return pending.size() == 2 && pending[0] == 'm' && isDigit(pending[1]);
}

void DataDevice::handleCommandLocked(const std::string& command, TDateTime now) {
    // A block is taken back only by an "o#" that follows the one that acknowledged it (the
    // host's way of rejecting it); any other command in between makes the acknowledgement
    // final.
    if (sent_ == Sent::CommittedBlock && command[0] != 'o') {
        committed_.clear();
        sent_ = Sent::Nothing;
    }
    if (std::isupper(static_cast<unsigned char>(command[0]))) {
        handleRequestLocked(command, now);
    } else {
        handleConfigLocked(command, now);
    }
}

int DataDevice::activeMaskLocked() const {
    int mask = 0;
    for (int k = 1; k <= kCells; ++k)
        if (cells_[k - 1].cfg.active) mask |= 1 << k;
    return mask;
}

std::string DataDevice::tactListLocked() const {
    std::string s;
    for (int k = 0; k < kCells; ++k) {
        if (k) s += ';';
        s += std::to_string(cells_[k].cfg.tact);
    }
    return s;
}

void DataDevice::garbleRecords(int n) {
    std::lock_guard lock(mutex_);
    garbledRecords_ = std::max(0, n);
}

void DataDevice::setExtraRecordFields(int n) {
    std::lock_guard lock(mutex_);
    extraFields_ = std::max(0, n);
}

std::string DataDevice::valueRecordLocked() {
    std::string s = "cv=" + std::to_string(last_.tact) + ';' + std::to_string(last_.impulses) +
                    ';' + std::to_string(last_.outOfRange) + ';' +
                    std::to_string(activeMaskLocked()) + ';' + std::to_string(queue_.size());
    for (const Cell& c : cells_) s += ';' + std::to_string(c.adc);
    s += ";0";
    for (const Cell& c : cells_) s += ';' + std::to_string(c.manometer);
    for (int n = 1; n <= extraFields_; ++n) s += ";" + std::to_string(n * 7);
    if (garbledRecords_ > 0) {
        --garbledRecords_;
        s.replace(s.find(';') + 1, 0, "?");  // the impulse mask is no number
    }
    s += '#';
    if (!hasTList_) s += ";T;" + tactListLocked();
    s += ";nCC;\r\n";
    sent_ = last_.hasSeq ? Sent::Record : Sent::Nothing;
    sentSeq_ = last_.seq;
    return s;
}

void DataDevice::handleRequestLocked(const std::string& command, TDateTime now) {
    size_t n = 0;
    while (n < command.size() && std::isupper(static_cast<unsigned char>(command[n]))) ++n;
    const std::string letters = command.substr(0, n);
    const std::string digits = command.substr(n);
    int k = 0;
    if (!digits.empty() && !parseInt(digits, k)) return;
    const bool plain = digits.empty();
    auto reply = [&](long long value) {
        answerLocked(command + "=" + std::to_string(value) + "#", now);
    };

    if (letters == "V") {
        answerLocked(valueRecordLocked(), now);
    } else if (letters == "Z" && plain) {
        answerLocked("Z=" + identityLocked().version + "#", now);
    } else if (letters == "S" && plain) {
        reply(tactNr_);
    } else if (letters == "O" && plain) {
        const size_t count = std::min(kBlockSize, queue_.size());
        std::string s = "O=";
        for (size_t i = 0; i < count; ++i) s += static_cast<char>(queue_[i].bits);
        s += '#';
        sent_ = count ? Sent::Block : Sent::Nothing;
        if (count) sentSeq_ = queue_[count - 1].seq;
        answerLocked(s, now);
    } else if (letters == "F" && k >= 1 && k <= 3) {
        reply(k == 1 ? f1_ : k == 2 ? f2_ : static_cast<long long>(queue_.size()));
    } else if (letters == "T" && plain) {
        if (hasTList_) answerLocked("T=" + tactListLocked() + "#", now);
    } else if (letters == "A" && plain) {
        reply(activeMaskLocked());
    } else if (plain && letters.size() == 1 &&
               std::string_view("ENWDMI").find(letters[0]) != std::string_view::npos) {
        reply(settingLocked(static_cast<char>(std::tolower(letters[0]))));
    } else if (letters.size() == 1 && validCell(k)) {
        const DataCellConfig& c = cells_[k - 1].cfg;
        switch (letters[0]) {
            case 'A':
                reply(c.active);
                break;
            case 'T':
                reply(c.tact);
                break;
            case 'H':
                if (hasDivider_) reply(c.divider);
                break;
            case 'C':
                reply(c.current ? cells_[k - 1].adc : 0);
                break;
            case 'L':
                reply(c.lower);
                break;
            case 'U':
                reply(c.upper);
                break;
            default:
                break;
        }
    }
}

void DataDevice::handleConfigLocked(const std::string& command, TDateTime now) {
    const char letter = command[0];
    const std::string rest = command.substr(1);
    const auto eq = rest.find('=');
    int value = 0;

    switch (letter) {
        case 'o':
            acknowledgeLocked();
            return;
        case 'v':
            ++manometerRestarts_;
            for (Cell& c : cells_) c.stuck = false;
            return;
        case 's':
            return;  // accepted; nothing to do in the simulation
        case 'z':
            storeLocked();
            return;
        case 'm':
            if (rest.size() == 1 && isDigit(rest[0])) settings_.m = rest[0] - '0';
            return;
        case 'f':
            if (eq != std::string::npos) {
                int which = 0;
                if (!parseInt(rest.substr(0, eq), which) || !parseInt(rest.substr(eq + 1), value))
                    return;
                if (which == 1) f1_ = value;
                if (which == 2) f2_ = value;
                if (which == 3 && value >= 0) {
                    // The entry count is a RAM pointer: shortening drops the newest
                    // entries, lengthening exposes empty records.
                    const size_t want = std::min(static_cast<size_t>(value), queueCapacity_);
                    while (queue_.size() > want) queue_.pop_back();
                    while (queue_.size() < want) pushQueueLocked(0x80);
                    sent_ = Sent::Nothing;
                }
            } else if (rest.empty() || rest == "0") {
                queue_.clear();
                committed_.clear();
                sent_ = Sent::Nothing;
            }
            return;
        case 'i':
            if (!parseInt(rest, value)) return;
            i_ = value;
            // (Re)initialising the measurement restarts the tact counter.
            resetTactsLocked(now);
            return;
        case 'e':
        case 'n':
        case 'w':
        case 'd':
            if (parseInt(rest, value)) *settingRef(letter) = value;
            return;
        default:
            break;
    }

    if (std::string_view("athbclu").find(letter) == std::string_view::npos) return;
    // Cell commands: "t3=5" as setConfig writes it; "c11" (cell 1, value 1) as the
    // configuration dialog writes the current switch.
    int k = 0;
    if (eq != std::string::npos) {
        if (!parseInt(rest.substr(0, eq), k) || !parseInt(rest.substr(eq + 1), value)) return;
    } else {
        if (rest.size() < 2 || !isDigit(rest[0])) return;
        k = rest[0] - '0';
        if (!parseInt(rest.substr(1), value)) return;
    }
    if (!validCell(k)) return;
    setCellValueLocked(letter, k, value, now);
}

void DataDevice::setCellValueLocked(char letter, int k, int value, TDateTime now) {
    Cell& c = cells_[k - 1];
    switch (letter) {
        case 'a': {
            const int active = value ? 1 : 0;
            if (active && !c.cfg.active) {
                // A newly switched-on cell holds a freshly sealed bottle.
                c.started = true;
                c.sampleStart = now + c.sample.settleSec * kSecond;
                c.deficit = 0.0;
                c.extraConsumed = 0.0;
            }
            c.cfg.active = active;
            break;
        }
        case 't':
            if (value >= 0 && value <= 65535) c.cfg.tact = value;
            break;
        case 'h':
            if (hasDivider_) c.cfg.divider = value;
            break;
        case 'b':
            c.cfg.b = value;
            break;
        case 'c':
            c.cfg.current = value;
            break;
        case 'l':
            c.cfg.lower = std::clamp(value, 0, 1023);
            break;
        case 'u':
            c.cfg.upper = std::clamp(value, 0, 1023);
            break;
        default:
            break;
    }
}

void DataDevice::acknowledgeLocked() {
    switch (sent_) {
        case Sent::Record:
            while (!queue_.empty() && queue_.front().seq <= sentSeq_) queue_.pop_front();
            sent_ = Sent::Nothing;
            break;
        case Sent::Block:
            committed_.clear();
            while (!queue_.empty() && queue_.front().seq <= sentSeq_) {
                committed_.push_back(queue_.front());
                queue_.pop_front();
            }
            sent_ = Sent::CommittedBlock;
            break;
        case Sent::CommittedBlock:
            // A second acknowledgement of the same block: the host rejected it.
            for (auto it = committed_.rbegin(); it != committed_.rend(); ++it) {
                if (queue_.empty() || it->seq < queue_.front().seq) queue_.push_front(*it);
            }
            committed_.clear();
            sent_ = Sent::Nothing;
            break;
        case Sent::Nothing:
            break;
    }
}

void DataDevice::storeLocked() {
    for (Cell& c : cells_) c.stored = c.cfg;
    storedSettings_ = settings_;
}

// ---------------------------------------------------------------------------------------
// Accessors

long long DataDevice::tactNr() {
    std::lock_guard lock(mutex_);
    advanceNowLocked();
    return tactNr_;
}

size_t DataDevice::queueSize() {
    std::lock_guard lock(mutex_);
    advanceNowLocked();
    return queue_.size();
}

DataCellConfig DataDevice::cellConfig(int k) {
    std::lock_guard lock(mutex_);
    return validCell(k) ? cells_[k - 1].cfg : DataCellConfig{};
}

DataCellConfig DataDevice::storedCellConfig(int k) {
    std::lock_guard lock(mutex_);
    return validCell(k) ? cells_[k - 1].stored : DataCellConfig{};
}

int DataDevice::manometerValue(int k) {
    std::lock_guard lock(mutex_);
    advanceNowLocked();
    return validCell(k) ? cells_[k - 1].manometer : 0;
}

int DataDevice::adcValue(int k) {
    std::lock_guard lock(mutex_);
    advanceNowLocked();
    return validCell(k) ? cells_[k - 1].adc : 0;
}

int DataDevice::manometerRestarts() {
    std::lock_guard lock(mutex_);
    return manometerRestarts_;
}

int DataDevice::setting(char letter) {
    std::lock_guard lock(mutex_);
    return settingLocked(letter);
}

int* DataDevice::settingRef(char letter) {
    switch (letter) {
        case 'e':
            return &settings_.e;
        case 'n':
            return &settings_.n;
        case 'w':
            return &settings_.w;
        case 'd':
            return &settings_.d;
        default:
            return &settings_.m;
    }
}

int DataDevice::settingLocked(char letter) const {
    switch (letter) {
        case 'e':
            return settings_.e;
        case 'n':
            return settings_.n;
        case 'w':
            return settings_.w;
        case 'd':
            return settings_.d;
        case 'm':
            return settings_.m;
        case 'i':
            return i_;
        default:
            return 0;
    }
}

long long DataDevice::impulses(int k) {
    std::lock_guard lock(mutex_);
    advanceNowLocked();
    return validCell(k) ? cells_[k - 1].impulseCount : 0;
}

long long DataDevice::impulsesBetween(int k, TDateTime from, TDateTime to) {
    std::lock_guard lock(mutex_);
    advanceNowLocked();
    if (!validCell(k)) return 0;
    const Cell& c = cells_[k - 1];
    long long n = 0;
    for (const auto& [hour, count] : c.olderPerHour) {
        const TDateTime end = static_cast<double>(hour + 1) / 24.0;
        if (end > to) break;
        if (end > from) n += count;
    }
    const auto lo = std::upper_bound(c.impulseTimes.begin(), c.impulseTimes.end(), from);
    const auto hi = std::upper_bound(c.impulseTimes.begin(), c.impulseTimes.end(), to);
    return n + (hi > lo ? hi - lo : 0);
}

std::vector<TDateTime> DataDevice::impulseTimes(int k) {
    std::lock_guard lock(mutex_);
    advanceNowLocked();
    if (!validCell(k)) return {};
    const auto& times = cells_[k - 1].impulseTimes;
    return {times.begin(), times.end()};
}

double DataDevice::consumedMg(int k) {
    std::lock_guard lock(mutex_);
    advanceNowLocked();
    return validCell(k) ? cells_[k - 1].consumed : 0.0;
}

double DataDevice::dosedMg(int k) {
    std::lock_guard lock(mutex_);
    advanceNowLocked();
    return validCell(k) ? cells_[k - 1].dosed : 0.0;
}

double DataDevice::impulseMg(int k) {
    std::lock_guard lock(mutex_);
    return validCell(k) ? impulseMgFor(cells_[k - 1].cfg.tact) : 0.0;
}

void DataDevice::skipTacts(int n) {
    std::lock_guard lock(mutex_);
    advanceNowLocked();
    if (n > 0) pendingSkip_ += n;
}

void DataDevice::setStuckManometer(int k, bool stuck) {
    std::lock_guard lock(mutex_);
    advanceNowLocked();
    if (validCell(k)) cells_[k - 1].stuck = stuck;
}

void DataDevice::setAdc(int k, int value) {
    std::lock_guard lock(mutex_);
    advanceNowLocked();
    if (validCell(k)) cells_[k - 1].adcOverride = std::min(value, 1023);
}

void DataDevice::setSample(int k, const SampleParams& p) {
    std::lock_guard lock(mutex_);
    advanceNowLocked();
    if (validCell(k)) cells_[k - 1].sample = p;
}

}  // namespace kv::sim
