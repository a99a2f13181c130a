#pragma once
// The link layer the rest of the program talks to devices through: enumeration, open and
// close, line settings, a character-paced write and a non-blocking read. Failures become
// readable texts in the debug log and the device's link error state, which the upper
// layers use to leave a broken device alone until it answers again.
//
// Thread-safe: every read has its own buffer, and the backend serialises each handle's I/O.

#include <memory>
#include <string>
#include <string_view>

#include "device/ft_backend.h"

namespace kv {

// What the link needs to know about the configured device behind a handle. The device list
// implements it; the link works without one (every handle then counts as unknown).
class LinkDeviceLookup {
  public:
    virtual ~LinkDeviceLookup() = default;
    // The device's pause per written character and before reading an answer, ms; 5 when
    // the handle belongs to no configured device.
    virtual int linkPauseMs(LinkHandle h) const = 0;
    // Link error state; -1 when the handle belongs to no configured device.
    virtual int linkErrorState(LinkHandle h) const = 0;
    // Ignored for unknown handles.
    virtual void setLinkErrorState(LinkHandle h, int state) = 0;
    // Full name with address for log lines; "(unknown?)" for unknown handles.
    virtual std::string linkFullName(LinkHandle h) const = 0;
};

class FTLink {
  public:
    // A read takes at most this many bytes; the rest stays queued for the next read.
    static constexpr size_t kMaxRead = 4999;
    static constexpr int kDefaultPauseMs = 5;

    explicit FTLink(std::unique_ptr<FTBackend> backend);

    // Set once while the program is built, before any other thread uses the link.
    void setLookup(LinkDeviceLookup* lookup) { lookup_ = lookup; }
    LinkDeviceLookup* lookup() const { return lookup_; }
    FTBackend& backend() { return *backend_; }

    // -1 when enumeration failed.
    int get_FTDeviceCount();
    // i counts from 1. "n/a" / -1 when the value could not be read.
    std::string get_FTSerialNr(int i);
    std::string get_FTDescription(int i);
    long get_FTLocID(int i);
    // kInvalidHandle when opening failed.
    LinkHandle FTOpenByIndex(int i);
    // False on success, true on failure.
    bool FTClose(LinkHandle h);
    // Baud rate, no flow control, 8 data bits, 1 stop bit, no parity. The statuses are not
    // checked: a device that cannot be set up shows itself by not answering.
    void FTSetLine(LinkHandle h, int baud);
    // Writes one character at a time with the device's pause after each. Returns the
    // length of the text, or -1 if any character failed.
    int FTWriteChars(LinkHandle h, std::string_view text);
    // Everything waiting (at most kMaxRead bytes, or maxBytes when given), up to the first
    // zero byte. Never waits; empty on failure.
    std::string FTReadAll(LinkHandle h, size_t maxBytes = 0);

    // Per-handle lookups, with the defaults for unknown handles.
    int pauseMs(LinkHandle h) const;
    int errorState(LinkHandle h) const;
    void setErrorState(LinkHandle h, int state);
    std::string fullName(LinkHandle h) const;

  private:
    std::unique_ptr<FTBackend> backend_;
    LinkDeviceLookup* lookup_ = nullptr;
};

}  // namespace kv
