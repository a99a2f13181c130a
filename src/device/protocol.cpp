#include "device/protocol.h"

#include "app/debuglog.h"
#include "common/clock.h"
#include "common/domain.h"
#include "common/numtext.h"
#include "common/strutil.h"

namespace kv {

bool identityAtLeast(std::string_view identity, std::string_view version) {
    return identity.compare(version) >= 0;
}
bool firmwareUsable(std::string_view identity) {
    return identityAtLeast(identity, "KLV/USB V1.3.0") && identity != kUnknownIdentity;
}
bool sendsAttritionDivider(std::string_view identity) {
    return identityAtLeast(identity, "KLV/USB V1.3.2");
}
bool readsTactListWithT(std::string_view identity) {
    return identityAtLeast(identity, "KLV/USB V1.4.1") && identity != kUnknownIdentity;
}

std::string activeCellsText(int mask) {
    std::string s;
    for (int k = 1; k <= kCellsPerDevice; ++k) s += (mask >> k) & 1 ? '1' : '0';
    return s;
}

std::string extractAnswerValue(std::string_view answer, std::string_view prefix) {
    const auto p = answer.find(prefix);
    const auto hash = answer.find('#');
    if (p == std::string_view::npos || hash == std::string_view::npos) return {};
    // A "#" before the prefix means the text is a leftover, not the answer to this request.
    if (hash < p + prefix.size()) return {};
    return std::string(answer.substr(p + prefix.size(), hash - p - prefix.size()));
}

std::string configCommand(std::string_view prefix, std::string_view value) {
    std::string cmd(prefix);
    if (prefix.size() > 1) cmd += '=';
    cmd += value;
    return cmd;
}

namespace {
std::string upper(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return r;
}
}  // namespace

std::string DeviceProtocol::getAnswer(LinkHandle h, std::string_view request,
                                      std::string_view prefix) {
    const bool logFt = dbg().ft.load();
    const std::string what = link_.fullName(h) + ": Command: " + std::string(request) +
                             ", ReRead: " + std::string(prefix);
    WriteDbg("FT.DLL/getAnswer", what, logFt);
    const int p = link_.pauseMs(h);
    std::string value;
    for (int attempt = 1; attempt <= kAttempts && value.empty(); ++attempt) {
        link_.FTReadAll(h);  // whatever an earlier exchange left behind
        link_.FTWriteChars(h, request);
        clock().sleepMs(p);
        value = extractAnswerValue(link_.FTReadAll(h), prefix);
        if (value.empty()) clock().sleepMs(p);
    }
    const int state = link_.errorState(h);
    if (!value.empty()) {
        if (state > 0) {
            WriteDbg("FT.DLL/getAnswer", what + ": SUCCESS after FAILURE");
            link_.setErrorState(h, 0);
        }
        WriteDbg("FT.DLL/getAnswer", "Answer=>" + value, logFt);
        return value;
    }
    // The mA readings come from a separate input the devices may lack; their silence says
    // nothing about the link.
    if (!startsWith(request, "C") && state == 0) {
        WriteDbg("FT.DLL/getAnswer", what + FTStatusText(FT_IO_ERROR));
        link_.setErrorState(h, FT_IO_ERROR);
    }
    WriteDbg("FT.DLL/getAnswer", "Error in Answer=>", logFt);
    return {};
}

void DeviceProtocol::setConfig(LinkHandle h, std::string_view prefix, std::string_view value,
                               bool readBack) {
    if (link_.errorState(h) != 0) return;
    const bool logFt = dbg().ft.load();
    WriteDbg("FT.DLL/setConfig",
             "Device=" + link_.fullName(h) + ": setPrefix: " + std::string(prefix) +
                 ", setValue: " + std::string(value) +
                 ", bReRead: " + (readBack ? "TRUE" : "FALSE"),
             logFt);
    const std::string cmd = configCommand(prefix, value);
    const std::string request = upper(prefix) + "#";
    const std::string answerPrefix = upper(prefix) + "=";
    const int want = textToInt(value);
    const int p = link_.pauseMs(h);
    std::string answer;
    for (int n = 1; n <= kAttempts; ++n) {
        WriteDbg("FT.DLL/setConfig", "Command: >" + cmd + "<, n=" + std::to_string(n), logFt);
        link_.FTWriteChars(h, cmd + "#");
        clock().sleepMs(p);
        if (!readBack) return;
        answer = getAnswer(h, request, answerPrefix);
        WriteDbg("FT.DLL/setConfig", "  ...calling getAnswer returns >" + answer + "<", logFt);
        const int got = textToInt(answer);
        if (!isNoValue(got) && got == want) return;
    }
    if (link_.errorState(h) == 0) {
        WriteDbg("FT.DLL/setConfig", "Error writing " + cmd + "#, value reread: >" + answer + "<",
                 logFt || dbg().usb.load());
        link_.setErrorState(h, FT_IO_ERROR);
    }
}

std::string DeviceProtocol::currentInput(LinkHandle h, int k) {
    const std::string c = "C" + std::to_string(k);
    return getAnswer(h, c + "#", c + "=");
}

std::string DeviceProtocol::deviceSetting(LinkHandle h, std::string_view letters) {
    const std::string l = upper(letters);
    return getAnswer(h, l + "#", l + "=");
}

void DeviceProtocol::sendMaster(LinkHandle h, bool master) {
    write(h, master ? "m1" : "m0");
    clock().sleepMs(1500);
}

void DeviceProtocol::setCurrentLimits(LinkHandle h, int k, int lower, int upper) {
    setCell(h, "l", k, lower, true);
    setCell(h, "u", k, upper, true);
    storeConfig(h);
}

void DeviceProtocol::setDeviceSetting(LinkHandle h, char letter, int value) {
    setConfig(h, std::string(1, letter), std::to_string(value), true);
}

void DeviceProtocol::setQueueField(LinkHandle h, int field, int value) {
    setConfig(h, "f" + std::to_string(field), std::to_string(value), true);
}

void DeviceProtocol::setCell(LinkHandle h, std::string_view letter, int k, int value,
                             bool readBack) {
    setConfig(h, std::string(letter) + std::to_string(k), std::to_string(value), readBack);
}

}  // namespace kv
