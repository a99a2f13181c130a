#include "acquisition/count_journal.h"

#include <fstream>

#include "app/alarm_notify.h"
#include "app/debuglog.h"
#include "app/inifile.h"
#include "app/messages.h"
#include "common/datetime.h"
#include "common/strutil.h"

namespace kv {

namespace {

constexpr const char* kCat = "Kelvora/CellCounts";

}  // namespace

CountJournal::CountJournal(TCells& cells, std::string folder)
    : cells_(cells), folder_(std::move(folder)) {}

std::string CountJournal::path() const {
    return folder_.empty() ? std::string("CellCounts.Txt") : folder_ + "/CellCounts.Txt";
}

CountJournal::Snapshot CountJournal::snapshot() const {
    Snapshot s;
    for (int i = 1; i <= kMaxCells; ++i) {
        const TCell c = cells_.cell(i);
        if (c.RowNr > 0) s[i] = Entry{c.RowNr, c.CellCount};
    }
    return s;
}

bool CountJournal::write(TDateTime now) {
    Snapshot s = snapshot();
    std::lock_guard lock(mutex_);
    if (writtenOnce_ && s == written_) return true;
    std::string content = "Time=" + dateTimeToText(now) + "\r\n";
    for (const auto& [i, e] : s)
        content += "C" + std::to_string(i) + "=" + std::to_string(e.rowNr) + ";" +
                   std::to_string(e.count) + "\r\n";
    const std::string error = writeFileAtomically(path(), content);
    if (!error.empty()) {
        WriteDbg(kCat, error);
        // Written every tick: told to the operator once, until it works again.
        if (!errorReported_) {
            AddMsg("CellCounts: " + error, true);
            NotifyAlarm(AlarmKind::WriteFailed, "CellCounts: " + error);
        }
        errorReported_ = true;
        return false;
    }
    errorReported_ = false;
    written_ = std::move(s);
    writtenOnce_ = true;
    return true;
}

int CountJournal::restore(const std::function<TDateTime(int rowNr)>& newestValueTime) {
    const std::string p = path();
    std::ifstream in(p, std::ios::binary);
    if (!in) return 0;
    std::string line, time;
    int restored = 0;
    while (std::getline(in, line)) {
        const std::string text = trimmed(line);
        const auto eq = text.find('=');
        if (eq == std::string::npos) continue;
        if (text.compare(0, eq, "Time") == 0) {
            time = text.substr(eq + 1);
            continue;
        }
        if (text[0] != 'C') continue;
        const int i = textToInt(std::string_view(text).substr(1, eq - 1));
        const auto fields = split(std::string_view(text).substr(eq + 1), ';');
        if (isNoValue(i) || !TCells::validCell(i) || fields.size() != 2) continue;
        const int rowNr = textToInt(fields[0]), count = textToInt(fields[1]);
        if (isNoValue(rowNr) || rowNr <= 0 || isNoValue(count) || count < 0) continue;
        // Without a readable time the journal cannot be weighed against the data files.
        const TDateTime written = textToDateTime(time);
        if (written <= 0 || (newestValueTime && newestValueTime(rowNr) >= written)) continue;
        int before = 0;
        bool raised = false;
        cells_.update(i, [&](TCell& c) {
            if (c.RowNr != rowNr || count <= c.CellCount) return;
            before = c.CellCount;
            c.LastCount = c.CellCount;
            c.CellCount = count;
            raised = true;
        });
        if (!raised) continue;
        ++restored;
        WriteDbg(kCat, "Cell " + std::to_string(i) + ": count " + std::to_string(before) + " -> " +
                           std::to_string(count) + " (counted until " + time + ")");
    }
    return restored;
}

}  // namespace kv
