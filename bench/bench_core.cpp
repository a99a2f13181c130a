// Throughput of the helpers that every acquisition tick and every data line goes through:
// the debug-log line, number texts, date-time texts and configuration lookups.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>

#include "app/debuglog.h"
#include "app/inifile.h"
#include "common/datetime.h"
#include "common/numtext.h"

static void BM_RealToText(benchmark::State& state) {
    double v = 1.2345;
    for (auto _ : state) {
        benchmark::DoNotOptimize(kv::realToText(v, 10, -2));
        v += 0.001;
    }
}
BENCHMARK(BM_RealToText);

static void BM_DateTimeText(benchmark::State& state) {
    kv::TDateTime t = kv::encodeDateTime(2026, 12, 8, 3, 12, 30);
    for (auto _ : state) {
        benchmark::DoNotOptimize(kv::dateTimeToText(t));
        t += kv::kSecond;
    }
}
BENCHMARK(BM_DateTimeText);

static void BM_DebugLogLine(benchmark::State& state) {
    const std::string path = (std::filesystem::temp_directory_path() / "kelvora-bench.Dbg").string();
    kv::DebugLog log;
    log.open(path);
    for (auto _ : state) log.write("mmTimerCallback", "Cell 1: count=1234 ADC=512 Mano=12");
    log.close();
    std::remove(path.c_str());
}
BENCHMARK(BM_DebugLogLine);

static void BM_IniLookup(benchmark::State& state) {
    const std::string path = (std::filesystem::temp_directory_path() / "kelvora-bench.Ini").string();
    kv::IniFile ini(path);
    {
        kv::IniFile::Batch b(ini);
        for (int s = 0; s < 40; ++s)
            for (int k = 0; k < 15; ++k)
                ini.writeInteger("USBDevice-" + std::to_string(s), "Key" + std::to_string(k), k);
    }
    for (auto _ : state) benchmark::DoNotOptimize(ini.readInteger("USBDevice-39", "Key14", 0));
    std::remove(path.c_str());
}
BENCHMARK(BM_IniLookup);
