#pragma once
// A meter on an RS232 line as the virtual lab sees it: bytes from the host go in, answer
// bytes come out. The pseudo-terminal pump (pty_serial.h) and in-process ports both drive
// meters through this interface. Meters advance lazily from kv::clock().now(), so they run
// in virtual time under a manual clock. Thread-safe.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace kv::sim {

// What the meter's electrode sees now: the absorber of the cell whose relay is on.
struct MeterReading {
    bool connected = false;  // false: no absorber switched to the meter (it measures air)
    double lf = 0.0;         // conductivity, mS/cm
    double temp = 20.0;      // degrees Celsius
};
using ReadingSource = std::function<MeterReading()>;

enum class MeterFault {
    None,
    Silent,      // takes every byte, answers nothing
    Garbage,     // answers every command with random bytes
    Echo,        // sends back every byte it receives, and nothing else
    Nak,         // EC71: refuses every line with NAK
    NakThenAck,  // EC71: NAK, then ACK for every line (a disturbed but working line)
};

class SerialMeter {
  public:
    virtual ~SerialMeter() = default;
    // Host to meter.
    virtual void write(std::string_view bytes) = 0;
    // Meter to host: bytes waiting, and taking up to maxBytes of them.
    virtual size_t queued() = 0;
    virtual std::string read(size_t maxBytes) = 0;
};

}  // namespace kv::sim
