#include "output/evaluation_sheet.h"

#include "output/xlsx_template.h"

namespace kv {

std::string writeEvaluationSheet(XlsxTemplate& x, const std::vector<EvalTableRow>& table) {
    std::string err;
    // A template's own "Evaluation" sheet (the 301F template's formulas per cell) keeps
    // what it has: the table goes to its right, a column apart.
    int col0 = 1;
    if (!x.hasSheet(kEvaluationSheet))
        err = x.addSheet(kEvaluationSheet);
    else if (const int last = x.lastUsedColumn(kEvaluationSheet); last > 0)
        col0 = last + 2;
    for (size_t r = 0; r < table.size() && err.empty(); ++r) {
        const EvalTableRow& row = table[r];
        for (size_t c = 0; c < row.size() && err.empty(); ++c) {
            const int rr = static_cast<int>(r) + 1, cc = static_cast<int>(c) + col0;
            const EvalTableCell& cell = row[c];
            if (cell.isNumber)
                err = x.setNumber(kEvaluationSheet, rr, cc, cell.number);
            else if (!cell.text.empty())
                err = x.setText(kEvaluationSheet, rr, cc, cell.text);
        }
    }
    return err;
}

}  // namespace kv
