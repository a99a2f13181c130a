#include <gtest/gtest.h>

#include "app/texts.h"
#include "support/temp_dir.h"

using namespace kv;

TEST(LanguageTexts, LookupRules) {
    LanguageTexts t;
    const int n = t.loadFromText(
        "; comment\n"
        "\n"
        "  ; not a comment: leading blanks\n"
        "FRMMAIN\\btnNewRow:=Neue Messreihe\n"
        "frmMain\\btnNewRow:=second wins never\n"
        "frmRow\\btnOK:=\xDC" "bernehmen\r\n"
        "*\\btnOK:=OK\n"
        "frmPasswd\\QuitTitle:=  Passwort  \n"
        "LoneSection\n"
        "frmMain\\NoAssign\n");
    EXPECT_EQ(n, 8);
    EXPECT_EQ(t.get("frmMain", "btnNewRow", "New row"), "Neue Messreihe");
    EXPECT_EQ(t.get("*", "btnOK", "OK"), "Übernehmen");  // first entry of any section
    EXPECT_EQ(t.get("frmPassWd", "QUITTITLE", "x"), "Passwort");
    EXPECT_EQ(t.get("frmMain", "NoAssign", "dflt"), "");
    EXPECT_EQ(t.get("frmMain", "missing", "dflt"), "dflt");
    EXPECT_EQ(t.get("LoneSection", "", "dflt"), "");
}

TEST(LanguageTexts, FormatSteps) {
    LanguageTexts t;
    t.loadFromText("uMain\\Three:=%s / %s / %s\n");
    EXPECT_EQ(t.getFmt("uMain", "DeviceNotFound", "Device for %s (SerialNr=%s) not found !",
                       "Cell 1-6", "FT12AB"),
              "Device for Cell 1-6 (SerialNr=FT12AB) not found !");
    EXPECT_EQ(t.getFmt("uMain", "Three", "", "a", "b"), "a / b / ");
    // An argument containing "%s" is found by the next step first.
    EXPECT_EQ(t.getFmt("x", "y", "%s and %s", "1%s", "2"), "12 and ");  // empty a3 removes the last
    EXPECT_EQ(t.getFmt("x", "y", "no placeholder", "a"), "no placeholder");
}

TEST(LanguageTexts, LimitsAndBadFiles) {
    std::string many;
    for (int i = 1; i <= 650; ++i) many += "s\\k" + std::to_string(i) + ":=v\n";
    LanguageTexts t;
    EXPECT_EQ(t.loadFromText(many), 600);
    EXPECT_EQ(t.get("s", "k600", "d"), "v");
    EXPECT_EQ(t.get("s", "k601", "d"), "d");

    kvtest::TempDir dir;
    EXPECT_EQ(t.load(dir.file("missing.Txt")), 0);
    EXPECT_EQ(t.get("s", "k1", "default"), "default");

    std::string binary;
    for (int i = 0; i < 200000; ++i) binary += static_cast<char>((i * 131) % 256);
    kvtest::writeFile(dir.file("binary.Txt"), binary);
    const int n = t.load(dir.file("binary.Txt"));
    EXPECT_LE(n, 600);
    EXPECT_EQ(t.get("frmMain", "btnNewRow", "New row"), "New row");
}
