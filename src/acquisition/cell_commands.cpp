// The device commands of a cell and the periodic repair of the devices' cell
// configuration.

#include <map>
#include <vector>

#include "acquisition/cells.h"
#include "app/debuglog.h"
#include "app/livefile.h"
#include "common/strutil.h"
#include "device/config_cmd_guard.h"

namespace kv {

namespace {

constexpr const char* kNoAnswer = "------";
constexpr const char* kNoAnswerZeros = "000000";

}  // namespace

std::optional<TCells::Target> TCells::presentDataDeviceFor(int i) const {
    const int d = dl_.dataDeviceByCell(i, true);
    if (d == 0) return std::nullopt;
    const TKLVDeviceListEntry e = dl_.device(d);
    return Target{d, e.FTHandle, i - e.physCellNr_From + 1, e.AppName};
}

void TCells::sendTactLocked(const Target& t, const RowInfo& row) {
    DeviceProtocol& proto = dl_.protocol();
    proto.setCellTact(t.handle, t.k, row.tactSeconds / kDeviceTactSeconds);
    if (sendsAttritionDivider(t.appName)) proto.setCellDivider(t.handle, t.k, row.attritionDivider);
}

void TCells::SendCellTact(int i) {
    if (!validCell(i)) return;
    const auto row = rowOf(cell(i).RowNr);
    if (!row) return;
    const auto t = presentDataDeviceFor(i);
    if (!t) return;
    ConfigCmdGuard guard(flags_.configCmdInProgress);
    std::lock_guard io(io_.of(t->device));
    sendTactLocked(*t, *row);
}

void TCells::ActivateCell(int i) {
    if (!validCell(i)) return;
    const auto row = rowOf(cell(i).RowNr);
    const auto t = presentDataDeviceFor(i);
    if (!t) return;
    ConfigCmdGuard guard(flags_.configCmdInProgress);
    std::lock_guard io(io_.of(t->device));
    if (row) sendTactLocked(*t, *row);
    dl_.protocol().setCellActive(t->handle, t->k, true);
    dl_.protocol().setCellB(t->handle, t->k, 0);
}

void TCells::DeactivateCell(int i) {
    if (!validCell(i)) return;
    const auto t = presentDataDeviceFor(i);
    if (!t) return;
    ConfigCmdGuard guard(flags_.configCmdInProgress);
    std::lock_guard io(io_.of(t->device));
    DeviceProtocol& proto = dl_.protocol();
    proto.setCellActive(t->handle, t->k, false);
    proto.setCellTact(t->handle, t->k, 0);
    proto.setCellC(t->handle, t->k, 0);
}

void TCells::StoreConfig(int i) {
    if (!validCell(i)) return;
    const auto t = presentDataDeviceFor(i);
    if (!t) return;
    ConfigCmdGuard guard(flags_.configCmdInProgress);
    std::lock_guard io(io_.of(t->device));
    dl_.protocol().storeConfig(t->handle);
}

namespace {

// The six active flags from the A# answer; "------" without a (numeric) answer.
std::string askActive(DeviceProtocol& proto, LinkHandle h) {
    std::string a = proto.activeCellsMask(h);
    if (a.empty()) a = proto.activeCellsMask(h);
    const int mask = textToInt(a);
    return isNoValue(mask) ? kNoAnswer : activeCellsText(mask);
}

// The per-cell tact list: T# for recent firmware, otherwise the ";T;" part of a value
// record. "------" without an answer.
std::string askTacts(DeviceProtocol& proto, LinkHandle h, const std::string& appName,
                     const Config& cfg) {
    if (readsTactListWithT(appName)) {
        std::string t = proto.tactListOrCO2(h);
        if (t.empty()) t = proto.tactListOrCO2(h);
        return t.empty() ? kNoAnswer : t;
    }
    FTLink& link = proto.link();
    proto.sendValueRequest(h, cfg.dev_VCmd);
    clock().sleepMs(2 * cfg.DelayBetweenFT_Write_Read);
    std::string r = link.FTReadAll(h);
    if (r.empty()) {
        clock().sleepMs(2 * cfg.DelayBetweenFT_Write_Read);
        r = link.FTReadAll(h);
    }
    const auto p = r.find(";T;");
    if (p == std::string::npos) return kNoAnswer;
    const auto e = r.find(";nCC;", p + 3);
    if (e == std::string::npos) return kNoAnswer;
    const std::string t = r.substr(p + 3, e - p - 3);
    return t.empty() ? kNoAnswer : t;
}

}  // namespace

void TCells::set_ActiveAndTact(int d) {
    const TKLVDeviceListEntry e = dl_.device(d);
    // A device that was never found has no handle to ask or configure.
    if (e.Type != DeviceType::Data || !e.bPresent) return;
    std::string sActive, sTact;
    {
        std::lock_guard io(io_.of(d));
        sActive = askActive(dl_.protocol(), e.FTHandle);
        sTact = askTacts(dl_.protocol(), e.FTHandle, e.AppName, cfg_);
    }
    const std::string header =
        dl_.fullName(d, false) + ": sActive=[" + sActive + "]; sTact=[" + sTact + "]";
    if (sActive == kNoAnswer) sActive = kNoAnswerZeros;
    if (sTact == kNoAnswer) sTact = kNoAnswerZeros;
    const auto tacts = split(sTact, ';');

    bool anyCause = false;
    int lastCell = 0;
    const int positions = std::min(kCellsPerDevice, e.physCellNr_To - e.physCellNr_From + 1);
    for (int k = 1; k <= positions; ++k) {
        const int i = e.physCellNr_From + k - 1;
        if (!validCell(i)) continue;
        lastCell = i;
        const int j = logicalNr(i);
        const bool active = k <= static_cast<int>(sActive.size()) && sActive[k - 1] == '1';
        int tact = 0;
        if (sTact != kNoAnswerZeros && k <= static_cast<int>(tacts.size())) {
            tact = textToInt(tacts[static_cast<size_t>(k - 1)]);
            if (isNoValue(tact)) tact = 0;
        }
        const TCell c = cell(i);
        const bool wanted = isActiveInDevice(c.State);
        std::string causes;
        if (wanted && !active) causes += " State = cs_Running: not active in Device;";
        if (!wanted && active) causes += " State <> cs_Running: active in Device;";
        if (wanted && tact < 1) causes += " State = cs_Running: with Tact<=0;";
        if (!wanted && tact > 0) causes += " State <> cs_Running: with Tact>0;";
        const auto row = rowOf(c.RowNr);
        if (row && row->state == RowState::Running && tact != row->tactSeconds / kDeviceTactSeconds)
            causes += " running Row: diff. Tact - " + num(tact) + ";";
        if (causes.empty()) continue;
        anyCause = true;
        if (wanted) {
            SendCellTact(i);
            ActivateCell(i);
            WriteDbg("set_ActiveAndTact", header);
            WriteDbg("set_ActiveAndTact", "Setting Cell-" + num(j) + " to Active; Cause=" + causes);
        } else {
            DeactivateCell(i);
            WriteDbg("set_ActiveAndTact",
                     "Setting Cell-" + num(j) + " to Inactive; Cause=" + causes);
        }
    }
    if (lastCell == 0) return;
    if (anyCause)
        WriteDbg("set_ActiveAndTact",
                 "calling USB_StoreConfig(cell=" + num(lastCell) +
                     "); Device=" + dl_.fullName(dl_.dataDeviceByCell(lastCell, false), false));
    StoreConfig(lastCell);
}

void TCells::AlignCell(int n) {
    if (!validCell(n)) return;
    if (isActiveInDevice(GetCellState(n))) {
        SendCellTact(n);
        ActivateCell(n);
    } else {
        DeactivateCell(n);
    }
    if (n % kCellsPerDevice == 0) StoreConfig(n);
}

void TCells::AlignCells(int count, bool parallel, std::atomic<int>* done) {
    // Each data device's cells in order, so that the store command after its sixth cell
    // follows that cell's commands; cells of no configured device on their own.
    std::vector<std::vector<int>> groups;
    std::map<int, size_t> groupOf;
    for (int n = 1; n <= count; ++n) {
        const int d = dl_.dataDeviceByCell(n, false);
        auto it = groupOf.find(d);
        if (d == 0 || it == groupOf.end()) {
            groups.emplace_back();
            it = groupOf.emplace(d == 0 ? -n : d, groups.size() - 1).first;
        }
        groups[it->second].push_back(n);
    }
    forEachJob(workers_, parallel, static_cast<int>(groups.size()), [&](int g) {
        for (const int n : groups[static_cast<size_t>(g)]) {
            TouchLiveFile();
            AlignCell(n);
            if (done) ++*done;
        }
    });
}

void TCells::USB_setCells_ActiveAndTact() {
    const bool log = dbg().mmTimerInt.load();
    WriteDbg("USB_setCells_ActiveAndTact", "Start", log);
    std::vector<int> data;
    const int n = dl_.nDevices();
    for (int d = 1; d <= n; ++d)
        if (dl_.device(d).Type == DeviceType::Data) data.push_back(d);
    // Each device's comparison and repair touch that device and its cells only.
    forEachJob(workers_, cfg_.parallelDevices(), static_cast<int>(data.size()),
               [&](int j) { set_ActiveAndTact(data[static_cast<size_t>(j)]); });
    WriteDbg("USB_setCells_ActiveAndTact", "Stop", log);
}

}  // namespace kv
