#include <gtest/gtest.h>

#include <filesystem>

#include "common/datetime.h"
#include "common/numtext.h"
#include "output/xlsx_writer.h"
#include "xlsx_test_util.h"

using namespace kv;
using kvtest::checkXlsx;
using kvtest::t;
using kvtest::TempDir;

TEST(XlsxSheetWriter, WritesFieldsRowByRowWithNumbersAsNumbers) {
    TempDir dir;
    const std::string file = dir.file("export.xlsx");
    const double dt = encodeDateTime(2024, 2, 29, 23, 59, 30);
    {
        XlsxSheetWriter w;
        ASSERT_EQ(w.open(file, "Row: 7/8"), "");  // characters a sheet name cannot hold
        w.addText("Name:");
        w.addText("Row 7");
        w.nextRow();
        w.nextRow();  // an empty line
        w.addDateTime(dt);
        w.addNumber(12.25, "0.0");
        w.addNumber(NoValueReal);
        w.addNumber(-3);
        w.addText(
            "bad\x01"
            "char \xB0"
            "C");  // control character dropped, legacy byte decoded
        EXPECT_EQ(w.row(), 2);
        EXPECT_EQ(w.column(), 5);
        EXPECT_FALSE(std::filesystem::exists(file));  // only a complete file appears
        ASSERT_EQ(w.close(), "");
    }
    EXPECT_EQ(
        checkXlsx(dir, file,
                  {t("sheets", "Row_ 7_8"), t("text", "Row_ 7_8", "A1", "Name:"),
                   t("text", "Row_ 7_8", "B1", "Row 7"), t("empty", "Row_ 7_8", "A2"),
                   t("date", "Row_ 7_8", "A3", realToText(dt, 0, -12)),
                   t("number", "Row_ 7_8", "B3", "12.25"), t("format", "Row_ 7_8", "B3", "0.0"),
                   t("empty", "Row_ 7_8", "C3"), t("number", "Row_ 7_8", "D3", "-3"),
                   t("text", "Row_ 7_8", "E3",
                     "badchar \xC2\xB0"
                     "C")}),
        "");

    // An unwritable target gives an error and leaves nothing behind; so does a writer
    // dropped before close.
    XlsxSheetWriter bad;
    EXPECT_NE(bad.open(dir.file("missing/x.xlsx")).find("Cannot write file"), std::string::npos);
    bad.addNumber(1);
    EXPECT_NE(bad.close().find("Cannot write file"), std::string::npos);
    {
        XlsxSheetWriter dropped;
        ASSERT_EQ(dropped.open(dir.file("dropped.xlsx")), "");
        dropped.addText("x");
    }
    int files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
        files += e.path().extension() != ".txt" && e.path().extension() != ".out";
    EXPECT_EQ(files, 1);  // export.xlsx
}
