#pragma once
// A row definitions file as this program writes it: a defined series with every field set
// (special cells, CO2 start values, chart settings, a password), a stopped series and a
// template whose cell has no physical cell yet. In the file the lines end in CR LF;
// "@DATA@" stands for the data root of the test. The password is stored in its older
// unscrambled form ("xx" + the password): any write scrambles it with a new random filler.

namespace kvtest {

inline constexpr const char* kSampleRowFile = R"([Current]
1=1
2=2
3=3


[1]
RowSection=1
UniqueNr=608333333
isTemplate=0
Tact=30
LF2CO2=9.7216123
AttritionDivider=2
bO2LeakageAlarm=1
AlarmCount=80
AlarmHours=3
RowMode=1
Created=01.03.2026 09:30:15
Start=
realStart=
Stop=
orgStop=
realStop=
SpecialCellMode=1
NrSpecialCells=2
SC1=2.5|1, 0, 0, 0, 4, 0, 0, 0, 0, 0, 5, 0, 1, 0, 0, 0, 6, 0, 
SC2=-9999.9|0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 
State=3
bCountAfterAllCellsStarted=1
bAllCellsStarted=0
Name=Klärschlamm "Nord"
SampleDate=01.03.2026
SampleTemp=4
SampleAnalytiker=B. Müller
Comment/1=" leading blank"
Comment/2="'quoted'"
Comment/3=
PassWd=xxGeheim#1
eXtDurInt=2, 0, 28, 30
intDurInt=0, 0.02083333333333333218
ZeroNeeded=1
withCO2=1
ContinueCellControl=1
storeEC71_T=1
CO2Mean=1
DataDir=
Saved=1
X-Values=01.03.2026, 06:00:00, 29.03.2026, 12:00:00, 2.5, 1
Y-Values=0, 400, 40, 0, 200, 20, 0, 50, 5
LegendPosition=120, -4
Y-Texts=Imp|mg/l|CO2 mg
Cells=3
C1=3|Zulauf|250.125|||0,1,1,1,1,1|3|0||||2.5|1|-1000000|0,1,1,1,2,2|1
C2=4|Prüf substanz|100|||1,2,3,4,1,2|3|1|2.5|47.5|1.75|0|1|1234567|1,5,6,2,2,1|1.12345678
C3=5|Blind|100|||0,1,1,1,1,1|3|2||||0|1|-1000000|0,1,1,1,2,2|1


[2]
RowSection=2
UniqueNr=608333334
isTemplate=0
Tact=3
LF2CO2=0
AttritionDivider=1
bO2LeakageAlarm=0
AlarmCount=95
AlarmHours=1
RowMode=0
Created=01.02.2026 08:00:00
Start=01.02.2026 09:00:00
realStart=01.02.2026 09:00:00
Stop=03.02.2026 09:01:00
orgStop=03.02.2026 09:01:00
realStop=02.02.2026 17:45:30
SpecialCellMode=0
NrSpecialCells=0
State=7
bCountAfterAllCellsStarted=0
bAllCellsStarted=0
Name=Stopped 7
SampleDate=
SampleTemp=
SampleAnalytiker=
Comment/1=
Comment/2=
Comment/3=
PassWd=
eXtDurInt=2, 1, 1, 1
intDurInt=2, 0.04166666666666666435
ZeroNeeded=0
withCO2=0
ContinueCellControl=0
storeEC71_T=0
CO2Mean=0
DataDir=@DATA@/608333334
Saved=1
X-Values=, , , , 1, 2
Y-Values=0, 500, 50, 0, 250, 25, 0, 0, 0
LegendPosition=0, 0
Y-Texts=Impulses|mg O2|
Cells=2
C1=8|Cell 8|250|01.02.2026 09:00:00|02.02.2026 17:45:30|0,1,1,1,1,1|7|0||||0|0|-1000000|0,1,1,1,2,2|1
C2=9|Cell 9|250|01.02.2026 09:14:24|02.02.2026 17:45:30|0,1,1,1,1,1|7|0||||0|0|-1000000|0,1,1,1,2,2|1


[3]
RowSection=3
UniqueNr=608333335
isTemplate=1
Tact=3
LF2CO2=0
AttritionDivider=1
bO2LeakageAlarm=0
AlarmCount=95
AlarmHours=1
RowMode=0
Created=
Start=
realStart=
Stop=
orgStop=
realStop=
SpecialCellMode=0
NrSpecialCells=0
State=3
bCountAfterAllCellsStarted=0
bAllCellsStarted=0
Name=Template
SampleDate=
SampleTemp=
SampleAnalytiker=
Comment/1=
Comment/2=
Comment/3=
PassWd=
eXtDurInt=2, 1, 1, 1
intDurInt=0, 0.04166666666666666435
ZeroNeeded=0
withCO2=0
ContinueCellControl=0
storeEC71_T=0
CO2Mean=0
DataDir=
Saved=1
X-Values=, , , , 1, 2
Y-Values=0, 500, 50, 0, 250, 25, 0, 0, 0
LegendPosition=0, 0
Y-Texts=Impulses|mg O2|
Cells=1
C1=??7|T1|50|||0,1,1,1,1,1|3|0||||0|0|-1000000|0,1,1,1,2,2|1


)";

}  // namespace kvtest
