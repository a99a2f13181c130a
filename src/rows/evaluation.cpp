#include "rows/evaluation.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "rows/rows.h"

namespace kv {

namespace {

// Time values a second apart count as the same moment.
constexpr double kDayTol = 1.0 / 86400.0;
constexpr double kHourTol = 1.0 / 3600.0;
constexpr double kTestDays = 28;
constexpr double kReferenceDays = 14;
constexpr double kWindowDays = 10;
constexpr double kPass = 60;
constexpr double kWindowOpen = 10;
constexpr double kReferencePass = 60;
constexpr double kBlankLimit = 60;     // mg/l
constexpr double kSpreadLimit = 20;    // percentage points
constexpr double kToxicityLimit = 25;  // % ThOD
// The mean changing less than this over the last three days reads as a plateau.
constexpr double kPlateauPoints = 5;
constexpr double kPlateauDays = 3;

bool valid(double v) {
    return !isNoValue(v) && std::isfinite(v);
}
bool positive(double v) {
    return valid(v) && v > 0.0001;
}

struct Mean {
    double sum = 0;
    int n = 0;
    void add(double v) {
        if (!valid(v)) return;
        sum += v;
        ++n;
    }
    double value() const { return n > 0 ? sum / n : NoValueReal; }
};

double at(const std::vector<double>& v, size_t i) {
    return i < v.size() ? v[i] : NoValueReal;
}

std::string joinNrs(const std::vector<int>& nrs) {
    std::string s;
    for (int n : nrs) s += (s.empty() ? "" : ", ") + std::to_string(n);
    return s;
}

std::string fixed(double v, int decimals) {
    return valid(v) ? realToText(v, 0, decimals) : std::string("-");
}

// The last time value at or before `day` with a value; -1 when none.
int lastAtOrBefore(const std::vector<double>& days, const std::vector<double>& v, double day) {
    int found = -1;
    for (size_t i = 0; i < days.size() && days[i] <= day + kDayTol; ++i)
        if (valid(at(v, i))) found = static_cast<int>(i);
    return found;
}

// The last time value with a value; -1 when none.
int lastValid(const std::vector<double>& v) {
    for (size_t i = v.size(); i-- > 0;)
        if (valid(v[i])) return static_cast<int>(i);
    return -1;
}

// The highest value up to `day`, with its day.
void highestBy(const std::vector<double>& days, const std::vector<double>& v, double day,
               double& value, double& when) {
    value = when = NoValueReal;
    for (size_t i = 0; i < days.size() && days[i] <= day + kDayTol; ++i) {
        const double x = at(v, i);
        if (valid(x) && (!valid(value) || x > value)) {
            value = x;
            when = days[i];
        }
    }
}

double firstReaching(const std::vector<double>& days, const std::vector<double>& v, double limit) {
    for (size_t i = 0; i < days.size(); ++i)
        if (valid(at(v, i)) && v[i] >= limit - 1e-9) return days[i];
    return NoValueReal;
}

// The degradation of one cell in % ThOD: its BOD less the blank, per mg of substance.
std::vector<double> degradationOf(const EvalCell& c, const std::vector<double>& blank) {
    std::vector<double> d(blank.size(), NoValueReal);
    if (!positive(c.ptc) || !positive(c.bth1)) return d;
    for (size_t i = 0; i < d.size(); ++i) {
        const double b = at(c.bod, i);
        if (valid(b) && valid(blank[i])) d[i] = (b - blank[i]) / c.ptc / c.bth1 * 100.0;
    }
    return d;
}

DegradationGroup makeGroup(std::string label, int mode, double index,
                           const std::vector<const EvalCell*>& cells,
                           const std::vector<double>& days, const std::vector<double>& blank) {
    DegradationGroup g;
    g.label = std::move(label);
    g.mode = mode;
    g.index = index;
    for (const EvalCell* c : cells) {
        g.cells.push_back(c->displayNr);
        g.hasThod |= positive(c->ptc) && positive(c->bth1);
        g.replicates.push_back(degradationOf(*c, blank));
    }
    g.mean.assign(days.size(), NoValueReal);
    for (size_t i = 0; i < days.size(); ++i) {
        Mean m;
        for (const auto& r : g.replicates) m.add(r[i]);
        g.mean[i] = m.value();
    }
    g.day10 = firstReaching(days, g.mean, kWindowOpen);
    g.day60 = firstReaching(days, g.mean, kPass);
    if (valid(g.day10)) g.windowEnd = g.day10 + kWindowDays;
    highestBy(days, g.mean, 1e9, g.maxValue, g.maxDay);
    const int last = lastValid(g.mean);
    if (last >= 0) {
        g.lastValue = g.mean[static_cast<size_t>(last)];
        g.lastDay = days[static_cast<size_t>(last)];
    }
    return g;
}

double valueAtDay(const std::vector<double>& days, const std::vector<double>& v, double day) {
    const int i = lastAtOrBefore(days, v, day);
    return i < 0 ? NoValueReal : v[static_cast<size_t>(i)];
}

void decideVerdict(DegradationGroup& g, const EvalInput& in) {
    const std::vector<double>& days = in.days;
    if (!valid(g.lastDay)) {
        g.verdict = Verdict::Open;
        g.verdictText = "no verdict yet";
        g.reason = g.hasThod ? "no degradation values yet" : "no P(TC) and B(Th1) of the cells";
        return;
    }
    const bool window = in.windowCriterion && valid(g.day10);
    const double deadline = window ? std::min(g.windowEnd, kTestDays) : kTestDays;
    const std::string windowText = window ? "the 10-day window from day " + dayText(g.day10) +
                                                " to day " + dayText(g.windowEnd)
                                          : std::string();
    if (valid(g.day60) && g.day60 <= deadline + kDayTol) {
        g.verdict = Verdict::Readily;
        g.verdictText = "readily biodegradable";
        g.reason =
            "60 % reached on day " + dayText(g.day60) + " (" +
            percentText(valueAtDay(days, g.mean, g.day60)) + ")" +
            (window ? ", within " + windowText
                    : std::string(in.windowCriterion ? "" : ", by day 28 (window not applied)"));
        return;
    }
    const bool passed = g.lastDay >= deadline - kDayTol;
    if (!passed && !in.finished) {
        g.verdict = Verdict::Open;
        g.verdictText = "no verdict yet";
        g.reason = "day " + dayText(g.lastDay) + ": " + percentText(g.lastValue) +
                   (window ? "; " + windowText
                           : std::string(in.windowCriterion ? "; 10 % not reached yet" : ""));
        return;
    }
    g.verdict = Verdict::NotReadily;
    g.verdictText = "not readily biodegradable";
    if (window && valid(g.day60) && g.day60 <= kTestDays + kDayTol) {
        g.reason = "60 % reached only after the window: the window failed (" + windowText + ", " +
                   percentText(valueAtDay(days, g.mean, g.windowEnd)) +
                   " at its end); 60 % reached by day 28 (day " + dayText(g.day60) + ", " +
                   percentText(valueAtDay(days, g.mean, g.day60)) + ")";
        return;
    }
    const bool endedEarly = g.lastDay < kTestDays - kDayTol;
    double best = NoValueReal, bestDay = NoValueReal;
    highestBy(days, g.mean, kTestDays, best, bestDay);
    g.reason = "60 % not reached by " +
               (endedEarly ? "the end of the test (day " + dayText(g.lastDay) + ")"
                           : std::string("day 28")) +
               "; highest " + percentText(best) + " on day " + dayText(bestDay);
    if (window) g.reason += "; " + windowText;
}

EvalCheck referenceCheck(const F301Evaluation& e, const EvalInput& in, double lastDay) {
    EvalCheck c;
    c.name = "reference substance >= 60 % ThOD by day 14";
    c.unit = "%";
    if (e.reference.empty()) {
        c.text = "no reference cells";
        return c;
    }
    const DegradationGroup& g = e.reference.front();
    if (!g.hasThod) {
        c.text = "no P(TC) and B(Th1) of the reference cells";
        return c;
    }
    highestBy(e.days, g.mean, kReferenceDays, c.figure, c.day);
    if (valid(c.figure) && c.figure >= kReferencePass - 1e-9) {
        c.status = CheckStatus::Met;
        const double d60 = firstReaching(e.days, g.mean, kReferencePass);
        c.text = "60 % reached on day " + dayText(d60) + "; " + percentText(c.figure) + " on day " +
                 dayText(c.day);
        return c;
    }
    c.status = (!in.finished && lastDay < kReferenceDays - kDayTol) ? CheckStatus::Open
                                                                    : CheckStatus::NotMet;
    c.text = (valid(c.figure) ? "highest " + percentText(c.figure) + " on day " + dayText(c.day)
                              : std::string("no value by day 14"));
    return c;
}

EvalCheck blankCheck(const F301Evaluation& e, const EvalInput& in, bool haveBlanks,
                     double lastDay) {
    EvalCheck c;
    c.name = "blank O2 uptake <= 60 mg/l at day 28";
    c.unit = "mg/l";
    if (!haveBlanks) {
        c.text = "no blind cells";
        return c;
    }
    const int i = lastAtOrBefore(e.days, e.blankMean, kTestDays);
    if (i < 0) {
        c.status = in.finished ? CheckStatus::NotMet : CheckStatus::Open;
        c.text = "no value of the blind cells";
        return c;
    }
    c.figure = e.blankMean[static_cast<size_t>(i)];
    c.day = e.days[static_cast<size_t>(i)];
    const bool atDay28 = c.day >= kTestDays - kDayTol;
    c.text = fixed(c.figure, 1) + " mg/l " +
             (atDay28 ? std::string("at day 28")
                      : (in.finished ? "at the end, day " : "so far, day ") + dayText(c.day));
    if (c.figure > kBlankLimit)
        c.status = CheckStatus::NotMet;
    else if (!in.finished && lastDay < kTestDays - kDayTol)
        c.status = CheckStatus::Open;
    else
        c.status = CheckStatus::Met;
    return c;
}

EvalCheck spreadCheck(const DegradationGroup& g, const F301Evaluation& e, const EvalInput& in,
                      double lastDay) {
    EvalCheck c;
    c.name = g.label + ": extreme replicates differ < 20 % points";
    c.unit = "% points";
    if (g.replicates.size() < 2) {
        c.text = "one replicate";
        return c;
    }
    // Where the spread is read: the end of the window when the window decides and has
    // closed, else the end of the test (called the plateau when the mean has levelled).
    int idx = -1;
    std::string where;
    if (in.windowCriterion && valid(g.windowEnd) && g.windowEnd <= kTestDays + kDayTol &&
        lastDay >= g.windowEnd - kDayTol) {
        idx = lastAtOrBefore(e.days, g.mean, g.windowEnd);
        where = "at the end of the window";
    } else if (in.finished || lastDay >= kTestDays - kDayTol) {
        idx = lastAtOrBefore(e.days, g.mean, kTestDays);
        where = "at the end of the test";
        if (idx >= 0) {
            const double now = g.mean[static_cast<size_t>(idx)];
            const double before =
                valueAtDay(e.days, g.mean, e.days[static_cast<size_t>(idx)] - kPlateauDays);
            if (valid(before) && std::fabs(now - before) < kPlateauPoints) where = "at the plateau";
        }
    } else {
        c.status = CheckStatus::Open;
        c.text = "read at the end of the window or of the test";
        return c;
    }
    if (idx < 0) {
        c.status = CheckStatus::NotMet;
        c.text = "no values";
        return c;
    }
    double lo = 0, hi = 0;
    int n = 0;
    for (const auto& r : g.replicates) {
        const double v = r[static_cast<size_t>(idx)];
        if (!valid(v)) continue;
        lo = n ? std::min(lo, v) : v;
        hi = n ? std::max(hi, v) : v;
        ++n;
    }
    c.day = e.days[static_cast<size_t>(idx)];
    if (n < 2) {
        c.status = CheckStatus::NotApplicable;
        c.text = "fewer than two replicates with a value";
        return c;
    }
    c.figure = hi - lo;
    c.status = c.figure < kSpreadLimit ? CheckStatus::Met : CheckStatus::NotMet;
    c.text = fixed(c.figure, 1) + " % points " + where + " (day " + dayText(c.day) + ", " +
             fixed(lo, 1) + " to " + fixed(hi, 1) + " %)";
    return c;
}

EvalCheck toxicityCheck(const F301Evaluation& e, const EvalInput& in, double lastDay) {
    EvalCheck c;
    c.name = "toxicity control >= 25 % ThOD by day 14";
    c.unit = "%";
    if (e.toxicity.empty()) {
        c.text = "no toxicity control";
        return c;
    }
    const DegradationGroup& g = e.toxicity.front();
    if (!g.hasThod) {
        c.text = "no P(TC) and B(Th1) of the toxicity control";
        return c;
    }
    highestBy(e.days, g.mean, kReferenceDays, c.figure, c.day);
    if (valid(c.figure) && c.figure >= kToxicityLimit - 1e-9) {
        c.status = CheckStatus::Met;
        c.text = percentText(c.figure) + " on day " + dayText(c.day) +
                 ": the test substance is not inhibitory";
        return c;
    }
    if (!in.finished && lastDay < kReferenceDays - kDayTol) {
        c.status = CheckStatus::Open;
        c.text = "highest " + percentText(c.figure) + " so far";
        return c;
    }
    c.status = CheckStatus::NotMet;
    c.text = (valid(c.figure) ? "highest " + percentText(c.figure) + " on day " + dayText(c.day)
                              : std::string("no value by day 14")) +
             ": the test substance is inhibitory";
    return c;
}

// --- AT4 ----------------------------------------------------------------------------------

// A cumulative curve read between its points; flat before the first and after the last.
class Curve {
  public:
    void add(double t, double v) {
        if (valid(v) && (t_.empty() || t > t_.back())) {
            t_.push_back(t);
            v_.push_back(v);
        }
    }
    bool empty() const { return t_.empty(); }
    double end() const { return t_.back(); }
    double operator()(double t) const {
        if (t <= t_.front()) return v_.front();
        if (t >= t_.back()) return v_.back();
        const auto it = std::upper_bound(t_.begin(), t_.end(), t);
        const size_t b = static_cast<size_t>(it - t_.begin());
        const size_t a = b - 1;
        return v_[a] + (v_[b] - v_[a]) * (t - t_[a]) / (t_[b] - t_[a]);
    }

  private:
    std::vector<double> t_, v_;
};

void evaluateSample(AT4Sample& s, const std::vector<double>& hours, const LagRule& rule) {
    Curve c;
    // The count begins at the start of the test: no O2 consumed at hour 0.
    if (!hours.empty() && hours.front() > kHourTol) c.add(0.0, 0.0);
    for (size_t i = 0; i < hours.size(); ++i) c.add(hours[i], at(s.curve, i));
    if (c.empty() || lastValid(s.curve) < 0) {
        s.error = "no O2 values per dry matter (amount and dry matter of the cell)";
        return;
    }
    const double end = c.end();
    // A fine grid, so that the lag phase is found to a quarter of an hour whatever the
    // storage interval.
    const double step = 0.25;
    const int n = static_cast<int>(std::floor(end / step + 1e-9)) + 1;
    std::vector<double> linear(static_cast<size_t>(n), NoValueReal);
    for (int j = n - 1; j >= 0; --j) {
        const double t = j * step;
        double r = NoValueReal;
        if (t + rule.linearHours <= end + kHourTol)
            r = (c(t + rule.linearHours) - c(t)) / rule.linearHours;
        const double later = j + 1 < n ? linear[static_cast<size_t>(j + 1)] : NoValueReal;
        linear[static_cast<size_t>(j)] = valid(later) && (!valid(r) || later > r) ? later : r;
    }
    for (int j = 1; j < n; ++j) {
        const double t = j * step;
        const double lin = linear[static_cast<size_t>(j)];
        if (!valid(lin) || lin <= 0) break;
        const double from = std::max(0.0, t - rule.rateHours);
        const double rate = (c(t) - c(from)) / (t - from);
        if (rate >= rule.ratePercent / 100.0 * lin) {
            s.lagFound = true;
            s.lagHours = t;
            s.linearRate = lin;
            break;
        }
    }
    if (!s.lagFound) {
        s.error = "the lag phase has not ended in the " + dayText(end) + " h recorded";
        return;
    }
    const double to = std::min(end, s.lagHours + rule.at4Hours);
    s.hoursAfterLag = end - s.lagHours;
    s.complete = end >= s.lagHours + rule.at4Hours - kHourTol;
    s.at4 = c(to) - c(s.lagHours);
}

std::string ruleText(const LagRule& r) {
    return "The lag phase ends when the mean O2 consumption rate over the preceding " +
           dayText(r.rateHours) + " h first reaches " + dayText(r.ratePercent) +
           " % of the rate of the linear part that follows (the mean rate of the steepest " +
           dayText(r.linearHours) + " h after it); AT4 is the O2 consumed in the " +
           dayText(r.at4Hours) + " h after the lag phase, in mg O2/g dry matter.";
}

}  // namespace

std::string dayText(double day) {
    if (!valid(day)) return "-";
    const double r = std::round(day * 10.0) / 10.0;
    return realToText(r, 0, -1);
}

std::string percentText(double v) {
    return valid(v) ? realToText(v, 0, 1) + " %" : std::string("-");
}

std::string checkStatusText(CheckStatus s) {
    switch (s) {
        case CheckStatus::Met:
            return "met";
        case CheckStatus::NotMet:
            return "not met";
        case CheckStatus::NotApplicable:
            return "not applicable";
        case CheckStatus::Open:
            return "open";
    }
    return {};
}

EvalInput evaluationInput(const TRow& row) {
    EvalInput in;
    auto lock = std::unique_lock(const_cast<TRow&>(row).owner().mutex());
    in.rowName = row.Name;
    // A row that has not started has no time vector at all.
    const int n = std::max(0, std::min<int>(row.iRTV, static_cast<int>(row.RTV.size()) - 1));
    TDateTime start = row.spanStart();
    // Without a start before its values (an imported or damaged row), the test begins with
    // the first value.
    if (n > 0 && (start <= 0 || start > row.RTV[1].dt)) start = row.RTV[1].dt;
    for (int i = 1; i <= n; ++i) in.days.push_back(row.RTV[static_cast<size_t>(i)].dt - start);
    in.finished = row.State == RowState::Stopped || row.State == RowState::StoppedOld ||
                  row.State == RowState::StoppedControl;
    in.windowCriterion = row.bEvalWindow;
    in.lag.rateHours = positive(row.LagRateHours) ? row.LagRateHours : 3;
    in.lag.ratePercent = positive(row.LagRatePercent) ? row.LagRatePercent : 25;
    in.lag.linearHours = positive(row.LagLinearHours) ? row.LagLinearHours : 24;
    for (int s = 1; s <= std::min(row.NrCells, kMaxRowCells); ++s) {
        const RowCell& rc = row.RowCells[static_cast<size_t>(s)];
        EvalCell c;
        c.slot = s;
        c.displayNr = row.DisplayNr(s);
        c.name = rc.Name;
        c.mode = rc.Mode;
        c.index = rc.Index;
        c.ptc = rc.PTC;
        c.bth1 = rc.BTH1;
        c.cancelled = rc.State == CellState::cs_Cancelled;
        c.bod.reserve(static_cast<size_t>(n));
        c.o2PerDry.reserve(static_cast<size_t>(n));
        for (int i = 1; i <= n; ++i) {
            c.bod.push_back(row.BOD(s, i));
            c.o2PerDry.push_back(row.O2PerDriedMatter(s, i));
        }
        in.cells.push_back(std::move(c));
    }
    return in;
}

bool is301FInput(const EvalInput& in) {
    for (const EvalCell& c : in.cells)
        if (c.mode == kCellModeCheck || c.mode == kCellModeReference || c.mode == kCellModeToxicity)
            return true;
    return false;
}

F301Evaluation evaluate301F(const EvalInput& in) {
    F301Evaluation e;
    e.windowCriterion = in.windowCriterion;
    e.days = in.days;
    std::vector<const EvalCell*> blanks;
    for (const EvalCell& c : in.cells)
        if (c.mode == kCellModeBlind && !c.cancelled) blanks.push_back(&c);
    e.blankMean.assign(in.days.size(), NoValueReal);
    for (size_t i = 0; i < in.days.size(); ++i) {
        Mean m;
        for (const EvalCell* b : blanks) m.add(at(b->bod, i));
        e.blankMean[i] = m.value();
    }
    // Test groups by their Index, in the order of their first cell.
    std::vector<double> order;
    std::map<double, std::vector<const EvalCell*>> byIndex;
    std::vector<const EvalCell*> refs, tox;
    for (const EvalCell& c : in.cells) {
        if (c.cancelled) continue;
        if (c.mode == kCellModeCheck) {
            if (!byIndex.count(c.index)) order.push_back(c.index);
            byIndex[c.index].push_back(&c);
        } else if (c.mode == kCellModeReference) {
            refs.push_back(&c);
        } else if (c.mode == kCellModeToxicity) {
            tox.push_back(&c);
        }
    }
    for (double idx : order) {
        DegradationGroup g =
            makeGroup("Index " + (valid(idx) ? realToText(idx, 0, -5) : std::string("-")),
                      kCellModeCheck, idx, byIndex[idx], in.days, e.blankMean);
        decideVerdict(g, in);
        e.groups.push_back(std::move(g));
    }
    if (!refs.empty())
        e.reference.push_back(
            makeGroup("Reference", kCellModeReference, NoValueReal, refs, in.days, e.blankMean));
    if (!tox.empty())
        e.toxicity.push_back(makeGroup("Toxicity control", kCellModeToxicity, NoValueReal, tox,
                                       in.days, e.blankMean));
    if (blanks.empty())
        e.error = "no blind cell that is not cancelled: no degradation";
    else if (in.days.empty())
        e.error = "no values yet";
    e.ok = e.error.empty();
    const double lastDay = in.days.empty() ? 0.0 : in.days.back();
    e.checks.push_back(referenceCheck(e, in, lastDay));
    e.checks.push_back(blankCheck(e, in, !blanks.empty(), lastDay));
    for (const DegradationGroup& g : e.groups) e.checks.push_back(spreadCheck(g, e, in, lastDay));
    e.checks.push_back(toxicityCheck(e, in, lastDay));
    return e;
}

AT4Evaluation evaluateAT4(const EvalInput& in) {
    AT4Evaluation e;
    e.lag = in.lag;
    e.rule = ruleText(in.lag);
    for (double d : in.days) e.hours.push_back(d * 24.0);
    for (const EvalCell& c : in.cells) {
        if (c.mode != kCellModeNormal || c.cancelled) continue;
        AT4Sample s;
        s.displayNr = c.displayNr;
        s.name = c.name;
        s.curve = c.o2PerDry;
        evaluateSample(s, e.hours, in.lag);
        e.samples.push_back(std::move(s));
    }
    if (e.samples.empty()) {
        e.error = "no sample cells (cell mode normal)";
        return e;
    }
    if (e.hours.empty()) {
        e.error = "no values yet";
        return e;
    }
    e.ok = true;
    Mean m;
    e.complete = true;
    for (const AT4Sample& s : e.samples) {
        if (s.complete)
            m.add(s.at4);
        else
            e.complete = false;
    }
    e.mean = m.value();
    if (m.n >= 2 && positive(e.mean)) {
        double dev = 0;
        for (const AT4Sample& s : e.samples)
            if (s.complete) dev = std::max(dev, std::fabs(s.at4 - e.mean));
        e.relDeviation = dev / e.mean * 100.0;
    }
    return e;
}

// --- texts ------------------------------------------------------------------------------------

std::vector<std::string> evaluationLines(const F301Evaluation& e) {
    std::vector<std::string> l;
    l.push_back(std::string("OECD 301F evaluation, 10-day window ") +
                (e.windowCriterion ? "applied" : "not applied"));
    if (!e.ok) l.push_back("no evaluation: " + e.error);
    const int lb = lastValid(e.blankMean);
    if (lb >= 0)
        l.push_back("blank mean: " + fixed(e.blankMean[static_cast<size_t>(lb)], 1) +
                    " mg/l on day " + dayText(e.days[static_cast<size_t>(lb)]));
    const auto describe = [&l, &e](const DegradationGroup& g) {
        l.push_back(g.label + " (cells " + joinNrs(g.cells) + "): 10 % on day " + dayText(g.day10) +
                    ", 60 % on day " + dayText(g.day60) + ", highest " + percentText(g.maxValue) +
                    " on day " + dayText(g.maxDay) + ", last " + percentText(g.lastValue) +
                    " on day " + dayText(g.lastDay));
        if (g.replicates.size() < 2 || !valid(g.lastDay)) return;
        // The replicates at the last value of the mean.
        std::string r = g.label + " replicates on day " + dayText(g.lastDay) + ":";
        const int i = lastAtOrBefore(e.days, g.mean, g.lastDay);
        for (size_t k = 0; k < g.replicates.size() && i >= 0; ++k)
            r += (k ? ", cell " : " cell ") + std::to_string(g.cells[k]) + " " +
                 percentText(g.replicates[k][static_cast<size_t>(i)]);
        l.push_back(r);
    };
    for (const DegradationGroup& g : e.groups) {
        describe(g);
        l.push_back(g.label + " verdict: " + g.verdictText + " (" + g.reason + ")");
    }
    for (const DegradationGroup& g : e.reference) describe(g);
    for (const DegradationGroup& g : e.toxicity) describe(g);
    for (const EvalCheck& c : e.checks)
        l.push_back("check " + c.name + ": " + checkStatusText(c.status) +
                    (c.text.empty() ? std::string() : " (" + c.text + ")"));
    return l;
}

std::vector<std::string> evaluationLines(const AT4Evaluation& e) {
    std::vector<std::string> l;
    l.push_back("AT4 evaluation");
    l.push_back("rule: " + e.rule);
    if (!e.ok) {
        l.push_back("no evaluation: " + e.error);
        return l;
    }
    for (const AT4Sample& s : e.samples) {
        std::string t = "cell " + std::to_string(s.displayNr) + " " + s.name + ": ";
        if (!s.error.empty()) {
            l.push_back(t + s.error);
            continue;
        }
        t += "lag phase " + dayText(s.lagHours) + " h, linear rate " + fixed(s.linearRate, 3) +
             " mg O2/(g h), AT4 " + fixed(s.at4, 2) + " mg O2/g dry matter";
        if (!s.complete)
            t += " (not complete: " + dayText(s.hoursAfterLag) + " h after the lag phase)";
        l.push_back(t);
    }
    l.push_back("AT4 mean: " +
                (valid(e.mean) ? fixed(e.mean, 2) + " mg O2/g dry matter" : std::string("-")) +
                (e.complete ? "" : " (not complete)"));
    if (valid(e.relDeviation))
        l.push_back("relative deviation: " + fixed(e.relDeviation, 1) + " %");
    return l;
}

std::vector<std::string> evaluationLines(const EvalInput& in) {
    std::vector<std::string> l;
    l.push_back("series " + in.rowName +
                (in.finished ? " (finished)" : " (running or not started)"));
    const auto more =
        is301FInput(in) ? evaluationLines(evaluate301F(in)) : evaluationLines(evaluateAT4(in));
    l.insert(l.end(), more.begin(), more.end());
    return l;
}

std::vector<EvalTableRow> evaluationTable(const EvalInput& in) {
    return is301FInput(in) ? evaluationTable301F(in) : evaluationTableAT4(in);
}

std::vector<EvalTableRow> evaluationTable301F(const EvalInput& in) {
    using C = EvalTableCell;
    std::vector<EvalTableRow> t;
    t.push_back({C::t("Series"), C::t(in.rowName)});
    {
        const F301Evaluation e = evaluate301F(in);
        t.push_back({C::t("Evaluation"), C::t("OECD 301F")});
        t.push_back({C::t("10-day window"), C::t(e.windowCriterion ? "applied" : "not applied")});
        if (!e.ok) t.push_back({C::t("No evaluation"), C::t(e.error)});
        t.push_back({});
        t.push_back({C::t("Group"), C::t("Cells"), C::t("10 % on day"), C::t("Window end day"),
                     C::t("60 % on day"), C::t("Highest %"), C::t("on day"), C::t("Last %"),
                     C::t("on day"), C::t("Verdict"), C::t("Reason")});
        const auto groupRow = [&t](const DegradationGroup& g) {
            t.push_back({C::t(g.label), C::t(joinNrs(g.cells)), C::n(g.day10), C::n(g.windowEnd),
                         C::n(g.day60), C::n(g.maxValue), C::n(g.maxDay), C::n(g.lastValue),
                         C::n(g.lastDay), C::t(g.verdictText), C::t(g.reason)});
        };
        for (const auto& g : e.groups) groupRow(g);
        for (const auto& g : e.reference) groupRow(g);
        for (const auto& g : e.toxicity) groupRow(g);
        t.push_back({});
        t.push_back({C::t("Check"), C::t("Status"), C::t("Figure"), C::t("Unit"), C::t("Day"),
                     C::t("Text")});
        for (const EvalCheck& c : e.checks)
            t.push_back({C::t(c.name), C::t(checkStatusText(c.status)), C::n(c.figure),
                         C::t(c.unit), C::n(c.day), C::t(c.text)});
        t.push_back({});
        EvalTableRow head{C::t("Day"), C::t("Blank mg/l")};
        std::vector<const DegradationGroup*> all;
        for (const auto& g : e.groups) all.push_back(&g);
        for (const auto& g : e.reference) all.push_back(&g);
        for (const auto& g : e.toxicity) all.push_back(&g);
        for (const auto* g : all) head.push_back(C::t(g->label + " %"));
        t.push_back(head);
        for (size_t i = 0; i < e.days.size(); ++i) {
            EvalTableRow r{C::n(e.days[i]), C::n(e.blankMean[i])};
            for (const auto* g : all) r.push_back(C::n(g->mean[i]));
            t.push_back(std::move(r));
        }
    }
    return t;
}

std::vector<EvalTableRow> evaluationTableAT4(const EvalInput& in) {
    using C = EvalTableCell;
    std::vector<EvalTableRow> t;
    t.push_back({C::t("Series"), C::t(in.rowName)});
    const AT4Evaluation e = evaluateAT4(in);
    t.push_back({C::t("Evaluation"), C::t("AT4")});
    t.push_back({C::t("Rule"), C::t(e.rule)});
    if (!e.ok) t.push_back({C::t("No evaluation"), C::t(e.error)});
    t.push_back({});
    t.push_back({C::t("Cell"), C::t("Designation"), C::t("Lag phase h"),
                 C::t("Linear rate mg O2/(g h)"), C::t("AT4 mg O2/g DM"), C::t("Hours after lag"),
                 C::t("Complete"), C::t("Note")});
    for (const AT4Sample& s : e.samples)
        t.push_back({C::n(s.displayNr), C::t(s.name), C::n(s.lagHours), C::n(s.linearRate),
                     C::n(s.at4), C::n(s.hoursAfterLag), C::t(s.complete ? "yes" : "not complete"),
                     C::t(s.error)});
    t.push_back({C::t("Mean"), C::t(""), C::t(""), C::t(""), C::n(e.mean), C::t(""),
                 C::t(e.complete ? "yes" : "not complete")});
    t.push_back({C::t("Relative deviation %"), C::t(""), C::t(""), C::t(""), C::n(e.relDeviation)});
    return t;
}

}  // namespace kv
