#pragma once
// The serial port layer of the CO2 meters (CDM, EC71): open a port by its "COM" name, set
// the line parameters, see what has arrived, read it, write a text. No protocol, no
// time-outs and no retries: callers poll and retry.
//
// Ports are POSIX terminals in raw mode. "COM" + n is the path configured under
// [Ports] COM<n>=, else /dev/ttyS<n-1>. A port can also be served in process by a
// ComEndpoint (the virtual meters in virtual-time tests).
//
// Every operation locks its own port, so one port may be used from the timer thread and
// the window thread without a race; different ports never wait for each other.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace kv {

class IniFile;

// Port handle. Valid handles are positive and never reused within a run, so a stale handle
// cannot reach a port opened later. 0 means "no port" (what callers store after a close).
using HCOM = int;
inline constexpr HCOM kInvalidHCOM = -1;

// A read or write never moves more bytes than this.
inline constexpr size_t kComBufferSize = 490;

inline constexpr char kSTX = 2;
inline constexpr char kETX = 3;
inline constexpr char kACK = 6;
inline constexpr char kNAK = 21;

HCOM com_Open(std::string_view portName);
void com_Close(HCOM h);
void com_Set(HCOM h, int baud, int dataBits, int parity, int stopBits);
int com_InQueue(HCOM h);
void com_Purge(HCOM h);
// What is waiting, at most kComBufferSize bytes; empty when nothing is. *ok receives the
// success of the read.
std::string com_Read(HCOM h, bool* ok = nullptr);
// Exactly n bytes (n at most kComBufferSize), or empty when fewer are waiting.
std::string com_Read_n(HCOM h, int n);
// Sends text up to its first NUL, at most kComBufferSize bytes. Returns the error code of
// the write, 0 for success.
int com_Write(HCOM h, std::string_view text);

// Waits until at least one byte is waiting or the time has passed; true when bytes are
// waiting. Lets pollers give a byte in flight a moment without sleeping in fixed steps.
bool com_WaitInput(HCOM h, int microseconds);
// An open port of this layer.
bool com_IsOpen(HCOM h);

// "OK" / "NotOK" for the debug lines.
std::string okText(bool ok);
// The settings text that com_Set applies: "baud=9600 parity=O data=8 stop=1".
std::string comSettingsText(int baud, int dataBits, int parity, int stopBits);
// Bytes from 32 upwards as they are; ACK, STX, ETX and NAK by name; any other control byte
// as a backslash and its three-digit code.
std::string printableText(std::string_view bytes);

// --- "COM" + n to device path --------------------------------------------------------------
// Path of a port name: a name starting with "/" is taken as a path; "COM" + n (any case)
// maps through the table below, else /dev/ttyS<n-1>. Empty for any other name.
std::string comPortPath(std::string_view portName);
// Sets (empty path: removes) the path of "COM" + n.
void setComPortPath(int n, const std::string& path);
// Reads every COM<n>= key of section [Ports], replacing the table.
void loadComPortMap(const IniFile& ini);

// --- In-process ports -----------------------------------------------------------------------
// A device that lives in this process. Calls come with the port's lock held.
class ComEndpoint {
  public:
    virtual ~ComEndpoint() = default;
    // Host to device; false when the device cannot take the bytes.
    virtual bool write(std::string_view bytes) = 0;
    virtual size_t queued() = 0;
    virtual std::string read(size_t maxBytes) = 0;
};
// While set, com_Open of "COM" + n reaches this endpoint instead of a terminal. nullptr
// removes it; ports already open keep their endpoint until closed.
void setComEndpoint(int n, std::shared_ptr<ComEndpoint> endpoint);

}  // namespace kv
