#include <gtest/gtest.h>

#include <sstream>
#include <sys/stat.h>

#include "app/debuglog.h"
#include "app/livefile.h"
#include "app/messages.h"
#include "common/clock.h"
#include "common/datetime.h"
#include "support/temp_dir.h"

using namespace kv;
using kvtest::readFile;
using kvtest::TempDir;
using kvtest::writeFile;

namespace {
std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l)) out.push_back(l);
    return out;
}
}  // namespace

TEST(DebugLog, LineFormatFillAndSwitches) {
    TempDir dir;
    ManualClock mc(encodeDateTime(2026, 12, 8, 3, 12, 30));
    ScopedClock sc(mc);
    DebugLog log;
    ASSERT_TRUE(log.open(dir.file("k.Dbg")));
    log.write("App", "Stop Kelvora");
    log.write("", "empty category");
    log.write("ThisCategoryIsLongerThanThirtyEightChars!", "long");
    log.write("App", "gated off", false);
    log.setFillChar("");  // empty keeps the default
    log.setFillChar("-x");
    log.write("App", "dash");
    log.close();

    const auto l = lines(readFile(dir.file("k.Dbg")));
    ASSERT_EQ(l.size(), 4u);
    std::string dots;
    for (int i = 0; i < 35; ++i) dots += "·";
    EXPECT_EQ(l[0], "08.12.2026 03:12:30 {App}" + dots + " Stop Kelvora");
    EXPECT_EQ(l[1].substr(0, 27), "08.12.2026 03:12:30 {Msg}·");
    EXPECT_EQ(l[2], "08.12.2026 03:12:30 {ThisCategoryIsLongerThanThirtyEightChars!} long");
    EXPECT_EQ(l[3], "08.12.2026 03:12:30 {App}" + std::string(35, '-') + " dash");

    // No "Dbg" folder: no log, no crash, and the folder is not created.
    DebugLog none;
    EXPECT_FALSE(none.open(dir.file("Dbg/x.Dbg")));
    none.write("App", "lost");
    struct stat st {};
    EXPECT_NE(stat(dir.file("Dbg").c_str(), &st), 0);
}

TEST(MessageList, LineFormatRingAndNewestFirst) {
    TempDir dir;
    ManualClock mc(encodeDateTime(2026, 12, 8, 3, 12, 30));
    ScopedClock sc(mc);
    MessageList m;
    m.setUserName("operator");
    ASSERT_TRUE(m.openForAppend(dir.file("K.Msg")));
    m.add("Messages deleted", false);
    EXPECT_FALSE(m.newMessages().load());
    m.add("[x] {App} copied debug line", true);
    EXPECT_TRUE(m.newMessages().load());
    const auto l = lines(readFile(dir.file("K.Msg")));
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(l[0], "08.12.2026 03:12:30  [operator]  Messages deleted");
    EXPECT_EQ(l[1], " [x] {App} copied debug line");

    for (int i = 3; i <= 501; ++i) m.add("msg " + std::to_string(i), false);
    EXPECT_EQ(m.total(), 501);
    EXPECT_EQ(m.newest(), 1);  // the 501st line overwrote slot 1
    const auto view = m.newestFirst();
    ASSERT_EQ(view.size(), 500u);
    EXPECT_NE(view.front().find("msg 501"), std::string::npos);
    EXPECT_NE(view[1].find("msg 500"), std::string::npos);
    EXPECT_NE(view.back().find("copied debug line"), std::string::npos);
    EXPECT_TRUE(m.takeGridStale());
    EXPECT_FALSE(m.takeGridStale());
}

TEST(MessageList, LoadKeepsLast500AndSurvivesHugeLines) {
    TempDir dir;
    std::string content;
    for (int i = 1; i <= 1234; ++i) content += "line " + std::to_string(i) + "\r\n";
    writeFile(dir.file("K.Msg"), content);
    MessageList m;
    EXPECT_EQ(m.load(dir.file("K.Msg")), "");
    EXPECT_EQ(m.total(), 1234);
    auto view = m.newestFirst();
    ASSERT_EQ(view.size(), 500u);
    EXPECT_EQ(view.front(), "line 1234");
    EXPECT_EQ(view.back(), "line 735");

    writeFile(dir.file("Huge.Msg"), "first\n" + std::string(10 * 1024 * 1024, 'x') + "\nlast\n");
    MessageList h;
    const std::string err = h.load(dir.file("Huge.Msg"));
    EXPECT_NE(err.find("overlong"), std::string::npos);
    EXPECT_EQ(h.total(), 3);
    view = h.newestFirst();
    EXPECT_EQ(view[0], "last");
    EXPECT_LE(view[1].size(), MessageList::kMaxViewLine + 8);
}

TEST(MessageList, SaveAndDelete) {
    TempDir dir;
    MessageList m;
    ASSERT_TRUE(m.openForAppend(dir.file("K.Msg")));
    m.add("one", false);
    EXPECT_TRUE(m.save(dir.file("copy.Msg")));
    EXPECT_NE(readFile(dir.file("copy.Msg")).find("one"), std::string::npos);
    EXPECT_NE(m.newestFirst().front().find("Messages saved to " + dir.file("copy.Msg")),
              std::string::npos);
    EXPECT_FALSE(m.save(dir.file("no/such/folder/copy.Msg")));  // still reported in the list
    EXPECT_NE(m.newestFirst().front().find("Messages saved to"), std::string::npos);

    EXPECT_TRUE(m.deleteAll());
    EXPECT_EQ(m.total(), 1);
    const auto l = lines(readFile(dir.file("K.Msg")));
    ASSERT_EQ(l.size(), 1u);
    EXPECT_NE(l[0].find("Messages deleted"), std::string::npos);
}

TEST(LiveFile, NameRulesTouchAndRemove) {
    EXPECT_EQ(liveFileName("", "/h/Kelvora."), "");
    EXPECT_EQ(liveFileName("yes", "/h/Kelvora."), "/h/Kelvora.Live");
    EXPECT_EQ(liveFileName("C:\\Kelvora\\x.live", "/h/Kelvora."), "C:/Kelvora/x.live");
    EXPECT_EQ(liveFileName("/var/run/k.live", "/h/Kelvora."), "/var/run/k.live");

    TempDir dir;
    LiveFile lf;
    lf.touch();  // not configured: nothing happens
    lf.configure(dir.file("Kelvora.Live"));
    lf.touch();
    struct stat st {};
    EXPECT_EQ(stat(dir.file("Kelvora.Live").c_str(), &st), 0);
    lf.remove();
    EXPECT_NE(stat(dir.file("Kelvora.Live").c_str(), &st), 0);
}
