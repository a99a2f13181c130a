#include <gtest/gtest.h>

#include "common/strutil.h"

using namespace kv;

TEST(StrUtil, SplitTrimAndCase) {
    const auto parts = splitList(" 1, 9600 ,n,8,1 ");
    ASSERT_EQ(parts.size(), 5u);
    EXPECT_EQ(parts[1], "9600");
    EXPECT_EQ(parts[4], "1");
    EXPECT_EQ(split("a,,b", ',').size(), 3u);
    EXPECT_TRUE(iequals("FRMMAIN", "frmMain"));
    EXPECT_FALSE(iequals("frmMain", "frmMai"));
    EXPECT_EQ(replaceAll("a%sb%s", "%s", "x"), "axbx");
}

TEST(StrUtil, LegacyTextIsDecodedAsWindows1252) {
    EXPECT_TRUE(isValidUtf8("Übernehmen"));
    EXPECT_FALSE(isValidUtf8("\xDC" "bernehmen"));
    EXPECT_FALSE(isValidUtf8("\xC0\xAF"));  // overlong
    EXPECT_FALSE(isValidUtf8("\xE2\x82"));  // truncated
    EXPECT_EQ(decodeLegacyLine("\xDC" "bernehmen"), "Übernehmen");
    EXPECT_EQ(decodeLegacyLine("\x80 \xB0" "C"), "€ °C");
    EXPECT_EQ(decodeLegacyLine("°C"), "°C");
    EXPECT_EQ(firstUtf8Char("·x"), "·");
    EXPECT_EQ(utf8Length("{App}···"), 8u);
}
