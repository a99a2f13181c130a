#include <gtest/gtest.h>

#include "app/inifile.h"
#include "app/password.h"
#include "support/temp_dir.h"

using namespace kv;
using kvtest::TempDir;

namespace {
// A stored text built by hand from the documented layout, independent of the encoder:
// filler, the characters at 1-based positions 3 + (len mod 2) + 2i with shifts
// 5, 4, 3, 2, 1, 0, 1, 0, ..., then the length field (len × 8, digits minus 106).
std::string handEncoded(const std::string& pw) {
    std::string s(90, 'x');
    const int shifts[] = {5, 4, 3, 2, 1, 0};
    for (size_t i = 0; i < pw.size(); ++i) {
        const int shift = i < 6 ? shifts[i] : (i % 2 == 0 ? 1 : 0);
        s[2 + pw.size() % 2 + 2 * i] = static_cast<char>(pw[i] + shift);
    }
    for (char d : std::to_string(pw.size() * 8)) s += static_cast<char>((d - 106 + 256) % 256);
    return s;
}
}  // namespace

TEST(Password, EncodingRoundTripsWithRandomFiller) {
    const std::string passwords[] = {"a",
                                     "Geheim",
                                     "abcde",
                                     std::string(30, 'Z'),
                                     "with blank \xC3\xBC~",
                                     "0123456789abcdefghijklmnopqrst"};
    for (const std::string& pw : passwords) {
        SCOPED_TRACE(pw);
        const std::string a = encodePassword(pw);
        const std::string b = encodePassword(pw);
        EXPECT_NE(a, b);  // random filler
        EXPECT_EQ(decodePassword(a), pw);
        EXPECT_EQ(decodePassword(b), pw);
        EXPECT_GT(a.size(), 90u);
        EXPECT_LE(a.size(), 93u);
        EXPECT_NE(a.front(), ' ');  // a leading blank would be trimmed away by the ini file
        for (char c : a) EXPECT_GE(static_cast<unsigned char>(c), 32u);
    }
    // The encoder writes the documented layout, so files of earlier versions stay readable.
    EXPECT_EQ(decodePassword(handEncoded("abcde")), "abcde");
    EXPECT_EQ(decodePassword(handEncoded(std::string(30, 'q'))), std::string(30, 'q'));
    const std::string e = encodePassword("abcde");
    EXPECT_EQ(e.substr(90), handEncoded("abcde").substr(90));
    EXPECT_EQ(e[3], 'a' + 5);
    EXPECT_EQ(e[11], 'e' + 1);
    // A longer entry is cut to 30 characters; nothing is an empty text.
    EXPECT_EQ(decodePassword(encodePassword(std::string(31, 'k'))), std::string(30, 'k'));
    EXPECT_EQ(encodePassword(""), "");
    EXPECT_EQ(decodePassword(""), "");
}

TEST(Password, OlderFormBlankMarkAndDamage) {
    // 90 characters or fewer: the password follows a prefix of a fifth of the text.
    EXPECT_EQ(decodePassword("abmypass12"), "mypass12");
    EXPECT_EQ(decodePassword("abc"), "abc");
    EXPECT_EQ(decodePassword(std::string(1, '\xFF') + "abc"),
              " abc");  // code 255 counts as a blank
    EXPECT_EQ(decodePassword(std::string(10, 'p') + std::string(40, 'Q')).size(), 30u);

    std::string damaged = std::string(90, 'x') + "abc";  // length field not digits
    std::string out = "old";
    EXPECT_FALSE(decodePassword(damaged, out));
    EXPECT_EQ(out, "");
    std::string tooLong = std::string(90, 'x');
    for (char d : std::string("999")) tooLong += static_cast<char>((d - 106 + 256) % 256);
    EXPECT_FALSE(decodePassword(tooLong, out));
}

TEST(Password, SurvivesTheIniFileByteForByte) {
    TempDir dir;
    const std::string path = dir.file("k.Ini");
    const std::string pw = "\xE4\xF6\xFC-Secret";  // Windows-1252 letters are plain bytes
    for (int round = 0; round < 20; ++round) {
        const std::string stored = encodePassword(pw);
        {
            IniFile ini(path);
            ASSERT_TRUE(ini.writeString("PassWd", "Quit", stored));
        }
        IniFile reread(path);
        EXPECT_EQ(reread.readRaw("PassWd", "Quit", ""), stored);
        EXPECT_EQ(decodePassword(reread.readRaw("PassWd", "Quit", "")), pw);
    }
    IniFile ini(path);
    EXPECT_EQ(ini.readRaw("PassWd", "Missing", "def"), "def");
}

TEST(Password, Check) {
    EXPECT_FALSE(passwordPromptNeeded(""));
    EXPECT_TRUE(passwordPromptNeeded("x"));
    EXPECT_TRUE(checkPassword("anything", "", ""));
    EXPECT_TRUE(checkPassword("Quit1", "Quit1", ""));
    EXPECT_FALSE(checkPassword("quit1", "Quit1", ""));  // case-sensitive
    EXPECT_TRUE(checkPassword("Boss", "Quit1", "Boss"));
    EXPECT_FALSE(checkPassword("", "Quit1", ""));  // an unset master opens nothing
    EXPECT_EQ(servicePassword().size(), 11u);
    EXPECT_TRUE(checkPassword(servicePassword(), "Quit1", "Boss"));
}
