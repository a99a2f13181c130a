#pragma once
// Shared pieces of the virtual lab tests: a manual clock and a one-call request.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>

#include "common/clock.h"
#include "common/datetime.h"
#include "sim/lab.h"

namespace kvtest {

// Writes a command and takes every answer byte that is readable at once.
inline std::string ask(kv::sim::SimPort& port, std::string_view command) {
    port.write(command);
    return port.read(port.queued());
}

// Value between "<prefix>=" and the next "#"; "" when absent.
inline std::string answerValue(const std::string& answer, const std::string& prefix) {
    const auto p = answer.find(prefix + "=");
    if (p == std::string::npos) return {};
    const auto start = p + prefix.size() + 1;
    const auto end = answer.find('#', start);
    return end == std::string::npos ? std::string() : answer.substr(start, end - start);
}

class VirtualTimeTest : public ::testing::Test {
protected:
    kv::ManualClock clock_{kv::encodeDateTime(2026, 3, 2, 8, 0, 0)};
    kv::ScopedClock scoped_{clock_};

    void advanceSec(double s) { clock_.advanceMs(s * 1000.0); }
    kv::TDateTime now() { return clock_.now(); }

    std::unique_ptr<kv::sim::Lab> lab(const std::string& text) {
        std::string error;
        auto l = kv::sim::Lab::fromText(text, &error);
        EXPECT_TRUE(l) << error;
        return l;
    }
};

}  // namespace kvtest
