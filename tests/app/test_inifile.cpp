#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "app/inifile.h"
#include "support/temp_dir.h"

using namespace kv;
using kvtest::readFile;
using kvtest::TempDir;
using kvtest::writeFile;

TEST(IniFile, ProfileSemanticsOnReads) {
    TempDir dir;
    const std::string path = dir.file("Kelvora.Ini");
    writeFile(path,
              "; comment line\r\n"
              "[Kelvora]\r\n"
              "Cells=8\r\n"
              "cells=99\r\n"
              "Empty=\r\n"
              "  Spaced  =  some value  \r\n"
              "garbage line without equals\r\n"
              "=no key\r\n"
              "Quoted=\"quoted text\"\r\n"
              "Legacy=\xB0" "C\r\n"
              "[kelvora]\r\n"
              "Later=1\r\n");
    IniFile ini(path);
    EXPECT_TRUE(ini.existed());
    EXPECT_EQ(ini.readString("KELVORA", "CELLS", "12"), "8");  // first match, any case
    EXPECT_EQ(ini.readString("Kelvora", "Missing", "dflt"), "dflt");
    EXPECT_EQ(ini.readString("Kelvora", "Empty", "dflt"), "");
    EXPECT_TRUE(ini.hasKey("Kelvora", "Empty"));
    EXPECT_EQ(ini.readString("Kelvora", "Spaced", ""), "some value");
    EXPECT_EQ(ini.readString("Kelvora", "Quoted", ""), "quoted text");
    EXPECT_EQ(ini.readString("Kelvora", "Legacy", ""), "°C");
    // Only the first section of a name is seen, as the profile functions do.
    EXPECT_EQ(ini.readString("Kelvora", "Later", "none"), "none");
    EXPECT_EQ(ini.readInteger("Kelvora", "Spaced", 5), 5);
    EXPECT_EQ(ini.readInteger("Nope", "Cells", 12), 12);
}

TEST(IniFile, WritesChangeOnlyTheirLineAndSurviveReload) {
    TempDir dir;
    const std::string path = dir.file("Kelvora.Ini");
    const std::string original =
        "; keep me\r\n[General]\r\nVersion=1.0\r\n\r\n[Kelvora]\r\nCells=8\r\nodd line\r\n";
    writeFile(path, original);
    {
        IniFile ini(path);
        EXPECT_TRUE(ini.writeString("general", "VERSION", "2.6.4 (16.10.2024)"));
        EXPECT_TRUE(ini.writeString("General", "NewKey", "x"));
        EXPECT_TRUE(ini.writeString("FT232R", "DisEnableTimer(mSec)", "1000"));
        EXPECT_TRUE(ini.writeString("Kelvora", "Multi", "a\nb"));  // line break flattened
    }
    const std::string text = readFile(path);
    EXPECT_EQ(text,
              "; keep me\r\n[General]\r\nVersion=2.6.4 (16.10.2024)\r\nNewKey=x\r\n\r\n"
              "[Kelvora]\r\nCells=8\r\nodd line\r\nMulti=a b\r\n\r\n[FT232R]\r\n"
              "DisEnableTimer(mSec)=1000\r\n");
    IniFile again(path);
    EXPECT_EQ(again.readString("FT232R", "DisEnableTimer(mSec)", ""), "1000");
    EXPECT_EQ(again.readString("General", "Version", ""), "2.6.4 (16.10.2024)");
    EXPECT_TRUE(again.deleteKey("General", "NewKey"));
    EXPECT_TRUE(again.eraseSection("FT232R"));
    EXPECT_FALSE(IniFile(path).hasSection("FT232R"));
    EXPECT_FALSE(IniFile(path).hasKey("General", "NewKey"));
}

TEST(IniFile, BatchWritesOnceAndFailuresAreReported) {
    TempDir dir;
    const std::string path = dir.file("new.ini");
    IniFile ini(path);
    EXPECT_FALSE(ini.existed());
    {
        IniFile::Batch batch(ini);
        for (int i = 0; i < 100; ++i) ini.writeInteger("S", "K" + std::to_string(i), i);
        EXPECT_EQ(access(path.c_str(), F_OK), -1);  // nothing written inside the batch
    }
    EXPECT_EQ(IniFile(path).readInteger("S", "K99", 0), 99);
    EXPECT_EQ(access((path + ".tmp").c_str(), F_OK), -1);

    if (geteuid() != 0) {  // root ignores folder permissions
        chmod(dir.path().c_str(), 0500);
        EXPECT_FALSE(ini.writeString("S", "K1", "changed"));
        EXPECT_FALSE(ini.lastError().empty());
        chmod(dir.path().c_str(), 0700);
        EXPECT_EQ(IniFile(path).readString("S", "K1", ""), "1");  // old file intact
    }
    IniFile bad(dir.path() + "/missing-folder/x.ini");
    EXPECT_FALSE(bad.writeString("S", "K", "v"));
    EXPECT_NE(bad.lastError().find("cannot create"), std::string::npos);
}
