#include <gtest/gtest.h>

#include "console/command_line.h"

using namespace kv;

TEST(CommandLine, WordsQuotesAndTheirRoundTrip) {
    std::vector<std::string> w;
    std::string err;
    ASSERT_TRUE(
        splitCommandLine("  row new \"Sludge A\"  cells=1-6 password=\"a \\\"b\\\\\" ", w, err));
    EXPECT_EQ(
        w, (std::vector<std::string>{"row", "new", "Sludge A", "cells=1-6", "password=a \"b\\"}));
    ASSERT_TRUE(splitCommandLine("x \"\" y", w, err));
    EXPECT_EQ(w, (std::vector<std::string>{"x", "", "y"}));
    EXPECT_FALSE(splitCommandLine("row new \"open", w, err));
    EXPECT_TRUE(w.empty());

    // What ctl sends for its arguments comes back word for word.
    const std::vector<std::string> words{"row",     "new",         "a b",  "",
                                         "q\"uote", "back\\slash", "t\tab"};
    std::string line;
    for (const auto& x : words) line += quoteWord(x) + " ";
    ASSERT_TRUE(splitCommandLine(line, w, err));
    EXPECT_EQ(w, words);
    EXPECT_EQ(quoteWord("plain"), "plain");
}

TEST(CommandLine, SpansCellListsAndNumbers) {
    double v = 0;
    TimeUnit u{};
    EXPECT_TRUE(parseSpan("90min", v, u));
    EXPECT_EQ(v, 90);
    EXPECT_EQ(u, TimeUnit::Minutes);
    EXPECT_TRUE(parseSpan("1.5h", v, u));
    EXPECT_EQ(v, 1.5);
    EXPECT_EQ(u, TimeUnit::Hours);
    EXPECT_TRUE(parseSpan("2D", v, u));
    EXPECT_EQ(u, TimeUnit::Days);
    EXPECT_EQ(spanText(1.5, TimeUnit::Hours), "1.5h");
    for (const char* bad : {"", "2", "h", "2 d", "-1h", "2w", "1e400d", "2dd"})
        EXPECT_FALSE(parseSpan(bad, v, u)) << bad;

    std::vector<int> cells;
    EXPECT_TRUE(parseCellList("1-6,8", cells, 120));
    EXPECT_EQ(cells, (std::vector<int>{1, 2, 3, 4, 5, 6, 8}));
    EXPECT_EQ(cellListText(cells), "1-6,8");
    EXPECT_EQ(cellListText({3, 1, 2}), "3,1-2");
    for (const char* bad : {"", "6-1", "0", "1,,2", "a", "1-", "-3", "1-2000000000"})
        EXPECT_FALSE(parseCellList(bad, cells, 120)) << bad;
    EXPECT_FALSE(parseCellList("1-100,101-121", cells, 120));  // more cells than a row holds

    int n = 0;
    EXPECT_TRUE(parseInt("-12", n));
    EXPECT_EQ(n, -12);
    for (const char* bad : {"", "+1", "1.5", "12a", "99999999999"})
        EXPECT_FALSE(parseInt(bad, n)) << bad;
}
