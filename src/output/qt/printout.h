#pragma once
// The printout of a row as lines of text in a monospaced font: the overview page, the value
// blocks of up to six cells and the special-cell pages. Building the lines and putting them
// on pages is plain C++; print_row.h draws the pages.

#include <string>
#include <vector>

namespace kv {

class TRow;

// The row data window's choices.
struct PrintOptions {
    bool printData = false;
    bool printSpecial = false;
    bool perDriedMatter = false;
    bool showLF = false;
    bool showCO2 = false;
    // The evaluation page: the 301F or AT4 evaluation, one figure a line.
    bool printEvaluation = false;
};

// A piece of a line: text starting at a character column (0 = the left margin).
struct PrintSegment {
    int col = 0;
    std::string text;
    bool bold = false;
};

struct PrintLine {
    std::vector<PrintSegment> segments;
};

// Lines that belong together. The heading opens the block and is repeated (in bold) at the
// top of every further page the block needs.
struct PrintBlock {
    bool newPage = false;  // begins on a page of its own
    double gapBefore = 0;  // tenths of a millimetre above the block on a page already begun
    std::vector<PrintLine> heading;
    std::vector<PrintLine> lines;
};

struct PrintGeometry {
    double pageHeight = 2970;  // printable height, tenths of a millimetre
    double top = 200;          // M: the page number stands at 2 x M
    double lineStep = 40;
    double firstLineOffset = 52;  // from the page number to the first line
};

struct PlacedLine {
    double y = 0;  // top of the line, from the top of the printable area
    PrintLine line;
};

struct PrintPage {
    int number = 1;
    std::vector<PlacedLine> lines;
};

// The printout's blocks; takes the rows lock.
std::vector<PrintBlock> BuildPrintout(const TRow& row, const PrintOptions& o);
// Places the blocks on pages: a line whose top would reach the page height - M goes to a new
// page, which starts with the block's heading again.
std::vector<PrintPage> PaginatePrintout(const std::vector<PrintBlock>& blocks,
                                        const PrintGeometry& g);
// The page number text: "- 3 -".
std::string PageNumberText(int number);

}  // namespace kv
