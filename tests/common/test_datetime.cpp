#include <gtest/gtest.h>

#include "common/clock.h"
#include "common/datetime.h"

using namespace kv;

class DateTimeTest : public ::testing::Test {
protected:
    void TearDown() override { setDateTimeFormat("GE"); }
};

TEST_F(DateTimeTest, EncodeDecodeKnownValues) {
    EXPECT_EQ(encodeDate(1899, 12, 30), 0.0);
    EXPECT_EQ(encodeDate(1900, 1, 1), 2.0);
    EXPECT_EQ(encodeDate(2026, 12, 8), 46364.0);
    const TDateTime t = encodeDateTime(2026, 12, 8, 3, 12, 30);
    const DateTimeParts p = decodeDateTime(t);
    EXPECT_EQ(p.year, 2026);
    EXPECT_EQ(p.month, 12);
    EXPECT_EQ(p.day, 8);
    EXPECT_EQ(p.hour, 3);
    EXPECT_EQ(p.minute, 12);
    EXPECT_EQ(p.second, 30);
    // A value just below midnight must not print as second 60.
    const DateTimeParts q = decodeDateTime(encodeDate(2024, 2, 28) + 1.0 - 1e-10);
    EXPECT_EQ(q.day, 29);
    EXPECT_EQ(q.hour, 0);
}

TEST_F(DateTimeTest, TextsInBothStyles) {
    const TDateTime t = encodeDateTime(2026, 12, 8, 3, 12, 30);
    setDateTimeFormat("GE");
    EXPECT_EQ(dateTimeToText(t), "08.12.2026 03:12:30");
    EXPECT_EQ(dateToText(t), "08.12.2026");
    setDateTimeFormat("ISO");
    EXPECT_EQ(dateTimeToText(t), "2026-12-08 03:12:30");
    EXPECT_EQ(dateToText(t), "2026-12-08");
    EXPECT_EQ(timeToText(t), "03:12:30");
    EXPECT_EQ(fileStamp(t), "2026-12-08_03-12-30");
    EXPECT_EQ(dateTimeToText(0), "");
    EXPECT_EQ(dateToText(0), "");
    EXPECT_EQ(timeToText(0), "");
}

TEST_F(DateTimeTest, TextToDateTimeReadsBothStylesAndRejectsGarbage) {
    const TDateTime t = encodeDateTime(2026, 12, 8, 3, 12, 30);
    setDateTimeFormat("GE");
    EXPECT_DOUBLE_EQ(textToDateTime("08.12.2026 03:12:30"), t);
    EXPECT_DOUBLE_EQ(textToDateTime("  2026-12-08   03:12:30 "), t);
    setDateTimeFormat("ISO");
    EXPECT_DOUBLE_EQ(textToDateTime("08.12.2026 03:12:30"), t);
    EXPECT_EQ(textToDateTime("08.12.2026"), 0);           // no time part
    EXPECT_EQ(textToDateTime(""), 0);
    EXPECT_EQ(textToDateTime("31.02.2026 10:00:00"), 0);  // impossible date
    EXPECT_EQ(textToDateTime("08.12.2026 25:00:00"), 0);
    EXPECT_EQ(textToDateTime("xx.yy.zzzz 10:00:00"), 0);
    EXPECT_EQ(textToDateTime("08.12.2026 10:0a:00"), 0);
    // Round trip over a spread of values.
    for (int i = 0; i < 1000; ++i) {
        const TDateTime v = 40000 + i * 1.37 + (i % 86400) / 86400.0;
        const TDateTime back = textToDateTime(dateTimeToText(v));
        EXPECT_NEAR(back, v, 1.0 / 86400.0);
    }
}

TEST(ClockTest, ManualClockAdvancesOnSleepAndRealClockIsPlausible) {
    ManualClock mc(encodeDateTime(2026, 1, 1));
    {
        ScopedClock sc(mc);
        kv::clock().sleepMs(1500);
        EXPECT_NEAR(kv::clock().now(), encodeDateTime(2026, 1, 1, 0, 0, 1, 500), 1e-9);
    }
    const TDateTime real = kv::clock().now();
    EXPECT_GT(real, encodeDate(2020, 1, 1));
    EXPECT_LT(real, encodeDate(2100, 1, 1));
}
