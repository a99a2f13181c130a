// The operations and the console's interpreter against a TKelvora over the virtual lab.
#include <filesystem>

#include "acquisition/cell_state.h"
#include "console_fixture.h"

using namespace kv;
using kvtest::ConsoleFixture;
using kvtest::readFile;
using kvtest::ScriptedFrontEnd;

namespace {
const char* const kInProgress = "Start/Stop or Delete operation in progress - please wait.";
}

TEST_F(ConsoleFixture, BadCommandsAndArgumentsChangeNothing) {
    ok("row new A cells=1-3");
    const std::string rowFile = readFile(home_.file("Kelvora.Row"));
    const int msgs = messageList().total();
    const int rows = k().rows.Count();
    for (const char* line : {"",
                             "   ",
                             "bogus",
                             "row",
                             "row new",
                             "row new B",
                             "row new B cells=",
                             "row new B cells=6-1",
                             "row new B cells=4 tact=7",
                             "row new B cells=4 tact=x",
                             "row new B cells=4 interval=1w",
                             "row new B cells=4 interval=90",
                             "row new B cells=4 duration=0d",
                             "row new B cells=4 mode=2",
                             "row new B cells=4 alarm=95",
                             "row new B cells=4 alarm=95/25",
                             "row new B cells=4 alarm=101/1",
                             "row new B cells=4 co2",
                             "row new B cells=3",
                             "row new B cells=13",
                             "row new B cells=4,4",
                             "row new A cells=4",
                             "row new #B cells=4",
                             "row new B cells=4 colour=red",
                             "row new B cells=4 tact=3 tact=15",
                             "row new B cells=4 zero zero",
                             "row new \"B cells=4",
                             "row new B cells=4 password=0123456789012345678901234567890",
                             "row start Nope",
                             "row start A now",
                             "row stop A",
                             "row export A",
                             "row export A a.krow",
                             "row import",
                             "row import missing.krow",
                             "row rename A B",
                             "cell hold 1",
                             "cell hold x",
                             "cell counter 1",
                             "cell counter 1 -5",
                             "cell counter 1 1.5",
                             "cell hold 99",
                             "cell hold 4",
                             "cell explode 1",
                             "tank refill",
                             "tank refill 0",
                             "tank refill 13",
                             "tank fill 1",
                             "msgs 0",
                             "msgs 501",
                             "msgs 1 2",
                             "status now",
                             "help password=x",
                             "quit now"})
        error(line);
    EXPECT_EQ(k().rows.Count(), rows);
    EXPECT_EQ(readFile(home_.file("Kelvora.Row")), rowFile);
    // The failed import is the one refusal that tells the message list.
    const auto added = messagesSince(msgs);
    ASSERT_EQ(added.size(), 1u) << ::testing::PrintToString(added);
    EXPECT_NE(added[0].find("NOT successfull imported"), std::string::npos);
    for (int c = 4; c <= 12; ++c) EXPECT_EQ(k().acq.cells.cell(c).State, CellState::cs_Free) << c;
    EXPECT_EQ(rowState("A"), RowState::Defined);
    EXPECT_EQ(quitCalls_, 0);
    EXPECT_NE(error("bogus").find("try help"), std::string::npos);
    EXPECT_EQ(error("row new B cells=3"), "Cell 3 belongs to row A.");
    EXPECT_EQ(error("row new B cells=4 alarm=95/25"), "Valid values are 0..24 (alarm hours)");
}

TEST_F(ConsoleFixture, SeriesLifecycleThroughTheConsole) {
    const int mark = messageList().total();
    ok("row new \"Sludge A\" cells=1-2,7 tact=15 interval=30min duration=2h alarm=90/3 zero");
    auto r = row("Sludge A");
    ASSERT_TRUE(r);
    {
        auto lock = k().rows.lock();
        EXPECT_EQ(r->Tact, 15);
        EXPECT_EQ(r->Interval, 30);
        EXPECT_EQ(r->SIInterval, kv::TimeUnit::Minutes);
        EXPECT_EQ(r->Duration, 2);
        EXPECT_EQ(r->SIDuration, kv::TimeUnit::Hours);
        EXPECT_TRUE(r->bO2LeakageAlarm);
        EXPECT_EQ(r->AlarmCount, 90);
        EXPECT_EQ(r->AlarmHours, 3);
        EXPECT_EQ(r->ZeroNeeded, 1);
        EXPECT_FALSE(r->withCO2);
        EXPECT_GT(r->Created, 0);
        ASSERT_EQ(r->NrCells, 3);
        EXPECT_EQ(r->RowCells[3].CellNr, 7);
        EXPECT_EQ(r->RowCells[3].Vol, 250);
        EXPECT_EQ(r->RowCells[3].Name, "Cell 7");
    }
    EXPECT_EQ(k().acq.cells.cell(7).RowNr, r->UniqueNr);
    EXPECT_EQ(k().acq.cells.cell(7).State, CellState::cs_Assigned);
    EXPECT_NE(ok("rows").find("row=\"Sludge A\" nr=" + std::to_string(r->UniqueNr) +
                              " kind=series state=Defined cells=1-2,7 tact=15 interval=30min "
                              "duration=2h"),
              std::string::npos);
    EXPECT_NE(readFile(home_.file("Kelvora.Row")).find("Name=Sludge A"), std::string::npos);

    ok("row start \"Sludge A\" count-after-all");
    EXPECT_EQ(rowState("Sludge A"), RowState::Running);
    for (int s = 1; s <= 3; ++s) EXPECT_EQ(cellState(s, "Sludge A"), CellState::cs_Running);
    EXPECT_TRUE(r->bCountAfterAllCellsStarted);
    EXPECT_TRUE(std::filesystem::exists(r->DataDir));
    EXPECT_EQ(error("row start \"Sludge A\""), "Sludge A is already running.");
    // Every third acquisition tick reads the case temperatures.
    for (int i = 0; i < 3; ++i) k().acq.cycle.mmTimerCallback();
    const std::string cells = ok("cells");
    const auto lineOf = [&](const std::string& head) {
        const size_t at = cells.find(head);
        return at == std::string::npos ? std::string()
                                       : cells.substr(at, cells.find('\n', at) - at);
    };
    EXPECT_EQ(lineOf("cell=7 ").rfind("cell=7 state=Running count=", 0), 0u) << cells;
    EXPECT_NE(lineOf("cell=7 ").find(" unit=mg/l temp=20.0 tank=0.0% row=\"Sludge A\""),
              std::string::npos)
        << cells;
    EXPECT_EQ(lineOf("cell=3 "), "cell=3 state=Free count=0 o2=- unit=- temp=20.0 tank=0.0% row=-");
    // The windows may show decimal commas; the console's numbers keep the point.
    kv::setDecimalCommaFlag(true);
    EXPECT_NE(ok("cells").find("temp=20.0 tank=0.0% row=-"), std::string::npos);
    kv::setDecimalCommaFlag(false);

    clock_.advanceMs(45 * 60 * 1000.0);
    EXPECT_NE(error("row export #" + std::to_string(r->UniqueNr) + " a.krow")
                  .find("is not possible (not Done/Canceled)"),
              std::string::npos);
    ok("row stop \"Sludge A\"");
    EXPECT_EQ(rowState("Sludge A"), RowState::Stopped);
    EXPECT_GE(r->iRTV, 1);  // the values of the moment were stored before the stop
    EXPECT_EQ(error("row stop \"Sludge A\""), "Sludge A is not running.");

    const std::string out = ok("row export \"Sludge A\" sludge.krow");
    EXPECT_TRUE(std::filesystem::exists(home_.file("sludge.krow")));
    EXPECT_FALSE(row("Sludge A"));
    EXPECT_EQ(k().acq.cells.cell(7).State, CellState::cs_Free);
    EXPECT_NE(
        out.find("Row [Sludge A] successfull exported to [" + home_.file("sludge.krow") + "] .  ("),
        std::string::npos)
        << out;

    ok("row import sludge.krow");
    ASSERT_TRUE(row("Sludge A"));
    EXPECT_EQ(rowState("Sludge A"), RowState::Stopped);
    ok("row delete \"Sludge A\"");
    EXPECT_FALSE(row("Sludge A"));

    const auto m = messagesSince(mark);
    EXPECT_TRUE(anyEndsWith(m, "Started meas. series Sludge A"));
    EXPECT_TRUE(anyEndsWith(m, "Stopped meas. series Sludge A, Reason: btnStartStopRowClick"));
    EXPECT_TRUE(anyEndsWith(
        m, "File [" + home_.file("sludge.krow") + "] successfull imported to [Sludge A] ."));
    EXPECT_TRUE(anyEndsWith(m, "Deleted meas. series Sludge A"));
}

TEST_F(ConsoleFixture, PasswordProtectedSeries) {
    ok("row new P cells=1-2 password=secret");
    EXPECT_EQ(readFile(home_.file("Kelvora.Row")).find("secret"), std::string::npos);
    EXPECT_NE(ok("rows").find("password=yes"), std::string::npos);
    EXPECT_EQ(error("row start P"), "The row is protected by a password.");
    EXPECT_EQ(error("row start P password=wrong"), "Wrong password.");
    EXPECT_EQ(rowState("P"), RowState::Defined);
    k().cfg.passwordMaster = "boss";
    ok("row start P password=boss");
    EXPECT_EQ(rowState("P"), RowState::Running);

    EXPECT_EQ(error("cell hold 1"), "The row is protected by a password.");
    EXPECT_EQ(cellState(1, "P"), CellState::cs_Running);
    ok("cell hold 1 password=secret");
    EXPECT_EQ(error("cell counter 2 9"), "The row is protected by a password.");
    EXPECT_EQ(error("tank refill 2"), "The row is protected by a password.");
    ok("tank refill 3");  // a free cell has no row to protect it

    // The values, exports and printouts of the row data window are protected as well.
    EXPECT_EQ(error("row data P"), "The row is protected by a password.");
    EXPECT_EQ(error("row csv P p.csv password=nope"), "Wrong password.");
    ok("row data P password=secret");
    EXPECT_NE(error("row csv P Kelvora.Row password=secret").find("a file of Kelvora itself"),
              std::string::npos);

    EXPECT_EQ(error("row stop P password=nope"), "Wrong password.");
    EXPECT_EQ(rowState("P"), RowState::Running);
    ok("row stop P password=secret");
    EXPECT_EQ(error("row delete P"), "The row is protected by a password.");
    ok("row delete P password=secret");
    EXPECT_FALSE(row("P"));
}

TEST_F(ConsoleFixture, CellCommandsAndTanks) {
    ok("row new C cells=1-3");
    ok("row start C");
    const int mark = messageList().total();

    ok("cell hold 2");
    EXPECT_EQ(cellState(2, "C"), CellState::cs_SuspendedO2);  // a row without CO2 holds O2 only
    EXPECT_NE(error("cell hold 2").find("held already"), std::string::npos);
    ok("cell continue 2");
    EXPECT_EQ(cellState(2, "C"), CellState::cs_Running);
    EXPECT_NE(error("cell continue 2").find("is not held"), std::string::npos);

    EXPECT_NE(ok("cell counter 3 0").find("Counter unchanged."), std::string::npos);
    ok("cell counter 3 40");
    EXPECT_EQ(k().acq.cells.GetCellCount(3), 40);
    {
        auto r = row("C");
        auto lock = k().rows.lock();
        EXPECT_EQ(r->RowCells[3].CounterValue, 40);
        EXPECT_EQ(r->RowCells[3].LastCount, 0);
    }

    ok("cell stop 1");
    EXPECT_EQ(cellState(1, "C"), CellState::cs_Cancelled);
    // A cancelled cell is free again in the cell model.
    EXPECT_EQ(error("cell stop 1"), "Cell 1 belongs to no row.");
    ok("cell stop 2");
    ok("cell stop 3");
    EXPECT_EQ(rowState("C"), RowState::Stopped);  // the last cell took the row with it

    k().acq.cells.update(5, [](TCell& c) {
        c.O2TankUsed = 180000;
        c.O2ImpTotal = 190000;
        c.O2TankMax = 1000;
    });
    ok("tank refill 5");
    const TCell c5 = k().acq.cells.cell(5);
    EXPECT_EQ(c5.O2TankUsed, 0);
    EXPECT_EQ(c5.O2ImpTotal, 190000);
    EXPECT_EQ(c5.O2TankMax, k().cfg.DefMaxO2Imp);
    EXPECT_EQ(c5.O2TankDate, encodeDate(2026, 3, 2));

    const std::vector<std::string> m = messagesSince(mark);
    const std::vector<std::string> expected{"Row C: Cell 2 suspended !",
                                            "Row C: Cell 2 continued !",
                                            "Setting counter for cell 3 from 0 to 40",
                                            "Row C: Cell 1 stopped !",
                                            "Row C: Cell 2 stopped !",
                                            "Row C: Cell 3 stopped !",
                                            "Stopped meas. series C, Reason: TRow.CancelCell/n=0",
                                            "Refill O2 Tank of cell 5"};
    ASSERT_EQ(m.size(), expected.size()) << ::testing::PrintToString(m);
    for (size_t i = 0; i < m.size(); ++i) EXPECT_TRUE(anyEndsWith({m[i]}, expected[i])) << m[i];

    // Users see cells from firstCell on.
    k().cfg.firstCell = 11;
    EXPECT_EQ(ops().physicalCell(11), 1);
    EXPECT_EQ(ops().physicalCell(22), 12);
    EXPECT_EQ(ops().physicalCell(10), 0);
    EXPECT_EQ(ops().physicalCell(23), 0);
    EXPECT_EQ(error("row new D cells=1"), "Cell 1 does not exist.");
}

TEST_F(ConsoleFixture, GuardsOfStartStopDeleteAndExport) {
    ScriptedFrontEnd ui;
    Operations ops(k(), ui);
    RowSpec rowDef = RowSpec::defaults(k().cfg);
    rowDef.name = "G";
    rowDef.cells = {1, 2};
    const int nr = ops.newRow(rowDef).rowNr;
    ASSERT_GT(nr, 0);

    k().rowCommandIdle = false;  // another start, stop or delete is under way
    EXPECT_EQ(ops.startRow(nr, false).error, kInProgress);
    EXPECT_EQ(ops.deleteRow(nr).error, kInProgress);
    EXPECT_EQ(rowState("G"), RowState::Defined);
    k().rowCommandIdle = true;

    ASSERT_TRUE(ops.startRow(nr, false).ok);
    EXPECT_TRUE(k().rowCommandIdle.load());
    k().rowCommandIdle = false;
    EXPECT_EQ(ops.stopRow(nr).error, kInProgress);
    k().rowCommandIdle = true;

    ui.answer = Answer::No;
    EXPECT_EQ(ops.stopRow(nr).error, "Cancelled.");
    EXPECT_EQ(ops.deleteRow(nr).error, "Cancelled.");
    EXPECT_EQ(rowState("G"), RowState::Running);
    EXPECT_EQ(ui.questions, (std::vector<std::string>{"Abort G ?", "Delete G ?"}));
    EXPECT_EQ(ops.exportRow(nr, "g.krow").error,
              "Export of row G is not possible (not Done/Canceled)");

    // Deleting a running series stops it first, so its cells are let go in the devices.
    ui.answer = Answer::Yes;
    const int mark = messageList().total();
    ASSERT_TRUE(ops.deleteRow(nr).ok);
    const auto m = messagesSince(mark);
    ASSERT_EQ(m.size(), 2u) << ::testing::PrintToString(m);
    EXPECT_TRUE(anyEndsWith({m[0]}, "Stopped meas. series G, Reason: btnDeleteRowClick"));
    EXPECT_TRUE(anyEndsWith({m[1]}, "Deleted meas. series G"));
    EXPECT_EQ(k().acq.cells.cell(1).State, CellState::cs_Free);
    EXPECT_FALSE(lab_->dataDevice("KLV1")->cellConfig(1).active);

    // An export never replaces the program's own files.
    rowDef.name = "H";
    const int h = ops.newRow(rowDef).rowNr;
    ASSERT_TRUE(ops.startRow(h, false).ok);
    ASSERT_TRUE(ops.stopRow(h).ok);
    for (const char* own : {"Kelvora.Row", "Kelvora.Ini", "Kelvora.Msg"})
        EXPECT_NE(ops.exportRow(h, own).error.find("is a file of Kelvora itself"),
                  std::string::npos);
    EXPECT_NE(ops.exportRow(h, "Data").error.find("is a folder"), std::string::npos);
    kvtest::writeFile(home_.file("earlier.krow"), "an earlier export");
    EXPECT_NE(ops.exportRow(h, "earlier.krow").error.find("exists already"), std::string::npos);
    EXPECT_EQ(readFile(home_.file("earlier.krow")), "an earlier export");
    EXPECT_EQ(rowState("H"), RowState::Stopped);
}

TEST_F(ConsoleFixture, RowLimitKeepsEveryRowLoadable) {
    ScriptedFrontEnd ui;
    Operations ops(k(), ui);
    ASSERT_TRUE(ops.newTemplate().ok);
    while (k().rows.Count() < kMaxRowsAndTemplates - 1) k().rows.NewRow(0);
    RowSpec rowDef = RowSpec::defaults(k().cfg);
    rowDef.name = "last";
    rowDef.cells = {1};
    EXPECT_TRUE(ops.newRow(rowDef).ok);  // the 356th
    rowDef.name = "one more";
    const char* const limit = "Too many rows defined, max. 356 rows possible !";
    EXPECT_EQ(ops.newRow(rowDef).error, limit);
    EXPECT_EQ(ops.newTemplate().error, limit);
    EXPECT_EQ(ops.importRow("x.krow").error, limit);
    EXPECT_EQ(k().rows.Count(), kMaxRowsAndTemplates);
    EXPECT_EQ(k().acq.cells.cell(1).RowNr, row("last")->UniqueNr);
}

TEST_F(ConsoleFixture, TemplatesAndRowsFromTemplates) {
    ScriptedFrontEnd ui;
    Operations ops(k(), ui);
    ok("row new X cells=1-2 tact=30 interval=2h");
    const int x = row("X")->UniqueNr;
    const OpResult t = ops.templateFromRow(x);
    ASSERT_TRUE(t.ok) << t.error;
    EXPECT_EQ(ui.questions.back(), "Create new template based on row [X] ?");
    auto tpl = k().rows.FindByUniqueNr(t.rowNr);
    {
        auto lock = k().rows.lock();
        EXPECT_TRUE(tpl->isTemplate);
        EXPECT_EQ(tpl->Name, "Template created: 02.03.2026 08:00:00 [X]");
        EXPECT_EQ(tpl->Tact, 30);
        ASSERT_EQ(tpl->NrCells, 2);
        EXPECT_FALSE(tpl->RowCells[1].bMapped);
        EXPECT_EQ(tpl->RowCells[2].CellNr, 2);
    }
    EXPECT_EQ(k().acq.cells.cell(2).RowNr, x);  // the template never touches the cells
    EXPECT_NE(ops.startRow(t.rowNr, false).error.find("is a template"), std::string::npos);

    const OpResult y = ops.rowFromTemplate(t.rowNr, "Y");
    ASSERT_TRUE(y.ok) << y.error;
    EXPECT_EQ(ui.questions.back(),
              "Create new row based on template Template created: 02.03.2026 08:00:00 [X] ?");
    EXPECT_EQ(ops.startRow(y.rowNr, false).error, "Not all cells of Y are assigned.");
    EXPECT_NE(ops.assignCell(y.rowNr, 1, 2).error.find("belongs to row X"), std::string::npos);
    EXPECT_TRUE(ops.assignCell(y.rowNr, 1, 5).ok);
    EXPECT_NE(ops.assignCell(y.rowNr, 1, 6).error.find("already has a cell"), std::string::npos);
    EXPECT_TRUE(ops.assignCell(y.rowNr, 2, 6).ok);
    EXPECT_EQ(k().acq.cells.cell(6).RowNr, y.rowNr);
    ASSERT_TRUE(ops.startRow(y.rowNr, false).ok);
    EXPECT_EQ(rowState("Y"), RowState::Running);
    EXPECT_EQ(k().acq.cells.cell(5).State, CellState::cs_Running);
    EXPECT_EQ(row("Y")->Tact, 30);

    ASSERT_TRUE(ops.deleteRow(t.rowNr).ok);
    EXPECT_EQ(ui.questions.back(), "Delete Template created: 02.03.2026 08:00:00 [X] ?");
    EXPECT_FALSE(k().rows.FindByUniqueNr(t.rowNr));
}

TEST_F(ConsoleFixture, MessageListOperations) {
    ScriptedFrontEnd ui;
    Operations ops(k(), ui);
    ASSERT_TRUE(messageList().openForAppend(home_.file("Kelvora.Msg")));
    EXPECT_FALSE(ops.newMessage("   ").ok);
    ASSERT_TRUE(ops.newMessage("  Bottle 3 leaks  ").ok);
    EXPECT_TRUE(anyEndsWith({messageList().newestFirst().front()}, "  Bottle 3 leaks"));

    // Only a real copy is reported as saved.
    const int mark = messageList().total();
    EXPECT_FALSE(ops.saveMessages("no/such/folder/m.txt").ok);
    EXPECT_EQ(messageList().total(), mark);
    ASSERT_TRUE(ops.saveMessages("saved.txt").ok);
    EXPECT_NE(readFile(home_.file("saved.txt")).find("Bottle 3 leaks"), std::string::npos);
    EXPECT_TRUE(anyEndsWith({messageList().newestFirst().front()},
                            "Messages saved to " + home_.file("saved.txt")));

    ui.answer = Answer::No;
    EXPECT_EQ(ops.deleteMessages().error, "Cancelled.");
    EXPECT_GT(messageList().total(), 1);
    ui.answer = Answer::Yes;
    ASSERT_TRUE(ops.deleteMessages().ok);
    EXPECT_EQ(ui.questions.back(), "Delete all messages ?");
    EXPECT_EQ(messageList().total(), 1);
    const std::string msgs = ok("msgs");
    EXPECT_NE(msgs.find("Messages deleted\nok\n"), std::string::npos) << msgs;
    messageList().close();
}

TEST_F(ConsoleFixture, QuitRunsTheQuitPathAndReportsACancel) {
    quitResult_ = false;
    EXPECT_EQ(error("quit"), "quit cancelled (a quit password needs password=)");
    quitResult_ = true;
    const ConsoleReply r = run("quit password=x");
    EXPECT_TRUE(r.ok);
    EXPECT_TRUE(r.quit);
    EXPECT_EQ(r.text(), "ok\n");
    EXPECT_EQ(quitCalls_, 2);
}

TEST_F(ConsoleFixture, TheRowDialogsChangesThroughTheConsole) {
    ok("row new A cells=1-2");
    const auto a = row("A");
    ASSERT_TRUE(a);
    ok("row edit A name=Sludge comment1=First sampletemp=4 divider=2 alarm=90/0 lf2co2=1,5 "
       "interval=30min");
    {
        auto lock = k().rows.lock();
        EXPECT_EQ(a->Name, "Sludge");
        EXPECT_EQ(a->Comment[0], "First");
        EXPECT_EQ(a->SampleTemp, "4");
        EXPECT_EQ(a->AttritionDivider, 2);
        EXPECT_EQ(a->AlarmHours, 0);
        EXPECT_TRUE(a->bO2LeakageAlarm);
        EXPECT_DOUBLE_EQ(a->LF2CO2, 1.5);
        EXPECT_EQ(a->SIInterval, TimeUnit::Minutes);
    }
    // Refused in the dialog's order; nothing changes.
    EXPECT_EQ(error("row edit Sludge name=\" \" alarm=95/25"),
              "a row name must not be empty nor begin with #");
    EXPECT_EQ(error("row edit Sludge alarm=95/25"), "Valid values are 0..24 (alarm hours)");
    error("row edit Sludge divider=0");
    error("row edit Sludge tact=7");
    EXPECT_EQ(error("row edit Sludge mode=1"), "Sludge has cells: its mode is fixed.");

    // Cells join and leave at once; a new cell has its number in its name.
    ok("row cell add Sludge 5");
    EXPECT_EQ(k().acq.cells.cell(5).RowNr, a->UniqueNr);
    {
        auto lock = k().rows.lock();
        ASSERT_EQ(a->NrCells, 3);
        EXPECT_EQ(a->RowCells[3].Name, "Cell 5");
    }
    EXPECT_EQ(error("row cell add Sludge 5"), "Cell 5 belongs to row Sludge.");
    ok("row cell set Sludge 5 name=Check vol=300 mode=1 index=1 ptc=100 bth1=1.6");
    error("row cell set Sludge 5 mode=1 ptc=0");
    error("row cell set Sludge 5 vol=0");
    {
        auto lock = k().rows.lock();
        EXPECT_EQ(a->RowCells[3].Name, "Check");
        EXPECT_DOUBLE_EQ(a->RowCells[3].Vol, 300);
        EXPECT_DOUBLE_EQ(a->RowCells[3].PTC, 100);
    }
    EXPECT_DOUBLE_EQ(k().acq.cells.cell(5).Volume, 300);
    ok("row cell remove Sludge 5");
    EXPECT_EQ(k().acq.cells.cell(5).RowNr, 0);
    EXPECT_EQ(k().acq.cells.cell(5).State, CellState::cs_Free);

    // A template's cells stand for cells to choose later: the model is not touched.
    ok("row new T cells=8");
    ok("row delete T");
    const int tmplNr = ops().newTemplate().rowNr;
    ok("row cell add #" + std::to_string(tmplNr) + " 8");
    EXPECT_EQ(k().acq.cells.cell(8).RowNr, 0);
    EXPECT_NE(readFile(home_.file("Kelvora.Row")).find("C1=??8|Cell 8|"), std::string::npos);

    // "cell start": only a cell of a running series that has not been started.
    EXPECT_NE(error("cell start 1").find("has not been started"), std::string::npos);
    ok("row start Sludge");
    EXPECT_NE(error("cell start 1").find("has been started"), std::string::npos);
    // A started row keeps its measuring fields and its cells.
    EXPECT_NE(error("row edit Sludge tact=15").find("fixed"), std::string::npos);
    EXPECT_NE(error("row cell remove Sludge 1").find("fixed"), std::string::npos);
    ok("row edit Sludge comment2=Running");
}
