#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>
#include <vector>

#include "app/debuglog.h"
#include "app/inifile.h"
#include "app/messages.h"
#include "common/clock.h"
#include "common/datetime.h"
#include "sim/lab.h"
#include "support/temp_dir.h"
#include "system/application.h"
#include "system/home.h"

using namespace kv;
using kvtest::readFile;
using kvtest::TempDir;
using kvtest::writeFile;

namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l)) out.push_back(l);
    return out;
}

// Answers questions from a script and records what was shown.
class ScriptedFrontEnd : public FrontEnd {
  public:
    void progress(const std::string& t) override { progressTexts.push_back(t); }
    void errorBox(const std::string& t) override { errors.push_back(t); }
    Answer ask(const std::string& q, bool) override {
        questions.push_back(q);
        return answer;
    }
    bool askPassword(const std::string& title, std::string& entry) override {
        questions.push_back(title);
        entry = password;
        return givePassword;
    }
    std::vector<std::string> progressTexts, errors, questions;
    Answer answer = Answer::Yes;
    std::string password;
    bool givePassword = true;
};

StartOptions opts(const std::string& home, const std::string& parameter) {
    StartOptions o;
    o.home = home;
    o.parameter = parameter;
    return o;
}

std::string dbgFile(const TempDir& home) {
    for (const auto& e : std::filesystem::directory_iterator(home.file("Dbg")))
        return e.path().string();
    return {};
}

// The log's text after the stamp and the padded category.
std::string logText(const std::string& line) {
    const auto brace = line.find('{');
    const auto pad = brace == std::string::npos ? brace : line.find(' ', brace);
    return pad == std::string::npos ? line : line.substr(pad + 1);
}

class StartupTest : public ::testing::Test {
  protected:
    void SetUp() override { std::filesystem::create_directory(home.file("Dbg")); }
    void TearDown() override { setDateTimeFormat("GE"); }
    TempDir home;
    ManualClock mc{encodeDateTime(2026, 12, 8, 3, 12, 30)};
    ScopedClock sc{mc};
    ScriptedFrontEnd ui;
};

}  // namespace

TEST_F(StartupTest, FreshHomeGetsConfigurationLogAndMessages) {
    {
        Application app(opts(home.path(), "NoSync"), ui);
        ASSERT_EQ(app.startup(), 0);
        EXPECT_TRUE(app.kelvora().systemRunning.load());
        EXPECT_FALSE(app.kelvora().startupInProgress.load());
        EXPECT_TRUE(app.quit(QuitSource::System));
        app.shutdown();
    }
    IniFile ini(home.file("Kelvora.Ini"));
    EXPECT_EQ(ini.readString("General", "Version", ""), "2.6.4 (16.10.2024)");
    EXPECT_EQ(ini.readString("Excel", "Version", ""), "97");
    EXPECT_EQ(ini.readString("Excel", "Template", ""), "C:\\Kelvora\\Excel\\Auswertung.XLS");
    EXPECT_EQ(ini.readString("Excel", "ResultPath", ""), "C:\\Kelvora\\Excel");
    EXPECT_EQ(ini.readString("Kelvora", "DefRowMode", ""), "1");
    EXPECT_EQ(ini.readString("FT232R", "DisEnableInterval(Sec)", ""), "1");
    EXPECT_EQ(ini.readString("FT232R", "DisEnableTimer(mSec)", ""), "1000");

    const std::string dbg = dbgFile(home);
    EXPECT_EQ(std::filesystem::path(dbg).filename(), "Kelvora_2026-12-08_03-12-30.Dbg");
    const auto l = lines(readFile(dbg));
    ASSERT_GE(l.size(), 6u);
    std::string dots;
    for (int i = 0; i < 35; ++i) dots += "·";
    EXPECT_EQ(l[0], "08.12.2026 03:12:30 {App}" + dots + " ");
    EXPECT_EQ(l[2], "08.12.2026 03:12:30 {App}" + dots + " " + std::string(113, '-'));
    EXPECT_EQ(l[3], "08.12.2026 03:12:30 {App}" + dots + " Start Kelvora  [2.6.4 (16.10.2024)]");
    EXPECT_EQ(logText(l[4]), "... Parameter=[NoSync]");
    EXPECT_EQ(logText(l[5]), "... starting SplashScreen");
    std::vector<std::string> texts;
    for (const auto& line : l) texts.push_back(logText(line));
    auto has = [&](const std::string& t) {
        return std::find(texts.begin(), texts.end(), t) != texts.end();
    };
    EXPECT_TRUE(has("... loading Textfile [" + home.file("Kelvora.Txt") + "]"));
    EXPECT_TRUE(has("... loading MessageFile [" + home.file("Kelvora.Msg") + "]"));
    EXPECT_TRUE(has("... creating Kelvora data structure"));
    EXPECT_FALSE(has("... Start synching with devices"));  // NoSync
    EXPECT_EQ(texts.back(), "Stop Kelvora");

    const auto m = lines(readFile(home.file("Kelvora.Msg")));
    ASSERT_GE(m.size(), 2u);
    EXPECT_NE(m.front().find("]  Start Kelvora  [2.6.4 (16.10.2024)]"), std::string::npos);
    EXPECT_NE(m.back().find("]  Stop Kelvora  [2.6.4 (16.10.2024)]"), std::string::npos);
}

TEST_F(StartupTest, ExcelDefaultsWrittenOnceAndSecondInstanceRefused) {
    writeFile(home.file("Kelvora.Ini"), "[Excel]\r\nResultPath=/data/results\r\n");
    {
        Application app(opts(home.path(), ""), ui);
        ASSERT_EQ(app.startup(), 0);
        // The Excel version is missing, so the defaults are written once.
        EXPECT_EQ(IniFile(home.file("Kelvora.Ini")).readString("Excel", "ResultPath", ""),
                  "C:\\Kelvora\\Excel");

        ScriptedFrontEnd ui2;
        Application second(opts(home.path(), ""), ui2);
        EXPECT_EQ(second.startup(), 1);
        ASSERT_EQ(ui2.errors.size(), 1u);
        EXPECT_EQ(ui2.errors[0], "Kelvora can run only once !");
        app.quit(QuitSource::System);
        app.shutdown();
    }
    {
        IniFile ini(home.file("Kelvora.Ini"));
        ini.writeString("Excel", "ResultPath", "/data/results");
        ini.writeString("Kelvora", "DefRowMode", "0");
    }
    Application app(opts(home.path(), ""), ui);
    ASSERT_EQ(app.startup(), 0);
    app.quit(QuitSource::System);
    app.shutdown();
    IniFile ini(home.file("Kelvora.Ini"));
    EXPECT_EQ(ini.readString("Excel", "ResultPath", ""), "/data/results");
    EXPECT_EQ(ini.readString("Kelvora", "DefRowMode", ""), "0");
}

TEST_F(StartupTest, QuitPathHonoursPasswordAndConfirmation) {
    writeFile(home.file("Kelvora.Ini"), "[General]\r\nConfirmQuit=-1\r\n");
    Application app(opts(home.path(), "NoSync"), ui);
    ASSERT_EQ(app.startup(), 0);

    ui.answer = Answer::No;
    EXPECT_FALSE(app.quit(QuitSource::Menu));
    EXPECT_TRUE(app.isRunning());
    EXPECT_TRUE(app.kelvora().systemRunning.load());
    EXPECT_EQ(ui.questions.back(), "Exit Kelvora ?");

    app.kelvora().cfg.passwordQuit = "secret";
    ui.password = "wrong";
    EXPECT_FALSE(app.quit(QuitSource::WindowClose));
    ui.givePassword = false;
    EXPECT_FALSE(app.quit(QuitSource::Menu));
    EXPECT_TRUE(app.kelvora().systemRunning.load());

    // The operating system's request needs neither password nor confirmation.
    EXPECT_TRUE(app.quit(QuitSource::System));
    EXPECT_FALSE(app.kelvora().systemRunning.load());
    app.shutdown();
}

TEST_F(StartupTest, LiveFileFollowsTheSetting) {
    writeFile(home.file("Kelvora.Ini"), "[Kelvora]\r\nLiveFN=on\r\n");
    Application app(opts(home.path(), "NoSync"), ui);
    ASSERT_EQ(app.startup(), 0);
    EXPECT_TRUE(std::filesystem::exists(home.file("Kelvora.Live")));
    app.quit(QuitSource::System);
    app.shutdown();
    EXPECT_FALSE(std::filesystem::exists(home.file("Kelvora.Live")));
}

TEST_F(StartupTest, UnusableHomeFolderIsReported) {
    Application app(opts(home.file("does-not-exist"), ""), ui);
    EXPECT_EQ(app.startup(), 1);
    ASSERT_EQ(ui.errors.size(), 1u);
    EXPECT_NE(ui.errors[0].find("does not exist"), std::string::npos);
}

TEST_F(StartupTest, DevicesAreMappedInitialisedAndClosed) {
    std::string err;
    auto lab = sim::Lab::fromText(
        "[Device KLV1]\nType=1\nVersion=KLV/USB V1.4.1\n"
        "[Device CASE1]\nType=2\nTemp=21.5\n",
        &err);
    ASSERT_TRUE(lab) << err;
    writeFile(home.file("Kelvora.Ini"),
              "[Kelvora]\r\nmmTimerInt=50\r\n"
              "[FT232R]\r\nBackend=sim\r\nDeviceCheckTimer(mSec)=100\r\n[USB]\r\nDevices=3\r\n"
              "[USBDevice-1]\r\nSerialNr=KLV1\r\nType=1\r\nCase=1\r\nphysCells=1,6\r\n"
              "[USBDevice-2]\r\nSerialNr=KLV2\r\nType=1\r\nCase=1\r\nphysCells=7,12\r\n"
              "[USBDevice-3]\r\nSerialNr=CASE1\r\nType=2\r\nCase=1\r\n");
    StartOptions o = opts(home.path(), "NoSync");
    o.simPorts = lab->ports();
    {
        Application app(o, ui);
        ASSERT_EQ(app.startup(), 0);
        EXPECT_GT(app.kelvora().devices.handleOf(1), 0);
        EXPECT_LT(app.kelvora().devices.handleOf(2), 0);
        // Start-up resets the tact counters, re-reads the settings and finally starts them.
        EXPECT_EQ(lab->find("KLV1")->commandCount("i0"), 1)
            << ::testing::PrintToString(lab->find("KLV1")->receivedCommands());
        EXPECT_EQ(lab->find("KLV1")->commandCount("i1"), 1);
        // The production wiring: acquisition and device check on their own timer threads.
        for (int i = 0; i < 200 && lab->find("KLV1")->commandCount("V1") < 3; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_GE(lab->find("KLV1")->commandCount("V1"), 3);
        EXPECT_TRUE(app.quit(QuitSource::System));
        app.shutdown();
    }
    const std::string msgs = readFile(home.file("Kelvora.Msg"));
    EXPECT_NE(msgs.find("(SerialNr=KLV2) not found !"), std::string::npos) << msgs;
    // The state save wrote the data device's tact state back.
    EXPECT_TRUE(IniFile(home.file("Kelvora.Ini")).hasKey("USBDevice-1", "lastTactNr"));
    EXPECT_GE(lab->find("KLV1")->commandCount("f0"), 1);  // Close_HW
}

TEST(Home, InstalledProgramKeepsItsFilesInTheUsersFolder) {
    TempDir user;
    const char* saved = std::getenv("HOME");
    const std::string before = saved ? saved : "";
    ::setenv("HOME", user.path().c_str(), 1);
    EXPECT_EQ(resolveHome("", "", "/usr/bin").home, user.file("Kelvora"));
    EXPECT_TRUE(std::filesystem::is_directory(user.file("Kelvora")));
    // A build tree, --home and $KELVORA_HOME are used as they are.
    EXPECT_EQ(resolveHome("", "", user.path()).home, user.path());
    EXPECT_EQ(resolveHome("", user.file("env"), "/usr/bin").home, user.file("env"));
    EXPECT_EQ(resolveHome(user.file("arg"), "", "/usr/bin").home, user.file("arg"));
    if (saved) ::setenv("HOME", before.c_str(), 1);
}

TEST(Home, LockRecordsHowTheHolderWasStarted) {
    TempDir dir;
    const std::string path = dir.file("Kelvora.Lock");
    EXPECT_FALSE(lockHeld(path));
    InstanceLock lock;
    ASSERT_TRUE(lock.acquire(path));
    EXPECT_TRUE(lockHeld(path));
    // A look does not keep the lock from its holder.
    InstanceLock second;
    EXPECT_FALSE(second.acquire(path));
    const LockRecord r = readLockRecord(path);
    EXPECT_EQ(r.pid, ::getpid());
    EXPECT_EQ(r.exe, std::filesystem::read_symlink("/proc/self/exe").string());
    EXPECT_EQ(r.cwd, std::filesystem::current_path().string());
    EXPECT_TRUE(r.complete());
    lock.release();
    EXPECT_FALSE(lockHeld(path));
    // The record stays for a monitor that comes after a crash.
    EXPECT_EQ(readLockRecord(path).pid, ::getpid());
}
