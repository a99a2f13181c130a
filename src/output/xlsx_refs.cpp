#include "output/xlsx_refs.h"

#include <algorithm>
#include <cctype>

#include "common/strutil.h"

namespace kv::xlsx {

namespace {

bool isAlpha(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) != 0;
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Characters that can belong to one word of a formula: references, names, function names,
// numbers and unquoted sheet names (which may hold non-ASCII letters).
bool isWordChar(char c) {
    const auto u = static_cast<unsigned char>(c);
    return std::isalnum(u) || c == '_' || c == '$' || c == '.' || c == '\\' || u >= 0x80;
}

enum class RefKind { None, Cell, ColOnly, RowOnly };

// Reads one reference end that fills the whole word.
RefKind parseRefWord(std::string_view w, RefPart& p) {
    p = RefPart{};
    size_t i = 0;
    bool firstDollar = false;
    if (i < w.size() && w[i] == '$') {
        firstDollar = true;
        ++i;
    }
    const size_t letters0 = i;
    while (i < w.size() && isAlpha(w[i])) ++i;
    const size_t nLetters = i - letters0;
    if (nLetters > 3) return RefKind::None;
    if (nLetters > 0) {
        p.col = columnNumber(w.substr(letters0, nLetters));
        if (p.col == 0) return RefKind::None;
        p.colAbs = firstDollar;
        if (i == w.size()) return RefKind::ColOnly;
        if (w[i] == '$') {
            p.rowAbs = true;
            ++i;
        }
    } else {
        p.rowAbs = firstDollar;
    }
    const size_t digits0 = i;
    while (i < w.size() && isDigit(w[i])) ++i;
    const size_t nDigits = i - digits0;
    if (i != w.size() || nDigits == 0 || nDigits > 7 || w[digits0] == '0') return RefKind::None;
    p.row = std::stoi(std::string(w.substr(digits0, nDigits)));
    if (p.row > kMaxRow) return RefKind::None;
    return nLetters > 0 ? RefKind::Cell : RefKind::RowOnly;
}

std::string formatPart(const RefPart& p) {
    std::string s;
    if (p.col > 0) {
        if (p.colAbs) s += '$';
        s += columnName(p.col);
    }
    if (p.row > 0) {
        if (p.rowAbs) s += '$';
        s += std::to_string(p.row);
    }
    return s;
}

size_t wordEnd(std::string_view f, size_t i) {
    while (i < f.size() && isWordChar(f[i])) ++i;
    return i;
}

// End of a text literal starting at i (the opening quote); doubled quotes stay inside.
size_t quotedEnd(std::string_view f, size_t i, char q) {
    ++i;
    while (i < f.size()) {
        if (f[i] == q) {
            if (i + 1 < f.size() && f[i + 1] == q) {
                i += 2;
                continue;
            }
            return i + 1;
        }
        ++i;
    }
    return f.size();
}

std::string unquoteSheet(std::string_view quoted) {
    // 'It''s' -> It's
    std::string s(quoted.substr(1, quoted.size() >= 2 ? quoted.size() - 2 : 0));
    return replaceAll(std::move(s), "''", "'");
}

class Rewriter {
  public:
    Rewriter(std::string_view f, const RefVisitor& v) : f_(f), visit_(v) {}

    std::string run() {
        size_t i = 0;
        while (i < f_.size()) {
            const char c = f_[i];
            if (c == '"') {
                const size_t e = quotedEnd(f_, i, '"');
                out_.append(f_.substr(i, e - i));
                i = e;
            } else if (c == '\'') {
                const size_t e = quotedEnd(f_, i, '\'');
                if (e < f_.size() && f_[e] == '!') {
                    i = reference(e + 1, f_.substr(i, e + 1 - i),
                                  unquoteSheet(f_.substr(i, e - i)));
                } else {
                    out_.append(f_.substr(i, e - i));
                    i = e;
                }
            } else if (c == '[') {
                i = bracketed(i);
            } else if (c == '#') {
                // Error literals (#REF!, #DIV/0!, #N/A) are no sheet prefixes.
                size_t e = i + 1;
                while (e < f_.size() && (std::isalnum(static_cast<unsigned char>(f_[e])) ||
                                         f_[e] == '/' || f_[e] == '!' || f_[e] == '?'))
                    ++e;
                out_.append(f_.substr(i, e - i));
                i = e;
            } else if (isWordChar(c)) {
                const size_t e = wordEnd(f_, i);
                if (e < f_.size() && f_[e] == '!') {
                    i = reference(e + 1, f_.substr(i, e + 1 - i), std::string(f_.substr(i, e - i)));
                } else if (e < f_.size() && f_[e] == '(') {
                    out_.append(f_.substr(i, e - i));  // a function name
                    i = e;
                } else {
                    i = reference(i, {}, {});
                }
            } else {
                out_ += c;
                ++i;
            }
        }
        return out_;
    }

  private:
    size_t bracketed(size_t i) {
        int depth = 0;
        size_t e = i;
        for (; e < f_.size(); ++e) {
            if (f_[e] == '[') ++depth;
            if (f_[e] == ']' && --depth == 0) {
                ++e;
                break;
            }
        }
        out_.append(f_.substr(i, e - i));
        return e;
    }

    // A reference (or a range of two) starting at i; prefix is the sheet text before it.
    size_t reference(size_t i, std::string_view prefix, const std::string& sheet) {
        out_.append(prefix);
        const size_t e1 = wordEnd(f_, i);
        RefPart a, b;
        const RefKind k1 = parseRefWord(f_.substr(i, e1 - i), a);
        size_t end = e1;
        bool range = false;
        if (k1 != RefKind::None && e1 < f_.size() && f_[e1] == ':') {
            const size_t e2 = wordEnd(f_, e1 + 1);
            if (parseRefWord(f_.substr(e1 + 1, e2 - e1 - 1), b) == k1 &&
                !(e2 < f_.size() && (f_[e2] == '(' || f_[e2] == '!'))) {
                range = true;
                end = e2;
            }
        }
        const bool lone = !range && (k1 == RefKind::ColOnly || k1 == RefKind::RowOnly);
        if (k1 == RefKind::None || lone || (end < f_.size() && f_[end] == '(')) {
            out_.append(f_.substr(i, e1 - i));
            return e1;
        }
        bool ok = visit_(sheet, a);
        if (range) ok = visit_(sheet, b) && ok;
        if (!ok) {
            out_ += "#REF!";
        } else {
            out_ += formatPart(a);
            if (range) out_ += ':' + formatPart(b);
        }
        return end;
    }

    std::string_view f_;
    const RefVisitor& visit_;
    std::string out_;
};

}  // namespace

std::string columnName(int col) {
    if (col < 1 || col > kMaxCol) return {};
    std::string s;
    while (col > 0) {
        const int r = (col - 1) % 26;
        s.insert(s.begin(), static_cast<char>('A' + r));
        col = (col - 1) / 26;
    }
    return s;
}

int columnNumber(std::string_view letters) {
    if (letters.empty() || letters.size() > 3) return 0;
    int n = 0;
    for (char c : letters) {
        if (!isAlpha(c)) return 0;
        n = n * 26 + (std::toupper(static_cast<unsigned char>(c)) - 'A' + 1);
    }
    return n <= kMaxCol ? n : 0;
}

std::string cellName(int row, int col) {
    return columnName(col) + std::to_string(row);
}

bool parseCellName(std::string_view text, int& row, int& col) {
    RefPart p;
    if (parseRefWord(text, p) != RefKind::Cell) return false;
    row = p.row;
    col = p.col;
    return true;
}

bool parseArea(std::string_view text, Area& out) {
    const auto colon = text.find(':');
    Area a;
    if (!parseCellName(text.substr(0, colon), a.row1, a.col1)) return false;
    if (colon == std::string_view::npos) {
        a.row2 = a.row1;
        a.col2 = a.col1;
    } else if (!parseCellName(text.substr(colon + 1), a.row2, a.col2)) {
        return false;
    }
    if (a.row2 < a.row1) std::swap(a.row1, a.row2);
    if (a.col2 < a.col1) std::swap(a.col1, a.col2);
    out = a;
    return true;
}

std::string areaName(const Area& a) {
    std::string s = cellName(a.row1, a.col1);
    if (a.row1 != a.row2 || a.col1 != a.col2) s += ':' + cellName(a.row2, a.col2);
    return s;
}

std::optional<SheetRef> parseSheetRef(std::string_view text) {
    text = trim(text);
    if (!text.empty() && text.front() == '=') text = trim(text.substr(1));
    SheetRef r;
    size_t bang;
    if (!text.empty() && text.front() == '\'') {
        const size_t e = quotedEnd(text, 0, '\'');
        if (e >= text.size() || text[e] != '!') return std::nullopt;
        r.sheet = unquoteSheet(text.substr(0, e));
        bang = e;
    } else {
        bang = text.find('!');
        if (bang == std::string_view::npos || bang == 0) return std::nullopt;
        r.sheet = std::string(text.substr(0, bang));
    }
    if (r.sheet.empty() || !parseArea(trim(text.substr(bang + 1)), r.area)) return std::nullopt;
    return r;
}

std::string quoteSheetName(std::string_view sheet) {
    bool plain = !sheet.empty() && !isDigit(sheet.front());
    for (char c : sheet)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.' ||
              static_cast<unsigned char>(c) >= 0x80))
            plain = false;
    // A name that reads like a cell ("AB12") needs quotes as well.
    int r = 0, c = 0;
    if (plain && !parseCellName(sheet, r, c)) return std::string(sheet);
    return "'" + replaceAll(std::string(sheet), "'", "''") + "'";
}

std::string rewriteFormulaRefs(std::string_view formula, const RefVisitor& visit) {
    return Rewriter(formula, visit).run();
}

std::string shiftFormulaRows(std::string_view formula, std::string_view contextSheet,
                             std::string_view targetSheet, int atRow, int count) {
    return rewriteFormulaRefs(formula, [&](std::string_view sheet, RefPart& p) {
        const std::string_view s = sheet.empty() ? contextSheet : sheet;
        if (s.empty() || !iequals(s, targetSheet) || p.row == 0 || p.row < atRow) return true;
        p.row += count;
        return p.row <= kMaxRow;
    });
}

std::string translateFormula(std::string_view formula, int dRows, int dCols) {
    return rewriteFormulaRefs(formula, [&](std::string_view, RefPart& p) {
        // 0 stands for a whole column or row and stays as it is.
        if (p.row > 0 && !p.rowAbs) {
            p.row += dRows;
            if (p.row < 1 || p.row > kMaxRow) return false;
        }
        if (p.col > 0 && !p.colAbs) {
            p.col += dCols;
            if (p.col < 1 || p.col > kMaxCol) return false;
        }
        return true;
    });
}

std::string shiftAreaListRows(std::string_view areas, int atRow, int count) {
    std::string out;
    for (std::string_view item : split(areas, ' ')) {
        if (item.empty()) continue;
        Area a;
        std::string moved(item);
        if (parseArea(item, a)) {
            if (a.row1 >= atRow) a.row1 += count;
            if (a.row2 >= atRow) a.row2 += count;
            // Parts pushed off the sheet are dropped, as the spreadsheet does.
            if (a.row1 > kMaxRow) continue;
            a.row2 = std::min(a.row2, kMaxRow);
            moved = areaName(a);
        }
        if (!out.empty()) out += ' ';
        out += moved;
    }
    return out;
}

std::string cellText(std::string_view text) {
    constexpr size_t kMaxCellChars = 32767;
    const std::string s = isValidUtf8(text) ? std::string(text) : cp1252ToUtf8(text);
    std::string out;
    out.reserve(s.size());
    size_t chars = 0;
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 && c != '\t' && c != '\n' && c != '\r') continue;
        if ((u & 0xC0) != 0x80 && ++chars > kMaxCellChars) break;
        out += c;
    }
    return out;
}

}  // namespace kv::xlsx
