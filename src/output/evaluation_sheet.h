#pragma once
// The "Evaluation" sheet of the 301F and AT4 workbooks: the evaluation's table from the
// first cell down, numbers as numbers. A template without the sheet gets it added at the
// end; one that has it keeps its content, and the table begins two columns to its right.

#include <string>
#include <vector>

#include "rows/evaluation.h"

namespace kv {

class XlsxTemplate;

inline constexpr const char* kEvaluationSheet = "Evaluation";

std::string writeEvaluationSheet(XlsxTemplate& x, const std::vector<EvalTableRow>& table);

}  // namespace kv
