#include "acquisition/alarms.h"

#include "app/alarm_notify.h"
#include "app/debuglog.h"
#include "app/messages.h"
#include "app/texts.h"
#include "common/datetime.h"

namespace kv {

namespace {
constexpr int kMaxImpulsesPerHour = 1200;
}

bool Alarms::hourlyAlarmDue(const TCell& c, int i, int limit, int hours) const {
    if (hours < 1 || hours > kHourlySlots) return false;
    const int maxImp = hours * kMaxImpulsesPerHour;
    const int then = c.HourlyCount[static_cast<size_t>(hours)];
    const long long actImp = then < 1 ? 0 : static_cast<long long>(c.CellCount) - then;
    // Multiplied before dividing, so that a rate exactly at the limit compares equal.
    const double p = static_cast<double>(actImp) * 100.0 / maxImp;
    if (status_.usbDebugPageShown())
        WriteDbg("CheckHourlyValues." + std::to_string(i),
                 "maxImp/actImp/p=" + std::to_string(maxImp) + "/" + std::to_string(actImp) + "/" +
                     realToText(p, 0, -5));
    return p >= limit;
}

void Alarms::CheckHourlyValues(int i, int limit, int hours) {
    if (!TCells::validCell(i)) return;
    const TCell c = cells_.cell(i);
    if (hourlyAlarmDue(c, i, limit, hours)) raiseAlarm(i, c.RowNr);
}

void Alarms::raiseAlarm(int i, int rowNr) {
    const std::string msg = GetTextFmt("uRows", "AlarmSuspendCell",
                                       "Row %s: Cell %s suspended due to alarm condition !",
                                       cells_.rowName(rowNr), std::to_string(i));
    AddMsg(msg, true);
    NotifyAlarm(AlarmKind::Leakage, msg);
    std::string tankStatus;
    {
        std::lock_guard lock(mutex_);
        alarm_ = true;
        alarmList_ += "\r\n" + dateTimeToText(clock().now()) + " " + msg;
        tankStatus = tankLowStatus_;
    }
    if (RowLookup* rows = cells_.rowLookup()) rows->suspendCellForAlarm(rowNr, i);
    std::string info = caption();
    if (!tankStatus.empty()) info += " / " + tankStatus;
    status_.setPanel(StatusPanel::Info2, info, StatusColor::Red);
}

void Alarms::CheckO2Tanks() {
    const Config& cfg = cells_.config();
    if (cfg.DefPrzO2Imp <= 0) return;
    bool low = false;
    std::string list;
    const int n = std::clamp(cfg.Cells, 0, kMaxCells);
    for (int i = 1; i <= n; ++i) {
        const TCell c = cells_.cell(i);
        // A tank without a content (0 or unreadable in the tank file) has no percentage.
        if (c.O2TankMax <= 0) continue;
        if (static_cast<long long>(c.O2TankUsed) * 100 >=
            static_cast<long long>(cfg.DefPrzO2Imp) * c.O2TankMax) {
            low = true;
            list += std::to_string(i) + "; ";
        }
    }
    if (!low) {
        {
            std::lock_guard lock(mutex_);
            tankLow_ = false;
            tankLowStatus_.clear();
            tankLowCells_.clear();
        }
        status_.setPanel(StatusPanel::Info2, "", StatusColor::Black);
        return;
    }
    const std::string status = GetText("frmMain", "sbDevStatus_O2Tank", "O2 Tank low");
    const std::string cells =
        GetText("frmMain", "sbDevStatus_O2Tank_Details", "O2-Tank low for cell(s): ") + list;
    bool first = false, alarm = false;
    {
        std::lock_guard lock(mutex_);
        tankLow_ = true;
        tankLowStatus_ = status;
        tankLowCells_ = cells;
        first = !tankLowReported_;
        tankLowReported_ = true;
        alarm = alarm_;
    }
    std::string info = cells;
    if (alarm) info += " / " + caption();
    status_.setPanel(StatusPanel::Info2, info, StatusColor::Red);
    if (first) {
        AddMsg(cells, true);
        NotifyAlarm(AlarmKind::TankLow, cells);
    }
}

std::string Alarms::caption() const {
    return GetText("frmAlarm", "Info", "Cell Alarm Control");
}

bool Alarms::alarmFlag() const {
    std::lock_guard lock(mutex_);
    return alarm_;
}

std::string Alarms::alarmList() const {
    std::lock_guard lock(mutex_);
    return alarmList_;
}

std::string Alarms::memoText() const {
    std::lock_guard lock(mutex_);
    return tankLowCells_ + alarmList_;
}

void Alarms::clearIndicator() {
    {
        std::lock_guard lock(mutex_);
        alarm_ = false;
    }
    status_.setPanel(StatusPanel::Info2, "", StatusColor::Black);
}

void Alarms::clearList() {
    {
        std::lock_guard lock(mutex_);
        alarm_ = false;
        alarmList_.clear();
    }
    status_.setPanel(StatusPanel::Info2, "", StatusColor::Black);
}

bool Alarms::tankLow() const {
    std::lock_guard lock(mutex_);
    return tankLow_;
}

std::string Alarms::tankLowStatus() const {
    std::lock_guard lock(mutex_);
    return tankLowStatus_;
}

std::string Alarms::tankLowCells() const {
    std::lock_guard lock(mutex_);
    return tankLowCells_;
}

}  // namespace kv
