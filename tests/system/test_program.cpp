// The real executable, started as the operator or a service manager would start it.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/temp_dir.h"

extern char** environ;

namespace {

std::string binary() {
    const char* dir = std::getenv("KELVORA_BIN_DIR");
    return std::string(dir ? dir : ".") + "/kelvora";
}

// Starts the program with stderr sent to errFile; returns its pid.
pid_t start(const std::vector<std::string>& args, const std::string& errFile) {
    std::vector<char*> argv;
    std::string bin = binary();
    argv.push_back(bin.data());
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    posix_spawn(&pid, bin.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

int waitExit(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Waits (bounded) until the program has finished its start-up.
bool waitForFile(const std::string& file, const std::string& needle) {
    for (int i = 0; i < 200; ++i) {
        if (kvtest::readFile(file).find(needle) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

}  // namespace

TEST(Program, RunsForAWhileAndRefusesASecondInstance) {
    kvtest::TempDir home;
    std::filesystem::create_directory(home.file("Dbg"));
    const pid_t first = start({"--headless", "--home", home.path(), "--run-for", "3"},
                              home.file("first.err"));
    ASSERT_GT(first, 0);
    ASSERT_TRUE(waitForFile(home.file("first.err"), "Kelvora running"));

    const pid_t second = start({"--headless", "--home", home.path()}, home.file("second.err"));
    EXPECT_EQ(waitExit(second), 1);
    EXPECT_NE(kvtest::readFile(home.file("second.err")).find("Kelvora can run only once !"),
              std::string::npos);

    EXPECT_EQ(waitExit(first), 0);
    const std::string msgs = kvtest::readFile(home.file("Kelvora.Msg"));
    EXPECT_NE(msgs.find("Start Kelvora  [2.6.4 (16.10.2024)]"), std::string::npos);
    EXPECT_NE(msgs.find("Stop Kelvora  [2.6.4 (16.10.2024)]"), std::string::npos);
}

TEST(Program, TerminationSignalRunsTheQuitPath) {
    kvtest::TempDir home;
    std::filesystem::create_directory(home.file("Dbg"));
    const pid_t pid = start({"--headless", "--home", home.path(), "NoSync"}, home.file("err"));
    ASSERT_TRUE(waitForFile(home.file("err"), "Kelvora running"));
    kill(pid, SIGTERM);
    EXPECT_EQ(waitExit(pid), 0);
    EXPECT_NE(kvtest::readFile(home.file("Kelvora.Msg")).find("Stop Kelvora"), std::string::npos);
    // The lock went with the process: a new start works at once.
    const pid_t again = start({"--headless", "--home", home.path(), "--run-for", "0"},
                              home.file("err2"));
    EXPECT_EQ(waitExit(again), 0);
}

TEST(Program, CommandLineErrorsAreClear) {
    kvtest::TempDir home;
    EXPECT_EQ(waitExit(start({"--bogus"}, home.file("e1"))), 2);
    EXPECT_NE(kvtest::readFile(home.file("e1")).find("unknown option --bogus"), std::string::npos);
    EXPECT_EQ(waitExit(start({"--headless", "--run-for", "abc"}, home.file("e2"))), 2);
    EXPECT_EQ(waitExit(start({"--version"}, home.file("e3"))), 0);
}
