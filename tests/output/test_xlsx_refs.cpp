#include <gtest/gtest.h>

#include "output/xlsx_refs.h"

using namespace kv::xlsx;

TEST(XlsxRefs, CellNamesAndAreas) {
    EXPECT_EQ(columnName(1), "A");
    EXPECT_EQ(columnName(28), "AB");
    EXPECT_EQ(columnName(16384), "XFD");
    EXPECT_EQ(columnName(16385), "");
    EXPECT_EQ(columnNumber("xfd"), 16384);
    EXPECT_EQ(columnNumber("XFE"), 0);
    int r = 0, c = 0;
    EXPECT_TRUE(parseCellName("$B$5", r, c));
    EXPECT_EQ(r, 5);
    EXPECT_EQ(c, 2);
    EXPECT_FALSE(parseCellName("B0", r, c));
    EXPECT_FALSE(parseCellName("B1048577", r, c));
    EXPECT_FALSE(parseCellName("Values1", r, c));

    auto ref = parseSheetRef("='O2-RawData'!$A$5");
    ASSERT_TRUE(ref);
    EXPECT_EQ(ref->sheet, "O2-RawData");
    EXPECT_EQ(ref->area.row1, 5);
    ref = parseSheetRef("'It''s'!$C$9:$A$3");
    ASSERT_TRUE(ref);
    EXPECT_EQ(ref->sheet, "It's");
    EXPECT_EQ(areaName(ref->area), "A3:C9");  // corners put in order
    EXPECT_FALSE(parseSheetRef("#REF!"));
    EXPECT_FALSE(parseSheetRef("Sheet1!#REF!"));
    EXPECT_FALSE(parseSheetRef("OFFSET(Sheet1!$A$1,0,0)"));
    EXPECT_EQ(quoteSheetName("Data"), "Data");
    EXPECT_EQ(quoteSheetName("O2-RawData"), "'O2-RawData'");
    EXPECT_EQ(quoteSheetName("It's"), "'It''s'");
    EXPECT_EQ(quoteSheetName("AB12"), "'AB12'");
}

TEST(XlsxRefs, InsertedRowsShiftOnlyReferencesAtOrBelowThem) {
    const auto shift = [](std::string_view f, std::string_view ctx = "S") {
        return shiftFormulaRows(f, ctx, "S", 5, 3);
    };
    EXPECT_EQ(shift("=A4+A5+$B$6"), "=A4+A8+$B$9");
    EXPECT_EQ(shift("SUM(A1:A4)+SUM(A1:A5)+SUM(A5:A9)"), "SUM(A1:A4)+SUM(A1:A8)+SUM(A8:A12)");
    // Other sheets, text literals, function names and defined names stay.
    EXPECT_EQ(shift("=T!A9+S!A9+'S'!A9+\"A9\"+LOG10(A9)+Values1+NrCells"),
              "=T!A9+S!A12+'S'!A12+\"A9\"+LOG10(A12)+Values1+NrCells");
    EXPECT_EQ(shift("='s'!$A$5", ""), "='s'!$A$8");  // sheet names in any case
    EXPECT_EQ(shift("=A9", ""), "=A9");              // names and charts have no own sheet
    // Whole rows move, whole columns do not.
    EXPECT_EQ(shift("=SUM(5:6)+SUM($1:$4)+SUM(A:B)"), "=SUM(8:9)+SUM($1:$4)+SUM(A:B)");
    // Error literals, numbers and bracketed parts are left alone.
    EXPECT_EQ(shift("=IF(ISERROR(#REF!),1.5E+10,Table1[Col5])+A6"),
              "=IF(ISERROR(#REF!),1.5E+10,Table1[Col5])+A9");
    // A quoted sheet name with an apostrophe.
    EXPECT_EQ(shiftFormulaRows("='It''s'!B7", "X", "It's", 5, 1), "='It''s'!B8");
    // References pushed off the sheet become #REF!.
    EXPECT_EQ(shiftFormulaRows("=A1048576+A1", "S", "S", 2, 1), "=#REF!+A1");
}

TEST(XlsxRefs, SharedFormulasTranslateRelativeParts) {
    EXPECT_EQ(translateFormula("A1*2+$B$1+B$1+$C1", 2, 1), "B3*2+$B$1+C$1+$C3");
    EXPECT_EQ(translateFormula("SUM(A1:A3)", 1, 0), "SUM(A2:A4)");
    EXPECT_EQ(translateFormula("A1", -1, 0), "#REF!");
    EXPECT_EQ(shiftAreaListRows("A1:B2 A5:C9 D4", 5, 2), "A1:B2 A7:C11 D4");
}
