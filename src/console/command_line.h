#pragma once
// The words of a console command line and the value forms its arguments use.
//
//   row new "Sludge A" cells=1-6,8 interval=30min duration=2d alarm=95/1 co2
//
// Blanks separate words; double quotes group blanks into a word (inside them \" is a quote
// and \\ a backslash). Durations and intervals are a number and one of the units min, h, d.

#include <string>
#include <string_view>
#include <vector>

#include "common/domain.h"

namespace kv {

// False, with a reason, for an unfinished quote.
bool splitCommandLine(std::string_view line, std::vector<std::string>& words, std::string& error);
// The word as splitCommandLine reads it back: quoted when it is empty or holds blanks,
// quotes or backslashes.
std::string quoteWord(std::string_view word);

// "90min", "1.5h", "2d": the number and the unit index (0 min, 1 h, 2 d).
bool parseSpan(std::string_view text, double& value, TimeUnit& unit);
// The text form of a span ("90min", "1.5h").
std::string spanText(double value, TimeUnit unit);

// "1-6,8": the cell numbers in the order given; at most `limit` of them.
bool parseCellList(std::string_view text, std::vector<int>& cells, size_t limit);
// Cell numbers as ranges: 1,2,3,4,8 gives "1-4,8".
std::string cellListText(const std::vector<int>& cells);

// A whole number without sign or with "-"; false for anything else.
bool parseInt(std::string_view text, int& value);

}  // namespace kv
