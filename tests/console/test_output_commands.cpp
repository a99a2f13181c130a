// The output features reached from the console: data table, exports, evaluation workbooks,
// charts and printouts of a series measured against the virtual lab.
#include <filesystem>

#include "console_fixture.h"

using namespace kv;
using kvtest::ConsoleFixture;

TEST_F(ConsoleFixture, OutputCommandsWriteTheirFilesAndRefuseBadArguments) {
    k().acq.cycle.setRowsUpdate([this](bool force) { k().rows.UpdateAll(force); });
    ok("row new \"Out\" cells=1-2 tact=3 interval=1min duration=1h");
    ok("row start \"Out\"");
    // Twenty minutes of acquisition in virtual time: about twenty time values.
    for (int i = 0; i < 400; ++i) {
        clock_.advanceMs(3000);
        k().acq.cycle.mmTimerCallback();
    }

    const std::string table = ok("row data \"Out\"");
    EXPECT_GT(std::count(table.begin(), table.end(), '\n'), 10) << table;

    const auto exists = [&](const std::string& name) {
        std::error_code ec;
        return std::filesystem::file_size(home_.file(name), ec) > 0 && !ec;
    };
    ok("row csv \"Out\" out.csv");
    EXPECT_TRUE(exists("out.csv"));
    ok("row xlsx \"Out\" out.xlsx");
    EXPECT_TRUE(exists("out.xlsx"));
    ok("row chart \"Out\" chart.png");
    EXPECT_TRUE(exists("chart.png"));
    ok("row print \"Out\" print.pdf data");
    EXPECT_TRUE(exists("print.pdf"));

    // Twenty minutes are not the six hours an AT4 evaluation needs.
    EXPECT_NE(error("row at4 \"Out\"").find("Too less data (5 hours min)."), std::string::npos);
    EXPECT_NE(error("row data \"Out\" co2").find("measures no CO2"), std::string::npos);
    EXPECT_NE(error("row csv \"Out\"").find("usage: row csv NAME FILE"), std::string::npos);
    EXPECT_NE(error("row csv \"Out\" x.csv bogus").find("unknown argument"), std::string::npos);
    EXPECT_NE(error("row chart \"Nope\" c.png").find("no row named"), std::string::npos);
    EXPECT_FALSE(exists("x.csv"));
    EXPECT_FALSE(exists("c.png"));
}

// The Graphics page's chart settings from the console: the curves by their list numbers, the
// axes and legend; a bad value changes nothing, and the row keeps what was set.
TEST_F(ConsoleFixture, ChartCurvesAndAxesAreSetAllOrNothing) {
    ok("row new \"Chart\" cells=1-3 tact=3 interval=1h duration=1d");
    const std::string curves = ok("row curves \"Chart\"");
    EXPECT_NE(curves.find("curve=1 \"O2 Cell 1\" shown=no"), std::string::npos) << curves;
    EXPECT_NE(curves.find("curve=3 \"O2 Cell 3\""), std::string::npos) << curves;

    const std::string set = ok("row curve \"Chart\" 2-3 show color=7 axis=2");
    EXPECT_NE(set.find("curve=2 \"O2 Cell 2\" shown=yes axis=2 style=1 color=7"), std::string::npos)
        << set;
    EXPECT_NE(error("row curve \"Chart\" 1,4 show").find("has no curve 4"), std::string::npos);
    EXPECT_NE(error("row curve \"Chart\" 1 color=16").find("Invalid value"), std::string::npos);
    EXPECT_NE(error("row curve \"Chart\" 1 show hide").find("exclude each other"),
              std::string::npos);
    const std::string after = ok("row curves \"Chart\"");
    EXPECT_NE(after.find("curve=1 \"O2 Cell 1\" shown=no axis=1 style=1 color=1"),
              std::string::npos)
        << after;

    const std::string axes =
        ok("row axes \"Chart\" from=\"02.03.2026 08:00:00\" to=\"03.03.2026 08:00:00\" step=2 "
           "unit=h y=0/40/5 ytext=\"mg/l\" legend=right/bottom");
    EXPECT_NE(axes.find("from=\"02.03.2026 08:00:00\" to=\"03.03.2026 08:00:00\" step=2 unit=h "
                        "y=0/40/5 y2=0/250/25 ytext=mg/l y2text=n/a legend=right/bottom"),
              std::string::npos)
        << axes;
    EXPECT_NE(error("row axes \"Chart\" y=0/40").find("y= cannot be read"), std::string::npos);
    EXPECT_NE(error("row axes \"Chart\" from=yesterday").find("from= cannot be read"),
              std::string::npos);
    EXPECT_EQ(ok("row axes \"Chart\""), axes);
    {
        const auto row = k().rows.FindByUniqueNr(k().rows.Snapshot().front()->UniqueNr);
        auto lock = k().rows.lock();
        EXPECT_EQ(row->RowCells[2].ChartSel1.v[1], 7);
        EXPECT_DOUBLE_EQ(row->YValues[1], 40);
        EXPECT_EQ(row->LegendPosition[0], 1);
        EXPECT_FALSE(row->Saved);  // for the auto-save
    }
}
