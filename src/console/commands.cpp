#include "console/commands.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <set>

#include "acquisition/o2tanks.h"
#include "app/messages.h"
#include "common/datetime.h"
#include "common/numtext.h"
#include "common/strutil.h"
#include "console/command_line.h"
#include "output/at4.h"
#include "output/export_csv.h"
#include "output/export_xls.h"
#include "output/f301.h"
#include "output/qt/gui_app.h"
#include "output/qt/output_files.h"
#include "output/row_data_model.h"
#include "system/version.h"

namespace kv {

ConsoleReply ConsoleReply::failed(std::string error) {
    ConsoleReply r;
    r.ok = false;
    r.error = std::move(error);
    return r;
}

std::string ConsoleReply::text() const {
    std::string out;
    for (const std::string& l : lines) out += l + "\n";
    out += ok ? std::string("ok\n") : "error: " + error + "\n";
    return out;
}

std::string CommandInterpreter::helpText() {
    return "Commands (every answer ends with \"ok\" or \"error: ...\"):\n"
           "  help                          this text\n"
           "  status                        program, devices and rows at a glance\n"
           "  cells                         one line per cell: state, count, O2, temperature\n"
           "  rows                          one line per series and template\n"
           "  msgs [N]                      the newest N messages (default 20)\n"
           "  row new NAME cells=1-6[,8] [tact=3|15|30|60] [interval=1h] [duration=2d]\n"
           "          [mode=0|1] [co2] [zero] [alarm=95/1] [password=TEXT]\n"
           "                                define a series (units min, h, d)\n"
           "  row edit NAME [name=TEXT] [comment1=..3=TEXT] [sampledate=] [sampletemp=]\n"
           "          [analyst=] [tact=] [interval=] [duration=] [mode=] [co2=yes|no]\n"
           "          [zero=yes|no] [divider=N] [lf2co2=X] [alarm=95/1|off]\n"
           "          [cellcontrol=yes|no] [co2mean=yes|no] [ec71t=yes|no]\n"
           "                                change a series' or template's definition\n"
           "  row cell add NAME N           add cell N to a series or template\n"
           "  row cell remove NAME N        remove cell N from a series or template\n"
           "  row cell set NAME N [name=TEXT] [vol=X] [ts=X] [mode=0..3] [index=X]\n"
           "          [ptc=X] [bth1=X]      the parameters of cell N of a row\n"
           "  row start NAME [count-after-all]   start every cell of a series\n"
           "  row stop NAME                 store the current values and abort a series\n"
           "  row delete NAME               delete a series (stopped first) or template\n"
           "  row export NAME FILE          export a stopped series to a new FILE, delete it\n"
           "  row import FILE               import an exported series\n"
           "  row data NAME [co2|lf|ts]     the series' values as the data window shows them\n"
           "  row csv NAME FILE [ts] [lf]   export the values as CSV (ts: per dry matter)\n"
           "  row xlsx NAME FILE [ts] [lf]  export the values as a spreadsheet workbook\n"
           "  row at4 NAME                  AT4 evaluation workbook into the result folder\n"
           "  row 301f NAME                 301F evaluation workbook into the result folder\n"
           "  row chart NAME FILE.png|FILE.pdf   draw the series' chart\n"
           "  row curves NAME               the chart's curves with their numbers\n"
           "  row curve NAME N[-M,..]|all [show|hide|toggle] [axis=1|2] [style=1..5]\n"
           "          [color=1..15] [symbol=1..6] [legend=1|2]   how the curves are drawn\n"
           "  row axes NAME [from=\"DATE TIME\"] [to=\"DATE TIME\"] [step=X] [unit=min|h|d]\n"
           "          [y=MIN/MAX/STEP] [y2=MIN/MAX/STEP] [ytext=T] [y2text=T]\n"
           "          [legend=left|right/top|bottom]   the chart's axes and legend\n"
           "  row print NAME FILE.pdf [data] [special] [evaluation]\n"
           "                                print the series to a PDF file\n"
           "  row cell NAME N [name=TEXT] [vol=ML] [ts=PERCENT]\n"
           "          [mode=normal|check|blind|reference|toxicity] [index=K] [ptc=MG_L]\n"
           "          [bth1=V | formula=F [no3]]   cell N's parameters before the start\n"
           "  row evaluate NAME [window=on|off] [lag=3/25/24]\n"
           "                                the 301F or AT4 evaluation (the options set the\n"
           "                                10-day window and the lag rule: h/%/h)\n"
           "  thod FORMULA [no3]            ThOD of a substance (both values, molar mass)\n"
           "  cell start N                  start cell N of a running series\n"
           "  cell hold|continue|stop N     hold, continue or stop cell N in its series\n"
           "  cell counter N VALUE          set the impulse counter of cell N\n"
           "  tank refill N                 the O2 tank of cell N has been refilled\n"
           "  tank save                     write the O2 tank file now\n"
           "  config get                    every field of the configuration dialog\n"
           "  config get SECTION [KEY]      the configuration file's section or key\n"
           "  config set FIELD=VALUE ...    change dialog fields (names as config get shows\n"
           "                                them), check, copy back and save\n"
           "  device list                   attached interfaces and configured devices\n"
           "  device send N TEXT            terminal: TEXT to device N as it is, its answer\n"
           "  device edit N [FIELD=VALUE ...]   show or write device N's settings\n"
           "          (serial, case, master, delaywrite, delayread, e, n, w, d, f1, f2, f3)\n"
           "  cell ad [N measure|lower|upper]   the mA limit grid; measure cell N's input\n"
           "                                into AD actual, AD lower or AD upper\n"
           "  cell ad write                 write the grid's limits to the cells and devices\n"
           "  ec71 calibrate CELL           start the EC71 calibration of CELL\n"
           "  ec71 status | ec71 cancel     the calibration's progress; cancel it\n"
           "  quit                          quit Kelvora (as the menu's quit command)\n"
           "NAME is a series' name (quote it when it has blanks) or # and its number.\n"
           "A password-protected series takes password=TEXT; so does quit with a quit\n"
           "password, and the configuration commands with a configuration password.\n"
           "The configuration commands pause the acquisition while they talk to the\n"
           "devices. Relative file names are taken in the home folder.";
}

namespace {

constexpr int kDefaultMsgs = 20;

struct Options {
    std::map<std::string, std::string> values;
    std::set<std::string> flags;
};

}  // namespace

struct CommandInterpreter::Args {
    std::optional<std::string> password;
    Options options;
};

namespace {

// Reads words[from..] as key=value options and flags of the allowed names; password= is
// allowed everywhere. False with the reason for anything else.
bool takeOptions(const std::vector<std::string>& words, size_t from,
                 std::initializer_list<std::string_view> keys,
                 std::initializer_list<std::string_view> flags,
                 std::optional<std::string>& password, Options& out, std::string& error) {
    for (size_t i = from; i < words.size(); ++i) {
        const std::string& w = words[i];
        const size_t eq = w.find('=');
        if (eq != std::string::npos) {
            const std::string key = toLowerAscii(w.substr(0, eq));
            const std::string value = w.substr(eq + 1);
            if (key == "password") {
                if (password) {
                    error = "password= given twice";
                    return false;
                }
                password = value;
                continue;
            }
            if (std::find(keys.begin(), keys.end(), key) == keys.end()) {
                error = "unknown argument " + quoteWord(w);
                return false;
            }
            if (!out.values.emplace(key, value).second) {
                error = key + "= given twice";
                return false;
            }
            continue;
        }
        const std::string flag = toLowerAscii(w);
        if (std::find(flags.begin(), flags.end(), flag) == flags.end()) {
            error = "unknown argument " + quoteWord(w);
            return false;
        }
        if (!out.flags.insert(flag).second) {
            error = flag + " given twice";
            return false;
        }
    }
    return true;
}

ConsoleReply fromResult(const OpResult& r, std::vector<std::string> notes) {
    ConsoleReply out;
    out.lines = std::move(notes);
    out.lines.insert(out.lines.end(), r.lines.begin(), r.lines.end());
    out.ok = r.ok;
    out.error = r.error;
    return out;
}

std::string valueOrDash(const std::string& s) {
    return s.empty() ? "-" : s;
}

std::string yesNo(bool b) {
    return b ? "yes" : "no";
}

}  // namespace

CommandInterpreter::CommandInterpreter(Operations& ops, ConsoleFrontEnd& ui, QuitHandler quit)
    : ops_(ops),
      ui_(ui),
      quit_(std::move(quit)),
      service_(ops.kelvora(), ui),
      calibration_(service_) {}

ConsoleReply CommandInterpreter::execute(std::string_view line) {
    std::vector<std::string> words;
    std::string error;
    if (!splitCommandLine(line, words, error)) return ConsoleReply::failed(error);
    if (words.empty()) return ConsoleReply::failed("empty command (try help)");
    Args args;
    return run(words, args);
}

ConsoleReply CommandInterpreter::run(const std::vector<std::string>& words, Args& args) {
    const std::string cmd = toLowerAscii(words[0]);
    std::string error;
    auto noArgs = [&](size_t from) {
        return takeOptions(words, from, {}, {}, args.password, args.options, error);
    };
    if (cmd == "help" || cmd == "status" || cmd == "cells" || cmd == "rows") {
        if (!noArgs(1)) return ConsoleReply::failed(error);
        if (args.password) return ConsoleReply::failed("unknown argument password=");
        if (cmd == "help") {
            ConsoleReply r;
            const std::string help = helpText();
            for (std::string_view l : split(help, '\n')) r.lines.emplace_back(l);
            return r;
        }
        return cmd == "status" ? status() : cmd == "cells" ? cells() : rows();
    }
    if (cmd == "msgs") return msgs(words);
    if (cmd == "row") return rowCommand(words, args);
    if (cmd == "thod") {
        if (words.size() < 2) return ConsoleReply::failed("usage: thod FORMULA [no3]");
        if (!takeOptions(words, 2, {}, {"no3"}, args.password, args.options, error))
            return ConsoleReply::failed(error);
        double bth1 = 0;
        const bool no3 = args.options.flags.count("no3") > 0;
        OpResult r = ops_.bth1FromFormula(words[1], no3, bth1);
        if (r.ok)
            r.lines.push_back(std::string("B(Th1) ") + (no3 ? "with" : "without") +
                              " nitrification " + realToText(bth1, 0, 3) + " mg O2/mg");
        return fromResult(r, {});
    }
    if (cmd == "cell") return cellCommand(words, args);
    if (cmd == "config") return configCommand(words, args);
    if (cmd == "device") return deviceCommand(words, args);
    if (cmd == "ec71") return ec71Command(words, args);
    if (cmd == "tank" && words.size() >= 2 && iequals(words[1], "save")) {
        if (!noArgs(2)) return ConsoleReply::failed(error);
        if (calibration_.running()) return ConsoleReply::failed("an EC71 calibration is running");
        ConsoleFrontEnd::Scope scope(ui_, args.password);
        OpResult r = service_.authorize();
        if (r.ok) r = service_.saveTanks();
        return fromResult(r, scope.takeNotes());
    }
    if (cmd == "tank") {
        if (words.size() < 3 || !iequals(words[1], "refill"))
            return ConsoleReply::failed("usage: tank refill N, tank save");
        int n = 0;
        if (!parseInt(words[2], n)) return ConsoleReply::failed("not a cell number: " + words[2]);
        if (!noArgs(3)) return ConsoleReply::failed(error);
        ConsoleFrontEnd::Scope scope(ui_, args.password);
        const OpResult r = ops_.refillTank(n);
        return fromResult(r, scope.takeNotes());
    }
    if (cmd == "quit") {
        if (!noArgs(1)) return ConsoleReply::failed(error);
        // The calibration uses the meter and the relays that the quit path closes.
        if (calibration_.running())
            return ConsoleReply::failed("an EC71 calibration is running (ec71 cancel first)");
        bool quit = false;
        std::vector<std::string> notes;
        {
            ConsoleFrontEnd::Scope scope(ui_, args.password);
            quit = quit_ && quit_();
            notes = scope.takeNotes();
        }
        ConsoleReply r;
        r.lines = std::move(notes);
        if (!quit) {
            r.ok = false;
            r.error = "quit cancelled (a quit password needs password=)";
            return r;
        }
        r.quit = true;
        return r;
    }
    return ConsoleReply::failed("unknown command " + quoteWord(words[0]) + " (try help)");
}

int CommandInterpreter::findRow(const std::string& name, std::string& error) {
    TRows& rows = ops_.kelvora().rows;
    if (name.size() > 1 && name[0] == '#') {
        int nr = 0;
        if (parseInt(std::string_view(name).substr(1), nr) && rows.FindByUniqueNr(nr)) return nr;
        error = "no row " + name;
        return 0;
    }
    int found = 0, count = 0;
    {
        auto lock = rows.lock();
        for (const auto& r : rows.Snapshot()) {
            if (r->Name != name) continue;
            ++count;
            found = r->UniqueNr;
        }
    }
    if (count == 0) error = "no row named " + quoteWord(name);
    if (count > 1)
        error = std::to_string(count) + " rows are named " + quoteWord(name) +
                "; name one as # and its number (see rows)";
    return count == 1 ? found : 0;
}

ConsoleReply CommandInterpreter::rowCommand(const std::vector<std::string>& words, Args& args) {
    static const char* const kUsage =
        "usage: row new|edit|cell|evaluate|start|stop|delete|export|import|data|csv|xlsx|at4|"
        "301f|chart|curves|curve|axes|"
        "print ... "
        "(try help)";
    if (words.size() < 2) return ConsoleReply::failed(kUsage);
    const std::string sub = toLowerAscii(words[1]);
    if (isOutputCommand(sub)) return rowOutput(sub, words, args);
    std::string error;
    Options& opt = args.options;

    if (sub == "import") {
        if (words.size() < 3) return ConsoleReply::failed("usage: row import FILE");
        if (!takeOptions(words, 3, {}, {}, args.password, opt, error))
            return ConsoleReply::failed(error);
        ConsoleFrontEnd::Scope scope(ui_, args.password);
        const OpResult r = ops_.importRow(words[2]);
        return fromResult(r, scope.takeNotes());
    }
    if (words.size() < 3) return ConsoleReply::failed(kUsage);
    const std::string& name = words[2];
    if (sub == "new") return rowNew(words, args);
    if (sub == "edit") return rowEdit(words, args);
    if (sub == "cell") return rowCell(words, args);
    if (sub == "evaluate") return rowEvaluate(words, args);
    if (sub == "curves" || sub == "curve" || sub == "axes")
        return rowChartSettings(sub, words, args);

    if (sub == "start") {
        if (!takeOptions(words, 3, {}, {"count-after-all"}, args.password, opt, error))
            return ConsoleReply::failed(error);
    } else if (sub == "export") {
        if (words.size() < 4) return ConsoleReply::failed("usage: row export NAME FILE");
        if (!takeOptions(words, 4, {}, {}, args.password, opt, error))
            return ConsoleReply::failed(error);
    } else if (sub == "stop" || sub == "delete") {
        if (!takeOptions(words, 3, {}, {}, args.password, opt, error))
            return ConsoleReply::failed(error);
    } else {
        return ConsoleReply::failed(kUsage);
    }
    const int nr = findRow(name, error);
    if (nr == 0) return ConsoleReply::failed(error);

    ConsoleFrontEnd::Scope scope(ui_, args.password);
    OpResult r;
    if (sub == "start")
        r = ops_.startRow(nr, opt.flags.count("count-after-all") > 0);
    else if (sub == "stop")
        r = ops_.stopRow(nr);
    else if (sub == "delete")
        r = ops_.deleteRow(nr);
    else
        r = ops_.exportRow(nr, words[3]);
    return fromResult(r, scope.takeNotes());
}

ConsoleReply CommandInterpreter::rowNew(const std::vector<std::string>& words, Args& args) {
    std::string error;
    Options& opt = args.options;
    if (!takeOptions(words, 3, {"cells", "tact", "interval", "duration", "mode", "alarm"},
                     {"co2", "zero"}, args.password, opt, error))
        return ConsoleReply::failed(error);
    RowSpec s = ops_.rowDefaults();
    s.name = trimmed(words[2]);
    // The command line is the whole dialog: what it does not switch on stays off.
    s.withCO2 = opt.flags.count("co2") > 0;
    s.zeroNeeded = opt.flags.count("zero") > 0;
    const auto value = [&](const char* key) -> const std::string* {
        const auto it = opt.values.find(key);
        return it == opt.values.end() ? nullptr : &it->second;
    };
    const std::string* cells = value("cells");
    if (!cells) return ConsoleReply::failed("cells= is needed (for example cells=1-6,8)");
    if (!parseCellList(*cells, s.cells, kMaxRowCells))
        return ConsoleReply::failed("cells=" + *cells + " is not a list of cells like 1-6,8");
    if (const std::string* v = value("tact"); v && !parseInt(*v, s.tact))
        return ConsoleReply::failed("tact= takes 3, 15, 30 or 60");
    if (const std::string* v = value("mode"); v && !parseInt(*v, s.mode))
        return ConsoleReply::failed("mode= takes 0 or 1");
    if (const std::string* v = value("interval"); v && !parseSpan(*v, s.interval, s.intervalUnit))
        return ConsoleReply::failed("interval= takes a number and min, h or d (like 30min)");
    if (const std::string* v = value("duration"); v && !parseSpan(*v, s.duration, s.durationUnit))
        return ConsoleReply::failed("duration= takes a number and min, h or d (like 2d)");
    if (const std::string* v = value("alarm")) {
        const size_t slash = v->find('/');
        if (slash == std::string::npos || !parseInt(v->substr(0, slash), s.alarmCount) ||
            !parseInt(v->substr(slash + 1), s.alarmHours))
            return ConsoleReply::failed("alarm= takes percent/hours (like 95/1)");
        s.leakageAlarm = true;
    }
    // For a new series the password is not an answer but the protection it gets.
    if (args.password) s.password = *args.password;
    if (s.name.empty() || s.name[0] == '#')
        return ConsoleReply::failed("a row name must not be empty nor begin with #");
    std::string lookup;
    if (findRow(s.name, lookup) != 0 || lookup.find("rows are named") != std::string::npos)
        return ConsoleReply::failed("a row named " + quoteWord(s.name) + " exists already");
    ConsoleFrontEnd::Scope scope(ui_, std::nullopt);
    const OpResult r = ops_.newRow(s);
    return fromResult(r, scope.takeNotes());
}

namespace {

bool parseYesNo(const std::string& text, bool& out) {
    const std::string t = toLowerAscii(text);
    if (t == "yes" || t == "1" || t == "on") {
        out = true;
        return true;
    }
    if (t == "no" || t == "0" || t == "off") {
        out = false;
        return true;
    }
    return false;
}

// A real number with "." or ","; false for anything else.
bool parseNumber(const std::string& text, double& v) {
    v = textToReal(text);
    return !isNoValue(v) && std::isfinite(v);
}

bool parseCellMode(const std::string& text, int& mode) {
    static const char* const names[] = {"normal", "check", "blind", "reference", "toxicity"};
    const std::string t = toLowerAscii(text);
    for (int m = 0; m < 5; ++m)
        if (t == names[m] || t == std::to_string(m)) {
            mode = m;
            return true;
        }
    return false;
}

}  // namespace

ConsoleReply CommandInterpreter::rowCell(const std::vector<std::string>& words, Args& args) {
    // "row cell add|remove NAME N" moves a cell into or out of a row; "row cell [set] NAME N
    // key=value..." sets its parameters.
    if (words.size() >= 5) {
        const std::string sub = toLowerAscii(words[2]);
        if (sub == "add" || sub == "remove") return rowCellMembership(words, args);
        if (sub == "set") {
            std::vector<std::string> rest = words;
            rest.erase(rest.begin() + 2);
            return rowCellParameters(rest, args);
        }
    }
    return rowCellParameters(words, args);
}

ConsoleReply CommandInterpreter::rowCellParameters(const std::vector<std::string>& words,
                                                   Args& args) {
    static const char* const kUsage =
        "usage: row cell NAME N [name=TEXT] [vol=ML] [ts=PERCENT] "
        "[mode=normal|check|blind|reference|toxicity] [index=K] [ptc=MG_L] [bth1=V | formula=F "
        "[no3]]";
    if (words.size() < 4) return ConsoleReply::failed(kUsage);
    int cell = 0;
    if (!parseInt(words[3], cell)) return ConsoleReply::failed("not a cell number: " + words[3]);
    std::string error;
    Options& opt = args.options;
    if (!takeOptions(words, 4, {"name", "vol", "ts", "mode", "index", "ptc", "bth1", "formula"},
                     {"no3"}, args.password, opt, error))
        return ConsoleReply::failed(error);
    RowCellSpec fields;
    for (const auto& [key, value] : opt.values) {
        double v = 0;
        if (key == "name") {
            fields.name = value;
        } else if (key == "mode") {
            int m = 0;
            if (!parseCellMode(value, m))
                return ConsoleReply::failed(
                    "mode= takes normal, check, blind, reference or toxicity");
            fields.mode = m;
        } else if (key == "formula") {
            fields.formula = value;
        } else if (!parseNumber(value, v)) {
            return ConsoleReply::failed(key + "= takes a number, not " + quoteWord(value));
        } else if (key == "vol") {
            fields.vol = v;
        } else if (key == "ts") {
            fields.ts = v;
        } else if (key == "index") {
            fields.index = v;
        } else if (key == "ptc") {
            fields.ptc = v;
        } else if (key == "bth1") {
            fields.bth1 = v;
        }
    }
    if (fields.bth1 && fields.formula)
        return ConsoleReply::failed("give bth1= or formula=, not both");
    fields.no3 = opt.flags.count("no3") > 0;
    if (fields.no3 && !fields.formula) return ConsoleReply::failed("no3 goes with formula=");
    const int nr = findRow(words[2], error);
    if (nr == 0) return ConsoleReply::failed(error);
    ConsoleFrontEnd::Scope scope(ui_, args.password);
    return fromResult(ops_.setRowCell(nr, cell, fields), scope.takeNotes());
}

namespace {

const char* unitText(TimeUnit u) {
    return u == TimeUnit::Minutes ? "min" : u == TimeUnit::Hours ? "h" : "d";
}

std::string curveLine(int n, const CurveSetting& c) {
    const auto& v = c.settings;
    return "curve=" + num(n) + " " + quoteWord(c.label) + " shown=" + yesNo(c.shown != 0) +
           " axis=" + num(v[4]) + " style=" + num(v[0]) + " color=" + num(v[1]) +
           " symbol=" + num(v[2]) + " legend=" + num(v[3]);
}

std::string axesLine(const ChartAxes& a) {
    auto three = [&](size_t i) {
        return realToText(a.y[i], 0, -3) + "/" + realToText(a.y[i + 1], 0, -3) + "/" +
               realToText(a.y[i + 2], 0, -3);
    };
    return "from=" + quoteWord(a.from > 0 ? dateTimeToText(a.from) : "") +
           " to=" + quoteWord(a.to > 0 ? dateTimeToText(a.to) : "") +
           " step=" + realToText(a.step, 0, -3) + " unit=" + unitText(a.unit) + " y=" + three(0) +
           " y2=" + three(3) + " ytext=" + quoteWord(a.titles[0]) +
           " y2text=" + quoteWord(a.titles[1]) +
           " legend=" + (a.legendLeftRight ? "right" : "left") + "/" +
           (a.legendTopBottom ? "bottom" : "top");
}

// "MIN/MAX/STEP" into three numbers.
bool parseThree(const std::string& text, double* out) {
    const auto parts = split(text, '/');
    if (parts.size() != 3) return false;
    for (size_t i = 0; i < 3; ++i)
        if (!parseNumber(std::string(parts[i]), out[i])) return false;
    return true;
}

// Reads the axes options into `a`; false with the reason.
bool takeAxes(const Options& opt, ChartAxes& a, std::string& error) {
    for (const auto& [key, value] : opt.values) {
        bool good = true;
        if (key == "from" || key == "to") {
            const TDateTime t = textToDateTime(value);
            good = t > 0;
            (key == "from" ? a.from : a.to) = t;
        } else if (key == "step") {
            good = parseNumber(value, a.step);
        } else if (key == "unit") {
            const std::string u = toLowerAscii(value);
            good = u == "min" || u == "h" || u == "d";
            a.unit = u == "min" ? TimeUnit::Minutes : u == "h" ? TimeUnit::Hours : TimeUnit::Days;
        } else if (key == "y" || key == "y2") {
            good = parseThree(value, &a.y[key == "y" ? 0 : 3]);
        } else if (key == "ytext" || key == "y2text") {
            a.titles[key == "ytext" ? 0 : 1] = value;
        } else if (key == "legend") {
            const std::string l = toLowerAscii(value);
            const auto parts = split(l, '/');
            good = parts.size() == 2 && (parts[0] == "left" || parts[0] == "right") &&
                   (parts[1] == "top" || parts[1] == "bottom");
            if (good) {
                a.legendLeftRight = parts[0] == "right";
                a.legendTopBottom = parts[1] == "bottom";
            }
        }
        if (!good) {
            error = key + "= cannot be read: " + quoteWord(value);
            return false;
        }
    }
    return true;
}

}  // namespace

ConsoleReply CommandInterpreter::rowChartSettings(const std::string& sub,
                                                  const std::vector<std::string>& words,
                                                  Args& args) {
    std::string error;
    Options& opt = args.options;
    const bool curve = sub == "curve";
    if (curve && words.size() < 4)
        return ConsoleReply::failed("usage: row curve NAME N[-M,..]|all [show|hide|toggle] ...");
    const size_t from = curve ? 4 : 3;
    bool ok = true;
    if (sub == "curves")
        ok = takeOptions(words, from, {}, {}, args.password, opt, error);
    else if (curve)
        ok = takeOptions(words, from, {"axis", "style", "color", "symbol", "legend"},
                         {"show", "hide", "toggle"}, args.password, opt, error);
    else
        ok = takeOptions(words, from,
                         {"from", "to", "step", "unit", "y", "y2", "ytext", "y2text", "legend"}, {},
                         args.password, opt, error);
    if (!ok) return ConsoleReply::failed(error);
    const int nr = findRow(words[2], error);
    if (nr == 0) return ConsoleReply::failed(error);
    const auto row = ops_.kelvora().rows.FindByUniqueNr(nr);
    if (!row) return ConsoleReply::failed("no row " + quoteWord(words[2]));
    std::vector<CurveSetting> curves;
    ChartAxes axes;
    {
        auto lock = ops_.kelvora().rows.lock();
        curves = CurveSetting::of(*row);
        axes = ChartAxes::of(*row);
    }
    ConsoleReply out;
    if (sub == "curves") {
        for (size_t i = 0; i < curves.size(); ++i)
            out.lines.push_back(curveLine(static_cast<int>(i) + 1, curves[i]));
        return out;
    }
    if (sub == "axes") {
        if (!opt.values.empty()) {
            if (!takeAxes(opt, axes, error)) return ConsoleReply::failed(error);
            const OpResult r = ops_.setChartAxes(nr, axes);
            if (!r.ok) return fromResult(r, {});
        }
        out.lines.push_back(axesLine(axes));
        return out;
    }

    std::vector<int> chosen;
    if (iequals(words[3], "all")) {
        for (size_t i = 0; i < curves.size(); ++i) chosen.push_back(static_cast<int>(i));
    } else {
        std::vector<int> listed;
        if (!parseCellList(words[3], listed, kMaxRowCells * 2 + 3 * kMaxSpecialCells))
            return ConsoleReply::failed("curves are numbered as row curves shows them: " +
                                        quoteWord(words[3]));
        for (int n : listed) chosen.push_back(n - 1);
    }
    if (opt.flags.size() > 1)
        return ConsoleReply::failed("show, hide and toggle exclude each other");
    std::array<int, 5> set{};  // 0: unchanged
    static const std::array<std::pair<const char*, size_t>, 5> kKeys{
        {{"style", 0}, {"color", 1}, {"symbol", 2}, {"legend", 3}, {"axis", 4}}};
    for (const auto& [key, index] : kKeys) {
        const auto it = opt.values.find(key);
        if (it == opt.values.end()) continue;
        if (!parseInt(it->second, set[index]) || set[index] < 1)
            return ConsoleReply::failed(std::string(key) + "= takes a number from 1");
    }
    const std::string shown = opt.flags.empty() ? "" : *opt.flags.begin();
    const OpResult r = ops_.changeChartCurves(nr, chosen, [&](int& s, std::array<int, 5>& v) {
        if (shown == "show") s = 1;
        if (shown == "hide") s = 0;
        if (shown == "toggle") s = s ? 0 : 1;
        for (size_t a = 0; a < v.size(); ++a)
            if (set[a] != 0) v[a] = set[a];
    });
    if (!r.ok) return fromResult(r, {});
    auto lock = ops_.kelvora().rows.lock();
    curves = CurveSetting::of(*row);
    for (int i : chosen) out.lines.push_back(curveLine(i + 1, curves[static_cast<size_t>(i)]));
    return out;
}

ConsoleReply CommandInterpreter::rowEvaluate(const std::vector<std::string>& words, Args& args) {
    std::string error;
    Options& opt = args.options;
    if (!takeOptions(words, 3, {"window", "lag"}, {}, args.password, opt, error))
        return ConsoleReply::failed(error);
    EvaluationSettings set;
    bool change = false;
    if (auto it = opt.values.find("window"); it != opt.values.end()) {
        const std::string w = toLowerAscii(it->second);
        if (w != "on" && w != "off") return ConsoleReply::failed("window= takes on or off");
        set.window = w == "on";
        change = true;
    }
    if (auto it = opt.values.find("lag"); it != opt.values.end()) {
        const auto parts = split(it->second, '/');
        double h = 0, p = 0, l = 0;
        if (parts.size() != 3 || !parseNumber(std::string(parts[0]), h) ||
            !parseNumber(std::string(parts[1]), p) || !parseNumber(std::string(parts[2]), l))
            return ConsoleReply::failed("lag= takes hours/percent/hours (like 3/25/24)");
        set.lagRateHours = h;
        set.lagRatePercent = p;
        set.lagLinearHours = l;
        change = true;
    }
    const int nr = findRow(words[2], error);
    if (nr == 0) return ConsoleReply::failed(error);
    ConsoleFrontEnd::Scope scope(ui_, args.password);
    if (change) {
        const OpResult r = ops_.setEvaluationSettings(nr, set);
        if (!r.ok) return fromResult(r, scope.takeNotes());
    }
    return fromResult(ops_.evaluateRow(nr), scope.takeNotes());
}

ConsoleReply CommandInterpreter::rowEdit(const std::vector<std::string>& words, Args& args) {
    std::string error;
    Options& opt = args.options;
    if (!takeOptions(words, 3,
                     {"name", "comment1", "comment2", "comment3", "sampledate", "sampletemp",
                      "analyst", "tact", "interval", "duration", "mode", "co2", "zero", "divider",
                      "lf2co2", "alarm", "cellcontrol", "co2mean", "ec71t"},
                     {}, args.password, opt, error))
        return ConsoleReply::failed(error);
    const int nr = findRow(words[2], error);
    if (nr == 0) return ConsoleReply::failed(error);
    const auto row = ops_.kelvora().rows.FindByUniqueNr(nr);
    if (!row) return ConsoleReply::failed("no row " + words[2]);
    RowDefinition d;
    {
        auto lock = ops_.kelvora().rows.lock();
        d = RowDefinition::of(*row);
    }
    // Every field left out keeps its value, as in the dialog.
    for (const auto& [key, v] : opt.values) {
        bool good = true;
        if (key == "name")
            d.name = v;
        else if (key == "comment1")
            d.comment[0] = v;
        else if (key == "comment2")
            d.comment[1] = v;
        else if (key == "comment3")
            d.comment[2] = v;
        else if (key == "sampledate")
            d.sampleDate = v;
        else if (key == "sampletemp")
            d.sampleTemp = v;
        else if (key == "analyst")
            d.analyst = v;
        else if (key == "tact")
            good = parseInt(v, d.tact);
        else if (key == "interval")
            good = parseSpan(v, d.interval, d.intervalUnit);
        else if (key == "duration")
            good = parseSpan(v, d.duration, d.durationUnit);
        else if (key == "mode")
            good = parseInt(v, d.mode);
        else if (key == "co2")
            good = parseYesNo(v, d.withCO2);
        else if (key == "zero")
            good = parseYesNo(v, d.zeroNeeded);
        else if (key == "cellcontrol")
            good = parseYesNo(v, d.continueCellControl);
        else if (key == "co2mean")
            good = parseYesNo(v, d.co2Mean);
        else if (key == "ec71t")
            good = parseYesNo(v, d.storeEC71_T);
        else if (key == "divider")
            good = parseInt(v, d.attritionDivider);
        else if (key == "lf2co2")
            good = parseNumber(v, d.lf2co2);
        else if (key == "alarm") {
            if (toLowerAscii(v) == "off") {
                d.leakageAlarm = false;
            } else {
                const size_t slash = v.find('/');
                good = slash != std::string::npos && parseInt(v.substr(0, slash), d.alarmCount) &&
                       parseInt(v.substr(slash + 1), d.alarmHours);
                d.leakageAlarm = true;
            }
        }
        if (!good) return ConsoleReply::failed(key + "=" + v + " is not a valid value");
    }
    if (opt.values.count("name") && (trimmed(d.name).empty() || trimmed(d.name)[0] == '#'))
        return ConsoleReply::failed("a row name must not be empty nor begin with #");
    ConsoleFrontEnd::Scope scope(ui_, args.password);
    return fromResult(ops_.setRowDefinition(nr, d), scope.takeNotes());
}

ConsoleReply CommandInterpreter::rowCellMembership(const std::vector<std::string>& words,
                                                   Args& args) {
    static const char* const kUsage = "usage: row cell add|remove NAME N";
    if (words.size() < 5) return ConsoleReply::failed(kUsage);
    const std::string sub = toLowerAscii(words[2]);
    if (sub != "add" && sub != "remove") return ConsoleReply::failed(kUsage);
    std::string error;
    Options& opt = args.options;
    if (!takeOptions(words, 5, {}, {}, args.password, opt, error))
        return ConsoleReply::failed(error);
    const int nr = findRow(words[3], error);
    if (nr == 0) return ConsoleReply::failed(error);
    int cell = 0;
    if (!parseInt(words[4], cell)) return ConsoleReply::failed("not a cell number: " + words[4]);
    ConsoleFrontEnd::Scope scope(ui_, args.password);
    if (sub == "add") return fromResult(ops_.addRowCell(nr, cell), scope.takeNotes());
    const auto row = ops_.kelvora().rows.FindByUniqueNr(nr);
    const int phys = ops_.physicalCell(cell);
    const int slot = row && phys != 0 ? row->FindCellSlot(phys) : 0;
    if (slot == 0) return ConsoleReply::failed("cell " + words[4] + " is not in " + words[3]);
    return fromResult(ops_.removeRowCell(nr, slot), scope.takeNotes());
}

ConsoleReply CommandInterpreter::cellCommand(const std::vector<std::string>& words, Args& args) {
    static const char* const kUsage =
        "usage: cell start|hold|continue|stop N, cell counter N VALUE, cell ad ...";
    if (words.size() >= 2 && iequals(words[1], "ad")) return cellAdCommand(words, args);
    if (words.size() < 3) return ConsoleReply::failed(kUsage);
    const std::string sub = toLowerAscii(words[1]);
    int n = 0;
    if (!parseInt(words[2], n)) return ConsoleReply::failed("not a cell number: " + words[2]);
    std::string error;
    const bool counter = sub == "counter";
    if (!counter && sub != "start" && sub != "hold" && sub != "continue" && sub != "stop")
        return ConsoleReply::failed(kUsage);
    if (counter && words.size() < 4) return ConsoleReply::failed("usage: cell counter N VALUE");
    if (!takeOptions(words, counter ? 4 : 3, {}, {}, args.password, args.options, error))
        return ConsoleReply::failed(error);
    ConsoleFrontEnd::Scope scope(ui_, args.password);
    OpResult r;
    if (sub == "start")
        r = ops_.startRowCell(n);
    else if (sub == "hold")
        r = ops_.holdCell(n, true, true);
    else if (sub == "continue")
        r = ops_.continueCell(n, true, true);
    else if (sub == "stop")
        r = ops_.stopCell(n);
    else
        r = ops_.setCellCounter(n, words[3]);
    return fromResult(r, scope.takeNotes());
}

// ---------------------------------------------------------------------------------------
// Reports

ConsoleReply CommandInterpreter::status() {
    TKelvora& k = ops_.kelvora();
    ConsoleReply r;
    const std::string state = k.quitting.load()            ? "stopping"
                              : k.startupInProgress.load() ? "starting"
                              : k.systemRunning.load()     ? "running"
                                                           : "stopped";
    r.lines.push_back(std::string(kProgramName) + " " + kVersionText);
    r.lines.push_back("home: " + k.rows.env().homeFolder);
    r.lines.push_back("time: " + dateTimeToText(clock().now()));
    r.lines.push_back("state: " + state);
    r.lines.push_back("cells: " + std::to_string(k.cfg.Cells) + " (first " +
                      std::to_string(k.cfg.firstCell) + ")");
    int series = 0, running = 0, templates = 0;
    {
        auto lock = k.rows.lock();
        for (const auto& row : k.rows.Snapshot()) {
            if (row->isTemplate) {
                ++templates;
                continue;
            }
            ++series;
            if (row->State == RowState::Running) ++running;
        }
    }
    r.lines.push_back("rows: " + std::to_string(series) + " (" + std::to_string(running) +
                      " running), templates: " + std::to_string(templates));
    r.lines.push_back("devices: " + valueOrDash(k.status.panelText(StatusPanel::DevStatus)));
    const std::string info1 = k.status.panelText(StatusPanel::Info1);
    const std::string info2 = k.status.panelText(StatusPanel::Info2);
    if (!info1.empty()) r.lines.push_back("info: " + info1);
    if (!info2.empty()) r.lines.push_back("alarm: " + info2);
    const TKLVDeviceList list = k.devices.devices();
    for (size_t d = 0; d < list.size(); ++d) {
        const TKLVDeviceListEntry& e = list[d];
        std::string l = "device " + std::to_string(d + 1) + ": " + deviceTypeName(e.Type) + " " +
                        quoteWord(e.SerialNr) + " " + (e.bPresent ? "present" : "missing") +
                        " error=" + std::to_string(e.ErrorCode);
        if (e.Type == DeviceType::Data)
            l +=
                " cells=" + std::to_string(e.logCellNr_From) + "-" + std::to_string(e.logCellNr_To);
        if (e.Type == DeviceType::Case) l += " temp=" + valueOrDash(realToText(e.curTemp, 0, 1));
        if (!e.Message.empty()) l += " " + quoteWord(e.Message);
        r.lines.push_back(l);
    }
    return r;
}

ConsoleReply CommandInterpreter::cells() {
    TKelvora& k = ops_.kelvora();
    ConsoleReply r;
    const int n = std::min(k.cfg.Cells, kMaxCells);
    const TKLVDeviceList list = k.devices.devices();
    auto caseTemperature = [&](int phys) {
        const int d = k.devices.dataDeviceByCell(phys, false);
        if (d == 0) return std::string("-");
        const int c = k.devices.caseDeviceByCase(k.devices.device(d).Case, false);
        if (c == 0) return std::string("-");
        return valueOrDash(realToText(k.devices.device(c).curTemp, 0, 1));
    };
    // The console's numbers always use the decimal point, whatever the windows show.
    auto tankUsed = [](const TCell& c) {
        if (c.O2TankMax <= 0) return std::string("-");
        return realToText(100.0 * c.O2TankUsed / c.O2TankMax, 0, 1) + "%";
    };
    for (int i = 1; i <= n; ++i) {
        const TCell c = k.acq.cells.cell(i);
        std::string rowName, unit;
        double o2 = NoValueReal;
        if (c.RowNr != 0) {
            const auto info = k.acq.cells.rowOf(c.RowNr);
            rowName = info ? info->name : std::string();
            if (c.RowMode == 1) {
                o2 = k.acq.cells.O2Amount(i);
                unit = "mg";
            } else {
                o2 = k.acq.cells.O2Concentration(i);
                unit = "mg/l";
            }
        }
        const int decimals = k.cfg.valueDecimals;
        r.lines.push_back("cell=" + std::to_string(ops_.displayCell(i)) +
                          " state=" + valueOrDash(TCells::StateShortName(c.State)) +
                          " count=" + std::to_string(c.CellCount) + " o2=" +
                          valueOrDash(realToText(o2, 0, decimals)) + " unit=" + valueOrDash(unit) +
                          " temp=" + caseTemperature(i) + " tank=" + tankUsed(c) +
                          " row=" + (rowName.empty() ? std::string("-") : quoteWord(rowName)));
    }
    return r;
}

ConsoleReply CommandInterpreter::rows() {
    TKelvora& k = ops_.kelvora();
    ConsoleReply r;
    auto lock = k.rows.lock();
    for (const auto& row : k.rows.Snapshot()) {
        std::vector<int> cellNrs;
        bool unassigned = false;
        for (int s = 1; s <= std::min(row->NrCells, kMaxRowCells); ++s) {
            const RowCell& c = row->RowCells[static_cast<size_t>(s)];
            if (!c.bMapped) unassigned = true;
            cellNrs.push_back(ops_.displayCell(c.CellNr));
        }
        std::string l = "row=" + quoteWord(row->Name) + " nr=" + std::to_string(row->UniqueNr) +
                        " kind=" + (row->isTemplate ? "template" : "series") +
                        " state=" + valueOrDash(k.rows.StateShortName(row->State)) +
                        " cells=" + valueOrDash(cellListText(cellNrs)) +
                        (unassigned && !row->isTemplate ? " (unassigned)" : "") +
                        " tact=" + std::to_string(row->Tact) +
                        " interval=" + spanText(row->Interval, row->SIInterval) +
                        " duration=" + spanText(row->Duration, row->SIDuration) +
                        " mode=" + std::to_string(row->RowMode) + " co2=" + yesNo(row->withCO2) +
                        " zero=" + yesNo(row->ZeroNeeded != 0) +
                        " password=" + yesNo(!row->PassWd.empty()) +
                        " values=" + std::to_string(row->iRTV);
        if (row->Start > 0) l += " start=" + quoteWord(dateTimeToText(row->Start));
        if (row->Stop > 0) l += " stop=" + quoteWord(dateTimeToText(row->Stop));
        if (!row->DataDir.empty()) l += " data=" + quoteWord(row->DataDir);
        r.lines.push_back(l);
    }
    return r;
}

ConsoleReply CommandInterpreter::msgs(const std::vector<std::string>& words) {
    int n = kDefaultMsgs;
    if (words.size() > 2) return ConsoleReply::failed("usage: msgs [N]");
    if (words.size() == 2 && (!parseInt(words[1], n) || n < 1 || n > MessageList::kRingSize))
        return ConsoleReply::failed("N must be a number from 1 to " +
                                    std::to_string(MessageList::kRingSize));
    ConsoleReply r;
    const auto lines = messageList().newestFirst();
    for (size_t i = 0; i < lines.size() && i < static_cast<size_t>(n); ++i)
        r.lines.push_back(lines[i]);
    return r;
}

// --- output: the row data table, exports, evaluation workbooks, charts and printouts -----

bool CommandInterpreter::isOutputCommand(const std::string& sub) {
    return sub == "data" || sub == "csv" || sub == "xlsx" || sub == "at4" || sub == "301f" ||
           sub == "chart" || sub == "print";
}

namespace {

// The values as the row data window shows them.
ConsoleReply dataTable(TRow& row, const std::string& name, const Options& opt) {
    if (opt.flags.size() > 1) return ConsoleReply::failed("row data takes one of co2, lf, ts");
    RowValueChoice choice = RowValueChoice::O2;
    if (!opt.flags.empty()) parseRowValueChoice(*opt.flags.begin(), choice);
    if (!rowOffersChoice(row, choice))
        return ConsoleReply::failed("series " + quoteWord(name) + " measures no CO2");
    std::string table;
    const std::string err = RowDataReport(row, choice, table);
    if (!err.empty()) return ConsoleReply::failed(err);
    ConsoleReply r;
    for (auto line : split(table, '\n'))
        if (!line.empty()) r.lines.emplace_back(line);
    return r;
}

ConsoleReply drawnOutput(const OutputResult& out) {
    if (!out.ok) return ConsoleReply::failed(out.text);
    ConsoleReply r;
    if (!out.text.empty()) r.lines.push_back(out.text);
    return r;
}

}  // namespace

ConsoleReply CommandInterpreter::rowOutput(const std::string& sub,
                                           const std::vector<std::string>& words, Args& args) {
    std::string error;
    Options& opt = args.options;
    const bool needsFile = sub == "csv" || sub == "xlsx" || sub == "chart" || sub == "print";
    const size_t first = needsFile ? 4 : 3;
    if (words.size() < first) {
        if (sub == "data") return ConsoleReply::failed("usage: row data NAME [co2|lf|ts]");
        return ConsoleReply::failed("usage: row " + sub + " NAME" + (needsFile ? " FILE" : ""));
    }
    bool optionsOk = false;
    if (sub == "data")
        optionsOk = takeOptions(words, first, {}, {"co2", "lf", "ts"}, args.password, opt, error);
    else if (sub == "csv" || sub == "xlsx")
        optionsOk = takeOptions(words, first, {}, {"ts", "lf"}, args.password, opt, error);
    else if (sub == "print")
        optionsOk = takeOptions(words, first, {}, {"data", "special", "evaluation"}, args.password,
                                opt, error);
    else
        optionsOk = takeOptions(words, first, {}, {}, args.password, opt, error);
    if (!optionsOk) return ConsoleReply::failed(error);
    const int nr = findRow(words[2], error);
    if (nr == 0) return ConsoleReply::failed(error);
    const auto flag = [&opt](const char* f) { return opt.flags.count(f) > 0; };

    ConsoleFrontEnd::Scope scope(ui_, args.password);
    if (sub == "csv")
        return fromResult(ops_.exportCsv(nr, words[3], flag("ts"), flag("lf")), scope.takeNotes());
    if (sub == "xlsx")
        return fromResult(ops_.exportXlsx(nr, words[3], flag("ts"), flag("lf")), scope.takeNotes());
    if (sub == "at4") return fromResult(ops_.exportAt4(nr), scope.takeNotes());
    if (sub == "301f") return fromResult(ops_.export301f(nr), scope.takeNotes());
    // The chart is the Graphics page's, which asks for no row password.
    OpResult refused;
    const std::shared_ptr<TRow> row =
        sub == "chart" ? ops_.kelvora().rows.FindByUniqueNr(nr) : ops_.openRowData(nr, refused);
    if (!row && refused.ok) return ConsoleReply::failed("no row named " + quoteWord(words[2]));
    if (!row) return fromResult(refused, scope.takeNotes());
    if (sub == "data") return dataTable(*row, words[2], opt);

    // Charts and printouts are drawn with the GUI library, headless on its offscreen
    // platform; console commands run on the main thread, where it must live.
    if (!EnsureGuiApp()) return ConsoleReply::failed("the drawing library cannot start");
    if (sub == "chart") return drawnOutput(ChartRowToFile(*row, ops_.resolvePath(words[3])));
    PrintOptions po;
    po.printData = flag("data");
    po.printSpecial = flag("special");
    po.printEvaluation = flag("evaluation");
    po.showCO2 = row->withCO2;
    return drawnOutput(PrintRowToPdf(*row, ops_.resolvePath(words[3]), po));
}

// --- the configuration dialog's actions ----------------------------------------------------

namespace {

bool isPasswordField(const std::string& name) {
    return name.find("Pwd") != std::string::npos;
}

// A value of the configuration file or the dialog, never a password.
std::string shownValue(const std::string& section, const std::string& name,
                       const std::string& value) {
    if (isPasswordField(name) || iequals(section, kSecPassWd))
        return value.empty() ? "(none)" : "(set)";
    return value;
}

std::string typeText(DeviceType t) {
    return deviceTypeName(t);
}

}  // namespace

ConsoleReply CommandInterpreter::inSession(Args& args, const std::function<OpResult()>& action) {
    if (calibration_.running()) return ConsoleReply::failed("an EC71 calibration is running");
    ConsoleFrontEnd::Scope scope(ui_, args.password);
    OpResult r = service_.open();
    if (r.ok) {
        r = action();
        service_.cancel();
    }
    return fromResult(r, scope.takeNotes());
}

ConsoleReply CommandInterpreter::configCommand(const std::vector<std::string>& words, Args& args) {
    static const char* const kUsage =
        "usage: config get [SECTION [KEY]], config set FIELD=VALUE ...";
    if (words.size() < 2) return ConsoleReply::failed(kUsage);
    const std::string sub = toLowerAscii(words[1]);
    if (calibration_.running()) return ConsoleReply::failed("an EC71 calibration is running");
    if (sub == "get") {
        // Every word but password= names the section and the key.
        std::vector<std::string> names;
        for (size_t i = 2; i < words.size(); ++i) {
            if (istartsWith(words[i], "password=")) {
                args.password = words[i].substr(9);
                continue;
            }
            names.push_back(words[i]);
        }
        if (names.size() > 2) return ConsoleReply::failed(kUsage);
        ConsoleFrontEnd::Scope scope(ui_, args.password);
        const OpResult auth = service_.authorize();
        if (!auth.ok) return fromResult(auth, scope.takeNotes());
        ConsoleReply r;
        r.lines = scope.takeNotes();
        if (names.empty()) {
            const ConfigForm form = service_.form();
            for (const std::string& f : ConfigService::fieldNames())
                r.lines.push_back(f + "=" + shownValue("", f, form.at(f)));
            return r;
        }
        const IniFile& ini = ops_.kelvora().ini;
        std::string section;
        for (const std::string& s : ini.sections())
            if (iequals(s, names[0])) section = s;
        if (section.empty()) return ConsoleReply::failed("no section " + quoteWord(names[0]));
        for (const std::string& key : ini.keys(section)) {
            if (names.size() == 2 && !iequals(key, names[1])) continue;
            r.lines.push_back(key + "=" + shownValue(section, key, ini.readRaw(section, key, "")));
        }
        if (names.size() == 2 && r.lines.empty())
            return ConsoleReply::failed("no key " + quoteWord(names[1]) + " in [" + section + "]");
        return r;
    }
    if (sub != "set" || words.size() < 3) return ConsoleReply::failed(kUsage);
    std::vector<std::pair<std::string, std::string>> changes;
    for (size_t i = 2; i < words.size(); ++i) {
        const size_t eq = words[i].find('=');
        if (eq == std::string::npos || eq == 0)
            return ConsoleReply::failed("not FIELD=VALUE: " + quoteWord(words[i]));
        const std::string name = words[i].substr(0, eq);
        if (iequals(name, "password")) {
            args.password = words[i].substr(eq + 1);
            continue;
        }
        std::string field;
        for (const std::string& f : ConfigService::fieldNames())
            if (iequals(f, name)) field = f;
        if (field.empty())
            return ConsoleReply::failed("no field " + quoteWord(name) + " (see config get)");
        changes.emplace_back(field, words[i].substr(eq + 1));
    }
    ConsoleFrontEnd::Scope scope(ui_, args.password);
    OpResult r = service_.open();
    if (!r.ok) return fromResult(r, scope.takeNotes());
    ConfigForm form = service_.form();
    std::set<std::string> given;
    for (const auto& [field, value] : changes) {
        form[field] = value;
        given.insert(field);
    }
    for (const auto& [field, value] : changes) {
        // One value on the command line is the password and its confirmation.
        if (isPasswordField(field) && field.rfind("confirm", 0) != 0) {
            const std::string confirm = "confirm" + field;
            if (!given.count(confirm)) form[confirm] = value;
        }
        // The CO2 source chooses the EC71 page's check box too, as the dialog does.
        if (field == "CO2_Option" && !given.count("EC71_Present"))
            form["EC71_Present"] = iequals(trimmed(value), "EC71") ? "1" : "0";
    }
    r = service_.accept(form, false);
    if (!r.ok) service_.cancel();
    return fromResult(r, scope.takeNotes());
}

ConsoleReply CommandInterpreter::deviceCommand(const std::vector<std::string>& words, Args& args) {
    static const char* const kUsage =
        "usage: device list, device send N TEXT, device edit N [FIELD=VALUE ...]";
    if (words.size() < 2) return ConsoleReply::failed(kUsage);
    const std::string sub = toLowerAscii(words[1]);
    TKelvora& k = ops_.kelvora();
    if (sub == "list") {
        std::string error;
        if (!takeOptions(words, 2, {}, {}, args.password, args.options, error))
            return ConsoleReply::failed(error);
        ConsoleReply r;
        for (const TUSBDeviceListEntry& u : service_.attachedDevices())
            r.lines.push_back("attached " + quoteWord(u.SerialNr) + " " + quoteWord(u.Description) +
                              " location=" + std::to_string(u.LocID));
        const TKLVDeviceList list = k.devices.devices();
        for (size_t d = 0; d < list.size(); ++d) {
            const TKLVDeviceListEntry& e = list[d];
            std::string l = "device " + std::to_string(d + 1) + ": " + typeText(e.Type) +
                            " serial=" + quoteWord(e.SerialNr) +
                            " case=" + std::to_string(e.Case + k.cfg.firstCase - 1) +
                            " master=" + (e.Master ? "1" : "0") +
                            " present=" + (e.bPresent ? "yes" : "no") +
                            " delaywrite=" + std::to_string(e.DelayInFT_Write) +
                            " delayread=" + std::to_string(e.DelayInFT_Read);
            if (e.Type == DeviceType::Data || e.Type == DeviceType::CO2)
                l += " cells=" + std::to_string(e.logCellNr_From) + "-" +
                     std::to_string(e.logCellNr_To);
            if (!e.AppName.empty()) l += " identity=" + quoteWord(e.AppName);
            r.lines.push_back(l);
        }
        return r;
    }
    int n = 0;
    if (words.size() < 3 || !parseInt(words[2], n)) return ConsoleReply::failed(kUsage);
    if (sub == "send") {
        if (words.size() < 4) return ConsoleReply::failed("usage: device send N TEXT");
        std::string text = words[3];
        for (size_t i = 4; i < words.size(); ++i) {
            if (istartsWith(words[i], "password=")) {
                args.password = words[i].substr(9);
                continue;
            }
            text += " " + words[i];
        }
        return inSession(args, [&]() {
            std::string answer;
            OpResult r = service_.terminal(n, text, answer);
            if (r.ok) r.lines.push_back("answer: " + quoteWord(answer));
            return r;
        });
    }
    if (sub != "edit") return ConsoleReply::failed(kUsage);
    std::string error;
    if (!takeOptions(words, 3,
                     {"serial", "case", "master", "delaywrite", "delayread", "e", "n", "w", "d",
                      "f1", "f2", "f3"},
                     {}, args.password, args.options, error))
        return ConsoleReply::failed(error);
    const auto& opt = args.options.values;
    return inSession(args, [&]() {
        DeviceEdit v;
        OpResult r = service_.readDevice(n, v);
        if (!r.ok) return r;
        if (!opt.empty()) {
            for (const auto& [key, value] : opt) {
                int number = 0;
                const bool isInt = parseInt(value, number);
                if (key == "serial") {
                    v.serialNr = value;
                } else if (key == "e" || key == "n" || key == "w" || key == "d" || key == "f1" ||
                           key == "f2" || key == "f3") {
                    std::string& field = key == "e"    ? v.e
                                         : key == "n"  ? v.n
                                         : key == "w"  ? v.w
                                         : key == "d"  ? v.d
                                         : key == "f1" ? v.f1
                                         : key == "f2" ? v.f2
                                                       : v.f3;
                    field = value;
                } else if (!isInt) {
                    return OpResult::failed(key + "= takes a number");
                } else if (key == "case") {
                    v.caseNr = number;
                } else if (key == "master") {
                    v.master = number != 0;
                } else if (key == "delaywrite") {
                    v.delayWrite = number;
                } else if (key == "delayread") {
                    v.delayRead = number;
                }
            }
            r = service_.writeDevice(v);
            if (!r.ok) return r;
            r = service_.readDevice(n, v);
            if (!r.ok) return r;
        }
        r.lines.push_back("device " + std::to_string(n) + ": " + typeText(v.type) +
                          " serial=" + quoteWord(v.serialNr) + " case=" + std::to_string(v.caseNr) +
                          " master=" + (v.master ? "1" : "0") +
                          " delaywrite=" + std::to_string(v.delayWrite) +
                          " delayread=" + std::to_string(v.delayRead));
        if (v.type == DeviceType::Data)
            r.lines.push_back("e=" + valueOrDash(v.e) + " n=" + valueOrDash(v.n) +
                              " w=" + valueOrDash(v.w) + " d=" + valueOrDash(v.d) +
                              " m=" + valueOrDash(v.m) + " f1=" + valueOrDash(v.f1) +
                              " f2=" + valueOrDash(v.f2) + " f3=" + valueOrDash(v.f3));
        return r;
    });
}

ConsoleReply CommandInterpreter::cellAdCommand(const std::vector<std::string>& words, Args& args) {
    static const char* const kUsage = "usage: cell ad [N measure|lower|upper], cell ad write";
    std::string error;
    auto gridLines = [this](OpResult& r) {
        const std::vector<AdLimitRow>& grid = service_.adGrid();
        for (size_t i = 0; i < grid.size(); ++i)
            r.lines.push_back("cell=" + std::to_string(ops_.displayCell(static_cast<int>(i + 1))) +
                              " lower=" + valueOrDash(grid[i].lower) +
                              " upper=" + valueOrDash(grid[i].upper) +
                              " actual=" + valueOrDash(grid[i].actual));
    };
    if (words.size() == 2 || (words.size() >= 3 && istartsWith(words[2], "password="))) {
        if (!takeOptions(words, 2, {}, {}, args.password, args.options, error))
            return ConsoleReply::failed(error);
        ConsoleFrontEnd::Scope scope(ui_, args.password);
        OpResult r = service_.authorize();
        if (r.ok) gridLines(r);
        return fromResult(r, scope.takeNotes());
    }
    if (iequals(words[2], "write")) {
        if (!takeOptions(words, 3, {}, {}, args.password, args.options, error))
            return ConsoleReply::failed(error);
        return inSession(args, [&]() { return service_.writeAdLimits(); });
    }
    int n = 0;
    if (words.size() < 4 || !parseInt(words[2], n)) return ConsoleReply::failed(kUsage);
    const std::string what = toLowerAscii(words[3]);
    AdColumn column = AdColumn::Actual;
    if (what == "lower")
        column = AdColumn::Lower;
    else if (what == "upper")
        column = AdColumn::Upper;
    else if (what != "measure")
        return ConsoleReply::failed(kUsage);
    if (!takeOptions(words, 4, {}, {}, args.password, args.options, error))
        return ConsoleReply::failed(error);
    const int phys = ops_.physicalCell(n);
    if (phys == 0) return ConsoleReply::failed("Cell " + std::to_string(n) + " does not exist.");
    return inSession(args, [&]() {
        OpResult r = service_.measureAd(phys, column);
        if (r.ok) {
            const AdLimitRow& row = service_.adGrid()[size_t(phys - 1)];
            r.lines = {"cell=" + std::to_string(n) + " lower=" + valueOrDash(row.lower) +
                       " upper=" + valueOrDash(row.upper) + " actual=" + valueOrDash(row.actual)};
        }
        return r;
    });
}

ConsoleReply CommandInterpreter::ec71Command(const std::vector<std::string>& words, Args& args) {
    static const char* const kUsage = "usage: ec71 calibrate CELL, ec71 status, ec71 cancel";
    if (words.size() < 2) return ConsoleReply::failed(kUsage);
    const std::string sub = toLowerAscii(words[1]);
    std::string error;
    if (sub == "status" || sub == "cancel") {
        if (!takeOptions(words, 2, {}, {}, args.password, args.options, error))
            return ConsoleReply::failed(error);
        ConsoleReply r;
        if (sub == "cancel") {
            if (!calibration_.running()) return ConsoleReply::failed("no calibration is running");
            calibration_.cancel();
        }
        r.lines.push_back(std::string("calibration: ") +
                          (calibration_.running() ? "running" : "not running"));
        if (!calibration_.status().empty()) r.lines.push_back("status: " + calibration_.status());
        if (!calibration_.outcome().empty())
            r.lines.push_back("outcome: " + calibration_.outcome());
        return r;
    }
    int n = 0;
    if (sub != "calibrate" || words.size() < 3 || !parseInt(words[2], n))
        return ConsoleReply::failed(kUsage);
    if (!takeOptions(words, 3, {}, {}, args.password, args.options, error))
        return ConsoleReply::failed(error);
    if (!ops_.kelvora().cfg.EC71_Present)
        return ConsoleReply::failed("no EC71 meter is configured");
    const int phys = ops_.physicalCell(n);
    if (phys == 0) return ConsoleReply::failed("Cell " + std::to_string(n) + " does not exist.");
    ConsoleFrontEnd::Scope scope(ui_, args.password);
    if (!calibration_.start(phys, error)) return ConsoleReply::failed(error);
    ConsoleReply r;
    r.lines = scope.takeNotes();
    r.lines.push_back("calibration of cell " + std::to_string(n) +
                      " started (ec71 status shows its progress)");
    return r;
}

}  // namespace kv
