#pragma once
// Writing a whole file so that it survives a crash.

#include <string_view>

namespace kv {

// Writes all of content to the open file fd, flushes it to the disk and closes fd (always).
// Returns 0 or the errno of the first failure.
int writeAllAndClose(int fd, std::string_view content);

}  // namespace kv
