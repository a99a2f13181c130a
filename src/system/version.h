#pragma once

namespace kv {
// Written into the configuration, the debug log and the message list at every start.
inline constexpr const char* kVersionText = "2.6.4 (16.10.2024)";
inline constexpr const char* kProgramName = "Kelvora";
}  // namespace kv
