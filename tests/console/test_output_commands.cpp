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
