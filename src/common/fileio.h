#pragma once
// Writing a whole file so that it survives a crash.

#include <string_view>

namespace kv {

// Writes all of content to the open file fd, flushes it to the disk and closes fd (always).
// Returns 0 or the errno of the first failure.
int writeAllAndClose(int fd, std::string_view content);
// Writes all of content to fd (no flush, fd stays open); 0 or the errno of the failure.
int writeAllTo(int fd, std::string_view content);

// For tests on machines where no small file system can be mounted: while set to an errno
// (ENOSPC, EROFS), every write of these two functions fails with it after writing at most
// `bytesBeforeFailure` bytes, as a disk that fills up mid-write does. 0 turns it off.
void setWriteFailureForTests(int err, long long bytesBeforeFailure = 0);

}  // namespace kv
