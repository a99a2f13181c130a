#pragma once
// Starting another program from a running one: the alarm command, the monitor, the monitor's
// restart of Kelvora. The child must not inherit what the program set up for itself: the
// blocked termination signals (the program takes them with sigwait), the ignored SIGPIPE and
// open descriptors such as the single-instance lock.

#include <sys/types.h>

#include <string>
#include <vector>

namespace kv {

struct SpawnOptions {
    std::vector<std::string> argv;  // argv[0] is the program (a path, or a name found on PATH)
    std::string cwd;                // empty: the caller's
    // Environment entries "NAME=value" set on top of (or replacing) the caller's; names in
    // `unsetEnv` are removed.
    std::vector<std::string> setEnv;
    std::vector<std::string> unsetEnv;
    enum class Group { Same, Own, Session } group = Group::Own;
    // Standard output goes to standard error (a console's answers are on standard output).
    bool stdoutToStderr = true;
};

// Starts the program; its pid, or -1 with `error` set. Standard input is /dev/null.
pid_t spawnProcess(const SpawnOptions& options, std::string& error);

// The caller's environment with the changes of `options` applied.
std::vector<std::string> spawnEnvironment(const SpawnOptions& options);

}  // namespace kv
