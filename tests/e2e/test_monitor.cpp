// kelvora-monitor against real processes: a live file that goes stale under a held lock,
// and a `kelvora --headless --simulate` killed with SIGKILL that the monitor starts again.
// Every wait has a bound; the test process adopts orphaned descendants (a restarted program
// is the monitor's child, the monitor the killed program's), so it can reap and end them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "e2e_support.h"
#include "support/temp_dir.h"
#include "system/home.h"

namespace e2e {
namespace {

using Steady = std::chrono::steady_clock;

int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

void touch(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) ::close(fd);
    ::utimensat(AT_FDCWD, path.c_str(), nullptr, 0);
}

// A process of this run, known from a lock file's record, that is still alive.
bool alive(pid_t pid) {
    if (pid <= 0) return false;
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) return false;  // an adopted orphan ended
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

class MonitorTest : public ::testing::Test {
  protected:
    MonitorTest() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }
    ~MonitorTest() override {
        // Whatever still runs of this test: the programs named in the lock files.
        for (const std::string& lock : {home_ + "/Kelvora.Lock", home_ + "/Kelvora.MonitorLock"}) {
            const kv::LockRecord r = kv::readLockRecord(lock);
            if (r.pid > 0 && alive(static_cast<pid_t>(r.pid)) &&
                readFile("/proc/" + std::to_string(r.pid) + "/cmdline").find(home_) !=
                    std::string::npos)
                ::kill(static_cast<pid_t>(r.pid), SIGKILL);
        }
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }

    std::string err() const { return readFile(errFile_); }
    std::string alarms() const { return readFile(home_ + "/alarms.txt"); }
    // The alarm command writes "kind|text" lines; the rate limit is off.
    std::string alarmSection() const {
        return "[Alarms]\nCommand=printf '%s|%s\\n' \"$1\" \"$2\" >> alarms.txt; :\n"
               "MinInterval(Sec)=0\n";
    }

    kvtest::TempDir dir_;
    std::string home_ = dir_.file("home");
    std::string errFile_ = dir_.file("monitor.err");
};

TEST_F(MonitorTest, ReportsAStaleLiveFileWithinItsLimitAndEndsWhenKelvoraQuits) {
    std::filesystem::create_directories(home_);
    writeFile(home_ + "/Kelvora.Ini", "[Kelvora]\nLiveFN=1\n" + alarmSection());
    const std::string live = home_ + "/Kelvora.Live";
    // The test stands in for a running Kelvora: it holds the lock and keeps the live file.
    const int lockFd =
        ::open((home_ + "/Kelvora.Lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(lockFd, 0);
    ASSERT_EQ(::flock(lockFd, LOCK_EX | LOCK_NB), 0);
    touch(live);
    auto lastTouch = Steady::now();

    Process monitor(binDir() + "/kelvora-monitor", {"--home", home_, "--stale", "2", "--notify"},
                    {"/dev/null", errFile_, false});
    ASSERT_TRUE(monitor.started());
    ASSERT_TRUE(waitUntil(Seconds(30), [&] {
        return err().find("watching Kelvora in") != std::string::npos;
    })) << err();
    // One monitor per home folder.
    {
        const std::string second = dir_.file("second.err");
        Process other(binDir() + "/kelvora-monitor", {"--home", home_},
                      {"/dev/null", second, false});
        EXPECT_EQ(other.waitExit(Seconds(30)), 1);
        EXPECT_NE(readFile(second).find("another monitor watches"), std::string::npos);
    }

    // Nobody touches the file any more: reported once the limit has passed, not before.
    ASSERT_TRUE(waitUntil(Seconds(30), [&] {
        return err().find("does not respond") != std::string::npos;
    })) << err();
    EXPECT_GE(std::chrono::duration<double>(Steady::now() - lastTouch).count(), 2.0);
    EXPECT_NE(err().find("(limit 2 s)."), std::string::npos) << err();
    // Touched again: the recovery.
    touch(live);
    ASSERT_TRUE(waitUntil(Seconds(30), [&] {
        return err().find("responds again.") != std::string::npos;
    })) << err();

    // The file disappears while the lock is held.
    ::unlink(live.c_str());
    ASSERT_TRUE(waitUntil(Seconds(30), [&] {
        return err().find("has disappeared.") != std::string::npos;
    })) << err();
    touch(live);
    ASSERT_TRUE(waitUntil(Seconds(30), [&] { return count(err(), "responds again.") == 2; }))
        << err();
    ASSERT_TRUE(waitUntil(Seconds(30), [&] {
        return count(alarms(), "not-responding|") == 2 && count(alarms(), "recovered|") == 2;
    })) << alarms();
    EXPECT_NE(alarms().find("not-responding|Kelvora in " + home_ +
                            " does not respond: its live "
                            "file was last updated "),
              std::string::npos)
        << alarms();

    // A normal end: the live file goes, then the lock. The monitor ends by itself.
    ::unlink(live.c_str());
    ::close(lockFd);
    EXPECT_EQ(monitor.waitExit(Seconds(30)), 0) << err();
    EXPECT_NE(err().find("has quit; the monitor ends."), std::string::npos) << err();
    EXPECT_EQ(err().find("ended without shutting down"), std::string::npos) << err();
}

TEST_F(MonitorTest, RestartsAKilledProgramWhichSynchronisesAndGoesOn) {
    std::filesystem::create_directories(home_ + "/Dbg");
    // Kelvora starts the monitor itself, with the settings of [Monitor].
    writeFile(home_ + "/Kelvora.Ini",
              "[Kelvora]\nCells=6\nDataRoot=Data\nLiveFN=1\nbDebug=1\n"
              "[General]\nConfirmQuit=0\n"
              "[USB]\nDevices=1\n[USBDevice-1]\nSerialNr=MON0001\nType=1\nCase=1\n"
              "physCells=1, 6\n"
              "[Monitor]\nRestart=1\nStale(Sec)=60\n" +
                  alarmSection());
    Program program(home_, {"--simulate"});
    std::string error;
    ASSERT_TRUE(program.start(1, error)) << error;
    errFile_ = program.stderrFile(1);  // the monitor writes to the program's standard error
    ASSERT_TRUE(waitUntil(Seconds(30), [&] {
        return err().find("watching Kelvora in") != std::string::npos;
    })) << err();
    const kv::LockRecord first = kv::readLockRecord(home_ + "/Kelvora.Lock");
    ASSERT_EQ(first.pid, program.process().pid());

    auto ctlOk = [&](const std::vector<std::string>& args) {
        const CtlResult r = program.ctl(args);
        EXPECT_TRUE(r.ok()) << r.out;
        return r.out;
    };
    ctlOk({"row", "new", "R", "cells=1-6", "tact=3", "interval=1min", "duration=1d", "mode=0"});
    ctlOk({"row", "start", "R"});
    auto cell1 = [&]() -> long long {
        const CtlResult r = program.ctl({"cells"});
        return r.ok() ? std::atoll(field(r.out, "count").c_str()) : -1;
    };
    ASSERT_TRUE(waitUntil(Seconds(120), [&] { return cell1() > 0; })) << "cell 1 counts nothing";

    program.process().signal(SIGKILL);
    ASSERT_EQ(program.process().waitExit(Seconds(30)), 128 + SIGKILL);

    // Reported, started again the same way, and running again.
    ASSERT_TRUE(waitUntil(Seconds(120), [&] {
        return err().find("runs again (started by the monitor).") != std::string::npos;
    })) << err();
    EXPECT_NE(err().find("has ended without shutting down."), std::string::npos) << err();
    EXPECT_NE(err().find("starting Kelvora again: " + first.exe + " --headless --home " + home_ +
                         " --simulate"),
              std::string::npos)
        << err();
    kv::LockRecord second;
    ASSERT_TRUE(waitUntil(Seconds(120), [&] {
        second = kv::readLockRecord(home_ + "/Kelvora.Lock");
        if (second.pid <= 0 || second.pid == first.pid) return false;
        // The socket answers during the start-up already: the program runs once it says so.
        const CtlResult st = program.ctl({"status"});
        return st.ok() && st.out.find("state: running") != std::string::npos;
    })) << err();
    // It synchronised with the devices at its start and goes on with the series.
    const auto dbgText = [&] {
        std::string all;
        for (const auto& e : std::filesystem::directory_iterator(home_ + "/Dbg"))
            all += readFile(e.path().string());
        return all;
    };
    ASSERT_TRUE(waitUntil(
        Seconds(60), [&] { return count(dbgText(), "... Finished synching with devices") == 2; }));
    EXPECT_EQ(field(ctlOk({"rows"}), "state"), "Running");
    const long long before = cell1();
    ASSERT_GE(before, 0);
    ASSERT_TRUE(waitUntil(Seconds(120), [&] { return cell1() > before; }))
        << "the restarted program counts nothing";
    ASSERT_TRUE(waitUntil(Seconds(30), [&] {
        return alarms().find("ended|") != std::string::npos &&
               alarms().find("restart|") != std::string::npos &&
               alarms().find("recovered|") != std::string::npos;
    })) << alarms();

    // A normal quit of the restarted program ends the monitor too.
    const pid_t monitorPid =
        static_cast<pid_t>(kv::readLockRecord(home_ + "/Kelvora.MonitorLock").pid);
    ASSERT_TRUE(alive(monitorPid));
    ctlOk({"quit"});
    ASSERT_TRUE(waitUntil(Seconds(60), [&] { return !alive(static_cast<pid_t>(second.pid)); }));
    ASSERT_TRUE(waitUntil(Seconds(30), [&] { return !alive(monitorPid); })) << err();
    EXPECT_NE(err().find("has quit; the monitor ends."), std::string::npos) << err();
    EXPECT_EQ(count(err(), "has ended without shutting down."), 1) << err();
}

}  // namespace
}  // namespace e2e
