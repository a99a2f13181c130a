#pragma once
// The seam between the program's link layer and a simulated device: one USB serial
// interface as the host sees it. The in-process link backend talks to these directly; the
// pseudo-terminal server (kelvora-sim) pumps the same bytes through a pty.

#include <cstddef>
#include <string>
#include <string_view>

namespace kv::sim {

class SimPort {
  public:
    virtual ~SimPort() = default;

    // Identity as enumeration reports it.
    virtual std::string serialNr() const = 0;
    virtual std::string description() const = 0;
    virtual long locId() const = 0;
    // False while the device is "unplugged": enumeration skips it and I/O fails.
    virtual bool plugged() const = 0;

    // Host to device. Returns false when the device cannot take the bytes (unplugged).
    virtual bool write(std::string_view bytes) = 0;
    // Device to host: number of bytes waiting, and taking up to maxBytes of them.
    // Devices advance their own state (tacts, samples) lazily from kv::clock().now().
    virtual size_t queued() = 0;
    virtual std::string read(size_t maxBytes) = 0;
};

}  // namespace kv::sim
