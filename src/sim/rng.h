#pragma once
// A small seeded random generator for the simulated devices. The standard library's
// distributions are not guaranteed to give the same numbers everywhere; a lab run must be
// reproducible from its seed, so the few distributions needed are written out here.

#include <cmath>
#include <cstdint>
#include <string_view>

namespace kv::sim {

class Rng {
  public:
    explicit Rng(uint64_t seed = 1) : state_(seed) {}

    void seed(uint64_t s) { state_ = s; }

    // splitmix64: tiny state, good enough statistics for noise and fault decisions.
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }

    // Uniform in [0, 1).
    double uniform() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }

    // Uniform integer in [lo, hi].
    int range(int lo, int hi) {
        if (hi <= lo) return lo;
        const uint64_t span = static_cast<uint64_t>(hi - lo) + 1;
        return lo + static_cast<int>(next() % span);
    }

    bool chance(double p) { return p > 0.0 && uniform() < p; }

    // Standard normal deviate (Box-Muller; the second value is thrown away for simplicity).
    double gauss() {
        double u1 = uniform();
        if (u1 < 1e-300) u1 = 1e-300;
        const double u2 = uniform();
        return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
    }

  private:
    uint64_t state_;
};

// Stable seed from a text (FNV-1a), so a device's noise depends on its serial number only.
inline uint64_t seedFromText(std::string_view s) {
    uint64_t h = 1469598103934665603ULL;
    for (unsigned char c : s) {
        h ^= c;
        h *= 1099511628211ULL;
    }
    return h;
}

}  // namespace kv::sim
