#pragma once
// The verdicts of a row: the OECD 301F evaluation (degradation in % ThOD per test group,
// the 10-day window, the validity checks) and the AT4 evaluation (lag phase and the O2
// consumed in the 96 hours after it). Both are pure functions of a snapshot of the row's
// time values and cell parameters, so they run on running rows as the data grow, on
// finished rows, and on hand-made curves in the tests alike.

#include <string>
#include <vector>

#include "common/numtext.h"

namespace kv {

class TRow;

// Cell modes of a row cell (RowCell::Mode). The toxicity control holds the test substance
// and the reference together; its P(TC) and B(Th1) are those of the mixture (P(TC) × B(Th1)
// = its ThOD in mg O2/l).
inline constexpr int kCellModeNormal = 0;
inline constexpr int kCellModeCheck = 1;
inline constexpr int kCellModeBlind = 2;
inline constexpr int kCellModeReference = 3;
inline constexpr int kCellModeToxicity = 4;

// The three figures of the lag-phase rule.
struct LagRule {
    double rateHours = 3;     // the window of the rate that ends the lag phase
    double ratePercent = 25;  // ... reaching this share of the linear rate
    double linearHours = 24;  // the linear part: the steepest so many hours after it
    double at4Hours = 96;     // AT4: the O2 consumed in so many hours after the lag
};

// One cell of the snapshot.
struct EvalCell {
    int slot = 0;
    int displayNr = 0;
    std::string name;
    int mode = kCellModeNormal;
    double index = NoValueReal;
    double ptc = NoValueReal;   // mg/l
    double bth1 = NoValueReal;  // mg O2/mg
    bool cancelled = false;
    std::vector<double> bod;       // mg/l per time value (no value where none)
    std::vector<double> o2PerDry;  // mg O2/g dry matter per time value
};

struct EvalInput {
    std::string rowName;
    // Days since the start of the test, one per time value (ascending).
    std::vector<double> days;
    std::vector<EvalCell> cells;
    // The row has ended: what is still open is decided on the data there are.
    bool finished = false;
    // The 10-day window decides (switched off for substances it does not apply to).
    bool windowCriterion = true;
    LagRule lag;
};

// The snapshot of a row (takes the rows lock).
EvalInput evaluationInput(const TRow& row);

// --- 301F -------------------------------------------------------------------------------

enum class CheckStatus { Met, NotMet, NotApplicable, Open };
std::string checkStatusText(CheckStatus s);

struct EvalCheck {
    std::string name;  // what is checked, with its limit
    CheckStatus status = CheckStatus::NotApplicable;
    double figure = NoValueReal;
    std::string unit;
    double day = NoValueReal;  // the day the figure belongs to
    std::string text;          // the figure in words
};

enum class Verdict { Readily, NotReadily, Open, None };

struct DegradationGroup {
    std::string label;  // "Index 1", "Reference", "Toxicity control"
    int mode = kCellModeCheck;
    double index = NoValueReal;
    std::vector<int> cells;                       // display numbers of the replicates
    std::vector<std::vector<double>> replicates;  // % ThOD per replicate and time value
    std::vector<double> mean;                     // % ThOD per time value
    bool hasThod = false;                         // a replicate has P(TC) and B(Th1)
    // Days of the first mean values reaching 10 % and 60 %; no value when not reached.
    double day10 = NoValueReal;
    double day60 = NoValueReal;
    double windowEnd = NoValueReal;
    double maxValue = NoValueReal, maxDay = NoValueReal;
    double lastValue = NoValueReal, lastDay = NoValueReal;
    Verdict verdict = Verdict::None;
    std::string verdictText;  // "readily biodegradable", "not readily biodegradable", ...
    std::string reason;
};

struct F301Evaluation {
    bool ok = false;
    std::string error;  // why nothing can be evaluated
    bool windowCriterion = true;
    std::vector<double> days;
    std::vector<double> blankMean;            // mg/l per time value
    std::vector<DegradationGroup> groups;     // test substances, by Index
    std::vector<DegradationGroup> reference;  // none or one
    std::vector<DegradationGroup> toxicity;   // none or one
    std::vector<EvalCheck> checks;
};

F301Evaluation evaluate301F(const EvalInput& in);

// --- AT4 --------------------------------------------------------------------------------

struct AT4Sample {
    int displayNr = 0;
    std::string name;
    std::vector<double> curve;  // cumulative mg O2/g dry matter per time value
    bool lagFound = false;
    double lagHours = NoValueReal;    // end of the lag phase
    double linearRate = NoValueReal;  // mg O2/(g·h) of the steepest part after it
    double at4 = NoValueReal;         // mg O2/g dry matter (so far, while not complete)
    double hoursAfterLag = 0;         // recorded after the lag phase
    bool complete = false;
    std::string error;  // no dry matter, no values
};

struct AT4Evaluation {
    bool ok = false;
    std::string error;
    std::string rule;  // the lag-phase rule in words
    LagRule lag;
    std::vector<double> hours;
    std::vector<AT4Sample> samples;
    double mean = NoValueReal;          // of the complete samples
    double relDeviation = NoValueReal;  // largest deviation from the mean, % of it
    bool complete = false;              // every sample complete
};

AT4Evaluation evaluateAT4(const EvalInput& in);

// --- the row ------------------------------------------------------------------------------

// A row is evaluated as 301F when it has check, reference or toxicity cells, else as AT4.
bool is301FInput(const EvalInput& in);

// The evaluation in text, one line per figure (the console and the printout).
std::vector<std::string> evaluationLines(const F301Evaluation& e);
std::vector<std::string> evaluationLines(const AT4Evaluation& e);
std::vector<std::string> evaluationLines(const EvalInput& in);

// The table of the workbook's "Evaluation" sheet and the window: a row of cells, each a
// text or a number.
struct EvalTableCell {
    std::string text;
    double number = NoValueReal;
    bool isNumber = false;
    static EvalTableCell t(std::string s) { return {std::move(s), NoValueReal, false}; }
    static EvalTableCell n(double v) {
        return isNoValue(v) ? EvalTableCell{} : EvalTableCell{{}, v, true};
    }
};
using EvalTableRow = std::vector<EvalTableCell>;
std::vector<EvalTableRow> evaluationTable(const EvalInput& in);  // 301F or AT4 as above
std::vector<EvalTableRow> evaluationTable301F(const EvalInput& in);
std::vector<EvalTableRow> evaluationTableAT4(const EvalInput& in);

// A day or hour figure as the texts show it: "13", "2.5".
std::string dayText(double day);
std::string percentText(double v);

}  // namespace kv
