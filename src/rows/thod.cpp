#include "rows/thod.h"

#include <array>
#include <cctype>
#include <cmath>

#include "common/numtext.h"

namespace kv {

namespace {

// What each element counts as in the oxygen balance.
enum class Kind { C, H, N, O, S, P, Alkali, Halogen };

struct Element {
    std::string_view symbol;
    double mass;  // conventional atomic mass
    Kind kind;
};

constexpr std::array<Element, 12> kElements{{
    {"C", 12.011, Kind::C},
    {"H", 1.008, Kind::H},
    {"N", 14.007, Kind::N},
    {"O", 15.999, Kind::O},
    {"S", 32.06, Kind::S},
    {"P", 30.974, Kind::P},
    {"Na", 22.990, Kind::Alkali},
    {"K", 39.098, Kind::Alkali},
    {"F", 18.998, Kind::Halogen},
    {"Cl", 35.45, Kind::Halogen},
    {"Br", 79.904, Kind::Halogen},
    {"I", 126.90, Kind::Halogen},
}};

struct Counts {
    std::array<double, 8> n{};
    double mass = 0;
    void add(const Counts& o, double times) {
        for (size_t k = 0; k < n.size(); ++k) n[k] += o.n[k] * times;
        mass += o.mass * times;
    }
    double of(Kind k) const { return n[static_cast<size_t>(k)]; }
};

// A recursive-descent reader over the formula's bytes; positions are counted in characters
// so that the "·" of a hydrate (two bytes) counts once.
class Reader {
  public:
    explicit Reader(std::string_view s) : s_(s) {}

    bool formula(Counts& out) {
        skipBlanks();
        if (atEnd()) return fail("the formula is empty");
        for (;;) {
            // A hydrate or adduct part may begin with its multiplier ("3H2O").
            const double times = number(1.0, true);
            Counts part;
            if (!sequence(part, 0)) return false;
            out.add(part, times);
            skipBlanks();
            if (atEnd()) return true;
            if (!separator()) return fail("unexpected '" + charAt() + "'");
            skipBlanks();
            if (atEnd()) return fail("a part is missing after the separator");
        }
    }

    const std::string& error() const { return error_; }

  private:
    bool sequence(Counts& out, int depth) {
        bool any = false;
        for (;;) {
            skipBlanks();
            if (atEnd()) break;
            const char c = s_[p_];
            if (c == '(' || c == '[') {
                if (depth > 16) return fail("brackets nested too deeply");
                const char close = c == '(' ? ')' : ']';
                advance(1);
                Counts inner;
                if (!sequence(inner, depth + 1)) return false;
                skipBlanks();
                if (atEnd() || s_[p_] != close)
                    return fail(std::string("'") + close + "' expected");
                advance(1);
                out.add(inner, number(1.0));
                any = true;
                continue;
            }
            if (std::isupper(static_cast<unsigned char>(c))) {
                const bool lowerNext =
                    p_ + 1 < s_.size() && std::islower(static_cast<unsigned char>(s_[p_ + 1]));
                const size_t len = lowerNext ? 2 : 1;
                // "Co" is not carbon and oxygen: a lower-case letter always belongs to the
                // symbol before it.
                const Element* e = find(s_.substr(p_, len));
                if (!e) return fail("unknown element '" + std::string(s_.substr(p_, len)) + "'");
                advance(len);
                const double times = number(1.0);
                if (times <= 0) return fail("a count must be above 0");
                out.n[static_cast<size_t>(e->kind)] += times;
                out.mass += e->mass * times;
                any = true;
                continue;
            }
            break;
        }
        if (!any) {
            if (atEnd()) return fail("an element is missing");
            return fail("an element symbol expected, not '" + charAt() + "'");
        }
        return true;
    }

    static const Element* find(std::string_view sym) {
        for (const Element& e : kElements)
            if (e.symbol == sym) return &e;
        return nullptr;
    }

    // A count; `def` when there is none. Only the multiplier of a part may have decimals
    // ("0.5H2O"): after an element, "." separates the hydrate ("O2.3H2O").
    double number(double def, bool decimals = false) {
        size_t q = p_;
        while (q < s_.size() && std::isdigit(static_cast<unsigned char>(s_[q]))) ++q;
        if (decimals && q < s_.size() && s_[q] == '.' && q > p_ && q + 1 < s_.size() &&
            std::isdigit(static_cast<unsigned char>(s_[q + 1]))) {
            ++q;
            while (q < s_.size() && std::isdigit(static_cast<unsigned char>(s_[q]))) ++q;
        }
        if (q == p_) return def;
        const double v = std::stod(std::string(s_.substr(p_, q - p_)));
        advance(q - p_);
        return v;
    }

    bool separator() {
        if (s_.compare(p_, 2, "\xC2\xB7") == 0 || s_.compare(p_, 3, "\xE2\x8B\x85") == 0 ||
            s_.compare(p_, 3, "\xE2\x80\xA2") == 0) {
            const size_t len = static_cast<unsigned char>(s_[p_]) == 0xC2 ? 2 : 3;
            p_ += len;
            ++pos_;
            return true;
        }
        if (s_[p_] == '.' || s_[p_] == '*') {
            advance(1);
            return true;
        }
        return false;
    }

    void skipBlanks() {
        while (!atEnd() && (s_[p_] == ' ' || s_[p_] == '\t')) advance(1);
    }
    void advance(size_t n) {
        p_ += n;
        pos_ += static_cast<int>(n);
    }
    bool atEnd() const { return p_ >= s_.size(); }
    // The character at the position, whole even when it takes several bytes.
    std::string charAt() const {
        size_t len = 1;
        const auto b = static_cast<unsigned char>(s_[p_]);
        if (b >= 0xF0)
            len = 4;
        else if (b >= 0xE0)
            len = 3;
        else if (b >= 0xC0)
            len = 2;
        return std::string(s_.substr(p_, len));
    }
    bool fail(const std::string& why) {
        if (error_.empty()) error_ = why + " at position " + std::to_string(pos_ + 1);
        return false;
    }

    std::string_view s_;
    size_t p_ = 0;
    int pos_ = 0;
    std::string error_;
};

}  // namespace

Thod thodOfFormula(std::string_view formula) {
    Thod t;
    if (formula.size() > 200) {
        t.error = "the formula is longer than 200 characters";
        return t;
    }
    Reader r(formula);
    Counts c;
    if (!r.formula(c)) {
        t.error = "formula " + std::string(formula) + ": " + r.error();
        return t;
    }
    if (c.mass <= 0) {
        t.error = "formula " + std::string(formula) + ": no mass";
        return t;
    }
    const double carbon = c.of(Kind::C), h = c.of(Kind::H), n = c.of(Kind::N), o = c.of(Kind::O),
                 s = c.of(Kind::S), p = c.of(Kind::P), alkali = c.of(Kind::Alkali),
                 hal = c.of(Kind::Halogen);
    const double common = 2 * carbon + 3 * s + 2.5 * p + 0.5 * alkali - o;
    t.molarMass = c.mass;
    t.nh4 = 16.0 * (common + 0.5 * (h - hal - 3 * n)) / c.mass;
    t.no3 = 16.0 * (common + 0.5 * (h - hal) + 2.5 * n) / c.mass;
    t.ok = true;
    return t;
}

double thod(std::string_view formula, bool nitrification, std::string* error) {
    const Thod t = thodOfFormula(formula);
    if (!t.ok) {
        if (error) *error = t.error;
        return NoValueReal;
    }
    return t.value(nitrification);
}

}  // namespace kv
