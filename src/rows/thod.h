#pragma once
// The theoretical oxygen demand of a substance from its molecular formula: the mg O2 that
// one mg of it takes to be oxidised completely, without nitrification (nitrogen ends as
// ammonium) and with it (nitrogen ends as nitrate). It is the B(Th1) of a check, reference
// or toxicity-control cell, so the operator can give the formula instead of the figure.

#include <string>
#include <string_view>

namespace kv {

struct Thod {
    bool ok = false;
    // Why the formula could not be read, naming the character position (1-based).
    std::string error;
    double molarMass = 0;  // g/mol
    double nh4 = 0;        // mg O2 / mg, nitrogen as ammonium
    double no3 = 0;        // mg O2 / mg, nitrogen as nitrate
    double value(bool nitrification) const { return nitrification ? no3 : nh4; }
};

// Formulas like "C7H5NaO2", "(NH4)2SO4" or hydrates "C2H3NaO2·3H2O" (also written with
// "." or "*"). Elements: C, H, N, O, S, P, Na and K (counted alike), F, Cl, Br and I (the
// halogens, counted alike). Blanks are ignored.
Thod thodOfFormula(std::string_view formula);

// The ThOD alone; the no-value real when the formula cannot be read (error says why).
double thod(std::string_view formula, bool nitrification, std::string* error = nullptr);

}  // namespace kv
