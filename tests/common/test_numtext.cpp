#include <gtest/gtest.h>

#include "common/numtext.h"

using namespace kv;

TEST(NumText, IntegerTexts) {
    EXPECT_EQ(intToText(42, 5), "   42");
    EXPECT_EQ(intToText(42, -5), "42");
    EXPECT_EQ(intToText(123456, 3), "123456");
    EXPECT_EQ(intToText(NoValueInt, 5), "");
    EXPECT_EQ(textToInt(" 17 "), 17);
    EXPECT_EQ(textToInt("-3"), -3);
    EXPECT_EQ(textToInt(""), NoValueInt);
    EXPECT_EQ(textToInt("1.5"), NoValueInt);
    EXPECT_EQ(textToInt("12abc"), NoValueInt);
    EXPECT_EQ(textToInt("99999999999"), NoValueInt);  // overflow is not a number
    EXPECT_EQ(textToIntDef("x", 7), 7);
}

TEST(NumText, RealTexts) {
    EXPECT_EQ(realToText(2.50, 0, -2), "2.5");
    EXPECT_EQ(realToText(2.50, 0, 2, true), "2,50");
    EXPECT_EQ(realToText(250, 0, -2), "250");
    EXPECT_EQ(realToText(9.7216, 0, -5), "9.7216");
    EXPECT_EQ(realToText(1.005, 8, 1), "     1.0");
    EXPECT_EQ(realToText(-0.0001, 0, 2), "0.00");
    EXPECT_EQ(realToText(NoValueReal, 10, 2), "");
    EXPECT_EQ(realToText(-1.5e37, 10, 2), "");
    EXPECT_EQ(realToText(-1.25, 0, -3), "-1.25");

    EXPECT_DOUBLE_EQ(textToReal(" 2,5 "), 2.5);
    EXPECT_DOUBLE_EQ(textToReal("1e3"), 1000.0);
    EXPECT_DOUBLE_EQ(textToReal("+4.25"), 4.25);
    EXPECT_TRUE(isNoValue(textToReal("")));
    EXPECT_TRUE(isNoValue(textToReal("abc")));
    EXPECT_TRUE(isNoValue(textToReal("1,2,3")));
    EXPECT_TRUE(isNoValue(textToReal("nan")));
    EXPECT_TRUE(isNoValue(textToReal("+")));
}

TEST(NumText, DecimalCommaFlagAndMinutes) {
    setDecimalCommaFlag(true);
    EXPECT_EQ(realToTextDC(3.75, 0, 2), "3,75");
    setDecimalCommaFlag(false);
    EXPECT_EQ(realToTextDC(3.75, 0, 2), "3.75");
    EXPECT_EQ(minutesToText(5), "00:05");
    EXPECT_EQ(minutesToText(600), "10:00");
    EXPECT_EQ(minutesToText(6001), "100:01");
}
