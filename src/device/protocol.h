#pragma once
// The measuring devices' command language over the link. A command is a short ASCII text
// ending with "#", written one character at a time:
//   configuration   prefix ["="] value "#"   (i1#, t3=5#, z#; "=" only after a prefix longer
//                                             than one character), read back with the upper-
//                                             cased prefix as a request (T3# -> T3=5#)
//   request         letters [digits] "#"     answered by the same letters, "=", value, "#"
//
// getAnswer and setConfig are the two exchanges everything else is built from; the named
// operations below are the whole command table, so no other module composes command texts.
// Both block the calling thread for the exchange (character pacing and answer waits).

#include <string>
#include <string_view>

#include "device/ftlink.h"

namespace kv {

// Identity texts compare as plain text, character by character, as the devices' firmware
// versions always have: "KLV/USB V1.10.0" sorts before "KLV/USB V1.3.0".
inline constexpr std::string_view kUnknownIdentity = "(unknown)";
bool identityAtLeast(std::string_view identity, std::string_view version);
// Firmware recent enough for the start-up synchronisation.
bool firmwareUsable(std::string_view identity);
// The cell's attrition divider (h) is part of the tact sequence.
bool sendsAttritionDivider(std::string_view identity);
// The per-cell tact list is asked with T# instead of taken from the value record.
bool readsTactListWithT(std::string_view identity);

// "A=" bit mask -> "101000": cell k active when bit k is set (bit 0 unused).
std::string activeCellsText(int mask);
// The value between the first occurrence of prefix and the answer's first "#"; empty when
// the prefix is missing, no "#" follows it, or the first "#" comes before the prefix.
std::string extractAnswerValue(std::string_view answer, std::string_view prefix);
// prefix, "=" when the prefix is longer than one character, value.
std::string configCommand(std::string_view prefix, std::string_view value);

class DeviceProtocol {
  public:
    static constexpr int kAttempts = 11;

    explicit DeviceProtocol(FTLink& link) : link_(link) {}
    FTLink& link() { return link_; }

    // Request with up to 11 attempts; the value text, empty when none came. A device that
    // never answers goes into link error state 4, except for the "C" current readings.
    std::string getAnswer(LinkHandle h, std::string_view request, std::string_view prefix);
    // Configuration write, optionally read back (up to 11 writes until the device reports
    // the value). Does nothing for a device in error state or an unknown handle. A value
    // that never reads back puts the device into error state 4.
    void setConfig(LinkHandle h, std::string_view prefix, std::string_view value, bool readBack);

    // --- requests ------------------------------------------------------------------------
    std::string identity(LinkHandle h) { return getAnswer(h, "Z#", "Z="); }      // Z#
    std::string tactCounter(LinkHandle h) { return getAnswer(h, "S#", "S="); }   // S#
    std::string queueCount(LinkHandle h) { return getAnswer(h, "F3#", "F3="); }  // F3#
    std::string queueEntry(LinkHandle h) { return getAnswer(h, "O#", "O="); }    // O#
    // Data devices: per-cell tact list; CO2 devices: the reading started with g#.
    std::string tactListOrCO2(LinkHandle h) { return getAnswer(h, "T#", "T="); }      // T#
    std::string caseTemperature(LinkHandle h) { return getAnswer(h, "T2#", "T2="); }  // T2#
    // A#: the raw bit mask text; activeCellsText() makes the six flags of it.
    std::string activeCellsMask(LinkHandle h) { return getAnswer(h, "A#", "A="); }
    // C<k>#: raw current input of cell k; never sets the error state.
    std::string currentInput(LinkHandle h, int k);
    // E#, N#, W#, D#, M#, F1#, F2#: the device edit dialog's current settings; letters is
    // the request without "#" ("E", "F1").
    std::string deviceSetting(LinkHandle h, std::string_view letters);

    // --- raw writes (answers, if any, are read by the caller) ------------------------------
    void sendValueRequest(LinkHandle h, std::string_view cmd) { write(h, cmd); }  // V1#
    void acknowledgeRecord(LinkHandle h) { write(h, "o#"); }                      // o#
    void restartDevice(LinkHandle h) { write(h, "v#"); }                          // v#
    void startCO2Reading(LinkHandle h) { write(h, "g#"); }                        // g#
    void sendE(LinkHandle h) { write(h, "e#"); }  // CO2 devices, at matching
    void sendA(LinkHandle h) { write(h, "a#"); }  // CO2 devices, with a CDM and at shutdown
    void sendL(LinkHandle h) { write(h, "l#"); }  // configuration dialog opening
    void sendM(LinkHandle h) { write(h, "m#"); }  // configuration dialog closing, CO2 devices
    // m0 / m1 without "#", then the 1500 ms the device needs before the next command.
    void sendMaster(LinkHandle h, bool master);

    // --- configuration commands ----------------------------------------------------------
    void setInit(LinkHandle h, int value) { setConfig(h, "i", std::to_string(value), true); }
    void sendS(LinkHandle h) { setConfig(h, "s", "", false); }
    void setCellTact(LinkHandle h, int k, int tact) { setCell(h, "t", k, tact, true); }
    void setCellDivider(LinkHandle h, int k, int divider) { setCell(h, "h", k, divider, true); }
    void setCellActive(LinkHandle h, int k, bool on) { setCell(h, "a", k, on ? 1 : 0, true); }
    void setCellB(LinkHandle h, int k, int value) { setCell(h, "b", k, value, false); }
    void setCellC(LinkHandle h, int k, int value) { setCell(h, "c", k, value, true); }
    // c<k>1#: prepares cell k's current input before C<k># is asked (one-letter prefix, so
    // no "=").
    void enableCurrentInput(LinkHandle h, int k) {
        setConfig(h, "c", std::to_string(k) + "1", false);
    }
    // l<k>, u<k> read back, then z# so the device keeps them.
    void setCurrentLimits(LinkHandle h, int k, int lower, int upper);
    void storeConfig(LinkHandle h) { setConfig(h, "z", "", false); }  // z#
    void clearQueue(LinkHandle h) { setConfig(h, "f", "0", false); }  // f0#
    // e, n, w, d with read-back (E=, N=, W=, D=).
    void setDeviceSetting(LinkHandle h, char letter, int value);
    // f1=, f2=, f3= with read-back; "Init Queue" is 1, 1, 0.
    void setQueueField(LinkHandle h, int field, int value);

  private:
    void write(LinkHandle h, std::string_view text) { link_.FTWriteChars(h, text); }
    void setCell(LinkHandle h, std::string_view letter, int k, int value, bool readBack);

    FTLink& link_;
};

}  // namespace kv
