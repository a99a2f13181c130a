#include "device/ftlink.h"

#include "app/debuglog.h"
#include "app/inifile.h"
#include "common/clock.h"
#include "common/numtext.h"
#include "common/strutil.h"

namespace kv {

std::string FTStatusText(int status) {
    switch (status) {
        case 0:
            return "OK";
        case 1:
            return " - Invalid handle...";
        case 2:
            return " - Device not found...";
        case 3:
            return " - Device not opened...";
        case 4:
            return " - General IO error...";
        case 5:
            return " - Insufficient resources...";
        case 6:
            return " - Invalid parameter...";
        case 7:
            return " - Invalid baud rate...";
        case 8:
            return " Device not opened for erase...";
        case 9:
            return " Device not opened for write...";
        case 10:
            return " - Failed to write...";
        case 11:
            return " - EEPROM read failed...";
        case 12:
            return " - EEPROM write failed...";
        case 13:
            return " - EEPROM erase failed...";
        case 14:
            return " - EEPROM not present...";
        case 15:
            return " - EEPROM not programmed...";
        case 16:
            return " - Invalid arguments...";
        case 17:
            return " - Other error ...";
        case 18:
            return " - Communication hangs (USB reset?) ...";
        default:
            return "";
    }
}

namespace {
const char* kCat = "FT.DLL";
bool logFt() {
    return dbg().ft.load();
}
}  // namespace

FTLink::FTLink(std::unique_ptr<FTBackend> backend) : backend_(std::move(backend)) {}

int FTLink::pauseMs(LinkHandle h) const {
    return lookup_ ? lookup_->linkPauseMs(h) : kDefaultPauseMs;
}
int FTLink::errorState(LinkHandle h) const {
    return lookup_ ? lookup_->linkErrorState(h) : -1;
}
void FTLink::setErrorState(LinkHandle h, int state) {
    if (lookup_) lookup_->setLinkErrorState(h, state);
}
std::string FTLink::fullName(LinkHandle h) const {
    return lookup_ ? lookup_->linkFullName(h) : std::string("(unknown?)");
}

int FTLink::get_FTDeviceCount() {
    int n = 0;
    const int st = backend_->deviceCount(n);
    if (st != FT_OK) {
        WriteDbg(kCat, "FT_GetNumDevices" + FTStatusText(st), logFt());
        return -1;
    }
    return n;
}

std::string FTLink::get_FTSerialNr(int i) {
    std::string s;
    const int st = backend_->serialNr(i - 1, s);
    if (st != FT_OK) {
        WriteDbg(kCat, "FT_ListDevices(" + num(i) + ")/SerialNumber" + FTStatusText(st), logFt());
        return "n/a";
    }
    if (s.size() > 16) s.resize(16);
    return s;
}

std::string FTLink::get_FTDescription(int i) {
    std::string s;
    const int st = backend_->description(i - 1, s);
    if (st != FT_OK) {
        WriteDbg(kCat, "FT_ListDevices(" + num(i) + ")/Description" + FTStatusText(st), logFt());
        return "n/a";
    }
    if (s.size() > 64) s.resize(64);
    return s;
}

long FTLink::get_FTLocID(int i) {
    long id = -1;
    const int st = backend_->locId(i - 1, id);
    if (st != FT_OK) {
        WriteDbg(kCat, "FT_ListDevices(" + num(i) + ")/LocID" + FTStatusText(st), logFt());
        return -1;
    }
    return id;
}

LinkHandle FTLink::FTOpenByIndex(int i) {
    LinkHandle h = kInvalidHandle;
    const int st = backend_->open(i - 1, h);
    if (st != FT_OK) {
        WriteDbg(kCat, "FT_Open(" + num(i) + ")" + FTStatusText(st), logFt());
        return kInvalidHandle;
    }
    return h;
}

bool FTLink::FTClose(LinkHandle h) {
    const int st = backend_->close(h);
    if (st != FT_OK) {
        WriteDbg(kCat, "FT_Close(" + num(h) + ")" + FTStatusText(st), logFt());
        return true;
    }
    return false;
}

void FTLink::FTSetLine(LinkHandle h, int baud) {
    backend_->setBaudRate(h, baud);
    backend_->setFlowControlNone(h);
    backend_->setData8N1(h);
}

int FTLink::FTWriteChars(LinkHandle h, std::string_view text) {
    // The devices' command parser needs time per character; the pause paces it.
    const int p = pauseMs(h);
    int result = static_cast<int>(text.size());
    for (char c : text) {
        size_t written = 0;
        int st = backend_->write(h, std::string_view(&c, 1), written);
        if (st == FT_OK && written != 1) st = FT_FAILED_TO_WRITE_DEVICE;
        if (st != FT_OK) {
            result = -1;
            // Logged and recorded once: a device already in error stays quiet.
            if (errorState(h) == 0) {
                WriteDbg("FT.DLL/FT_Write", FTStatusText(st) + ": " + fullName(h));
                setErrorState(h, st);
            }
        }
        clock().sleepMs(p);
    }
    return result;
}

std::string FTLink::FTReadAll(LinkHandle h, size_t maxBytes) {
    // A buffer per call: two threads reading two devices never share one.
    size_t queued = 0;
    backend_->queueStatus(h, queued);
    size_t want = maxBytes > 0 ? std::min(maxBytes, queued) : queued;
    if (want > kMaxRead) want = kMaxRead;
    std::string data;
    if (backend_->read(h, want, data) != FT_OK) return {};
    if (data.size() > want) data.resize(want);
    const bool arrived = !data.empty();
    const auto zero = data.find('\0');
    if (zero != std::string::npos) data.resize(zero);
    const int state = errorState(h);
    if (arrived && state > 0) {
        WriteDbg("FT.DLL/FT_Read", fullName(h) + ": SUCCESS after FAILURE");
        setErrorState(h, 0);
    }
    return data;
}

std::unique_ptr<FTBackend> makeBackendFromConfig(
    const IniFile& ini, std::vector<std::shared_ptr<sim::SimPort>> simPorts) {
    const std::string kind = toLowerAscii(trim(ini.readString("FT232R", "Backend", "tty")));
    if (kind == "sim") return makeSimBackend(std::move(simPorts));
    if (kind == "libftdi") {
        if (auto b = makeLibftdiBackend()) return b;
        WriteDbg("FT.DLL", "Backend=libftdi not available in this build, using tty");
    } else if (kind != "tty" && !kind.empty()) {
        WriteDbg("FT.DLL", "unknown Backend=" + kind + ", using tty");
    }
    TtyBackendOptions o;
    o.byIdDir = ini.readString("FT232R", "ByIdDir", o.byIdDir);
    if (o.byIdDir.empty()) o.byIdDir = TtyBackendOptions{}.byIdDir;
    return makeTtyBackend(std::move(o));
}

}  // namespace kv
