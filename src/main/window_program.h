#pragma once
// kelvora with its windows (the program without --headless).

#include "system/application.h"

namespace kv {

// Runs the program with windows until it has quit; the exit status. Without a display it
// says so, names --headless, and returns 2.
int runWindowProgram(StartOptions start, int argc, char** argv);

}  // namespace kv
