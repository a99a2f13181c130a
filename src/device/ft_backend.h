#pragma once
// The driver seam under the link layer: what the FTDI driver offers (enumeration by index,
// open, line settings, byte I/O), with the driver's numeric status codes. Three
// implementations: the kernel's serial driver through /dev/serial/by-id (tty), userspace USB
// (libftdi) and the in-process virtual lab (sim).
//
// Every implementation is safe to call from several threads; each open handle serialises
// its own I/O, so two threads may talk to two devices at the same time. A handle whose
// device disappeared is closed by the backend at once (later calls fail), so that the same
// device plugged in again is found by a fresh enumeration and opened under a new handle.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kv::sim {
class SimPort;
}

namespace kv {

class IniFile;

// The handle of an open device; kInvalidHandle when opening failed. Handles are never reused
// within one run, so a stale handle cannot reach a device opened later.
using LinkHandle = int32_t;
inline constexpr LinkHandle kInvalidHandle = -1;

// Driver status codes. 18 is the program's own (acquisition found the link hanging).
enum FTStatus : int {
    FT_OK = 0,
    FT_INVALID_HANDLE = 1,
    FT_DEVICE_NOT_FOUND = 2,
    FT_DEVICE_NOT_OPENED = 3,
    FT_IO_ERROR = 4,
    FT_INSUFFICIENT_RESOURCES = 5,
    FT_INVALID_PARAMETER = 6,
    FT_INVALID_BAUD_RATE = 7,
    FT_FAILED_TO_WRITE_DEVICE = 10,
    FT_OTHER_ERROR = 17,
    FT_COMM_HANGS = 18,
};

// " - General IO error..." and friends; "OK" for 0; "" for codes without a text.
std::string FTStatusText(int status);

class FTBackend {
  public:
    virtual ~FTBackend() = default;

    // Short name for the log ("tty", "libftdi", "sim").
    virtual std::string name() const = 0;

    // Enumeration. deviceCount() takes a fresh look at what is attached; the by-index calls
    // (0-based) refer to that look and take a fresh one when the index lies beyond it.
    virtual int deviceCount(int& count) = 0;
    virtual int serialNr(int index, std::string& out) = 0;
    virtual int description(int index, std::string& out) = 0;
    virtual int locId(int index, long& out) = 0;

    virtual int open(int index, LinkHandle& handle) = 0;
    virtual int close(LinkHandle handle) = 0;

    virtual int setBaudRate(LinkHandle handle, int baud) = 0;
    virtual int setFlowControlNone(LinkHandle handle) = 0;
    virtual int setData8N1(LinkHandle handle) = 0;

    virtual int write(LinkHandle handle, std::string_view bytes, size_t& written) = 0;
    // Bytes waiting to be read; never waits.
    virtual int queueStatus(LinkHandle handle, size_t& queued) = 0;
    // Takes up to maxBytes of what is waiting; never waits.
    virtual int read(LinkHandle handle, size_t maxBytes, std::string& out) = 0;
};

struct TtyBackendOptions {
    std::string byIdDir = "/dev/serial/by-id";
    // Root of sysfs; tests point it elsewhere.
    std::string sysfsRoot = "/sys";
    // Try to set the FTDI latency timer to 1 ms when a device is opened.
    bool lowLatency = true;
};

std::unique_ptr<FTBackend> makeTtyBackend(TtyBackendOptions options);
// Null when the program was built without libftdi1.
std::unique_ptr<FTBackend> makeLibftdiBackend();
std::unique_ptr<FTBackend> makeSimBackend(std::vector<std::shared_ptr<sim::SimPort>> ports);

// The backend named by [FT232R] Backend= ("tty" default, "libftdi", "sim"). "sim" needs the
// lab's ports; an unknown name or an unavailable backend falls back to tty and says so in
// the debug log.
std::unique_ptr<FTBackend> makeBackendFromConfig(
    const IniFile& ini, std::vector<std::shared_ptr<sim::SimPort>> simPorts = {});

}  // namespace kv
