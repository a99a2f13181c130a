// A data device unplugged for 20 s while a row runs, the console's refusals, and the
// single-instance lock, against two data devices and a case device on pseudo-terminals.
#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>

#include "common/datetime.h"
#include "e2e_fixture.h"

namespace e2e {
namespace {

const char* const kLab = R"(
[Lab]
Seed=5
[Device E2EA]
Type=1
Cell1=rate=22 noise=0.1 settle=0
Cell2=rate=15 noise=0.1 settle=0
Cell3=rate=9 noise=0.1 settle=0
Cell4=rate=5 noise=0.1 settle=0
Cell5=rate=2 noise=0.1 settle=0
Cell6=rate=0.5 noise=0.1 settle=0
[Device E2EB]
Type=1
Cell1=rate=24 noise=0.1 settle=0
Cell2=rate=16 noise=0.1 settle=0
Cell3=rate=10 noise=0.1 settle=0
Cell4=rate=4 noise=0.1 settle=0
Cell5=rate=1.5 noise=0.1 settle=0
Cell6=rate=0.3 noise=0.1 settle=0
[Device E2EC2]
Type=2
Temp=21
Drift=0.2
)";

constexpr double kInterval = 60.0;
constexpr double kSlackSec = 6.0;  // see test_restart.cpp

int countOf(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) ++n;
    return n;
}

std::string debugLogs(const std::string& home) {
    std::string all;
    for (const auto& e : std::filesystem::directory_iterator(home + "/Dbg"))
        all += readFile(e.path().string());
    return all;
}

// What a refused command must not change: the rows and the cells' states and rows (counts
// move on by themselves), from the answers of `rows` and `cells`.
std::string stateSnapshot(const std::string& rows, const std::string& cells) {
    std::string out = std::regex_replace(rows, std::regex(" values=\\d+"), "");
    std::istringstream in(cells);
    std::string line;
    while (std::getline(in, line)) {
        const size_t row = line.find(" row=");
        out += field(line, "cell") + " " + field(line, "state") +
               (row == std::string::npos ? std::string() : line.substr(row)) + "\n";
    }
    return out;
}

TEST_F(EndToEnd, UnpluggedDeviceIsResynchronisedAndConsoleRefusesBadCommands) {
    startLab(kLab, {{"E2EA", 1}, {"E2EB", 7}}, "E2EC2", 12);
    if (HasFatalFailure()) return;
    startProgram(1);
    if (HasFatalFailure()) return;

    std::string secondErr;
    EXPECT_EQ(program_->startSecond(secondErr), 1);
    EXPECT_NE(secondErr.find("Kelvora can run only once !"), std::string::npos) << secondErr;

    ctlOk({"row", "new", "S", "cells=1-12", "tact=3", "interval=1min", "duration=1d", "mode=0"});
    ctlOk({"row", "start", "S"});
    const kv::TDateTime started = kv::clock().now();

    // Refused commands answer "error: ..." (exit status 1) and change nothing.
    auto snapshot = [&] { return stateSnapshot(ctl({"rows"}).out, ctl({"cells"}).out); };
    const std::string before = snapshot();
    const std::vector<std::vector<std::string>> bad = {
        {"frobnicate"},
        {"status", "extra"},
        {"msgs", "0"},
        {"msgs", "many"},
        {"row"},
        {"row", "new", "T", "cells=1-3"},  // cells of the running row S
        {"row", "new", "T", "cells=13"},   // there are twelve cells
        {"row", "new", "T", "cells=9-x"},
        {"row", "new", "T"},
        {"row", "new", "T", "cells=1", "interval=5"},
        {"row", "new", "T", "cells=1", "duration=2weeks"},
        {"row", "new", "T", "cells=1", "colour=red"},
        {"row", "new", "S", "cells=1"},  // the name is taken
        {"row", "start", "NOPE"},
        {"row", "stop", "NOPE"},
        {"row", "start", "S", "bogus"},
        {"row", "delete"},
        {"row", "export", "S", "export.txt"},  // a running series is not exported
        {"row", "import", "no-such-file.txt"},
        {"cell", "hold", "99"},
        {"cell", "stop", "0"},
        {"cell", "counter", "1", "abc"},
        {"cell", "frob", "1"},
        {"tank", "refill", "x"},
        {"tank", "empty", "1"},
    };
    for (const auto& args : bad) {
        const CtlResult r = ctl(args);
        std::string words;
        for (const auto& a : args) words += " " + a;
        EXPECT_EQ(r.status, 1) << "kelvora ctl" << words << ":\n" << r.out;
        EXPECT_EQ(r.lastLine().rfind("error: ", 0), 0u) << "kelvora ctl" << words << ":\n" << r.out;
    }
    EXPECT_EQ(snapshot(), before);

    // The device serving cells 7-12 goes away 40 s into the first interval, so that the
    // first time value falls into the outage, and comes back 20 s later.
    std::this_thread::sleep_until(std::chrono::system_clock::now() +
                                  std::chrono::milliseconds(static_cast<long long>(
                                      ((started - kv::clock().now()) / kv::kSecond + 40) * 1000)));
    ASSERT_EQ(sim_.command("unplug E2EB"), "ok");
    const auto unplugged = std::chrono::steady_clock::now();
    const std::string down = "Connection to Data Device Cell 7-12 is down.";
    EXPECT_TRUE(waitUntil(Seconds(30), [&] { return messages().find(down) != std::string::npos; }))
        << "no message \"" << down << "\" within 30 s of the unplug:\n"
        << messages();
    std::this_thread::sleep_until(unplugged + std::chrono::seconds(20));
    ASSERT_EQ(sim_.command("replug E2EB"), "ok");

    const std::string up = "Connection to Data Device Cell 7-12 is up again.";
    EXPECT_TRUE(waitUntil(Seconds(60), [&] { return messages().find(up) != std::string::npos; }))
        << "no message \"" << up << "\" within 60 s of the replug:\n"
        << messages();
    // The resynchronisation follows after its pause (10 s per device that came back).
    EXPECT_TRUE(waitUntil(Seconds(90), [&] {
        return countOf(debugLogs(home_), "Finished synching with devices") >= 2;
    })) << "no resynchronisation within 90 s after the device came back";
    syncFinished();

    // One more time value measured live, then the exact comparison.
    DataFile file;
    ASSERT_TRUE(waitUntil(Seconds(2 * kInterval + 60), [&] {
        std::string error;
        return readDataFile(findDataFile(home_), file, error) && file.lines.size() >= 2;
    })) << "the row did not write two time values";
    freezeLab();
    ctlOk({"row", "stop", "S"});
    file = dataFile();
    ASSERT_GE(file.lines.size(), 3u);
    expectNoGap(file, kInterval);
    expectLinesMatchTruth(file, kSlackSec);
    expectFinalLineMatchesTruth(file);

    const CtlResult quit = ctl({"quit"});
    EXPECT_TRUE(quit.ok()) << quit.out;
    EXPECT_EQ(program_->process().waitExit(Seconds(60)), 0) << "kelvora did not end after quit";
    sim_.stop();
    expectNoRaceReports();
}

}  // namespace
}  // namespace e2e
