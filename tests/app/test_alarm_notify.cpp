// The alarm command: what it is given, the rate limit per kind, its time limit and the one
// debug line a failing command gets. Real commands run; every wait has a bound.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <sstream>

#include "app/alarm_notify.h"
#include "app/debuglog.h"
#include "support/temp_dir.h"
#include "support/wait.h"

using namespace kv;
using kvtest::readFile;
using kvtest::TempDir;
using kvtest::waitFor;

namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l)) out.push_back(l);
    return out;
}

int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

class AlarmNotifyTest : public ::testing::Test {
  protected:
    AlarmNotifyTest() { debugLog().open(dir_.file("t.Dbg")); }
    ~AlarmNotifyTest() override {
        notifier_.shutdown(std::chrono::seconds(5));
        debugLog().close();
    }
    void configure(const std::string& command, int minInterval = 0, int timeLimit = 30) {
        AlarmSettings s;
        s.command = command;
        s.home = dir_.path();
        s.minIntervalSec = minInterval;
        s.timeLimitSec = timeLimit;
        notifier_.configure(s);
    }
    std::string events() const { return readFile(dir_.file("events")); }

    TempDir dir_;
    AlarmNotifier notifier_;
};

TEST_F(AlarmNotifyTest, CommandGetsKindTextAndHomeAsArgumentsAndEnvironment) {
    // A relative file name: the command runs in the home folder.
    configure(
        "printf '%s|%s|%s|%s|%s\\n' \"$KELVORA_EVENT\" \"$KELVORA_MESSAGE\" "
        "\"$KELVORA_HOME\" \"$KELVORA_COUNT\" \"$KELVORA_SOURCE\" >> events; "
        "printf 'args:%s|%s|%s\\n' >> events");
    notifier_.notify(AlarmKind::DeviceLost, "Connection to Data Device \"D 1\" is down. Error $x.");
    // The command can write before the notifier has counted its start.
    ASSERT_TRUE(waitFor(30, [&] {
        return lines(events()).size() == 2 && notifier_.started() == 1;
    })) << events();
    const auto l = lines(events());
    const std::string text = "Connection to Data Device \"D 1\" is down. Error $x.";
    EXPECT_EQ(l[0], "device-lost|" + text + "|" + dir_.path() + "|1|Kelvora");
    EXPECT_EQ(l[1], "args:device-lost|" + text + "|" + dir_.path());
    EXPECT_EQ(notifier_.started(), 1);
}

TEST_F(AlarmNotifyTest, EventsOfOneKindWithinTheIntervalAreSentTogether) {
    configure(
        "printf '%s:%s:%s\\n' \"$1\" \"$KELVORA_COUNT\" \"$2\" | tr '\\n' '/' >> events; "
        "echo >> events; true",
        2);
    notifier_.notify(AlarmKind::DeviceLost, "A lost");
    ASSERT_TRUE(waitFor(30, [&] { return lines(events()).size() == 1; })) << events();
    // Within the interval: held back, then sent in one call; another kind is not held.
    notifier_.notify(AlarmKind::DeviceLost, "B lost");
    notifier_.notify(AlarmKind::DeviceLost, "C lost");
    notifier_.notify(AlarmKind::TankLow, "tanks");
    ASSERT_TRUE(waitFor(30, [&] {
        return lines(events()).size() == 3 && notifier_.started() == 3;
    })) << events();
    auto l = lines(events());
    EXPECT_EQ(l[0], "device-lost:1:A lost/");
    std::sort(l.begin() + 1, l.end());  // two commands that ran side by side
    EXPECT_EQ(l[1], "device-lost:2:B lost/C lost/");
    EXPECT_EQ(l[2], "tank-low:1:tanks/");
    EXPECT_EQ(notifier_.started(), 3);
}

TEST_F(AlarmNotifyTest, FailingAndHangingCommandsAreLoggedOnceAndEnded) {
    configure("exit 3");
    for (int i = 0; i < 3; ++i) notifier_.notify(AlarmKind::Leakage, "cell " + std::to_string(i));
    ASSERT_TRUE(
        waitFor(30, [&] { return count(readFile(dir_.file("t.Dbg")), "Alarm command") > 0; }));
    notifier_.shutdown(std::chrono::seconds(10));
    std::string log = readFile(dir_.file("t.Dbg"));
    EXPECT_EQ(count(log, "Alarm command [exit 3] ended with status 3"), 1) << log;
    EXPECT_EQ(count(log, "Alarm command"), 1) << log;

    // A command that does not end is ended at its time limit, with its own children.
    // The limit leaves a loaded machine time to start the shell before it is ended.
    configure("echo $$ > pid; sleep 600; echo late >> events", 0, 5);
    notifier_.notify(AlarmKind::RowStopped, "stopped");
    ASSERT_TRUE(waitFor(30, [&] { return !readFile(dir_.file("pid")).empty(); }));
    ASSERT_TRUE(waitFor(30, [&] {
        return count(readFile(dir_.file("t.Dbg")), "ran longer than 5 s and was ended") == 1;
    })) << readFile(dir_.file("t.Dbg"));
    notifier_.shutdown(std::chrono::seconds(10));
    EXPECT_EQ(events(), "");
    const pid_t shell = std::atoi(readFile(dir_.file("pid")).c_str());
    ASSERT_GT(shell, 0);
    EXPECT_NE(::kill(shell, 0), 0);
}

}  // namespace
