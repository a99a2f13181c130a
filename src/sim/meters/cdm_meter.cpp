#include "sim/meters/cdm_meter.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace kv::sim {
namespace {

// Keeps the input from growing without bound when no command ever matches.
constexpr size_t kMaxInput = 1024;

// Five characters, as many decimals as fit.
std::string fiveChars(double v) {
    v = std::clamp(v, 0.0, 99999.0);
    const int decimals = v < 9.9995 ? 3 : v < 99.995 ? 2 : v < 999.95 ? 1 : 0;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%5.*f", decimals, v);
    return buf;
}

}  // namespace

CdmMeter::CdmMeter(CdmMeterOptions options, ReadingSource source, uint64_t seed)
    : options_(std::move(options)), source_(std::move(source)), rng_(seed) {}

std::string CdmMeter::displayText(double lf, double temp) {
    const bool micro = lf < 1.0;
    const double shown = micro ? std::max(lf, 0.0) * 1000.0 : lf;
    char t[32];
    std::snprintf(t, sizeof t, "%5.1f", std::clamp(temp, -99.9, 999.9));
    return "LF " + fiveChars(shown) + (micro ? '\xE6' : 'm') + "S/cm T " + t +
           "\xF8"
           "C\r\n";
}

void CdmMeter::write(std::string_view bytes) {
    std::lock_guard lock(mutex_);
    if (fault_ == MeterFault::Echo) {
        output_.append(bytes);
        return;
    }
    const std::array<const std::string*, 4> cmds = {&options_.cmdInit, &options_.cmdSample,
                                                    &options_.cmdReadDisplay, &options_.cmdClose};
    for (char c : bytes) {
        input_ += c;
        // The longest command that ends here wins, so "RD" is not taken for "D".
        int best = -1;
        for (int i = 0; i < 4; ++i) {
            const std::string& cmd = *cmds[size_t(i)];
            if (!cmd.empty() && input_.ends_with(cmd) &&
                (best < 0 || cmd.size() > cmds[size_t(best)]->size()))
                best = i;
        }
        if (best >= 0) {
            input_.clear();
            commandLocked(best);
        } else if (input_.size() > kMaxInput) {
            input_.erase(0, input_.size() - kMaxInput / 2);
        }
    }
}

void CdmMeter::commandLocked(int which) {
    if (fault_ == MeterFault::Silent) return;
    std::string answer;
    switch (which) {
        case 0:
            ++inits_;
            answer = options_.ident;
            break;
        case 1:
            ++samples_;
            sample_ = source_ ? source_() : MeterReading{};
            if (!sample_.connected) sample_.lf = 0.0;
            sampled_ = true;
            break;
        case 2: {
            ++displayReads_;
            MeterReading r = sampled_ ? sample_ : (source_ ? source_() : MeterReading{});
            if (!r.connected) r.lf = 0.0;
            answer = displayText(r.lf, r.temp);
            break;
        }
        default:
            break;
    }
    if (answer.empty()) return;
    if (fault_ == MeterFault::Garbage) {
        answer.clear();
        const int n = rng_.range(1, 40);
        for (int i = 0; i < n; ++i) answer += static_cast<char>(rng_.range(0, 255));
    }
    output_ += answer;
}

size_t CdmMeter::queued() {
    std::lock_guard lock(mutex_);
    return output_.size();
}

std::string CdmMeter::read(size_t maxBytes) {
    std::lock_guard lock(mutex_);
    const size_t n = std::min(maxBytes, output_.size());
    std::string out = output_.substr(0, n);
    output_.erase(0, n);
    return out;
}

void CdmMeter::setFault(MeterFault f) {
    std::lock_guard lock(mutex_);
    fault_ = f;
}

int CdmMeter::inits() {
    std::lock_guard lock(mutex_);
    return inits_;
}
int CdmMeter::samples() {
    std::lock_guard lock(mutex_);
    return samples_;
}
int CdmMeter::displayReads() {
    std::lock_guard lock(mutex_);
    return displayReads_;
}

}  // namespace kv::sim
